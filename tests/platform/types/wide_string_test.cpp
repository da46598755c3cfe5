#include "platform/types/wide_string.h"

#include <gtest/gtest.h>

namespace {

using platform::FromUtf8;
using platform::ToUtf8;

TEST(WideString, RoundTripsEveryPlaneAndEmbeddedNul) {
  const std::wstring text{L'a', L'\0', L'\u00E9', L'\u20AC', static_cast<wchar_t>(0x1F600), L'z'};
  const std::string utf8 = ToUtf8(text);
  EXPECT_EQ(utf8, std::string("a\0\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z", 12));
  EXPECT_EQ(FromUtf8(utf8), text);
}

TEST(WideString, MalformedUtf8BecomesReplacementCharacters) {
  // Lone continuation byte, truncated sequence at the end, overlong form, encoded surrogate.
  EXPECT_EQ(FromUtf8("\x80"), L"\uFFFD");
  EXPECT_EQ(FromUtf8("ab\xE2\x82"), L"ab\uFFFD");
  EXPECT_EQ(FromUtf8("\xC0\xAF"), L"\uFFFD\uFFFD");
  EXPECT_EQ(FromUtf8("\xED\xA0\x80x"), L"\uFFFD\uFFFD\uFFFDx");
  EXPECT_EQ(FromUtf8("\xF4\x90\x80\x80"), L"\uFFFD\uFFFD\uFFFD\uFFFD");
}

TEST(WideString, CodeUnitsOutsideUnicodeBecomeReplacementCharacters) {
  const std::wstring bad{static_cast<wchar_t>(0xD800), static_cast<wchar_t>(0x110000), L'x'};
  EXPECT_EQ(FromUtf8(ToUtf8(bad)), L"\uFFFD\uFFFDx");
}

TEST(WideString, UpperCaseIsUnicodeAwareAndLocaleIndependent) {
  EXPECT_EQ(platform::ToUpper(L"debug\u00E9\u0434"), L"DEBUG\u00C9\u0414");
  EXPECT_TRUE(platform::EqualsIgnoreCase(L"Software\\Classes", L"SOFTWARE\\classes"));
  EXPECT_FALSE(platform::EqualsIgnoreCase(L"Software", L"Softwares"));
  EXPECT_FALSE(platform::EqualsIgnoreCase(L"abc", L"abd"));
}

}  // namespace
