#include "diagnostics/performance_logger.h"

#include <fmt/xchar.h>

#include <cstdint>
#include <memory>

#include "platform/system/format_message.h"

namespace Talvaro::Orbiq::Utils::PerformanceMonitoring {

Logging::ILogger& Logger() {
  // Kept for the life of the process: detached threads and static destructors may still log.
  static auto* logger = new std::shared_ptr<Logging::ILogger>(Logging::LoggerFactory::CreateInfraLoggerFromRegistry(
      L"PerformanceMonitoring", L"HKEY_LOCAL_MACHINE\\SOFTWARE\\TALVARO\\ORBIQ\\PerformanceMonitoring\\Log"));
  return **logger;
}

std::wstring ErrorText(HRESULT code) {
  const auto bits = static_cast<std::uint32_t>(code);
  std::wstring text = platform::system::SystemMessage(bits);
  if (!text.empty()) return text;
  if (bits >= 0x80040201u && bits <= 0x8004FFFFu) return fmt::format(L"IDispatch error #{}", bits - 0x80040200u);
  return fmt::format(L"Unknown error 0x{:X}", bits);
}

std::wstring StatusText(HRESULT code) {
  return fmt::format(L"HRESULT [0x{:x}], MESSAGE [{}].", static_cast<std::uint32_t>(code), ErrorText(code));
}

}  // namespace Talvaro::Orbiq::Utils::PerformanceMonitoring
