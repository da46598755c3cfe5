// Test support shared by the logging and common tests: a fresh temporary directory holding this
// test's registry file and log directory, and small registry and file helpers.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/registry/registry.h"
#include "platform/types/error_codes.h"

namespace talvaro_test {

// Sets TALVARO_REGISTRY and TALVARO_LOG_DIR to a new directory for the scope's duration.
class ScopedTestEnvironment {
 public:
  ScopedTestEnvironment() {
    std::string pattern = (std::filesystem::temp_directory_path() / "talvaro-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    root_ = pattern;
    logDir_ = root_ / "logs";
    setenv("TALVARO_REGISTRY", (root_ / "registry.db").c_str(), 1);
    setenv("TALVARO_LOG_DIR", logDir_.c_str(), 1);
  }
  ~ScopedTestEnvironment() {
    unsetenv("TALVARO_REGISTRY");
    unsetenv("TALVARO_LOG_DIR");
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }
  ScopedTestEnvironment(const ScopedTestEnvironment&) = delete;
  ScopedTestEnvironment& operator=(const ScopedTestEnvironment&) = delete;

  const std::filesystem::path& Root() const { return root_; }
  const std::filesystem::path& LogDir() const { return logDir_; }

 private:
  std::filesystem::path root_;
  std::filesystem::path logDir_;
};

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
