#include "host/remoting_limits.h"

#include <malloc.h>
#include <sys/resource.h>

#include <algorithm>
#include <optional>
#include <string>

#include "common/driver_logger.h"
#include "platform/registry/registry.h"
#include "platform/remoting/limits.h"
#include "platform/types/error_codes.h"
#include "platform/types/wide_string.h"

namespace Talvaro::Host {
namespace {

constexpr const wchar_t* kSource = L"TCD::Remoting";

// A REG_DWORD under the key, read-only access; anything else counts as not set.
constexpr DWORD kLongestPollAfterWorkUs = 10000;

std::optional<DWORD> ReadSetting(HKEY key, const wchar_t* name) {
  DWORD type = 0;
  DWORD value = 0;
  DWORD size = sizeof(value);
  if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) != ERROR_SUCCESS ||
      type != REG_DWORD) {
    return std::nullopt;
  }
  return value;
}

void ToDriverLog(platform::remoting::Severity severity, const std::string& message) {
  const auto logger = Common::GetDriverLogger();
  const std::wstring text = platform::FromUtf8(message);
  switch (severity) {
    case platform::remoting::Severity::Info:
      logger->Info(kSource, text, Logging::Category::Communication);
      break;
    case platform::remoting::Severity::Warning:
      logger->Warning(kSource, text, Logging::Category::Communication);
      break;
    case platform::remoting::Severity::Error:
      logger->Error(kSource, text, Logging::Category::Communication);
      break;
  }
}

void RaiseDescriptorLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
}

}  // namespace

void ApplyRemotingLimits() {
  RaiseDescriptorLimit();
  // Buffers of large messages are mapped on their own, so that they go back to the system as
  // they are freed instead of staying in the heap after their connection has gone.
  mallopt(M_MMAP_THRESHOLD, 1024 * 1024);
  platform::remoting::Limits limits;
  limits.outgoingCallBound = std::chrono::milliseconds(30000);
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRemotingKeyPath, 0, KEY_READ, &key) == ERROR_SUCCESS) {
    // Zero keeps a default, but for the call bound, where it means no bound.
    if (const auto value = ReadSetting(key, L"OutgoingCallTimeoutMs")) limits.outgoingCallBound = std::chrono::milliseconds(*value);
    if (const auto value = ReadSetting(key, L"MaxConnections"); value && *value != 0) limits.maxConnections = *value;
    if (const auto value = ReadSetting(key, L"MaxMessageKB"); value && *value != 0) {
      limits.maxMessageBytes = std::size_t{*value} * 1024;
    }
    if (const auto value = ReadSetting(key, L"MaxReceivingKB"); value && *value != 0) {
      limits.maxReceivingBytes = std::size_t{*value} * 1024;
    }
    if (const auto value = ReadSetting(key, L"PartialMessageTimeoutMs"); value && *value != 0) {
      limits.partialMessageBound = std::chrono::milliseconds(*value);
    }
    // Longer polling would keep the RPC thread from ever sleeping between liveliness events.
    if (const auto value = ReadSetting(key, L"PollAfterWorkUs")) {
      limits.pollAfterWork = std::chrono::microseconds(std::min<DWORD>(*value, kLongestPollAfterWorkUs));
    }
    RegCloseKey(key);
  }
  platform::remoting::SetLimits(limits);
  platform::remoting::SetReporter(&ToDriverLog);
}

}  // namespace Talvaro::Host
