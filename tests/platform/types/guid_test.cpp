#include "platform/types/guid.h"

#include <gtest/gtest.h>

#include <unordered_set>

#include "platform/types/error_codes.h"

namespace {

constexpr GUID kFactory = platform::MakeGuid("{1C84D1BC-573F-490C-ADF2-0269F5A6AFDC}");

TEST(Guid, ParsesRegistryFormIntoFields) {
  EXPECT_EQ(kFactory.Data1, 0x1C84D1BCu);
  EXPECT_EQ(kFactory.Data2, 0x573F);
  EXPECT_EQ(kFactory.Data3, 0x490C);
  const BYTE tail[8] = {0xAD, 0xF2, 0x02, 0x69, 0xF5, 0xA6, 0xAF, 0xDC};
  for (int i = 0; i < 8; ++i) EXPECT_EQ(kFactory.Data4[i], tail[i]) << i;
}

TEST(Guid, AcceptsLowerCaseAndMissingBraces) {
  EXPECT_EQ(platform::ParseGuid("1c84d1bc-573f-490c-adf2-0269f5a6afdc"), kFactory);
  EXPECT_EQ(platform::ParseGuid(L"{1c84d1bc-573F-490c-ADF2-0269f5a6afdc}"), kFactory);
}

TEST(Guid, RejectsMalformedText) {
  for (const char* bad : {"", "{}", "{1C84D1BC-573F-490C-ADF2-0269F5A6AFD}",
                          "{1C84D1BC-573F-490C-ADF2-0269F5A6AFDCX}", "1C84D1BC+573F-490C-ADF2-0269F5A6AFDC",
                          "{1C84D1BC-573F-490C-ADF2-0269F5A6AFDG}", "(1C84D1BC-573F-490C-ADF2-0269F5A6AFDC)"}) {
    EXPECT_FALSE(platform::ParseGuid(std::string_view(bad))) << bad;
  }
}

TEST(Guid, FormatsUpperCaseWithBracesAndRoundTrips) {
  const GUID mixed = platform::MakeGuid("{95f7797c-75b3-4e83-8556-e6b0c4e46bee}");
  EXPECT_EQ(platform::FormatGuid(mixed), L"{95F7797C-75B3-4E83-8556-E6B0C4E46BEE}");
  EXPECT_EQ(platform::ParseGuid(platform::FormatGuid(mixed)), mixed);
  EXPECT_EQ(platform::FormatGuid(GUID_NULL), L"{00000000-0000-0000-0000-000000000000}");
}

TEST(Guid, Win32ConversionsCheckBuffersAndForm) {
  wchar_t buffer[39];
  EXPECT_EQ(StringFromGUID2(kFactory, buffer, 38), 0);
  EXPECT_EQ(StringFromGUID2(kFactory, buffer, 39), 39);
  EXPECT_STREQ(buffer, L"{1C84D1BC-573F-490C-ADF2-0269F5A6AFDC}");

  CLSID parsed{};
  EXPECT_EQ(CLSIDFromString(buffer, &parsed), S_OK);
  EXPECT_EQ(parsed, kFactory);
  EXPECT_EQ(CLSIDFromString(L"1C84D1BC-573F-490C-ADF2-0269F5A6AFDC", &parsed),
            MakeHresult(0x800401F3));
  EXPECT_EQ(IIDFromString(L"nonsense", &parsed), E_INVALIDARG);
}

TEST(Guid, HashSeparatesDistinctIdentifiers) {
  std::unordered_set<GUID, platform::GuidHash> set{kFactory, GUID_NULL};
  EXPECT_EQ(set.count(kFactory), 1u);
  EXPECT_EQ(set.count(platform::MakeGuid("{1C84D1BC-573F-490C-ADF2-0269F5A6AFDD}")), 0u);
}

}  // namespace
