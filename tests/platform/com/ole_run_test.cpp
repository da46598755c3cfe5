#include "platform/com/ole_run.h"

#include <gtest/gtest.h>

#include "platform/com/com_object.h"
#include "platform/com/com_ptr.h"
#include "platform/com/error_info.h"
#include "platform/com/interface_table.h"

namespace {

using platform::com::ComPtr;

// An object with a running state of its own beside being created.
class CRunnable : public platform::com::ObjectRoot, public IRunnableObject {
 public:
  using Interfaces = platform::com::InterfaceTable<CRunnable, IRunnableObject>;
  HRESULT GetRunningClass(CLSID*) override { return E_NOTIMPL; }
  HRESULT Run(IBindCtx* context) override {
    ++runs;
    givenContext = context;
    running = true;
    return answer;
  }
  BOOL IsRunning() override { return running ? TRUE : FALSE; }
  HRESULT LockRunning(BOOL, BOOL) override { return S_OK; }
  HRESULT SetContainedObject(BOOL) override { return S_OK; }

  int runs = 0;
  IBindCtx* givenContext = reinterpret_cast<IBindCtx*>(1);
  bool running = false;
  HRESULT answer = S_OK;
};

// An object that is running as soon as it exists: it has no IRunnableObject.
class CPlain : public platform::com::ObjectRoot, public ISupportErrorInfo {
 public:
  using Interfaces = platform::com::InterfaceTable<CPlain, ISupportErrorInfo>;
  HRESULT InterfaceSupportsErrorInfo(REFIID) override { return S_FALSE; }
};

TEST(OleRun, RunsWhatIsNotRunningAndLeavesEverythingElse) {
  EXPECT_EQ(OleRun(nullptr), E_INVALIDARG);
  ComPtr<platform::com::ComObject<CPlain>> plain;
  ASSERT_EQ(platform::com::CreateObject(&plain), S_OK);
  EXPECT_EQ(OleRun(plain->GetUnknown()), S_OK) << "without IRunnableObject: running already";

  ComPtr<platform::com::ComObject<CRunnable>> runnable;
  ASSERT_EQ(platform::com::CreateObject(&runnable), S_OK);
  EXPECT_EQ(OleRun(runnable->GetUnknown()), S_OK);
  EXPECT_EQ(runnable->runs, 1);
  EXPECT_EQ(runnable->givenContext, nullptr);

  ComPtr<platform::com::ComObject<CRunnable>> failing;
  ASSERT_EQ(platform::com::CreateObject(&failing), S_OK);
  failing->answer = E_OUTOFMEMORY;
  EXPECT_EQ(OleRun(failing->GetUnknown()), E_OUTOFMEMORY) << "Run's failure is OleRun's";
}

}  // namespace
