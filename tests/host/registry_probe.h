// Reading the registry back in host tests.
#pragma once

#include <optional>
#include <string>

#include "platform/registry/registry.h"
#include "platform/types/error_codes.h"

namespace host_test {

inline bool KeyExists(HKEY root, const std::wstring& path) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

// A string value (name empty: the default value), or empty when the key or value is missing.
inline std::optional<std::wstring> StringValue(HKEY root, const std::wstring& path, const std::wstring& name = L"") {
  HKEY key = nullptr;
  if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return std::nullopt;
  wchar_t buffer[1024];
  DWORD size = sizeof buffer;
  DWORD type = REG_NONE;
  const LSTATUS status = RegQueryValueExW(key, name.empty() ? nullptr : name.c_str(), nullptr, &type,
                                          reinterpret_cast<LPBYTE>(buffer), &size);
  RegCloseKey(key);
  if (status != ERROR_SUCCESS || type != REG_SZ || size < sizeof(wchar_t)) return std::nullopt;
  return std::wstring(buffer, size / sizeof(wchar_t) - 1);
}

}  // namespace host_test
