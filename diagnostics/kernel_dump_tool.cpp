#include "diagnostics/kernel_dump_tool.h"

#include <fmt/xchar.h>

#include <chrono>

#include "common/driver_logger.h"
#include "common/registry_readers.h"
#include "platform/kernel/clock.h"
#include "platform/kernel/create_process.h"
#include "platform/kernel/synch.h"
#include "platform/system/last_error.h"

namespace Talvaro::Diagnostics {
namespace {

using Logging::Category;

void LogInfo(const std::wstring& text) { Common::GetDriverLogger()->Info(kToolsSource, text, Category::Developer1); }
void LogWarning(const std::wstring& text) {
  Common::GetDriverLogger()->Warning(kToolsSource, text, Category::Developer1);
}
void LogError(const std::wstring& text) { Common::GetDriverLogger()->Error(kToolsSource, text, Category::Developer1); }

// Both waits of the watch: the stop event first, so that a stop wins over a pending signal.
DWORD WaitForStopOr(const WatchEvents& events, HANDLE other, DWORD milliseconds) {
  const HANDLE handles[] = {events.stop, other};
  return WaitForMultipleObjects(2, handles, FALSE, milliseconds);
}

}  // namespace

WatchEvents::WatchEvents()
    : stop(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      begin(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
      end(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}

WatchEvents::~WatchEvents() {
  for (HANDLE handle : {stop, begin, end}) {
    if (handle != nullptr) CloseHandle(handle);
  }
}

CTools::CTools() {
  DWORD value = 0;
  if (Common::ReadRegistryDword(L"MinimalGapToLog", kToolsKeyPath, value)) minimalGapToLog_ = static_cast<std::int32_t>(value);
  if (Common::ReadRegistryDword(L"FullKernelDumpDelay", kToolsKeyPath, value)) fullKernelDumpDelay_ = value;
  if (Common::ReadRegistryDword(L"EnableKernelDump", kToolsKeyPath, value)) kernelDumpEnabled_ = value != 0;
  Common::ReadRegistryString(L"KernelDumpCommand", kToolsKeyPath, kernelDumpCommand_);
}

CTools::~CTools() {
  const auto events = Events();
  if (events == nullptr) return;  // the watch was never started
  SetEvent(events->stop);
  const auto deadline = std::chrono::system_clock::now() + Infra::Ticks(10'000'000);
  if (watch_ != nullptr && !watch_->TimedWait(deadline)) LogError(L"CreateKernelDumpIfNeeded_thread hasn't been stopped yet");
  // The handles close once the watch thread, too, has let go of them.
}

void CTools::Initialize(const std::wstring& xrbLogicalName, const std::wstring& applicationName) {
  {
    auto names = std::make_shared<const Names>(Names{xrbLogicalName, applicationName});
    std::lock_guard lock(gapLogLock_);  // the gap log entries take the names
    names_ = std::move(names);
  }
  StartFullKernelDump();
}

void CTools::StartFullKernelDump() {
  if (!kernelDumpEnabled_) return;
  auto events = std::make_shared<WatchEvents>();
  Infra::Task<void, Infra::ComPolicyMTA> task(
      kWatchTaskName, [events, delay = fullKernelDumpDelay_, command = kernelDumpCommand_] {
        CreateKernelDumpIfNeeded(events, delay, command);
      });
  watch_ = Infra::GlobalThreadPool::LaunchInNewThread(std::move(task));
  std::lock_guard lock(eventsLock_);
  events_ = std::move(events);
}

std::shared_ptr<WatchEvents> CTools::Events() const {
  std::lock_guard lock(eventsLock_);
  return events_;
}

void CTools::AddGapLogEntry(const std::wstring& text) {
  FILETIME now{};
  GetSystemTimeAsFileTime(&now);
  std::lock_guard lock(gapLogLock_);
  if (gapLogCount_ == gapLog_.size()) {
    gapLog_.push_back({now, text, names_});
  } else {
    GapLogEntry& entry = gapLog_[gapLogCount_];
    entry.time = now;
    entry.text.assign(text);
    entry.names = names_;
  }
  ++gapLogCount_;
}

void CTools::ResetGapLog(std::size_t minimumCount) {
  std::lock_guard lock(gapLogLock_);
  if (gapLogCount_ != 0 && gapLogCount_ >= minimumCount) gapLogCount_ = 0;
}

void CTools::LogGapIfNeeded(DWORD begin, DWORD end) {
  if (minimalGapToLog_ < 0) return;
  const auto gap = static_cast<std::int32_t>(end - begin);
  if (gap < minimalGapToLog_) return;
  std::lock_guard lock(gapLogLock_);
  for (std::size_t i = 0; i < gapLogCount_; ++i) LogWarning(GapLogLine(gapLog_[i]));
}

std::wstring CTools::GapLogLine(const GapLogEntry& entry) const {
  FILETIME local{};
  SYSTEMTIME at{};
  FileTimeToLocalFileTime(&entry.time, &local);
  FileTimeToSystemTime(&local, &at);
  return fmt::format(L"{:02d}:{:02d}:{:02d}.{:03d} ({}, {}): {}.", at.wHour, at.wMinute, at.wSecond,
                     at.wMilliseconds, entry.names->xrbLogicalName, entry.names->applicationName, entry.text);
}

void CTools::SignalDispatchBegin() {
  if (const auto events = Events()) SetEvent(events->begin);
}

void CTools::SignalDispatchEnd() {
  if (const auto events = Events()) SetEvent(events->end);
}

void CTools::CreateKernelDumpIfNeeded(const std::shared_ptr<WatchEvents>& events, DWORD delay,
                                      const std::wstring& command) {
  for (;;) {
    DWORD woken = WaitForStopOr(*events, events->begin, INFINITE);
    if (woken == WAIT_OBJECT_0 + 1) {
      woken = WaitForStopOr(*events, events->end, delay);
      if (woken == WAIT_TIMEOUT) {
        CreateFullKernelDump(command);
        ResetEvent(events->end);
        continue;
      }
      if (woken == WAIT_OBJECT_0 + 1) continue;
    }
    if (woken == WAIT_OBJECT_0) {
      LogInfo(L"Thread is going to be ended");
      return;
    }
    // A failed wait would fail again at once: end the watch rather than spin.
    LogError(fmt::format(L"The stall watch ends: waiting failed with error {}", GetLastError()));
    return;
  }
}

void CTools::CreateFullKernelDump(const std::wstring& command) {
  LogError(L"Creating full kernel dump");
  RunCommand(std::wstring(kCommandInterpreter) + L"\"" + command + L"\"");
}

bool CTools::RunCommand(const std::wstring& commandLine) {
  std::vector<wchar_t> writable(commandLine.begin(), commandLine.end());
  writable.push_back(L'\0');
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(nullptr, writable.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &startup,
                      &process)) {
    LogError(L"Run Command failed " + commandLine);
    return false;
  }
  LogError(L"Run Command succeeded: " + commandLine);
  WaitForSingleObject(process.hProcess, INFINITE);
  CloseHandle(process.hProcess);
  CloseHandle(process.hThread);
  return true;
}

std::vector<std::wstring> CTools::GapLog() const {
  std::lock_guard lock(gapLogLock_);
  std::vector<std::wstring> lines;
  for (std::size_t i = 0; i < gapLogCount_; ++i) lines.push_back(GapLogLine(gapLog_[i]));
  return lines;
}

}  // namespace Talvaro::Diagnostics
