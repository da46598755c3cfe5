// The embedded XRB unit simulator: the hardware proxy library's default backend, and the control
// API through which tests (and the generic command language) drive it.
//
// Units come from the registry at each Initialize (simulator_config.h), or from a configuration
// given to the constructor. Every hardware driver opened on a unit gets every data block, error,
// availability change and restriction question of that unit, on its own delivery thread.
// docs/simulator.md describes the configuration, the command language and the guarantees.
//
// Threads: every member may be called on any thread. The control operations post callbacks and
// return without waiting for their delivery; WaitUntilQuiet waits for it.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "external/hardware/xrb_proxy.h"
#include "external/hardware/simulator_config.h"

namespace OrbiqCommunicationLibrary::Simulator {

class SimulatorCore;
struct LogSink;

struct WriteRecord {
  std::wstring logicalName;
  std::wstring applicationName;
  std::vector<unsigned char> data;
  std::int32_t value = 0;
  std::optional<E_ORBIQLIB_Result> verdict;  // set when a restriction observer was asked
  E_ORBIQLIB_Result result = ORBIQLIB_SUCCESS;
};

struct ApplicationCommandRecord {
  std::wstring text1;
  std::wstring text2;
  std::int32_t code = 0;
  E_ORBIQLIB_Result result = ORBIQLIB_SUCCESS;
};

struct GenericCommandRecord {
  std::wstring command;
  E_ORBIQLIB_Result result = ORBIQLIB_SUCCESS;
  std::wstring output;  // text of "list" and "help"; empty for the others
};

struct RestrictionAnswerRecord {
  std::wstring logicalName;
  std::wstring applicationName;  // of the driver whose observer answered
  std::vector<unsigned char> data;
  unsigned int mode = 0;
  E_ORBIQLIB_Result verdict = ORBIQLIB_SUCCESS;
};

// Each record list keeps the newest kRecordLimit entries.
inline constexpr std::size_t kRecordLimit = 10000;

class XRBSimulator final : public IXRBProxyBackend {
 public:
  // Reads its configuration from the registry at each Initialize.
  XRBSimulator();
  // Uses `config` at each Initialize; the registry is not read.
  explicit XRBSimulator(SimulatorConfig config);
  ~XRBSimulator() override;
  XRBSimulator(const XRBSimulator&) = delete;
  XRBSimulator& operator=(const XRBSimulator&) = delete;

  // IXRBProxyBackend. Out of order: ORBIQLIB_E_WRONG_STATE / _NOT_INITIALIZED / _NOT_STARTED.
  // Finish and Shutdown return ORBIQLIB_E_WRONG_THREAD on a library thread.
  E_ORBIQLIB_Result Initialize() override;
  E_ORBIQLIB_Result Start() override;
  E_ORBIQLIB_Result Finish() override;
  E_ORBIQLIB_Result Shutdown() override;
  ICommFactory* GetFactory() override;
  ICommDriver* GetDriver() override;

  // ---- Control API. Failures: ORBIQLIB_E_NOT_INITIALIZED while down, ORBIQLIB_E_UNKNOWN_UNIT,
  // ORBIQLIB_E_INVALID_ARGUMENT, and for the injections ORBIQLIB_E_NOT_STARTED. ----

  // A data block to every data observer of every driver opened on the unit.
  E_ORBIQLIB_Result InjectData(const std::wstring& logicalName, std::vector<unsigned char> data);
  // OnError(code) to every data observer of the unit's drivers.
  E_ORBIQLIB_Result InjectError(const std::wstring& logicalName, E_ORBIQLIB_Result code);
  // Sets the unit's availability (0 or 1) and tells every availability callback, changed or not.
  E_ORBIQLIB_Result SetAvailability(const std::wstring& logicalName, std::int32_t state);
  // A restriction question to the restriction observer (mode != 0) of each of the unit's
  // drivers; answers are recorded (RestrictionAnswers).
  E_ORBIQLIB_Result AskRestriction(const std::wstring& logicalName, std::vector<unsigned char> data);
  // One-shot results: the next Open of the unit / the next write reaching it / the next
  // application command answer with `result` instead of their normal result.
  E_ORBIQLIB_Result SetNextOpenResult(const std::wstring& logicalName, E_ORBIQLIB_Result result);
  E_ORBIQLIB_Result SetNextWriteResult(const std::wstring& logicalName, E_ORBIQLIB_Result result);
  E_ORBIQLIB_Result SetNextApplicationResult(E_ORBIQLIB_Result result);
  // Period of the unit's status block in ms (0 = none); L"*" sets every unit.
  E_ORBIQLIB_Result SetDataPeriod(const std::wstring& logicalName, std::uint32_t periodMs);
  // The global switch: false stops periodic data of every unit whatever its period.
  E_ORBIQLIB_Result SetPeriodicData(bool enabled);
  // Runs one command of the command language (what GenericCommand does) and returns its result;
  // `output` receives the text of "list" and "help".
  E_ORBIQLIB_Result ExecuteCommand(const std::wstring& command, std::wstring* output = nullptr);

  // Everything posted so far has been delivered (or dropped) and no callback runs. False on
  // timeout. Not from a library thread (it would wait for itself).
  bool WaitUntilQuiet(std::chrono::milliseconds timeout);

  std::vector<std::wstring> UnitNames() const;
  // Drivers currently open on the unit; 0 for an unknown unit or while down.
  std::size_t OpenDriverCount(const std::wstring& logicalName) const;
  std::int32_t Availability(const std::wstring& logicalName) const;  // -1 for unknown
  std::vector<WriteRecord> Writes() const;
  std::vector<ApplicationCommandRecord> ApplicationCommands() const;
  std::vector<GenericCommandRecord> GenericCommands() const;
  std::vector<RestrictionAnswerRecord> RestrictionAnswers() const;
  // Output of the last "list" or "help".
  std::wstring LastCommandOutput() const;

  // Receives one line per generic command executed (command, result and output), outside any
  // lock, on the calling thread. For the host to route into its log; empty function = none.
  void SetLogSink(std::function<void(const std::wstring&)> sink);

 private:
  std::shared_ptr<SimulatorCore> Core() const;
  // `method` of the running core, or `whenDown` while the simulator is down.
  template <typename Result, typename Method, typename... Args>
  Result Forward(Result whenDown, Method method, Args&&... args) const;

  const std::optional<SimulatorConfig> fixedConfig_;
  mutable std::mutex mutex_;             // guards core_
  std::shared_ptr<SimulatorCore> core_;  // set from Initialize to Shutdown
  const std::shared_ptr<LogSink> logSink_;  // shared with each core; guards itself
};

}  // namespace OrbiqCommunicationLibrary::Simulator
