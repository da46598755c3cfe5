// The link to the external performance monitor service, reached through the component model by
// its ProgID. Each request builds and drops its own connection, on the calling thread.
#pragma once

#include <string>

#include "platform/types/error_codes.h"

namespace Talvaro::Orbiq::Utils::PerformanceMonitoring {

inline constexpr const wchar_t* kMonitorProgId = L"TALVAROPerformanceMonitorService.PerformanceMonitor";
inline constexpr const wchar_t* kFlushMethodName = L"FlushingLogsAsync";

class IConnector {
 public:
  virtual ~IConnector() = default;
  // Asks the service to flush its logs, `text` saying why. The failing step's code, or the
  // method call's.
  virtual HRESULT RequestLogFlush(const std::wstring& text) = 0;
};

// Any thread. The thread's apartment state is as it found it afterwards: it joins the
// multithreaded apartment for the request and leaves only what it joined.
class Connector final : public IConnector {
 public:
  HRESULT RequestLogFlush(const std::wstring& text) override;
};

}  // namespace Talvaro::Orbiq::Utils::PerformanceMonitoring
