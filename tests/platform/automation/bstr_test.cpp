#include "platform/automation/bstr.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

namespace platform::automation {
namespace {

using namespace std::string_view_literals;

std::uint32_t StoredByteCount(BSTR text) {
  std::uint32_t count = 0;
  std::memcpy(&count, reinterpret_cast<const unsigned char*>(text) - sizeof count, sizeof count);
  return count;
}

TEST(BstrTest, EmbeddedNulsKeepTheirLengthThroughEveryCopy) {
  constexpr auto text = L"ab\0cd\0"sv;
  BSTR raw = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  ASSERT_NE(raw, nullptr);
  EXPECT_EQ(SysStringLen(raw), 6u);
  EXPECT_EQ(SysStringByteLen(raw), 6u * sizeof(wchar_t));
  EXPECT_EQ(StoredByteCount(raw), 24u);  // the prefix counts bytes of 4-byte characters
  EXPECT_EQ(raw[6], L'\0');              // terminated after the last character
  EXPECT_EQ(BstrView(raw), text);

  Bstr owner = Bstr::Adopt(raw);
  Bstr copy = owner;
  EXPECT_NE(copy.Get(), owner.Get());
  EXPECT_EQ(copy.ToWString(), std::wstring(text));
  Bstr assigned{L"old"};
  assigned = owner;
  EXPECT_NE(assigned.Get(), owner.Get());
  EXPECT_EQ(assigned.View(), text);
  BSTR out = nullptr;
  ASSERT_EQ(owner.CopyTo(&out), S_OK);
  Bstr fromCopyTo = Bstr::Adopt(out);
  EXPECT_EQ(fromCopyTo.Length(), 6u);
  EXPECT_TRUE(fromCopyTo == owner);

  // Growing with a null source keeps the old characters, NULs included, and zero-fills.
  BSTR grown = owner.Detach();
  EXPECT_TRUE(owner.IsNull());
  ASSERT_TRUE(SysReAllocStringLen(&grown, nullptr, 8));
  EXPECT_EQ(BstrView(grown), L"ab\0cd\0\0\0"sv);
  SysFreeString(grown);
}

TEST(BstrTest, NullCountsAsEmptyAndEmptyIsNotNull) {
  EXPECT_EQ(SysStringLen(nullptr), 0u);
  EXPECT_EQ(SysStringByteLen(nullptr), 0u);
  EXPECT_EQ(SysAllocString(nullptr), nullptr);
  SysFreeString(nullptr);
  EXPECT_TRUE(BstrView(nullptr).empty());

  Bstr none;
  EXPECT_EQ(none.ToWString(), L"");
  EXPECT_TRUE(Bstr(none).IsNull());
  BSTR out = reinterpret_cast<BSTR>(0x1);
  EXPECT_EQ(none.CopyTo(&out), S_OK);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(none.CopyTo(nullptr), E_POINTER);

  Bstr empty{L""};
  EXPECT_FALSE(empty.IsNull());
  EXPECT_EQ(empty.Length(), 0u);
  EXPECT_TRUE(empty == none);  // same characters
}

TEST(BstrTest, ByteLengthsThatAreNoCharacterMultipleStayTerminated) {
  BSTR raw = SysAllocStringByteLen("abcde", 5);
  ASSERT_NE(raw, nullptr);
  EXPECT_EQ(SysStringByteLen(raw), 5u);
  EXPECT_EQ(SysStringLen(raw), 1u);
  EXPECT_EQ(std::memcmp(raw, "abcde", 5), 0);
  EXPECT_EQ(raw[2], L'\0');  // the partial character is followed by a whole NUL
  Bstr copy = Bstr::Adopt(raw);
  EXPECT_EQ(SysStringByteLen(Bstr(copy).Get()), 5u) << "copies keep the byte count";

  BSTR zeroed = SysAllocStringByteLen(nullptr, 8);
  ASSERT_NE(zeroed, nullptr);
  EXPECT_EQ(BstrView(zeroed), L"\0\0"sv);
  SysFreeString(zeroed);
}

TEST(BstrTest, ReallocationMayReadFromTheStringItReplacesAndRefusesHugeLengths) {
  BSTR text = SysAllocString(L"hello world");
  ASSERT_TRUE(SysReAllocString(&text, text + 6));
  EXPECT_EQ(BstrView(text), L"world");
  ASSERT_TRUE(SysReAllocStringLen(&text, text + 1, 3));
  EXPECT_EQ(BstrView(text), L"orl");
  // Byte counts beyond 32 bits are refused, and the old string is kept.
  EXPECT_EQ(SysAllocStringLen(nullptr, 0x40000000u), nullptr);
  EXPECT_FALSE(SysReAllocStringLen(&text, nullptr, 0x40000000u));
  EXPECT_EQ(BstrView(text), L"orl");
  ASSERT_TRUE(SysReAllocString(&text, nullptr));
  EXPECT_EQ(text, nullptr);
  EXPECT_FALSE(SysReAllocString(nullptr, L"x"));
}

TEST(BstrTest, OwnerHandsOwnershipAcrossOutParameters) {
  Bstr name{L"first"};
  BSTR* slot = name.Put();  // frees "first" (the leak checker would see it otherwise)
  EXPECT_EQ(*slot, nullptr);
  *slot = SysAllocString(L"second");
  EXPECT_EQ(name.View(), L"second");
  name.Attach(SysAllocString(L"third"));  // frees "second"
  Bstr moved = std::move(name);
  EXPECT_TRUE(name.IsNull());  // NOLINT(bugprone-use-after-move): moved-from state is defined
  EXPECT_EQ(moved.View(), L"third");
}

}  // namespace
}  // namespace platform::automation
