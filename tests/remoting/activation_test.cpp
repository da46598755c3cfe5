// The endpoints servers leave: a publishing server clears what dead servers left.
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "platform/com/class_factory.h"
#include "platform/remoting/endpoints.h"
#include "tests/remoting/remoting_fixture.h"
#include "tests/remoting/test_probe.h"
#include "tests/remoting/test_probe_object.h"

namespace Talvaro::RemotingTest {
namespace {

namespace fs = std::filesystem;
using platform::com::ComPtr;

constexpr CLSID kSilentClass = platform::MakeGuid("{3C1E7F0A-5B2D-4E8F-9A61-7D0C2B4E8F13}");

// A pid that no process has any more.
pid_t DeadPid() {
  ChildProcess ended("/bin/true", {});
  EXPECT_EQ(ended.Wait(), 0);
  return ended.Pid();
}

class ActivationTest : public RemotingFixture {};

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
