#include "common/registry_readers.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "platform/types/wide_string.h"
#include "tests/external/logging/test_environment.h"

namespace {

using Talvaro::Common::ReadRegistryDword;
using Talvaro::Common::ReadRegistryString;

constexpr const wchar_t* kKey = L"SOFTWARE\\TALVARO\\Nimbrel\\Log";

// The bytes of a wide text, with or without its terminator.
std::vector<BYTE> Wide(const std::wstring& text, bool terminated = true) {
  const auto* bytes = reinterpret_cast<const BYTE*>(text.c_str());
  return {bytes, bytes + (text.size() + (terminated ? 1 : 0)) * sizeof(wchar_t)};
}

std::vector<BYTE> Dword(DWORD value) {
  const auto* bytes = reinterpret_cast<const BYTE*>(&value);
  return {bytes, bytes + sizeof value};
}

// A stored value and what a reader makes of it; `read` false means the output stays untouched.
template <typename T>
struct Case {
  const wchar_t* name;
  DWORD type;
  std::vector<BYTE> data;
  bool read;
  T value;
};

class RegistryReaders : public ::testing::Test {
 protected:
  template <typename T, typename Reader>
  void Expect(const std::vector<Case<T>>& cases, Reader reader, const T& untouched) {
    for (const auto& c : cases) {
      talvaro_test::SetValue(kKey, c.name, c.type, c.data.data(), static_cast<DWORD>(c.data.size()));
      T value = untouched;
      EXPECT_EQ(reader(c.name, kKey, value), c.read) << platform::ToUtf8(c.name);
      EXPECT_EQ(value, c.read ? c.value : untouched) << platform::ToUtf8(c.name);
    }
  }

  talvaro_test::IsolatedEnvironment env_;
};

TEST_F(RegistryReaders, AbsentKeyOrValueFailsAndLeavesTheOutput) {
  for (int keyExists = 0; keyExists < 2; ++keyExists) {
    if (keyExists) talvaro_test::SetDword(kKey, L"Other", 1);
    DWORD number = 0xA5A5A5A5;
    std::wstring text = L"untouched";
    EXPECT_FALSE(ReadRegistryDword(L"MinimalGapToLog", kKey, number));
    EXPECT_FALSE(ReadRegistryString(L"KernelDumpCommand", kKey, text));
    EXPECT_EQ(number, 0xA5A5A5A5u);
    EXPECT_EQ(text, L"untouched");
  }
}

// At most 49 characters; the stored type is ignored: the data without its terminator, and 0 or 1
// character's worth of data gives an empty string.
TEST_F(RegistryReaders, StringReaderTakesTheBytesAsTheyComeUpTo49Characters) {
  const std::wstring fits = std::wstring(48, L'c') + L"\u00e4";
  Expect<std::wstring>({{L"Fits", REG_SZ, Wide(fits), true, fits},
                        {L"TooLong", REG_SZ, Wide(fits + L"d"), false, L""},
                        {L"Binary", REG_BINARY, Wide(L"raw"), true, L"raw"},
                        {L"Number", REG_DWORD, Dword(0x41), true, L""},
                        {L"Zero", REG_BINARY, {}, true, L""},
                        {L"OneByte", REG_BINARY, {'x'}, true, L""},
                        {L"Unterminated", REG_BINARY, Wide(L"y", false), true, L""},
                        {L"OneChar", REG_SZ, Wide(L"z"), true, L"z"}},
                       ReadRegistryString, std::wstring(L"untouched"));
}

// Four bytes at most, of any type.
TEST_F(RegistryReaders, DwordReaderTakesUpToFourBytesOfAnyType) {
  Expect<DWORD>({{L"Full", REG_DWORD, Dword(0xFFFFFFFF), true, 0xFFFFFFFF},
                 {L"EmptyText", REG_SZ, Wide(L""), true, 0},
                 {L"Text", REG_SZ, Wide(L"5"), false, 0}},
                ReadRegistryDword, DWORD{7});
}

// The readers open the key with KEY_ALL_ACCESS, so a registry this process may read but not
// write cannot be read through them, while a KEY_READ open can. Root may write any file, so as
// root the check runs in a child that has become "nobody".
TEST_F(RegistryReaders, OpenWithAllAccessFailsOnAReadOnlyRegistry) {
  talvaro_test::SetDword(kKey, L"MinimalGapToLog", 12);
  talvaro_test::SetString(kKey, L"KernelDumpCommand", L"cmd");
  ASSERT_EQ(chmod(env_.Root().c_str(), 0755), 0);
  ASSERT_EQ(chmod(env_.Registry().c_str(), 0444), 0);

  const auto check = [] {
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(10);
    HKEY key = nullptr;
    DWORD readable = 0;
    DWORD size = sizeof readable;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, KEY_READ, &key) != ERROR_SUCCESS ||
        RegQueryValueExW(key, L"MinimalGapToLog", nullptr, nullptr,
                         reinterpret_cast<BYTE*>(&readable), &size) != ERROR_SUCCESS ||
        readable != 12) {
      _exit(11);
    }
    DWORD number = 99;
    std::wstring text = L"untouched";
    if (ReadRegistryDword(L"MinimalGapToLog", kKey, number) || number != 99) _exit(13);
    if (ReadRegistryString(L"KernelDumpCommand", kKey, text) || text != L"untouched") _exit(14);
    _exit(0);
  };
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(check(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
