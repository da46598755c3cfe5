#include "common/registry_readers.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "tests/external/logging/test_environment.h"

namespace {

using Talvaro::Common::ReadRegistryDword;
using Talvaro::Common::ReadRegistryString;

constexpr const wchar_t* kKey = L"SOFTWARE\\TALVARO\\Nimbrel\\Log";

class RegistryReaders : public ::testing::Test {
 protected:
  talvaro_test::ScopedTestEnvironment env_;
};

TEST_F(RegistryReaders, AbsentKeyOrValueFailsAndLeavesTheOutput) {
  DWORD number = 0xA5A5A5A5;
  std::wstring text = L"untouched";
  EXPECT_FALSE(ReadRegistryDword(L"MinimalGapToLog", kKey, number));
  EXPECT_FALSE(ReadRegistryString(L"KernelDumpCommand", kKey, text));

  talvaro_test::SetDword(kKey, L"Other", 1);  // the key exists now, the values still do not
  EXPECT_FALSE(ReadRegistryDword(L"MinimalGapToLog", kKey, number));
  EXPECT_FALSE(ReadRegistryString(L"KernelDumpCommand", kKey, text));
  EXPECT_EQ(number, 0xA5A5A5A5u);
  EXPECT_EQ(text, L"untouched");
}

TEST_F(RegistryReaders, ReadsDwordsAndStringsCaseInsensitively) {
  talvaro_test::SetDword(kKey, L"FullKernelDumpDelay", 0xFFFFFFFF);
  talvaro_test::SetString(kKey, L"KernelDumpCommand", L"dump --all \u00e4");
  DWORD number = 0;
  std::wstring text;
  EXPECT_TRUE(ReadRegistryDword(L"fullkerneldumpdelay", L"software\\talvaro\\nimbrel\\log", number));
  EXPECT_EQ(number, 0xFFFFFFFFu);
  EXPECT_TRUE(ReadRegistryString(L"KernelDumpCommand", kKey, text));
  EXPECT_EQ(text, L"dump --all \u00e4");
}

TEST_F(RegistryReaders, StringsUpTo49CharactersAreRead) {
  const std::wstring fits(49, L'c');
  talvaro_test::SetString(kKey, L"Fits", fits);
  talvaro_test::SetString(kKey, L"TooLong", fits + L"d");
  std::wstring text = L"untouched";
  EXPECT_FALSE(ReadRegistryString(L"TooLong", kKey, text));
  EXPECT_EQ(text, L"untouched");
  EXPECT_TRUE(ReadRegistryString(L"Fits", kKey, text));
  EXPECT_EQ(text, fits);
}

TEST_F(RegistryReaders, StoredTypeIsIgnored) {
  // A REG_DWORD is one character of data as a string: without its "terminator", nothing.
  talvaro_test::SetDword(kKey, L"Number", 0x41);
  std::wstring text = L"untouched";
  EXPECT_TRUE(ReadRegistryString(L"Number", kKey, text));
  EXPECT_EQ(text, L"");

  // An empty REG_SZ is its terminator alone: four zero bytes, a DWORD of 0.
  talvaro_test::SetString(kKey, L"Empty", L"");
  DWORD number = 7;
  EXPECT_TRUE(ReadRegistryDword(L"Empty", kKey, number));
  EXPECT_EQ(number, 0u);
  // Any longer string does not fit four bytes.
  talvaro_test::SetString(kKey, L"Text", L"5");
  number = 7;
  EXPECT_FALSE(ReadRegistryDword(L"Text", kKey, number));
  EXPECT_EQ(number, 7u);

  // A REG_EXPAND_SZ or REG_BINARY holding a string reads as that string.
  talvaro_test::SetString(kKey, L"Expand", L"$HOME/x", REG_EXPAND_SZ);
  EXPECT_TRUE(ReadRegistryString(L"Expand", kKey, text));
  EXPECT_EQ(text, L"$HOME/x");
  const wchar_t raw[] = L"raw";
  talvaro_test::SetValue(kKey, L"Binary", REG_BINARY, raw, sizeof raw);
  EXPECT_TRUE(ReadRegistryString(L"Binary", kKey, text));
  EXPECT_EQ(text, L"raw");
}

TEST_F(RegistryReaders, TinyDataGivesAnEmptyString) {
  std::wstring text = L"untouched";
  talvaro_test::SetValue(kKey, L"Zero", REG_BINARY, nullptr, 0);
  EXPECT_TRUE(ReadRegistryString(L"Zero", kKey, text));
  EXPECT_EQ(text, L"");

  const BYTE one = 'x';
  text = L"untouched";
  talvaro_test::SetValue(kKey, L"One", REG_BINARY, &one, 1);
  EXPECT_TRUE(ReadRegistryString(L"One", kKey, text));
  EXPECT_EQ(text, L"");

  // One character without a terminator: the last character counts as the terminator.
  const wchar_t single = L'y';
  text = L"untouched";
  talvaro_test::SetValue(kKey, L"Single", REG_BINARY, &single, sizeof single);
  EXPECT_TRUE(ReadRegistryString(L"Single", kKey, text));
  EXPECT_EQ(text, L"");

  talvaro_test::SetString(kKey, L"OneChar", L"z");
  EXPECT_TRUE(ReadRegistryString(L"OneChar", kKey, text));
  EXPECT_EQ(text, L"z");
}

// The readers open the key with KEY_ALL_ACCESS, so a registry this process may read but not
// write cannot be read through them, while a KEY_READ open can. Root may write any file, so as
// root the check runs in a child that has become "nobody".
TEST_F(RegistryReaders, OpenWithAllAccessFailsOnAReadOnlyRegistry) {
  talvaro_test::SetDword(kKey, L"MinimalGapToLog", 12);
  talvaro_test::SetString(kKey, L"KernelDumpCommand", L"cmd");
  const auto file = env_.Root() / "registry.db";
  ASSERT_EQ(chmod(env_.Root().c_str(), 0755), 0);
  ASSERT_EQ(chmod(file.c_str(), 0444), 0);

  const auto check = [] {
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(10);
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, KEY_READ, &key) != ERROR_SUCCESS) _exit(11);
    DWORD readable = 0;
    DWORD size = sizeof readable;
    const bool readOpenWorks = RegQueryValueExW(key, L"MinimalGapToLog", nullptr, nullptr,
                                                reinterpret_cast<BYTE*>(&readable),
                                                &size) == ERROR_SUCCESS &&
                               readable == 12;
    RegCloseKey(key);
    if (!readOpenWorks) _exit(12);
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
