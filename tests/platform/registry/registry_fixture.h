// Test support for the registry: each test gets a registry file of its own in a fresh temporary
// directory (TALVARO_REGISTRY), and small helpers that fail the test on unexpected errors.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "platform/registry/registry.h"
#include "platform/types/error_codes.h"

namespace registry_test {

// Closes a key handle at the end of a scope.
class Key {
 public:
  Key() = default;
  explicit Key(HKEY key) : key_(key) {}
  ~Key() { Reset(); }
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
  HKEY get() const { return key_; }
  PHKEY out() {
    Reset();
    return &key_;
  }
  void Reset() {
    if (key_ != nullptr) RegCloseKey(key_);
    key_ = nullptr;
  }

 private:
  HKEY key_ = nullptr;
};

// In a forked child: 0 when every (status, expected) pair matches, else the 1-based number of
// the first that does not. The statuses are computed in the order written.
inline int FirstMismatch(std::initializer_list<std::pair<LSTATUS, LSTATUS>> checks) {
  int number = 1;
  for (const auto& [status, expected] : checks) {
    if (status != expected) return number;
    ++number;
  }
  return 0;
}

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "talvaro-registry-test-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    UseFile(dir_ / "registry.db");
  }
  void TearDown() override {
    unsetenv("TALVARO_REGISTRY");
    std::error_code ignored;
    std::filesystem::permissions(dir_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(dir_, ignored);
  }
  void UseFile(const std::filesystem::path& path) {
    path_ = path;
    setenv("TALVARO_REGISTRY", path_.c_str(), 1);
  }

  // Creates (or opens) HKLM\<path> with all rights.
  static HKEY Create(const wchar_t* path) {
    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, REG_OPTION_NON_VOLATILE,
                              KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    return key;
  }
  static LSTATUS CreateUnder(HKEY parent, const wchar_t* path, Key& key,
                             REGSAM access = KEY_ALL_ACCESS, DWORD* disposition = nullptr) {
    return RegCreateKeyExW(parent, path, 0, nullptr, REG_OPTION_NON_VOLATILE, access, nullptr,
                           key.out(), disposition);
  }
  static LSTATUS Open(HKEY parent, const wchar_t* path, REGSAM access, Key& key) {
    return RegOpenKeyExW(parent, path, 0, access, key.out());
  }

  static LSTATUS SetBytes(HKEY key, const wchar_t* name, DWORD type, const void* data,
                          DWORD size) {
    return RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), size);
  }
  // Sets exactly these wchar_t units (terminators included only when given).
  static LSTATUS SetUnits(HKEY key, const wchar_t* name, DWORD type, const std::wstring& units) {
    return SetBytes(key, name, type, units.data(),
                    static_cast<DWORD>(units.size() * sizeof(wchar_t)));
  }
  // Sets a REG_SZ (or other string type) with its terminator.
  static LSTATUS SetString(HKEY key, const wchar_t* name, const std::wstring& text,
                           DWORD type = REG_SZ) {
    return SetUnits(key, name, type, text + L'\0');
  }
  static LSTATUS SetDword(HKEY key, const wchar_t* name, DWORD value) {
    return SetBytes(key, name, REG_DWORD, &value, sizeof value);
  }
  // The value's bytes and type, through RegQueryValueExW.
  static LSTATUS Get(HKEY key, const wchar_t* name, std::string* bytes, DWORD* type = nullptr) {
    DWORD size = 0;
    LSTATUS status = RegQueryValueExW(key, name, nullptr, type, nullptr, &size);
    if (status != ERROR_SUCCESS) return status;
    bytes->assign(size, '\0');
    status = RegQueryValueExW(key, name, nullptr, type, reinterpret_cast<BYTE*>(bytes->data()),
                              &size);
    bytes->resize(size);
    return status;
  }
  static LSTATUS Query(HKEY key, const wchar_t* name) {
    BYTE data[8];
    DWORD size = sizeof data;
    return RegQueryValueExW(key, name, nullptr, nullptr, data, &size);
  }
  static std::string Bytes(const std::wstring& units) {
    return std::string(reinterpret_cast<const char*>(units.data()),
                       units.size() * sizeof(wchar_t));
  }
  // RegEnumKeyExW / RegEnumValueW of entry `index` into a 16-character buffer.
  static LSTATUS EnumKey(HKEY key, DWORD index) {
    wchar_t name[16];
    DWORD length = 16;
    return RegEnumKeyExW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr);
  }
  static LSTATUS EnumValue(HKEY key, DWORD index) {
    wchar_t name[16];
    DWORD length = 16;
    return RegEnumValueW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr);
  }
  static std::vector<std::wstring> SubkeyNames(HKEY key) {
    std::vector<std::wstring> names;
    for (DWORD index = 0;; ++index) {
      wchar_t name[REGISTRY_MAX_KEY_NAME + 1];
      DWORD length = REGISTRY_MAX_KEY_NAME + 1;
      const LSTATUS status =
          RegEnumKeyExW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr);
      if (status != ERROR_SUCCESS) {
        EXPECT_EQ(status, ERROR_NO_MORE_ITEMS);
        break;
      }
      names.emplace_back(name, length);
    }
    return names;
  }

  // Starts `body` in a forked child whose exit code Reap returns (0 = every check held). With
  // `unprivileged`, a root test process drops to the "nobody" user first so that file
  // permissions apply; the temporary directory is opened up for that.
  pid_t Spawn(const std::function<int()>& body, bool unprivileged = false) {
    if (unprivileged && geteuid() == 0) {
      std::filesystem::permissions(dir_, std::filesystem::perms::all,
                                   std::filesystem::perm_options::add);
    }
    const pid_t pid = fork();
    if (pid == 0) {
      if (unprivileged && geteuid() == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(100);
      }
      _exit(body());
    }
    return pid;
  }
  static int Reap(pid_t pid) {
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, 0), pid);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 200;
  }
  int RunInChild(const std::function<int()>& body, bool unprivileged = false) {
    return Reap(Spawn(body, unprivileged));
  }

  std::filesystem::path dir_;
  std::filesystem::path path_;
};

}  // namespace registry_test
