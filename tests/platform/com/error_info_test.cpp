#include "platform/com/error_info.h"

#include <gtest/gtest.h>

#include <thread>

#include "platform/automation/bstr.h"
#include "platform/com/com_ptr.h"

using platform::automation::Bstr;
using platform::com::ComPtr;

namespace {

TEST(ErrorInfo, ThreadErrorObjectIsHandedOverOnceAndStaysOnItsThread) {
  ComPtr<ICreateErrorInfo> create;
  ASSERT_EQ(CreateErrorInfo(create.Put()), S_OK);
  create->SetDescription(L"The unit did not answer");
  create->SetSource(L"TalvaroCommunicationDriver");
  create->SetGUID(IID_IUnknown);
  ComPtr<IErrorInfo> info = create.As<IErrorInfo>();
  ASSERT_TRUE(info);
  ASSERT_EQ(SetErrorInfo(0, info.Get()), S_OK);
  info = nullptr;

  std::thread([] {
    ComPtr<IErrorInfo> none;
    EXPECT_EQ(GetErrorInfo(0, none.Put()), S_FALSE) << "error objects belong to their thread";
  }).join();

  ComPtr<IErrorInfo> taken;
  ASSERT_EQ(GetErrorInfo(0, taken.Put()), S_OK);
  Bstr description;
  ASSERT_EQ(taken->GetDescription(description.Put()), S_OK);
  EXPECT_EQ(description.ToWString(), L"The unit did not answer");
  GUID guid{};
  EXPECT_EQ(taken->GetGUID(&guid), S_OK);
  EXPECT_EQ(guid, IID_IUnknown);
  ComPtr<IErrorInfo> again;
  EXPECT_EQ(GetErrorInfo(0, again.Put()), S_FALSE) << "reading clears it";
  EXPECT_EQ(SetErrorInfo(1, nullptr), E_INVALIDARG);
}

}  // namespace
