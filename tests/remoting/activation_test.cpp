// Activation's launches and the endpoints servers leave: a LocalServer32 program that never
// publishes is ended and holds up no other program, launches are reported, a client leaves the
// run directory to the server, and a publishing server clears what dead servers left.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "platform/com/class_factory.h"
#include "platform/remoting/activation.h"
#include "platform/remoting/endpoints.h"
#include "tests/remoting/remoting_fixture.h"
#include "tests/remoting/test_probe.h"
#include "tests/remoting/test_probe_object.h"

namespace Talvaro::RemotingTest {
namespace {

namespace fs = std::filesystem;
using platform::com::ComPtr;
using platform::remoting::LaunchedServer;

constexpr CLSID kSilentClass = platform::MakeGuid("{3C1E7F0A-5B2D-4E8F-9A61-7D0C2B4E8F13}");

// The launches this process reports while it lives.
class LaunchLog {
 public:
  LaunchLog() {
    platform::remoting::SetLaunchObserver([this](const LaunchedServer& launched) {
      std::lock_guard lock(mutex_);
      launched_.push_back(launched);
    });
  }
  ~LaunchLog() { platform::remoting::SetLaunchObserver(nullptr); }
  LaunchLog(const LaunchLog&) = delete;
  LaunchLog& operator=(const LaunchLog&) = delete;

  std::vector<LaunchedServer> Launched() {
    std::lock_guard lock(mutex_);
    return launched_;
  }

 private:
  std::mutex mutex_;
  std::vector<LaunchedServer> launched_;  // guarded by mutex_
};

// A pid that no process has any more.
pid_t DeadPid() {
  ChildProcess ended("/bin/true", {});
  EXPECT_EQ(ended.Wait(), 0);
  return ended.Pid();
}

class ActivationTest : public RemotingFixture {};

TEST_F(ActivationTest, AProgramThatNeverPublishesIsEndedAndHoldsUpNoOtherProgram) {
  // Runs on without publishing, with a child of its own in its process group.
  LocalServerRegistration silent(kSilentClass, "/bin/sh -c \"sleep 600; true\"");
  LocalServerRegistration probe(CLSID_TestProbe, Quoted(PEER_BINARY));
  LaunchLog launches;
  std::atomic<bool> gaveUp{false};
  HRESULT silentResult = S_OK;
  std::thread waiting([&] {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    ComPtr<IUnknown> object;
    silentResult = Create(kSilentClass, &object);
    gaveUp = true;
    CoUninitialize();
  });
  pid_t silentPid = 0;
  if (WaitUntil([&] { return !launches.Launched().empty(); })) {
    silentPid = launches.Launched().front().pid;
    KillAtEnd(silentPid);
    // Another program starts while the first launch waits.
    ComPtr<ITestProbe> probeObject;
    EXPECT_EQ(Create(CLSID_TestProbe, &probeObject), S_OK);
    EXPECT_FALSE(gaveUp) << "the activation of another program waited for the silent one";
  } else {
    ADD_FAILURE() << "the silent program was not started";
  }
  waiting.join();
  EXPECT_EQ(silentResult, CO_E_SERVER_EXEC_FAILURE);
  if (silentPid > 0) {
    EXPECT_TRUE(WaitForExitOf(silentPid)) << "the program's process group still runs";
  }
}

TEST_F(ActivationTest, ALaunchIsReportedAndTheRunDirectoryLeftToTheServer) {
  // A program that ends at once: the activation gives up without the server's directories made.
  LocalServerRegistration failing(kSilentClass, "/bin/false");
  ASSERT_FALSE(fs::exists(RunDirectory()));
  LaunchLog launches;
  ComPtr<IUnknown> object;
  EXPECT_EQ(Create(kSilentClass, &object), CO_E_SERVER_EXEC_FAILURE);
  const auto launched = launches.Launched();
  ASSERT_EQ(launched.size(), 1u);
  EXPECT_EQ(launched[0].program, "/bin/false");
  EXPECT_GT(launched[0].pid, 0);
  EXPECT_FALSE(fs::exists(RunDirectory())) << "the client created the server's run directory";
}

TEST_F(ActivationTest, PublishingRemovesWhatDeadServersLeft) {
  // A server killed or ended by _exit leaves its socket and class files; a live one's stay.
  const pid_t dead = DeadPid();
  const std::string classes = platform::remoting::ClassDirectory();
  ASSERT_TRUE(platform::remoting::MakeDirectories(classes));
  const auto write = [](const std::string& path, const std::string& text) { std::ofstream(path) << text; };
  const std::string deadSocket = RunDirectory() + "/com-" + std::to_string(dead) + ".sock";
  const std::string liveSocket = RunDirectory() + "/com-1.sock";
  const std::string deadClass = platform::remoting::ClassFilePath(kSilentClass);
  const std::string liveClass = platform::remoting::ClassFilePath(CLSID_TestMailbox);
  const std::string deadTemporary = classes + "/." + platform::FormatGuidNarrow(kSilentClass) + "." + std::to_string(dead);
  write(deadSocket, "");
  write(liveSocket, "");
  write(deadClass, "socket=" + deadSocket + "\npid=" + std::to_string(dead) + "\n");
  write(deadTemporary, "socket=" + deadSocket + "\n");
  write(liveClass, "socket=" + liveSocket + "\npid=1\n");

  ComPtr<IUnknown> classObject;
  ASSERT_EQ(platform::com::CreateClassObject<platform::com::ClassFactory<CTestProbe>>(&classObject), S_OK);
  DWORD cookie = 0;
  ASSERT_EQ(CoRegisterClassObject(CLSID_TestProbe, classObject.Get(), CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &cookie),
            S_OK);
  EXPECT_FALSE(fs::exists(deadSocket));
  EXPECT_FALSE(fs::exists(deadClass));
  EXPECT_FALSE(fs::exists(deadTemporary));
  EXPECT_TRUE(fs::exists(liveSocket));
  EXPECT_TRUE(fs::exists(liveClass));
  const auto ours = platform::remoting::ReadClassFile(CLSID_TestProbe);
  EXPECT_TRUE(ours && ours->pid == ::getpid());
  EXPECT_EQ(CoRevokeClassObject(cookie), S_OK);
}

}  // namespace
}  // namespace Talvaro::RemotingTest
