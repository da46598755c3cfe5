#include "platform/system/format_message.h"

#include <gtest/gtest.h>

#include "platform/system/last_error.h"
#include "platform/types/error_codes.h"

namespace {

constexpr DWORD kSystem = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;

TEST(FormatMessage, GivesSystemTextsWithLineEnd) {
  wchar_t buffer[256];
  const DWORD written = FormatMessageW(kSystem, nullptr, ERROR_ACCESS_DENIED, 0, buffer, 256, nullptr);
  EXPECT_EQ(std::wstring(buffer), L"Access is denied.\r\n");
  EXPECT_EQ(written, 19u);
  ASSERT_GT(FormatMessageW(kSystem, nullptr, static_cast<DWORD>(RPC_S_SERVER_UNAVAILABLE_HR), 0, buffer, 256, nullptr), 0u);
  EXPECT_EQ(std::wstring(buffer), L"The RPC server is unavailable.\r\n");
  ASSERT_GT(FormatMessageW(kSystem, nullptr, static_cast<DWORD>(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)), 0,
                           buffer, 256, nullptr), 0u);
  EXPECT_EQ(std::wstring(buffer), L"The system cannot find the file specified.\r\n");
}

TEST(FormatMessage, AllocatesWhenAskedAndReportsFailures) {
  LPWSTR allocated = nullptr;
  const DWORD written = FormatMessageW(kSystem | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr,
                                       static_cast<DWORD>(E_FAIL), 0,
                                       reinterpret_cast<LPWSTR>(&allocated), 0, nullptr);
  ASSERT_NE(allocated, nullptr);
  EXPECT_EQ(std::wstring(allocated, written), L"Unspecified error\r\n");
  LocalFree(allocated);

  wchar_t small[4];
  EXPECT_EQ(FormatMessageW(kSystem, nullptr, ERROR_ACCESS_DENIED, 0, small, 4, nullptr), 0u);
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(FormatMessageW(kSystem, nullptr, 0xDEADBEEF, 0, small, 4, nullptr), 0u);
  EXPECT_EQ(GetLastError(), ERROR_MR_MID_NOT_FOUND);
  EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_STRING, L"text", 0, 0, small, 4, nullptr), 0u);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

}  // namespace
