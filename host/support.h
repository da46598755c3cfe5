// Small helpers shared by the host's files: a registry key closed with its scope, registry
// errors as status codes, and the managed-runtime check of the library initialization.
#pragma once

#include "platform/registry/registry.h"
#include "platform/system/process.h"
#include "platform/types/error_codes.h"

namespace Talvaro::Host {

// Closes a registry key at the end of a scope.
class RegistryKey {
 public:
  RegistryKey() = default;
  ~RegistryKey() {
    if (key_ != nullptr) RegCloseKey(key_);
  }
  RegistryKey(const RegistryKey&) = delete;
  RegistryKey& operator=(const RegistryKey&) = delete;
  HKEY get() const { return key_; }
  PHKEY out() { return &key_; }

 private:
  HKEY key_ = nullptr;
};

// A registry error e as the status code 0x80070000 + e.
inline HRESULT FromStatus(LSTATUS status) { return HRESULT_FROM_WIN32(static_cast<DWORD>(status)); }

// Whether the managed runtime ("Mscoree.dll") is loaded: then a library initialization that
// fails with RPC_E_CHANGED_MODE is no reason to stop. Never the case on this system.
inline bool ManagedRuntimeLoaded() { return GetModuleHandleW(L"Mscoree.dll") != nullptr; }

}  // namespace Talvaro::Host
