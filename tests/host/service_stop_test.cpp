// Stopping the service while a client is connected, end to end: the real server under a
// notification socket as systemd runs it, and a `tcdctl open` holding the driver factory and a
// driver object. The stop disconnects the factory's clients, so revoking the class objects tears
// the factory down and the hardware stops before the process ends; the client learns that the
// server went away.
#include <gtest/gtest.h>
#include <signal.h>

#include <string>

#include "tests/host/probes.h"
#include "tests/host/server_process.h"
#include "tests/platform/service/notify_socket.h"
#include "tests/support/environment/isolated_environment.h"

namespace host_test {
namespace {

constexpr const char* kServer = TALVARO_SERVER_BINARY;
constexpr const char* kTcdctl = TALVARO_TCDCTL_BINARY;

TEST(ServiceStop, AConnectedClientNoLongerKeepsTheHardwareUp) {
  Talvaro::Testing::IsolatedEnvironment environment;
  ServerProcess install(kServer, {"/Service"});
  ASSERT_EQ(install.WaitForExit(), 0) << install.Stderr();
  service_test::NotifySocket socket((environment.Root() / "notify").string());
  ASSERT_TRUE(socket.bound());
  ServerProcess service(kServer, {},
                        {"NOTIFY_SOCKET=" + socket.path(), "INVOCATION_ID=0123456789abcdef"});
  ASSERT_EQ(socket.Receive().value_or("(none)"), "STATUS=Start pending");
  ASSERT_EQ(socket.Receive().value_or("(none)"), "READY=1\nSTATUS=Running");

  // READY comes before the class objects are published (clients of a real systemd would be
  // held until then by their start request; here nothing holds them), so wait for the endpoint.
  ASSERT_TRUE(WaitUntil([&] { return ServerProcess(kTcdctl, {"units"}).WaitForExit() == 0; }));
  // Connected once its driver delivers what the hardware sends.
  ServerProcess open(kTcdctl, {"open", "XRB_1"});
  ASSERT_TRUE(WaitUntil([&] {
    ServerProcess inject(kTcdctl, {"generic", "data XRB_1 0A0B"});
    return inject.WaitForExit() == 0 && Contains(open.Stdout(), "data 0A0B");
  })) << open.Stderr();

  service.Signal(SIGTERM);
  EXPECT_EQ(socket.Receive().value_or("(none)"), "STOPPING=1\nSTATUS=Stop pending");
  EXPECT_EQ(socket.Receive().value_or("(none)"), "STATUS=Stopped");
  EXPECT_EQ(service.WaitForExit(), 0) << service.Stderr();
  const std::string log = ReadText(environment.LogDirectory() / "TCD.log");
  EXPECT_TRUE(Contains(log, "Hardware communication stopped.")) << log;
  EXPECT_FALSE(Contains(log, "Hardware communication still runs")) << log;

  EXPECT_EQ(open.WaitForExit(), 1);
  EXPECT_EQ(open.Stderr(), "tcdctl: the server went away: The RPC server is unavailable (0x800706BA)\n");
}

}  // namespace
}  // namespace host_test
