// Times the driver object's time-critical operations against the configured maximum duration;
// an operation that took longer is logged and the performance monitor service is asked to
// flush its traces, so that the trace around the stall is kept.
//
// Threads: MeasureExecution runs on the thread performing the operation (hardware callback
// threads, client call threads), several at once; it takes no lock. The settings are read-only
// after construction; the flushed-once flag is atomic, so two overlapping reports may both ask
// for a flush before either sets it.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "diagnostics/performance_config.h"
#include "diagnostics/performance_connector.h"

namespace Talvaro::Orbiq::Utils::PerformanceMonitoring {

class IPerformanceTools {
 public:
  virtual ~IPerformanceTools() = default;
  // Runs `call`; when monitoring is enabled, times it and reports it when it took longer than the
  // threshold. An exception of the call passes through untimed and unreported.
  virtual void MeasureExecution(const std::wstring& action, std::function<void()> call) = 0;
  virtual void ReportPerformanceIssue(const std::wstring& issue) = 0;
  virtual void LogWarning(const std::wstring& text) = 0;
  virtual IConfigProvider& GetConfigProvider() = 0;

  // What the driver calls: the callable's result, value-initialised when it never returned.
  template <class R, class F>
  R MeasureExecutionRetVal(const std::wstring& action, F&& callable) {
    R result{};
    MeasureExecution(action, [&result, &callable] { result = callable(); });
    return result;
  }

  template <class F>
  void MeasureExecutionVoid(const std::wstring& action, F&& callable) {
    MeasureExecution(action, [&callable] { callable(); });
  }
};

// The wall clock in 100 ns ticks (GetSystemTimeAsFileTime); replaceable for tests.
using SystemClock = std::int64_t (*)();
std::int64_t SystemTicks();

class PerformanceTools final : public IPerformanceTools {
 public:
  PerformanceTools(std::unique_ptr<IConnector> connector, std::unique_ptr<IConfigProvider> settings,
                   SystemClock clock = SystemTicks);
  // Clears the active flag, then the settings go, then the connector.
  ~PerformanceTools() override;

  void MeasureExecution(const std::wstring& action, std::function<void()> call) override;
  void ReportPerformanceIssue(const std::wstring& issue) override;
  void LogWarning(const std::wstring& text) override;
  IConfigProvider& GetConfigProvider() override { return *settings_; }

 private:
  // Logs the issue and asks for a flush, unless one succeeded already and repeating is off.
  void Report(const std::wstring& issue);

  std::unique_ptr<IConnector> connector_;
  std::unique_ptr<IConfigProvider> settings_;
  std::atomic<bool> flushedOnce_{false};
  std::atomic<bool> active_{true};
  const SystemClock clock_;
};

}  // namespace Talvaro::Orbiq::Utils::PerformanceMonitoring
