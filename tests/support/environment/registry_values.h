// Values under HKEY_LOCAL_MACHINE for tests that configure the code under test through the
// registry of their isolated environment. The key is created when missing; a failure to create
// it fails the test.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "platform/registry/registry.h"

namespace Talvaro::Testing {

inline void SetRegistryValue(const wchar_t* keyPath, const wchar_t* name, DWORD type, const void* data, DWORD size) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, keyPath, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS);
  RegCloseKey(key);
}

inline void SetRegistryDword(const wchar_t* keyPath, const wchar_t* name, DWORD value) {
  SetRegistryValue(keyPath, name, REG_DWORD, &value, sizeof value);
}

inline void SetRegistryText(const wchar_t* keyPath, const wchar_t* name, const std::wstring& text) {
  SetRegistryValue(keyPath, name, REG_SZ, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

}  // namespace Talvaro::Testing
