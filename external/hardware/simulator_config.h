// Configuration of the XRB unit simulator, read from the registry at each Initialize.
//
// HKLM\SOFTWARE\TALVARO\ORBIQ\XRBSimulator
//   DataPeriodMs          REG_DWORD  default period of the units' status block (1000; 0 = none)
//   PeriodicData          REG_DWORD  0 switches periodic data off for every unit (default 1)
//   RestrictionTimeoutMs  REG_DWORD  bound of a write's wait for its question (default 5000)
//   Units\<any subkey>    one unit per subkey, listed in subkey name order
//     LogicalName REG_SZ (default: the subkey name), MAC REG_SZ, IP REG_SZ, State REG_SZ
//     (default "Running"), BoardID REG_DWORD, SubItems REG_MULTI_SZ, DataPeriodMs REG_DWORD
//     (default: the global one), Available REG_DWORD (default 1)
// Without a Units key the two default units are used; an empty Units key means no units.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace OrbiqCommunicationLibrary::Simulator {

inline constexpr wchar_t kSimulatorKeyPath[] = L"SOFTWARE\\TALVARO\\ORBIQ\\XRBSimulator";

struct UnitConfig {
  std::wstring logicalName;
  std::wstring mac;
  std::wstring ip;
  std::wstring state = L"Running";
  std::uint32_t boardId = 0;
  std::vector<std::wstring> subItems;
  std::optional<std::uint32_t> dataPeriodMs;  // empty: the global default
  bool available = true;
};

struct SimulatorConfig {
  std::vector<UnitConfig> units;
  std::uint32_t dataPeriodMs = 1000;
  bool periodicData = true;
  std::uint32_t restrictionTimeoutMs = 5000;
};

// The two units used when nothing is configured: "XRB_1" and "XRB_2".
std::vector<UnitConfig> DefaultUnits();

// A configuration with the two default units and the default global values.
SimulatorConfig DefaultConfig();

// Reads kSimulatorKeyPath under HKEY_LOCAL_MACHINE; missing values take their defaults, values
// of the wrong type are ignored.
SimulatorConfig ReadSimulatorConfig();

}  // namespace OrbiqCommunicationLibrary::Simulator
