#include "external/hardware/simulator_config.h"

#include <cwchar>

#include "platform/registry/registry.h"
#include "platform/types/error_codes.h"

namespace OrbiqCommunicationLibrary::Simulator {
namespace {

// An opened registry key, closed when the object goes.
class Key {
 public:
  Key(HKEY parent, const wchar_t* path) {
    if (RegOpenKeyExW(parent, path, 0, KEY_READ, &key_) != ERROR_SUCCESS) key_ = nullptr;
  }
  ~Key() {
    if (key_ != nullptr) RegCloseKey(key_);
  }
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;

  explicit operator bool() const { return key_ != nullptr; }
  HKEY get() const { return key_; }

  std::optional<std::uint32_t> Dword(const wchar_t* name) const {
    DWORD type = REG_NONE;
    DWORD value = 0;
    DWORD size = sizeof value;
    if (RegQueryValueExW(key_, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) !=
            ERROR_SUCCESS ||
        type != REG_DWORD || size != sizeof value) {
      return std::nullopt;
    }
    return value;
  }

  // The raw wide characters of a string value, terminators included; empty when missing or of
  // another type than `wanted`.
  std::optional<std::wstring> Chars(const wchar_t* name, DWORD wanted) const {
    DWORD type = REG_NONE;
    DWORD size = 0;
    if (RegQueryValueExW(key_, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
        type != wanted) {
      return std::nullopt;
    }
    std::wstring chars(size / sizeof(wchar_t) + 1, L'\0');
    size = static_cast<DWORD>(chars.size() * sizeof(wchar_t));
    if (RegQueryValueExW(key_, name, nullptr, &type, reinterpret_cast<BYTE*>(chars.data()),
                         &size) != ERROR_SUCCESS) {
      return std::nullopt;
    }
    chars.resize(size / sizeof(wchar_t));
    return chars;
  }

  std::optional<std::wstring> String(const wchar_t* name) const {
    auto chars = Chars(name, REG_SZ);
    if (!chars) return std::nullopt;
    chars->resize(std::wcslen(chars->c_str()));
    return chars;
  }

  std::optional<std::vector<std::wstring>> MultiString(const wchar_t* name) const {
    const auto chars = Chars(name, REG_MULTI_SZ);
    if (!chars) return std::nullopt;
    std::vector<std::wstring> items;
    std::size_t begin = 0;
    while (begin < chars->size()) {
      const std::size_t end = chars->find(L'\0', begin);
      const std::size_t stop = end == std::wstring::npos ? chars->size() : end;
      if (stop == begin) break;  // the empty string that ends the list
      items.push_back(chars->substr(begin, stop - begin));
      begin = stop + 1;
    }
    return items;
  }

 private:
  HKEY key_ = nullptr;
};

UnitConfig ReadUnit(const Key& key, const std::wstring& subkeyName) {
  UnitConfig unit;
  unit.logicalName = key.String(L"LogicalName").value_or(subkeyName);
  unit.mac = key.String(L"MAC").value_or(L"");
  unit.ip = key.String(L"IP").value_or(L"");
  unit.state = key.String(L"State").value_or(L"Running");
  unit.boardId = key.Dword(L"BoardID").value_or(0);
  unit.subItems = key.MultiString(L"SubItems").value_or(std::vector<std::wstring>{});
  unit.dataPeriodMs = key.Dword(L"DataPeriodMs");
  unit.available = key.Dword(L"Available").value_or(1) != 0;
  return unit;
}

}  // namespace

std::vector<UnitConfig> DefaultUnits() {
  UnitConfig first;
  first.logicalName = L"XRB_1";
  first.mac = L"02-58-52-42-00-01";
  first.ip = L"192.168.100.11";
  first.boardId = 0x1A01;
  first.subItems = {L"Sensor_A", L"Sensor_B"};
  UnitConfig second;
  second.logicalName = L"XRB_2";
  second.mac = L"02-58-52-42-00-02";
  second.ip = L"192.168.100.12";
  second.boardId = 0x1A02;
  second.subItems = {L"Sensor_A", L"Actuator_1"};
  return {first, second};
}

SimulatorConfig DefaultConfig() {
  SimulatorConfig config;
  config.units = DefaultUnits();
  return config;
}

SimulatorConfig ReadSimulatorConfig() {
  SimulatorConfig config;
  const Key root(HKEY_LOCAL_MACHINE, kSimulatorKeyPath);
  if (!root) {
    config.units = DefaultUnits();
    return config;
  }
  config.dataPeriodMs = root.Dword(L"DataPeriodMs").value_or(config.dataPeriodMs);
  config.periodicData = root.Dword(L"PeriodicData").value_or(1) != 0;
  config.restrictionTimeoutMs =
      root.Dword(L"RestrictionTimeoutMs").value_or(config.restrictionTimeoutMs);

  const Key units(root.get(), L"Units");
  if (!units) {
    config.units = DefaultUnits();
    return config;
  }
  for (DWORD index = 0;; ++index) {
    wchar_t name[REGISTRY_MAX_KEY_NAME + 1];
    DWORD length = REGISTRY_MAX_KEY_NAME + 1;
    const LSTATUS status =
        RegEnumKeyExW(units.get(), index, name, &length, nullptr, nullptr, nullptr, nullptr);
    if (status != ERROR_SUCCESS) break;  // ERROR_NO_MORE_ITEMS, or a database failure
    const Key unit(units.get(), name);
    if (unit) config.units.push_back(ReadUnit(unit, std::wstring(name, length)));
  }
  return config;
}

}  // namespace OrbiqCommunicationLibrary::Simulator
