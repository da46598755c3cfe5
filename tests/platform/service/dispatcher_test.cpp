// The service dispatcher driven the way systemd drives it: a notification socket that the test
// reads and signals sent to the process.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/service/service.h"
#include "platform/system/last_error.h"
#include "tests/platform/service/notify_socket.h"
#include "tests/support/environment/isolated_environment.h"

namespace service_test {
namespace {

using namespace std::chrono_literals;

// What the test service saw; ServiceMain and the handler are plain functions, so they reach it
// through this global, set for one test at a time.
struct Recorder {
  std::mutex lock;
  std::condition_variable changed;
  std::vector<DWORD> controls;
  bool stopRequested = false;
  SERVICE_STATUS_HANDLE handle = nullptr;
  DWORD secondDispatcherError = 0;
  bool controlsBeforeFirstReport = false;
  int reports = 0;                 // status reports made so far
  int reportsBeforeFirstControl = -1;

  void Record(DWORD control) {
    std::lock_guard guard(lock);
    if (controls.empty()) reportsBeforeFirstControl = reports;
    controls.push_back(control);
    if (control == SERVICE_CONTROL_STOP) stopRequested = true;
    changed.notify_all();
  }

  bool WaitForControls(std::size_t count) {
    std::unique_lock guard(lock);
    return changed.wait_for(guard, 30s, [&] { return controls.size() >= count; });
  }
};

Recorder* recorder = nullptr;

void Report(DWORD state, DWORD waitHint = 0) {
  {
    // Counted as it begins: a control may be delivered before SetServiceStatus returns.
    std::lock_guard guard(recorder->lock);
    ++recorder->reports;
  }
  SERVICE_STATUS status{SERVICE_WIN32_OWN_PROCESS, state, SERVICE_ACCEPT_STOP, 0, 0, 0, waitHint};
  EXPECT_TRUE(SetServiceStatus(recorder->handle, &status)) << GetLastError();
}

void TestHandler(DWORD control) { recorder->Record(control); }

void TestServiceMain(DWORD argc, LPWSTR* argv) {
  EXPECT_EQ(argc, 1u);
  EXPECT_STREQ(argv[0], L"TestService");
  // A dispatcher already runs in this process.
  SERVICE_TABLE_ENTRYW table[] = {{const_cast<LPWSTR>(L"Other"), TestServiceMain}, {nullptr, nullptr}};
  recorder->secondDispatcherError = StartServiceCtrlDispatcherW(table) ? 0 : GetLastError();

  // The waits below are not synchronisation but windows: the first lets the dispatcher queue a
  // control while no handler exists, the second shows a stop delivered before the first report.
  // A correct dispatcher lets both run out.
  if (recorder->controlsBeforeFirstReport) {
    ::kill(::getpid(), SIGUSR1);
    std::this_thread::sleep_for(100ms);
  }
  recorder->handle = RegisterServiceCtrlHandlerW(L"testservice", TestHandler);  // any letter case
  ASSERT_NE(recorder->handle, nullptr);
  if (recorder->controlsBeforeFirstReport) {
    ::kill(::getpid(), SIGTERM);
    std::unique_lock guard(recorder->lock);
    recorder->changed.wait_for(guard, 500ms, [] { return recorder->stopRequested; });
  }
  Report(SERVICE_START_PENDING, 3000);
  Report(SERVICE_RUNNING);
  {
    std::unique_lock guard(recorder->lock);
    recorder->changed.wait_for(guard, 60s, [] { return recorder->stopRequested; });
  }
  Report(SERVICE_STOP_PENDING);
  Report(SERVICE_STOPPED);
}

class Dispatcher : public ::testing::Test {
 protected:
  void SetUp() override {
    recorder = &recorder_;
    ::unsetenv("INVOCATION_ID");
    ::setenv("NOTIFY_SOCKET", socket_.path().c_str(), 1);
    ASSERT_TRUE(socket_.bound());
  }
  void TearDown() override {
    ::unsetenv("NOTIFY_SOCKET");
    recorder = nullptr;
  }

  BOOL RunDispatcher() {
    SERVICE_TABLE_ENTRYW table[] = {{const_cast<LPWSTR>(L"TestService"), TestServiceMain}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherW(table);
  }

  Talvaro::Testing::IsolatedEnvironment environment_;
  NotifySocket socket_{(environment_.Root() / "notify").string()};
  Recorder recorder_;
};

TEST_F(Dispatcher, SignalsBecomeControlsAndStatesReachTheNotificationSocket) {
  // This thread exists before the dispatcher, so it does not block the signals: whatever it
  // receives is passed on to the dispatcher thread.
  std::thread systemd([this] {
    auto message = socket_.Receive();
    ASSERT_TRUE(message);
    EXPECT_EQ(*message, "STATUS=Start pending\nEXTEND_TIMEOUT_USEC=3000000");
    message = socket_.Receive();
    ASSERT_TRUE(message);
    EXPECT_EQ(*message, "READY=1\nSTATUS=Running");
    // One at a time: pending signals would be delivered in signal-number order.
    const std::vector<int> signals = {SIGUSR1, SIGHUP, SIGUSR2, SIGTERM};
    for (std::size_t i = 0; i < signals.size(); ++i) {
      ::kill(::getpid(), signals[i]);
      ASSERT_TRUE(recorder_.WaitForControls(i + 1));
    }
    message = socket_.Receive();
    ASSERT_TRUE(message);
    EXPECT_EQ(*message, "STOPPING=1\nSTATUS=Stop pending");
    message = socket_.Receive();
    ASSERT_TRUE(message);
    EXPECT_EQ(*message, "STATUS=Stopped");
  });
  EXPECT_TRUE(RunDispatcher()) << GetLastError();
  systemd.join();

  EXPECT_EQ(recorder_.controls, (std::vector<DWORD>{128, SERVICE_CONTROL_PARAMCHANGE, 129, SERVICE_CONTROL_STOP}));
  EXPECT_EQ(recorder_.secondDispatcherError, ERROR_SERVICE_ALREADY_RUNNING);
  // The handle ends with its dispatcher; no handler can be registered without one.
  SERVICE_STATUS status{SERVICE_WIN32_OWN_PROCESS, SERVICE_STOPPED, 0, 0, 0, 0, 0};
  EXPECT_FALSE(SetServiceStatus(recorder_.handle, &status));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegisterServiceCtrlHandlerW(L"TestService", TestHandler), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_NOT_IN_EXE);
}

TEST_F(Dispatcher, ControlsBeforeTheFirstReportWaitForItAndAreNotLost) {
  // The service manager sends no control before the service reported a status that accepts
  // it: a handler run earlier would report through a handle the service has not stored yet.
  // One control comes before the handler exists, a stop after it but before the first report.
  recorder_.controlsBeforeFirstReport = true;
  EXPECT_TRUE(RunDispatcher());
  EXPECT_EQ(recorder_.controls, (std::vector<DWORD>{128, SERVICE_CONTROL_STOP}));
  EXPECT_GE(recorder_.reportsBeforeFirstControl, 1);
}

TEST_F(Dispatcher, RefusesWithoutSystemdAndMalformedTables) {
  ::unsetenv("NOTIFY_SOCKET");
  SERVICE_TABLE_ENTRYW table[] = {{const_cast<LPWSTR>(L"TestService"), TestServiceMain}, {nullptr, nullptr}};
  EXPECT_FALSE(StartServiceCtrlDispatcherW(table));
  EXPECT_EQ(GetLastError(), ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);

  // An invocation id alone, in a process whose parent is not PID 1: a shell of a desktop
  // session, not a service.
  ::setenv("INVOCATION_ID", "0123", 1);
  EXPECT_FALSE(StartServiceCtrlDispatcherW(table));
  EXPECT_EQ(GetLastError(), ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
  ::unsetenv("INVOCATION_ID");

  SERVICE_TABLE_ENTRYW empty[] = {{nullptr, nullptr}};
  EXPECT_FALSE(StartServiceCtrlDispatcherW(empty));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_DATA);
  EXPECT_FALSE(StartServiceCtrlDispatcherW(nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_DATA);
}

}  // namespace
}  // namespace service_test
