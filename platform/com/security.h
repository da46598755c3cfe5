// CoInitializeSecurity: the process-wide security of the component runtime, set once.
//
// The settings are checked and recorded (CurrentProcessSecurity), and nothing else reads them:
// the remoting runtime enforces one policy whatever they say, "any local user may call", through
// the mode 0666 of its sockets in the runtime directory. That is the only policy this system
// offers, and the one the server's wide-open settings ask for.
#pragma once

#include <optional>

#include "platform/types/error_codes.h"

inline constexpr DWORD RPC_C_AUTHN_LEVEL_DEFAULT = 0;
inline constexpr DWORD RPC_C_AUTHN_LEVEL_NONE = 1;
inline constexpr DWORD RPC_C_AUTHN_LEVEL_CONNECT = 2;
inline constexpr DWORD RPC_C_AUTHN_LEVEL_CALL = 3;
inline constexpr DWORD RPC_C_AUTHN_LEVEL_PKT = 4;
inline constexpr DWORD RPC_C_AUTHN_LEVEL_PKT_INTEGRITY = 5;
inline constexpr DWORD RPC_C_AUTHN_LEVEL_PKT_PRIVACY = 6;

inline constexpr DWORD RPC_C_IMP_LEVEL_DEFAULT = 0;
inline constexpr DWORD RPC_C_IMP_LEVEL_ANONYMOUS = 1;
inline constexpr DWORD RPC_C_IMP_LEVEL_IDENTIFY = 2;
inline constexpr DWORD RPC_C_IMP_LEVEL_IMPERSONATE = 3;
inline constexpr DWORD RPC_C_IMP_LEVEL_DELEGATE = 4;

inline constexpr DWORD EOAC_NONE = 0;

using PSECURITY_DESCRIPTOR = void*;
struct SOLE_AUTHENTICATION_SERVICE;

// S_OK the first time in the process; RPC_E_TOO_LATE afterwards. E_INVALIDARG for non-null
// reserved arguments, a negative service count other than -1, a positive count without a list,
// or a level out of range; CO_E_NOTINITIALIZED when the calling thread may not use components.
// Any thread.
HRESULT CoInitializeSecurity(PSECURITY_DESCRIPTOR securityDescriptor, LONG authServiceCount,
                             SOLE_AUTHENTICATION_SERVICE* authServices, void* reserved1,
                             DWORD authnLevel, DWORD impLevel, void* authList,
                             DWORD capabilities, void* reserved3);

namespace platform::com {

struct ProcessSecurity {
  bool hasSecurityDescriptor = false;
  LONG authServiceCount = -1;
  DWORD authnLevel = RPC_C_AUTHN_LEVEL_DEFAULT;
  DWORD impLevel = RPC_C_IMP_LEVEL_DEFAULT;
  DWORD capabilities = EOAC_NONE;
};

// What CoInitializeSecurity recorded; empty until it succeeded. Any thread.
std::optional<ProcessSecurity> CurrentProcessSecurity();

}  // namespace platform::com
