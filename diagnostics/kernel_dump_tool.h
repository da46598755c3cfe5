// CTools: one driver object's gap log (a short, time-stamped trace of the current hardware
// callback, written to the log when the callback took too long) and its stall watch (a thread
// that runs the configured dump command when a data event dispatch outlasts the configured
// delay). Settings: HKLM "SOFTWARE\TALVARO\Nimbrel\Log", read once at construction.
//
// Threads: the gap log operations are called by the hardware library's callback threads and by
// event firing, each under the gap log lock; SignalDispatchBegin/End by the data callback's
// thread, which may already run while Initialize starts the watch (eventsLock_); Initialize and
// destruction by the driver object. The watch thread touches only what
// it shares with the object (WatchEvents), the delay and command it was given, and the logger,
// so it may outlive the object safely (a dump command that never ends keeps it waiting).
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "external/infra/concurrency.h"
#include "platform/types/windows_types.h"

namespace Talvaro::Diagnostics {

inline constexpr const wchar_t* kToolsKeyPath = L"SOFTWARE\\TALVARO\\Nimbrel\\Log";
inline constexpr const wchar_t* kToolsSource = L"TCD::CTools";
inline constexpr const wchar_t* kWatchTaskName = L"CreateKernelDumpIfNeeded_thread";
// The command interpreter line before the quoted dump command.
inline constexpr const wchar_t* kCommandInterpreter = L"/bin/sh -c ";

// The watch's three events: stop (manual reset), begin and end (automatic reset). Shared by the
// object and its watch thread; the handles close when the last of them lets go.
struct WatchEvents {
  WatchEvents();
  ~WatchEvents();
  WatchEvents(const WatchEvents&) = delete;
  WatchEvents& operator=(const WatchEvents&) = delete;

  HANDLE stop;
  HANDLE begin;
  HANDLE end;
};

class CTools {
 public:
  // Reads the settings; initialises the concurrency library for the object's life.
  CTools();
  ~CTools();
  CTools(const CTools&) = delete;
  CTools& operator=(const CTools&) = delete;

  // Once, by the driver's initialisation: stores the names, then starts the watch.
  void Initialize(const std::wstring& xrbLogicalName, const std::wstring& applicationName);
  // Creates the events and launches the watch thread, when the kernel dump is enabled.
  void StartFullKernelDump();

  void AddGapLogEntry(const std::wstring& text);
  // Removes every line when there are at least `minimumCount` (and any at all).
  void ResetGapLog(std::size_t minimumCount);
  // Writes the gap log at level Warning when end - begin (wrapping, signed) reaches the minimum.
  void LogGapIfNeeded(DWORD begin, DWORD end);

  void SignalDispatchBegin();
  void SignalDispatchEnd();

  // The watch thread's work and its steps; static, as they must not reach the object.
  static void CreateKernelDumpIfNeeded(const std::shared_ptr<WatchEvents>& events, DWORD delay,
                                       const std::wstring& command);
  static void CreateFullKernelDump(const std::wstring& command);
  static bool RunCommand(const std::wstring& commandLine);

  // For tests: the lines of the gap log, oldest first.
  std::vector<std::wstring> GapLog() const;

 private:
  std::int32_t minimalGapToLog_ = -1;
  // An entry keeps its time and text; its line is made only when the gap log is written, so
  // that a callback's entries cost no formatting. Slots beyond gapLogCount_ keep their strings'
  // room for the next entries.
  struct Names {
    std::wstring xrbLogicalName;
    std::wstring applicationName;
  };
  struct GapLogEntry {
    FILETIME time;
    std::wstring text;
    std::shared_ptr<const Names> names;  // as they were when the entry was made
  };
  std::wstring GapLogLine(const GapLogEntry& entry) const;  // under gapLogLock_
  std::vector<GapLogEntry> gapLog_;  // guarded by gapLogLock_
  std::size_t gapLogCount_ = 0;      // guarded by gapLogLock_: the entries in use
  mutable std::mutex gapLogLock_;
  Infra::ConcurrencyLifetime concurrency_;
  std::shared_ptr<Infra::Future<void>> watch_;
  // The watch's events (null unless the watch was started), a share for the caller.
  std::shared_ptr<WatchEvents> Events() const;
  std::shared_ptr<WatchEvents> events_;  // guarded by eventsLock_
  mutable std::mutex eventsLock_;
  bool kernelDumpEnabled_ = false;
  DWORD fullKernelDumpDelay_ = 5000;
  std::wstring kernelDumpCommand_;
  std::shared_ptr<const Names> names_ = std::make_shared<const Names>(Names{L"[noName]", L"[noName]"});  // gapLogLock_
};

}  // namespace Talvaro::Diagnostics
