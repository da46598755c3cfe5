// Values: sizes and types through the documented buffer rules, names, the narrow functions.
#include <cstring>
#include <string>

#include "tests/platform/registry/registry_fixture.h"

namespace registry_test {
namespace {

class RegistryValues : public RegistryTest {
 protected:
  void SetUp() override {
    RegistryTest::SetUp();
    *key_.out() = Create(L"SOFTWARE\\Test");
    ASSERT_NE(key_.get(), nullptr);
  }
  Key key_;
};

TEST_F(RegistryValues, StringTypesKeepTheirUnitsExactly) {
  // Terminators, embedded NULs, a missing terminator and text beyond ASCII all come back as
  // the very units that were stored, with the same byte count.
  const std::wstring multi{L'a', L'\0', L'b', L'\u00E9', L'\0', L'\0'};
  const std::wstring unterminated = L"abc";
  const std::wstring wide{L'x', static_cast<wchar_t>(0x1F600), L'\u0434', L'\0'};
  ASSERT_EQ(SetBytes(key_.get(), L"multi", REG_MULTI_SZ, multi.data(),
                     static_cast<DWORD>(multi.size() * sizeof(wchar_t))),
            ERROR_SUCCESS);
  ASSERT_EQ(SetBytes(key_.get(), L"raw", REG_SZ, unterminated.data(),
                     static_cast<DWORD>(unterminated.size() * sizeof(wchar_t))),
            ERROR_SUCCESS);
  ASSERT_EQ(SetBytes(key_.get(), L"wide", REG_EXPAND_SZ, wide.data(),
                     static_cast<DWORD>(wide.size() * sizeof(wchar_t))),
            ERROR_SUCCESS);
  ASSERT_EQ(SetBytes(key_.get(), L"empty", REG_SZ, nullptr, 0), ERROR_SUCCESS);

  std::string bytes;
  DWORD type = 0;
  ASSERT_EQ(Get(key_.get(), L"multi", &bytes, &type), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_MULTI_SZ);
  EXPECT_EQ(bytes, Bytes(multi));
  ASSERT_EQ(Get(key_.get(), L"raw", &bytes, &type), ERROR_SUCCESS);
  EXPECT_EQ(bytes, Bytes(unterminated));
  ASSERT_EQ(Get(key_.get(), L"wide", &bytes, &type), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_EXPAND_SZ);
  EXPECT_EQ(bytes, Bytes(wide));
  ASSERT_EQ(Get(key_.get(), L"empty", &bytes, &type), ERROR_SUCCESS);
  EXPECT_EQ(bytes.size(), 0u);
}

TEST_F(RegistryValues, OtherTypesKeepTheirBytes) {
  const DWORD dword = 0xDEADBEEF;
  const ULONGLONG qword = 0x0123456789ABCDEFULL;
  const unsigned char binary[] = {0x00, 0xFF, 0x10, 0x00, 0x7F};
  const unsigned char oddDword[] = {1, 2, 3};
  ASSERT_EQ(SetBytes(key_.get(), L"d", REG_DWORD, &dword, 4), ERROR_SUCCESS);
  ASSERT_EQ(SetBytes(key_.get(), L"q", REG_QWORD, &qword, 8), ERROR_SUCCESS);
  ASSERT_EQ(SetBytes(key_.get(), L"b", REG_BINARY, binary, 5), ERROR_SUCCESS);
  ASSERT_EQ(SetBytes(key_.get(), L"n", REG_NONE, nullptr, 0), ERROR_SUCCESS);
  ASSERT_EQ(SetBytes(key_.get(), L"odd", REG_DWORD, oddDword, 3), ERROR_SUCCESS);
  ASSERT_EQ(SetBytes(key_.get(), L"link", 6, binary, 5), ERROR_SUCCESS);  // an unlisted type

  std::string bytes;
  DWORD type = 0;
  ASSERT_EQ(Get(key_.get(), L"d", &bytes, &type), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_DWORD);
  EXPECT_EQ(bytes, std::string(reinterpret_cast<const char*>(&dword), 4));
  ASSERT_EQ(Get(key_.get(), L"q", &bytes, &type), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_QWORD);
  EXPECT_EQ(bytes, std::string(reinterpret_cast<const char*>(&qword), 8));
  ASSERT_EQ(Get(key_.get(), L"b", &bytes, &type), ERROR_SUCCESS);
  EXPECT_EQ(bytes, std::string(reinterpret_cast<const char*>(binary), 5));
  ASSERT_EQ(Get(key_.get(), L"n", &bytes, &type), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_NONE);
  EXPECT_TRUE(bytes.empty());
  ASSERT_EQ(Get(key_.get(), L"odd", &bytes, &type), ERROR_SUCCESS);
  EXPECT_EQ(bytes.size(), 3u);
  ASSERT_EQ(Get(key_.get(), L"link", &bytes, &type), ERROR_SUCCESS);
  EXPECT_EQ(type, 6u);
}

TEST_F(RegistryValues, SetRejectsMalformedData) {
  const wchar_t text[] = L"abc";
  EXPECT_EQ(SetBytes(key_.get(), L"s", REG_SZ, text, 5), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(SetBytes(key_.get(), L"s", REG_MULTI_SZ, text, 6), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(SetBytes(key_.get(), L"s", REG_BINARY, nullptr, 4), ERROR_INVALID_PARAMETER);
  std::string bytes;
  EXPECT_EQ(Get(key_.get(), L"s", &bytes), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(SetBytes(key_.get(), L"b", REG_BINARY, text, 5), ERROR_SUCCESS);  // any size is fine
}

TEST_F(RegistryValues, QueryFollowsTheBufferRules) {
  ASSERT_EQ(SetString(key_.get(), L"name", L"hello"), ERROR_SUCCESS);
  const DWORD needed = 6 * sizeof(wchar_t);

  DWORD type = 0, size = 0;
  // Size only.
  EXPECT_EQ(RegQueryValueExW(key_.get(), L"name", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, needed);
  EXPECT_EQ(type, REG_SZ);
  // Existence only.
  EXPECT_EQ(RegQueryValueExW(key_.get(), L"name", nullptr, nullptr, nullptr, nullptr),
            ERROR_SUCCESS);
  // Data without a size.
  BYTE buffer[64];
  EXPECT_EQ(RegQueryValueExW(key_.get(), L"name", nullptr, &type, buffer, nullptr),
            ERROR_INVALID_PARAMETER);
  // A reserved pointer.
  DWORD reserved = 0;
  EXPECT_EQ(RegQueryValueExW(key_.get(), L"name", &reserved, &type, nullptr, &size),
            ERROR_INVALID_PARAMETER);
  // Short buffer: the needed size, the type, and the buffer untouched.
  std::memset(buffer, 0xAB, sizeof buffer);
  size = needed - 1;
  type = 0;
  EXPECT_EQ(RegQueryValueExW(key_.get(), L"name", nullptr, &type, buffer, &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, needed);
  EXPECT_EQ(type, REG_SZ);
  for (BYTE b : buffer) ASSERT_EQ(b, 0xAB);
  // Exact fit.
  size = needed;
  EXPECT_EQ(RegQueryValueExW(key_.get(), L"name", nullptr, &type, buffer, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, needed);
  EXPECT_EQ(std::wmemcmp(reinterpret_cast<const wchar_t*>(buffer), L"hello", 6), 0);
  // Missing value: the type stays as it was.
  type = 77;
  size = sizeof buffer;
  EXPECT_EQ(RegQueryValueExW(key_.get(), L"other", nullptr, &type, buffer, &size),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(type, 77u);
}

TEST_F(RegistryValues, NullAndEmptyNamesAreTheDefaultValue) {
  ASSERT_EQ(SetString(key_.get(), nullptr, L"first"), ERROR_SUCCESS);
  std::string bytes;
  ASSERT_EQ(Get(key_.get(), L"", &bytes), ERROR_SUCCESS);
  EXPECT_EQ(bytes, Bytes(std::wstring(L"first") + L'\0'));
  ASSERT_EQ(SetString(key_.get(), L"", L"second"), ERROR_SUCCESS);
  ASSERT_EQ(Get(key_.get(), nullptr, &bytes), ERROR_SUCCESS);
  EXPECT_EQ(bytes, Bytes(std::wstring(L"second") + L'\0'));
  EXPECT_EQ(RegDeleteValueW(key_.get(), nullptr), ERROR_SUCCESS);
  EXPECT_EQ(Get(key_.get(), L"", &bytes), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryValues, NamesIgnoreCaseAndKeepTheFirstSpelling) {
  ASSERT_EQ(SetDword(key_.get(), L"MixedCase", 1), ERROR_SUCCESS);
  ASSERT_EQ(SetDword(key_.get(), L"\u00E9t\u00E9 \u0434\u043E\u043C", 2), ERROR_SUCCESS);
  ASSERT_EQ(SetDword(key_.get(), L"MIXEDCASE", 3), ERROR_SUCCESS);  // overwrites
  std::string bytes;
  ASSERT_EQ(Get(key_.get(), L"mixedcase", &bytes), ERROR_SUCCESS);
  EXPECT_EQ(bytes[0], 3);
  ASSERT_EQ(Get(key_.get(), L"\u00C9T\u00C9 \u0414\u041E\u041C", &bytes), ERROR_SUCCESS);
  EXPECT_EQ(bytes[0], 2);

  wchar_t name[64];
  DWORD length = 64;
  ASSERT_EQ(RegEnumValueW(key_.get(), 0, name, &length, nullptr, nullptr, nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(std::wstring(name, length), L"MixedCase");
  EXPECT_EQ(RegDeleteValueW(key_.get(), L"MIXEDcase"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteValueW(key_.get(), L"MixedCase"), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryValues, ValueNamesUpTo16383Characters) {
  const std::wstring longest(REGISTRY_MAX_VALUE_NAME, L'v');
  const std::wstring tooLong(REGISTRY_MAX_VALUE_NAME + 1, L'v');
  EXPECT_EQ(SetDword(key_.get(), longest.c_str(), 1), ERROR_SUCCESS);
  EXPECT_EQ(SetDword(key_.get(), tooLong.c_str(), 1), ERROR_INVALID_PARAMETER);
  std::string bytes;
  EXPECT_EQ(Get(key_.get(), longest.c_str(), &bytes), ERROR_SUCCESS);
  EXPECT_EQ(Get(key_.get(), tooLong.c_str(), &bytes), ERROR_INVALID_PARAMETER);
}

TEST_F(RegistryValues, EnumerationByFoldedNameWithTheDocumentedSizes) {
  ASSERT_EQ(SetString(key_.get(), L"beta", L"bb"), ERROR_SUCCESS);
  ASSERT_EQ(SetDword(key_.get(), L"Alpha", 7), ERROR_SUCCESS);
  ASSERT_EQ(SetString(key_.get(), L"", L"default"), ERROR_SUCCESS);

  wchar_t name[16];
  DWORD length = 16, type = 0, size = 0;
  ASSERT_EQ(RegEnumValueW(key_.get(), 0, name, &length, nullptr, &type, nullptr, &size),
            ERROR_SUCCESS);
  EXPECT_EQ(length, 0u);  // the default value sorts first
  EXPECT_EQ(size, 8 * sizeof(wchar_t));

  length = 16;
  ASSERT_EQ(RegEnumValueW(key_.get(), 1, name, &length, nullptr, &type, nullptr, &size),
            ERROR_SUCCESS);
  EXPECT_EQ(std::wstring(name, length), L"Alpha");
  EXPECT_EQ(type, REG_DWORD);

  // A name buffer without room for the terminator.
  length = 4;
  EXPECT_EQ(RegEnumValueW(key_.get(), 2, name, &length, nullptr, &type, nullptr, &size),
            ERROR_MORE_DATA);
  // A data buffer that is too small gives the needed size.
  BYTE data[4];
  length = 16;
  size = sizeof data;
  EXPECT_EQ(RegEnumValueW(key_.get(), 2, name, &length, nullptr, &type, data, &size),
            ERROR_MORE_DATA);
  EXPECT_EQ(size, 3 * sizeof(wchar_t));
  length = 16;
  EXPECT_EQ(RegEnumValueW(key_.get(), 3, name, &length, nullptr, &type, nullptr, &size),
            ERROR_NO_MORE_ITEMS);
  EXPECT_EQ(RegEnumValueW(key_.get(), 0, nullptr, &length, nullptr, &type, nullptr, &size),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegEnumValueW(key_.get(), 0, name, &length, nullptr, &type, data, nullptr),
            ERROR_INVALID_PARAMETER);
}

TEST_F(RegistryValues, NarrowFunctionsSpeakUtf8) {
  Key sub(Create(L"SOFTWARE\\Test\\Caf\u00E9"));
  ASSERT_EQ(SetString(sub.get(), L"Gr\u00FC\u00DFe", L"h\u00E9llo"), ERROR_SUCCESS);
  const std::wstring multi{L'a', L'\0', L'\u20AC', L'\0', L'\0'};
  ASSERT_EQ(SetBytes(sub.get(), L"list", REG_MULTI_SZ, multi.data(),
                     static_cast<DWORD>(multi.size() * sizeof(wchar_t))),
            ERROR_SUCCESS);
  ASSERT_EQ(SetDword(sub.get(), L"n", 0x01020304), ERROR_SUCCESS);

  Key narrow;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "software\\test\\CAF\xC3\x89", 0, KEY_READ,
                          narrow.out()),
            ERROR_SUCCESS);
  const std::string expected("h\xC3\xA9llo\0", 7);
  DWORD type = 0, size = 0;
  ASSERT_EQ(RegQueryValueExA(narrow.get(), "GR\xC3\x9C\xC3\x9F" "e", nullptr, &type, nullptr,
                             &size),
            ERROR_SUCCESS);
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(size, expected.size());
  char buffer[32];
  size = 3;
  EXPECT_EQ(RegQueryValueExA(narrow.get(), "gr\xC3\xBC\xC3\x9F" "e", nullptr, &type,
                             reinterpret_cast<BYTE*>(buffer), &size),
            ERROR_MORE_DATA);
  EXPECT_EQ(size, expected.size());
  size = sizeof buffer;
  ASSERT_EQ(RegQueryValueExA(narrow.get(), "gr\xC3\xBC\xC3\x9F" "e", nullptr, &type,
                             reinterpret_cast<BYTE*>(buffer), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(std::string(buffer, size), expected);

  size = sizeof buffer;
  ASSERT_EQ(RegQueryValueExA(narrow.get(), "list", nullptr, &type, reinterpret_cast<BYTE*>(buffer),
                             &size),
            ERROR_SUCCESS);
  EXPECT_EQ(std::string(buffer, size), std::string("a\0\xE2\x82\xAC\0\0", 7));
  size = sizeof buffer;
  ASSERT_EQ(RegQueryValueExA(narrow.get(), "N", nullptr, &type, reinterpret_cast<BYTE*>(buffer),
                             &size),
            ERROR_SUCCESS);
  EXPECT_EQ(size, 4u);
  EXPECT_EQ(type, REG_DWORD);
}

}  // namespace
}  // namespace registry_test
