// The logger that performance monitoring writes to, and the texts it gives status codes.
#pragma once

#include <string>

#include "external/logging/logger.h"
#include "platform/types/error_codes.h"

namespace Talvaro::Orbiq::Utils::PerformanceMonitoring {

inline constexpr const wchar_t* kMonitorSource = L"PerformanceMonitor";
inline constexpr const wchar_t* kConnectorSource = L"PerformanceMonitor::ServiceConnector";

// "PerformanceMonitoring", configured by HKLM\SOFTWARE\TALVARO\ORBIQ\PerformanceMonitoring\Log;
// made by the first call from any thread, never destroyed.
Logging::ILogger& Logger();

// The system's text of the code without its line end; else "IDispatch error #n" for
// 0x80040201-0x8004FFFF (n = code - 0x80040200), else "Unknown error 0x<CODE>".
std::wstring ErrorText(HRESULT code);
// "HRESULT [0x<code, lower case>], MESSAGE [<ErrorText>]."
std::wstring StatusText(HRESULT code);

}  // namespace Talvaro::Orbiq::Utils::PerformanceMonitoring
