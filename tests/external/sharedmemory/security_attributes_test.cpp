#include "external/sharedmemory/security_attributes.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "external/sharedmemory/exceptions.h"

namespace SharedMemoryTransport {
namespace {

TEST(SecurityAttributes, TheTextsWeUseMapToFileModesAndOthersAreRefused) {
  EXPECT_EQ(CSecurityAttributes(L"D:(A;;GA;;;AU)(A;;GA;;;CO)").Mode(), 0666u) << "any user, the creator owns";
  EXPECT_EQ(CSecurityAttributes(L"D:(A;;GA;;;CO)").Mode(), 0600u);
  EXPECT_EQ(CSecurityAttributes(L"D:(A;;GA;;;WD)").Mode(), 0666u);
  EXPECT_EQ(CSecurityAttributes(L"D:(A;;GA;;;SY)(A;;GA;;;CO)").Mode(), 0600u) << "root needs no bits";
  for (const wchar_t* refused :
       {L"", L"O:BAD:(A;;GA;;;AU)", L"D:", L"D:(D;;GA;;;AU)", L"D:(A;OICI;GA;;;AU)", L"D:(A;;FA;;;AU)",
        L"D:(A;;GA;;;S-1-5-32-545)", L"D:(A;;GA;;AU)", L"D:(A;;GA;;;AU", L"D:(A;;GA;;;AU)x",
        L"D:(A;;GR;;;AU)(A;;GA;;;CO)", L"D:(A;;GA;;;BA)"}) {
    EXPECT_THROW(CSecurityAttributes{refused}, sharedmemory_runtime_error) << static_cast<int>(std::wcslen(refused));
  }
}

}  // namespace
}  // namespace SharedMemoryTransport
