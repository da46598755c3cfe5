// Test support shared by the logging, common and hardware tests: registry and file helpers. Each
// test gets a registry file and log directory of its own from Talvaro::Testing::IsolatedEnvironment.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/registry/registry.h"
#include "platform/types/error_codes.h"
#include "tests/support/environment/isolated_environment.h"

namespace talvaro_test {

using Talvaro::Testing::IsolatedEnvironment;

// Writes one value under HKEY_LOCAL_MACHINE\subKey, creating the key.
inline void SetValue(const std::wstring& subKey, const std::wstring& name, DWORD type,
                     const void* data, DWORD size) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, subKey.c_str(), 0, nullptr,
                            REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(RegSetValueExW(key, name.c_str(), 0, type, static_cast<const BYTE*>(data), size),
            ERROR_SUCCESS);
  RegCloseKey(key);
}

inline void SetString(const std::wstring& subKey, const std::wstring& name,
                      const std::wstring& value, DWORD type = REG_SZ) {
  SetValue(subKey, name, type, value.c_str(),
           static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

inline void SetDword(const std::wstring& subKey, const std::wstring& name, DWORD value) {
  SetValue(subKey, name, REG_DWORD, &value, sizeof value);
}

inline std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

inline std::vector<std::string> ReadLines(const std::filesystem::path& path) {
  std::vector<std::string> lines;
  std::istringstream in(ReadFile(path));
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

}  // namespace talvaro_test
