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

// Every type comes back with the very bytes stored: string types as the caller's units
// (terminators, embedded NULs, a missing terminator, text beyond the BMP), others raw, also
// with sizes that do not suit their type and types the registry does not list.
TEST_F(RegistryValues, EveryTypeKeepsItsBytesExactly) {
  const struct {
    const wchar_t* name;
    DWORD type;
    std::string bytes;
  } values[] = {
      {L"multi", REG_MULTI_SZ, Bytes({L'a', L'\0', L'b', L'\u00E9', L'\0', L'\0'})},
      {L"raw", REG_SZ, Bytes(L"abc")},
      {L"wide", REG_EXPAND_SZ, Bytes({L'x', static_cast<wchar_t>(0x1F600), L'\u0434', L'\0'})},
      {L"empty", REG_SZ, ""},
      {L"d", REG_DWORD, std::string("\xEF\xBE\xAD\xDE", 4)},
      {L"q", REG_QWORD, std::string("\x01\x23\x45\x67\x89\xAB\xCD\xEF", 8)},
      {L"b", REG_BINARY, std::string("\x00\xFF\x10\x00\x7F", 5)},
      {L"n", REG_NONE, ""},
      {L"odd", REG_DWORD, std::string("\x01\x02\x03", 3)},
      {L"link", 6, std::string("\x00\xFF\x10\x00\x7F", 5)},
  };
  for (const auto& v : values) {
    ASSERT_EQ(SetBytes(key_.get(), v.name, v.type, v.bytes.empty() ? nullptr : v.bytes.data(),
                       static_cast<DWORD>(v.bytes.size())),
              ERROR_SUCCESS);
  }
  for (const auto& v : values) {
    std::string bytes;
    DWORD type = 0;
    ASSERT_EQ(Get(key_.get(), v.name, &bytes, &type), ERROR_SUCCESS);
    EXPECT_EQ(type, v.type) << v.name;
    EXPECT_EQ(bytes, v.bytes) << v.name;
  }
}

TEST_F(RegistryValues, SetRejectsMalformedData) {
  const wchar_t text[] = L"abc";
  EXPECT_EQ(SetBytes(key_.get(), L"s", REG_SZ, text, 5), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(SetBytes(key_.get(), L"s", REG_MULTI_SZ, text, 6), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(SetBytes(key_.get(), L"s", REG_BINARY, nullptr, 4), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(Query(key_.get(), L"s"), ERROR_FILE_NOT_FOUND);
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
  // Data without a size; a reserved pointer.
  BYTE buffer[64];
  EXPECT_EQ(RegQueryValueExW(key_.get(), L"name", nullptr, &type, buffer, nullptr),
            ERROR_INVALID_PARAMETER);
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

// Null and empty names are the default value; other names ignore case beyond ASCII, keep their
// first spelling and have at most 16383 characters.
TEST_F(RegistryValues, ValueNames) {
  std::string bytes;
  ASSERT_EQ(SetString(key_.get(), nullptr, L"first"), ERROR_SUCCESS);
  ASSERT_EQ(Get(key_.get(), L"", &bytes), ERROR_SUCCESS);
  EXPECT_EQ(bytes, Bytes(std::wstring(L"first") + L'\0'));
  ASSERT_EQ(SetString(key_.get(), L"", L"second"), ERROR_SUCCESS);
  ASSERT_EQ(Get(key_.get(), nullptr, &bytes), ERROR_SUCCESS);
  EXPECT_EQ(bytes, Bytes(std::wstring(L"second") + L'\0'));
  EXPECT_EQ(RegDeleteValueW(key_.get(), nullptr), ERROR_SUCCESS);
  EXPECT_EQ(Query(key_.get(), L""), ERROR_FILE_NOT_FOUND);

  ASSERT_EQ(SetDword(key_.get(), L"MixedCase", 1), ERROR_SUCCESS);
  ASSERT_EQ(SetDword(key_.get(), L"\u00E9t\u00E9 \u0434\u043E\u043C", 2), ERROR_SUCCESS);
  ASSERT_EQ(SetDword(key_.get(), L"MIXEDCASE", 3), ERROR_SUCCESS);  // overwrites
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

  const std::wstring longest(REGISTRY_MAX_VALUE_NAME, L'v');
  const std::wstring tooLong = longest + L'v';
  EXPECT_EQ(SetDword(key_.get(), longest.c_str(), 1), ERROR_SUCCESS);
  EXPECT_EQ(SetDword(key_.get(), tooLong.c_str(), 1), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(Query(key_.get(), longest.c_str()), ERROR_SUCCESS);
  EXPECT_EQ(Query(key_.get(), tooLong.c_str()), ERROR_INVALID_PARAMETER);
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

  // A name buffer without room for the terminator; a data buffer that is too small gives the
  // needed size.
  length = 4;
  EXPECT_EQ(RegEnumValueW(key_.get(), 2, name, &length, nullptr, &type, nullptr, &size),
            ERROR_MORE_DATA);
  BYTE data[4];
  length = 16;
  size = sizeof data;
  EXPECT_EQ(RegEnumValueW(key_.get(), 2, name, &length, nullptr, &type, data, &size),
            ERROR_MORE_DATA);
  EXPECT_EQ(size, 3 * sizeof(wchar_t));
  EXPECT_EQ(EnumValue(key_.get(), 3), ERROR_NO_MORE_ITEMS);
  EXPECT_EQ(RegEnumValueW(key_.get(), 0, nullptr, &length, nullptr, &type, nullptr, &size),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegEnumValueW(key_.get(), 0, name, &length, nullptr, &type, data, nullptr),
            ERROR_INVALID_PARAMETER);
}

TEST_F(RegistryValues, NarrowFunctionsSpeakUtf8) {
  Key sub(Create(L"SOFTWARE\\Test\\Caf\u00E9"));
  ASSERT_EQ(SetString(sub.get(), L"Gr\u00FC\u00DFe", L"h\u00E9llo"), ERROR_SUCCESS);
  ASSERT_EQ(SetUnits(sub.get(), L"list", REG_MULTI_SZ, {L'a', L'\0', L'\u20AC', L'\0', L'\0'}),
            ERROR_SUCCESS);
  ASSERT_EQ(SetDword(sub.get(), L"n", 0x01020304), ERROR_SUCCESS);

  Key narrow;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "software\\test\\CAF\xC3\x89", 0, KEY_READ,
                          narrow.out()),
            ERROR_SUCCESS);
  char buffer[32];
  DWORD type = 0, size = 0;
  const auto query = [&](const char* name, DWORD room) {
    size = room;
    return RegQueryValueExA(narrow.get(), name, nullptr, &type,
                            room == 0 ? nullptr : reinterpret_cast<BYTE*>(buffer), &size);
  };
  const std::string expected("h\xC3\xA9llo\0", 7);
  ASSERT_EQ(query("GR\xC3\x9C\xC3\x9F" "e", 0), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(size, expected.size());
  ASSERT_EQ(query("gr\xC3\xBC\xC3\x9F" "e", sizeof buffer), ERROR_SUCCESS);
  EXPECT_EQ(std::string(buffer, size), expected);
  ASSERT_EQ(query("list", sizeof buffer), ERROR_SUCCESS);
  EXPECT_EQ(std::string(buffer, size), std::string("a\0\xE2\x82\xAC\0\0", 7));
  ASSERT_EQ(query("N", sizeof buffer), ERROR_SUCCESS);
  EXPECT_EQ(size, 4u);
  EXPECT_EQ(type, REG_DWORD);
}

}  // namespace
}  // namespace registry_test
