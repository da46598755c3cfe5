// The module in-process: the service state machine (a stop during start-up wins, which cannot
// be timed from outside the process without races), controls, the event log text, the server
// reference count and the global interface table.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>
#include <typeinfo>
#include <vector>

#include "external/infra/exception_factory.h"
#include "host/module.h"
#include "interfaces/driver_factory.h"
#include "platform/com/apartment.h"
#include "platform/com/class_table.h"
#include "platform/com/server_process.h"
#include "platform/kernel/message_queue.h"
#include "platform/registry/registry.h"
#include "platform/system/process.h"
#include "tests/host/probes.h"
#include "tests/platform/service/notify_socket.h"
#include "tests/support/component/reference_count.h"
#include "tests/support/environment/isolated_environment.h"

namespace host_test {
namespace {

using Talvaro::Host::CTalvaroCommunicationDriverModule;

// Gives back, once the test's module is gone, the process-wide server references that it kept
// (in service mode Unlock never releases what Lock added), so later tests in this process start
// from the count the test found.
class ServerCountRestorer {
 public:
  ServerCountRestorer() : count_(platform::com::ServerProcessCount()) {}
  ~ServerCountRestorer() {
    while (platform::com::ServerProcessCount() > count_) CoReleaseServerProcess();
  }

 private:
  const ULONG count_;
};

class Module : public ::testing::Test {
 protected:
  std::vector<std::string> Records() const { return EventTexts(environment_.EventLog()); }

  Talvaro::Testing::IsolatedEnvironment environment_;
  ServerCountRestorer serverCount_;  // destroyed after the module
  CTalvaroCommunicationDriverModule module_;
};

// Start pending becomes running once, with one record; a stop before that step wins over it.
TEST_F(Module, StartPendingBecomesRunningOnceAndAStopDuringStartUpWins) {
  module_.SetServiceMode(true);
  module_.SetServiceStatus(SERVICE_START_PENDING);
  module_.ReportRunningIfStarting();
  EXPECT_EQ(module_.CurrentServiceState(), SERVICE_RUNNING);
  module_.ReportRunningIfStarting();
  EXPECT_EQ(Records(), std::vector<std::string>{"Service started/resumed"});

  module_.SetServiceStatus(SERVICE_START_PENDING);
  module_.Handler(SERVICE_CONTROL_STOP);  // the dispatcher thread's stop request
  EXPECT_EQ(module_.CurrentServiceState(), SERVICE_STOP_PENDING);
  module_.ReportRunningIfStarting();  // the service thread, after registering the class objects
  EXPECT_EQ(module_.CurrentServiceState(), SERVICE_STOP_PENDING);
  EXPECT_EQ(Records(), std::vector<std::string>{"Service started/resumed"});
}

// The same through the service entry, as systemd starts it: the stop is already waiting when the
// dispatcher starts, so it reaches the handler at the earliest moment the platform allows.
// Whether it comes before or after the running step depends on the threads; either way the
// state never goes back from stop pending, and the stop is reported through the status handle.
TEST_F(Module, AStopWaitingAtStartUpIsReportedAndNeverUndone) {
  ASSERT_EQ(module_.RegisterAppId(true), S_OK);
  service_test::NotifySocket socket((environment_.Root() / "notify").string());
  ASSERT_TRUE(socket.bound());
  ::setenv("NOTIFY_SOCKET", socket.path().c_str(), 1);

  // SIGTERM pending on this thread, which becomes the dispatcher thread.
  sigset_t term;
  sigemptyset(&term);
  sigaddset(&term, SIGTERM);
  sigset_t previous;
  ::pthread_sigmask(SIG_BLOCK, &term, &previous);
  ::pthread_kill(::pthread_self(), SIGTERM);
  const HRESULT result = module_.Start(SW_HIDE);
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  ::unsetenv("NOTIFY_SOCKET");

  EXPECT_EQ(result, S_OK);
  EXPECT_EQ(module_.CurrentServiceState(), SERVICE_STOPPED);
  std::vector<std::string> reports;
  while (reports.empty() || reports.back() != "STATUS=Stopped") {
    auto report = socket.Receive();
    if (!report) break;
    reports.push_back(*report);
  }
  const std::string all = testing::PrintToString(reports);
  ASSERT_FALSE(reports.empty());
  EXPECT_EQ(reports.front(), "STATUS=Start pending") << all;
  EXPECT_EQ(reports.back(), "STATUS=Stopped") << all;
  const auto stopping = std::find(reports.begin(), reports.end(), "STOPPING=1\nSTATUS=Stop pending");
  ASSERT_NE(stopping, reports.end()) << all;
  EXPECT_EQ(std::find(stopping, reports.end(), "READY=1\nSTATUS=Running"), reports.end()) << all;
  EXPECT_EQ(Records().back(), "Service stopped");
}

// Pause, continue, interrogate and shutdown change and write nothing; any other control but stop
// is a bad request. Event texts are cut to 255 characters and echoed outside service mode.
TEST_F(Module, ControlsOtherThanStopAndEventTexts) {
  module_.SetServiceMode(true);
  module_.SetServiceStatus(SERVICE_RUNNING);
  for (DWORD ignored : {SERVICE_CONTROL_PAUSE, SERVICE_CONTROL_CONTINUE, SERVICE_CONTROL_INTERROGATE,
                        SERVICE_CONTROL_SHUTDOWN}) {
    module_.Handler(ignored);
  }
  EXPECT_TRUE(Records().empty());
  module_.Handler(128);
  module_.Handler(SERVICE_CONTROL_PARAMCHANGE);
  EXPECT_EQ(module_.CurrentServiceState(), SERVICE_RUNNING);

  module_.LogEvent(L"%ls!", std::wstring(300, L'x').c_str());
  module_.SetServiceMode(false);
  ::testing::internal::CaptureStdout();
  module_.LogEvent(L"code %d", 42);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "code 42\n");
  EXPECT_EQ(Records(), (std::vector<std::string>{"Bad service request", "Bad service request",
                                                 std::string(255, 'x'), "code 42"}));
}

TEST_F(Module, ServiceModeUnlockOnlyCountsDown) {
  module_.SetServiceMode(true);
  const ULONG processCount = platform::com::ServerProcessCount();
  EXPECT_EQ(module_.Lock(), static_cast<LONG>(processCount + 1));
  EXPECT_EQ(module_.GetLockCount(), 0);  // Lock does not change it
  EXPECT_EQ(module_.Unlock(), -1);
  EXPECT_EQ(module_.GetLockCount(), -1);
  EXPECT_EQ(platform::com::ServerProcessCount(), processCount + 1);
}

// Made once; each caller gets a reference of its own beside the module's, which keeps it alive.
TEST_F(Module, GlobalInterfaceTableIsMadeOnceAndHandedOutCounted) {
  ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
  EXPECT_EQ(module_.GetGITPtr(nullptr), E_POINTER);
  platform::com::ComPtr<IGlobalInterfaceTable> first;
  ASSERT_EQ(module_.GetGITPtr(first.Put()), S_OK);
  const ULONG withFirst = Talvaro::Testing::CountOf(first.Get());
  platform::com::ComPtr<IGlobalInterfaceTable> second;
  ASSERT_EQ(module_.GetGITPtr(second.Put()), S_OK);
  EXPECT_EQ(first.Get(), second.Get());
  EXPECT_EQ(Talvaro::Testing::CountOf(first.Get()), withFirst + 1);
  first = nullptr;
  EXPECT_EQ(Talvaro::Testing::CountOf(second.Get()), withFirst);
  second = nullptr;
  CoUninitialize();
}

// Local-server mode: the monitor ends the loop when the last server reference goes, and not
// while the factory is held (the run loop holds it; here the test does).
TEST_F(Module, TheMonitorEndsALocalServerWhenItsLastReferenceGoes) {
  ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
  module_.SetServiceMode(false);
  ASSERT_EQ(platform::com::ServerProcessCount(), 0u) << "an earlier test kept a server reference";
  ASSERT_EQ(module_.PreMessageLoop(SW_HIDE), S_OK);  // class objects registered, monitor started

  platform::com::ComPtr<ITalvaroCommunicationDriverFactory> factory;
  ASSERT_EQ(CoCreateInstance(CLSID_TalvaroCommunicationDriverFactory, nullptr, CLSCTX_LOCAL_SERVER,
                             uuidof<ITalvaroCommunicationDriverFactory>, factory.PutVoid()),
            S_OK);
  ASSERT_EQ(platform::com::ServerProcessCount(), 1u);  // the factory counts
  EXPECT_EQ(module_.Lock(), 2);    // a client comes
  EXPECT_EQ(module_.Unlock(), 1);  // and goes: the held factory keeps the server
  EXPECT_EQ(module_.Lock(), 2);    // another client
  factory = nullptr;               // the factory goes first; the client keeps the server
  MSG message{};
  EXPECT_FALSE(PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_NOREMOVE));

  EXPECT_EQ(module_.Unlock(), 0);  // the last reference: the monitor posts the quit message
  EXPECT_TRUE(WaitUntil([&] { return PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE); }));

  // After revoking, the pause lets a client that raced with the end see the class objects gone.
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(module_.PostMessageLoop(), S_OK);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(CTalvaroCommunicationDriverModule::kPause));
  CoUninitialize();
}

// /debug registers as a local server; the word after a later '/' is not looked at.
TEST_F(Module, DebugSwitchRegistersAsLocalServer) {
  HRESULT result = E_FAIL;
  ::testing::internal::CaptureStderr();
  EXPECT_TRUE(module_.ParseCommandLine(L"TalvaroCommunicationDriver /DEBUG /help", &result));
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(result, S_OK);
  EXPECT_TRUE(module_.IsDebugMode());
  const std::wstring appId = L"AppID\\{BF272D41-684D-4A91-8170-D4298DF8A5CD}";
  EXPECT_EQ(StringValue(HKEY_CLASSES_ROOT, appId), L"TalvaroCommunicationDriver");
  EXPECT_FALSE(StringValue(HKEY_CLASSES_ROOT, appId, L"LocalService"));
  EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, L"CLSID\\{1C84D1BC-573F-490C-ADF2-0269F5A6AFDC}\\LocalServer32"));
}

// The module registers the exception family's throwers as it is made, so that a stored error
// raised anywhere in the server arrives as its own class. In a child process of its own, where
// no test registered them before.
TEST(ModuleStartUp, RegistersTheExceptionFamilysThrowers) {
  const auto raisedAs = [](HRESULT status) -> const std::type_info& {
    try {
      Infra::ExceptionFactory::Throw(Infra::ErrorStorage(status, IID_NULL));
    } catch (const Infra::ExceptionCOM& raised) {
      return typeid(raised);
    }
  };
  const auto registeredByTheModule = [&] {
    if (raisedAs(E_UNEXPECTED) != typeid(Infra::ExceptionCOM)) return false;  // registered already
    Talvaro::Testing::IsolatedEnvironment environment;
    ServerCountRestorer serverCount;
    CTalvaroCommunicationDriverModule module;
    return raisedAs(E_UNEXPECTED) == typeid(Infra::Unexpected) && raisedAs(E_POINTER) == typeid(Infra::Pointer);
  };
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(std::exit(registeredByTheModule() ? 0 : 1), ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace host_test
