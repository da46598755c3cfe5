#include "platform/system/code_page.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/system/last_error.h"
#include "platform/types/error_codes.h"

namespace {

TEST(MultiByteToWideChar, CountsThenConvertsUtf8AsTheAnsiCodePage) {
  const char* text = "Gr\xC3\xBC\xC3\x9F" "e";  // "Grüße": 7 bytes, 5 characters
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0), 6) << "with the terminator";
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, text, 4, nullptr, 0), 3) << "exactly the bytes given";
  wchar_t wide[6] = {};
  ASSERT_EQ(MultiByteToWideChar(CP_ACP, 0, text, -1, wide, 6), 6);
  EXPECT_EQ(std::wstring(wide), L"Gr\u00FC\u00DFe");

  const auto fails = [](DWORD error, auto... arguments) {
    SetLastError(0);
    EXPECT_EQ(MultiByteToWideChar(arguments...), 0);
    EXPECT_EQ(GetLastError(), error);
  };
  fails(ERROR_INSUFFICIENT_BUFFER, CP_ACP, 0u, text, -1, wide, 5);
  fails(ERROR_INVALID_PARAMETER, 1252u, 0u, text, -1, wide, 6);
  fails(ERROR_INVALID_PARAMETER, CP_ACP, 0u, nullptr, -1, wide, 6);
  fails(ERROR_INVALID_PARAMETER, CP_ACP, 0u, text, 0, wide, 6);
  fails(ERROR_INVALID_FLAGS, CP_UTF8, MB_PRECOMPOSED, text, -1, wide, 6);
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, text, -1, wide, 6), 6);
  fails(ERROR_NO_UNICODE_TRANSLATION, CP_UTF8, MB_ERR_INVALID_CHARS, "a\xFF", 2, wide, 6);
  ASSERT_EQ(MultiByteToWideChar(CP_UTF8, 0, "a\xFF", 2, wide, 6), 2) << "without the flag it is replaced";
  EXPECT_EQ(wide[1], L'\uFFFD');
  ASSERT_EQ(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, "\xEF\xBF\xBD", 3, wide, 6), 1)
      << "a U+FFFD in the text is no error";
}

}  // namespace
