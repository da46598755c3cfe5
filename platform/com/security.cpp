#include "platform/com/security.h"

#include <mutex>

#include "platform/com/apartment.h"

namespace platform::com {
namespace {

std::mutex securityLock;                 // guards processSecurity
std::optional<ProcessSecurity> processSecurity;

}  // namespace

std::optional<ProcessSecurity> CurrentProcessSecurity() {
  std::lock_guard guard(securityLock);
  return processSecurity;
}

}  // namespace platform::com

HRESULT CoInitializeSecurity(PSECURITY_DESCRIPTOR securityDescriptor, LONG authServiceCount,
                             SOLE_AUTHENTICATION_SERVICE* authServices, void* reserved1,
                             DWORD authnLevel, DWORD impLevel, void* /*authList*/,
                             DWORD capabilities, void* reserved3) {
  if (reserved1 != nullptr || reserved3 != nullptr) return E_INVALIDARG;
  if (authServiceCount < -1 || (authServiceCount > 0 && authServices == nullptr)) return E_INVALIDARG;
  if (authnLevel > RPC_C_AUTHN_LEVEL_PKT_PRIVACY || impLevel > RPC_C_IMP_LEVEL_DELEGATE) {
    return E_INVALIDARG;
  }
  if (!platform::com::ThreadMayUseComponents()) return CO_E_NOTINITIALIZED;
  std::lock_guard guard(platform::com::securityLock);
  if (platform::com::processSecurity) return RPC_E_TOO_LATE;
  platform::com::processSecurity = platform::com::ProcessSecurity{
      securityDescriptor != nullptr, authServiceCount, authnLevel, impLevel, capabilities};
  return S_OK;
}
