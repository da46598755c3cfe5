#include "diagnostics/performance_tools.h"

#include "diagnostics/performance_logger.h"
#include "platform/kernel/clock.h"

namespace Talvaro::Orbiq::Utils::PerformanceMonitoring {

using Logging::Category;

std::int64_t SystemTicks() {
  FILETIME now{};
  GetSystemTimeAsFileTime(&now);
  return static_cast<std::int64_t>((std::uint64_t{now.dwHighDateTime} << 32) | now.dwLowDateTime);
}

PerformanceTools::PerformanceTools(std::unique_ptr<IConnector> connector, std::unique_ptr<IConfigProvider> settings,
                                   SystemClock clock)
    : connector_(std::move(connector)), settings_(std::move(settings)), clock_(clock) {}

// The members then go in reverse order of declaration: the settings before the connector.
PerformanceTools::~PerformanceTools() { active_.store(false); }

void PerformanceTools::MeasureExecution(const std::wstring& action, std::function<void()> call) {
  if (!settings_->IsEnabled()) {
    call();
    return;
  }
  const std::int64_t begin = clock_();
  call();
  const std::int64_t end = clock_();
  const std::int64_t duration = (end - begin) / 10000;
  const std::uint32_t threshold = settings_->GetCommunicationDelayThresholdInMs();
  if (duration <= static_cast<std::int64_t>(threshold)) return;
  Report(L"Action [" + action + L"] took longer than expected. Maximum tolerated duration: [" +
         std::to_wstring(threshold) + L" ms], Actual duration: [" + std::to_wstring(duration) + L" ms].");
}

void PerformanceTools::ReportPerformanceIssue(const std::wstring& issue) {
  if (active_.load()) Report(std::wstring(issue));
}

void PerformanceTools::LogWarning(const std::wstring& text) {
  if (active_.load()) Logger().Warning(kMonitorSource, text, Category::Developer1);
}

void PerformanceTools::Report(const std::wstring& issue) {
  auto& logger = Logger();
  logger.Error(kMonitorSource, issue, Category::Developer1);
  if (!settings_->GetRepeatEtwFlushing() && flushedOnce_.load()) {
    logger.Error(kMonitorSource, L"Performance issue was detected but ETW flushing is not enabled.",
                 Category::Developer1);
    return;
  }
  const HRESULT result = connector_->RequestLogFlush(issue);
  if (result >= 0) {
    logger.Warning(kMonitorSource, L"Performance monitor flush has been triggered successfully.", Category::Developer1);
    flushedOnce_.store(true);
  } else {
    logger.Error(kMonitorSource, L"Performance monitor flush has failed. " + StatusText(result), Category::Developer1);
  }
}

}  // namespace Talvaro::Orbiq::Utils::PerformanceMonitoring
