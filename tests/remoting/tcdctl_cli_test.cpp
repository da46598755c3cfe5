// The built tcdctl against the real server, as a user would run it: every command in text and
// JSON, the event stream of open and watch ended by a signal, bad usage, a server that is not
// running, one that tcdctl starts, one that never answers, and one that goes away while tcdctl
// listens.
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "interfaces/driver_factory.h"
#include "platform/registry/registry.h"
#include "platform/remoting/endpoints.h"
#include "tests/remoting/remoting_fixture.h"

namespace Talvaro::RemotingTest {
namespace {

using namespace std::chrono_literals;

const std::string kLiveliness = "{\"event\":\"liveliness\",\"unit\":\"XRB_1\"}\n";

std::size_t Occurrences(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++count;
  return count;
}

class TcdctlCli : public ServerFixture {
 protected:
  struct Result {
    std::optional<int> status;
    std::string out;
    std::string err;
  };

  // Runs tcdctl to its end.
  Result Run(const std::vector<std::string>& arguments) {
    ChildProcess tcdctl(TCDCTL_BINARY, arguments);
    Result result;
    result.status = tcdctl.Wait();
    result.out = tcdctl.Output();
    result.err = tcdctl.Errors();
    return result;
  }

  // Runs each case in turn ({arguments, exit status, stdout, stderr}) and checks all of its results.
  struct Case {
    std::vector<std::string> arguments;
    int status;
    std::string out;
    std::string err;
  };
  void RunAll(const std::vector<Case>& cases) {
    for (const auto& expected : cases) {
      const auto result = Run(expected.arguments);
      std::string command;
      for (const auto& argument : expected.arguments) command += " '" + argument + "'";
      EXPECT_EQ(result.status, expected.status) << command;
      EXPECT_EQ(result.out, expected.out) << command;
      EXPECT_EQ(result.err, expected.err) << command;
    }
  }

  // A streaming command: started, and the caller ends it.
  std::unique_ptr<ChildProcess> Start(const std::vector<std::string>& arguments) {
    return std::make_unique<ChildProcess>(TCDCTL_BINARY, arguments);
  }
};

TEST_F(TcdctlCli, EveryOneShotCommandInTextAndJson) {
  StartServer();
  RunAll({
      {{"units"}, 0, "XRB_1\nXRB_2\n", ""},
      {{"--json", "units"}, 0, "{\"units\":[\"XRB_1\",\"XRB_2\"]}\n", ""},
      {{"info", "XRB_2"},
       0,
       "Logical name: XRB_2\nBackplainID: 1A02\nIP: 192.168.100.12\nMAC: 02-58-52-42-00-02\nState: Running\n",
       ""},
      {{"--json", "info", "XRB_1"},
       0,
       "{\"unit\":\"XRB_1\",\"info\":[\"Logical name: XRB_1\",\"BackplainID: 1A01\",\"IP: 192.168.100.11\","
       "\"MAC: 02-58-52-42-00-01\",\"State: Running\"]}\n",
       ""},
      {{"--json", "subitems", "XRB_1"}, 0, "{\"unit\":\"XRB_1\",\"subitems\":[\"Sensor_A\",\"Sensor_B\"]}\n", ""},
      {{"info", "XRB_9"}, 1, "", "tcdctl: no unit named 'XRB_9': The parameter is incorrect (0x80070057)\n"},
      {{"info", "XRB\x1b[2J"}, 1, "", "tcdctl: no unit named 'XRB\\x1b[2J': The parameter is incorrect (0x80070057)\n"},
      {{"write", "XRB_1", "0102A0FF", "7"}, 0, "result 0\n", ""},
      // The hardware's answer is a result, not a failure.
      {{"generic", "write-result XRB_1 -4"}, 0, "", ""},
      {{"--json", "write", "XRB_1", ""}, 0, "{\"unit\":\"XRB_1\",\"result\":-4}\n", ""},
      {{"--app", "cli", "write", "XRB_9", "01"},
       1,
       "",
       "tcdctl: cannot open XRB_9: the hardware could not open the unit (-1200)\n"},
      {{"create", "first", "second"}, 0, "", ""},
      {{"activate", "first", "second"}, 0, "", ""},
      {{"shutdown", "first", "second"}, 0, "", ""},
      {{"--json", "generic", "period * 0"}, 0, "{\"ok\":true}\n", ""},
      {{"generic", "no such command"},
       1,
       "",
       "tcdctl: the hardware refused the generic command: Unspecified error (0x80004005)\n"},
  });
}

TEST_F(TcdctlCli, OpenPrintsEachEventUntilInterrupted) {
  StartServer();
  ASSERT_EQ(Run({"generic", "period * 0"}).status, 0);  // only the events this test causes
  auto open = Start({"--json", "open", "XRB_1"});
  // Subscribed once the server holds a driver for it; then the events flow.
  ASSERT_TRUE(WaitUntil([&] {
    return Run({"generic", "data XRB_1 0A0B"}).status == 0 && open->Output().find("0A0B") != std::string::npos;
  }));
  ASSERT_EQ(Run({"generic", "error XRB_1 -5"}).status, 0);
  ASSERT_EQ(Run({"generic", "availability XRB_1 0"}).status, 0);
  ASSERT_TRUE(WaitUntil([&] { return open->Output().find("\"state\"") != std::string::npos; }));
  ASSERT_TRUE(WaitUntil([&] { return Occurrences(open->Output(), kLiveliness) >= 2; }, 20s))
      << "once a second: " << open->Output();
  open->Signal(SIGINT);
  ASSERT_EQ(open->Wait(), 0) << open->Errors();
  const std::string out = open->Output();
  EXPECT_NE(out.find("{\"event\":\"data\",\"unit\":\"XRB_1\",\"data\":\"0A0B\"}\n"), std::string::npos) << out;
  EXPECT_NE(out.find("{\"event\":\"error\",\"unit\":\"XRB_1\",\"code\":-5}\n"), std::string::npos) << out;
  EXPECT_NE(out.find("{\"event\":\"state\",\"unit\":\"XRB_1\",\"state\":0}\n"), std::string::npos) << out;
  EXPECT_EQ(open->Errors(), "");
  EXPECT_TRUE(WaitUntil([&] { return LogShows("Performing cleaup"); })) << "its driver object went with it";
}

TEST_F(TcdctlCli, AKilledSubscribersDriverObjectIsCleanedUpOnce) {
  StartServer();
  auto victim = Start({"--json", "open", "XRB_1"});
  ASSERT_TRUE(WaitUntil([&] { return Occurrences(victim->Output(), kLiveliness) >= 1; }, 20s)) << victim->Errors();
  victim->Signal(SIGKILL);
  victim->Wait();
  // Its release or the first liveliness event that fails, whichever comes first, cleans up.
  ASSERT_TRUE(WaitUntil([&] { return LogShows("Performing cleaup"); }, 20s)) << ServerLog();
  // Two more periods of the timer pass while a second client listens; nothing is cleaned twice.
  auto witness = Start({"--json", "open", "XRB_2"});
  const std::string witnessLine = "{\"event\":\"liveliness\",\"unit\":\"XRB_2\"}\n";
  ASSERT_TRUE(WaitUntil([&] { return Occurrences(witness->Output(), witnessLine) >= 2; }, 20s)) << witness->Errors();
  EXPECT_EQ(Occurrences(ServerLog(), "Performing cleaup"), 1u) << ServerLog();
  witness->Signal(SIGINT);
  EXPECT_EQ(witness->Wait(), 0);
}

TEST_F(TcdctlCli, WatchPrintsNotificationsUntilTerminated) {
  StartServer();
  ASSERT_EQ(Run({"generic", "period * 0"}).status, 0);
  auto watch = Start({"watch"});
  ASSERT_TRUE(WaitUntil([&] {
    return Run({"write", "XRB_2", "000000010000000200000003"}).status == 0 &&
           watch->Output().find("notify 00000001 00000002 00000003 bytes=12") != std::string::npos;
  }));
  watch->Signal(SIGTERM);
  EXPECT_EQ(watch->Wait(), 0) << watch->Errors();
}

TEST_F(TcdctlCli, BadUsageAndHelp) {
  RunAll({
      {{"open"}, 2, "", "tcdctl: open: wrong number of arguments\nTry 'tcdctl --help'.\n"},
      {{"--bogus"}, 2, "", "tcdctl: unknown option '--bogus'\nTry 'tcdctl --help'.\n"},
  });
  for (const auto& [arguments, text] : std::vector<std::pair<std::vector<std::string>, std::string>>{
           {{"--help"}, "SYNOPSIS"}, {{"watch", "--help"}, "tcdctl watch -"}}) {
    const auto result = Run(arguments);
    EXPECT_EQ(result.status, 0);
    EXPECT_NE(result.out.find(text), std::string::npos) << result.out;
    EXPECT_EQ(result.err, "");
  }
}

TEST_F(TcdctlCli, AServerThatIsNotRunningIsAClearFailure) {
  // Not registered (the registration of SetUp undone) and not running, though a class file
  // left by a server that died still names its socket.
  ChildProcess unregister(SERVER_BINARY, {"/UnregServer"}, ServerEnvironment());
  ASSERT_EQ(unregister.Wait(), 0) << unregister.Errors();
  ASSERT_TRUE(platform::remoting::MakeDirectories(platform::remoting::ClassDirectory()));
  std::ofstream(platform::remoting::ClassFilePath(CLSID_TalvaroCommunicationDriverFactory))
      << "socket=" << RunDirectory() << "/com-1.sock\npid=1\n";
  const auto started = std::chrono::steady_clock::now();
  const std::string notRunning =
      "tcdctl: cannot reach the server: it is not running and not registered: Class not registered (0x80040154)\n";
  RunAll({{{"units"}, 1, "", notRunning}, {{"watch"}, 1, "", notRunning}});
  EXPECT_LT(std::chrono::steady_clock::now() - started, 20s) << "answered without waiting for a server";

  // A damaged registry is not "not registered".
  const std::string registry = platform::registry::CurrentDatabasePath();
  std::ofstream(registry, std::ios::binary | std::ios::trunc) << std::string(4096, 'Z');
  RunAll({{{"units"}, 1, "",
           "tcdctl: cannot reach the server: the registry " + registry +
               " is damaged: The configuration registry database is corrupt (0x800703F1)\n"}});
}

TEST_F(TcdctlCli, AServerThatTakesNoCallsIsAFailureAfterTheTimeout) {
  // A socket that is listened on and never served, published as the factory's endpoint under
  // this process's id (the class file goes before the fixture would end the process it names).
  ASSERT_TRUE(platform::remoting::MakeDirectories(platform::remoting::ClassDirectory()));
  const std::string classFile = platform::remoting::ClassFilePath(CLSID_TalvaroCommunicationDriverFactory);
  struct Unpublish {
    std::string file;
    ~Unpublish() { std::filesystem::remove(file); }
  } unpublish{classFile};
  const std::string path = RunDirectory() + "/deaf.sock";
  const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  ASSERT_EQ(::listen(listener, 16), 0);
  std::ofstream(classFile) << "socket=" << path << "\npid=" << ::getpid() << "\n";
  RunAll({{{"units", "--timeout", "0.5"},
           1,
           "",
           "tcdctl: cannot reach the server: the server did not answer within 0.5 s (--timeout)\n"}});
  ::close(listener);
}

TEST_F(TcdctlCli, AServerItStartsIsAnnouncedOnStandardError) {
  // Registered (SetUp) and not running: tcdctl starts it, and it stays after tcdctl.
  auto result = Run({"--json", "units"});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, "{\"units\":[\"XRB_1\",\"XRB_2\"]}\n") << "the notice is not a result";
  const auto endpoint = platform::remoting::ReadClassFile(CLSID_TalvaroCommunicationDriverFactory);
  ASSERT_TRUE(endpoint);
  EXPECT_EQ(result.err, "tcdctl: started " + std::string(SERVER_BINARY) + " as a local server (pid " +
                            std::to_string(endpoint->pid) + ")\n");
  result = Run({"units"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.err, "") << "it was running already";
}

TEST_F(TcdctlCli, CtrlCEndsACommandWaitingForAServer) {
  // A registered program that never publishes: the activation would wait its whole time.
  LocalServerRegistration silent(CLSID_TalvaroCommunicationDriverFactory, "/bin/sh -c \"sleep 600; true\"");
  auto units = Start({"units"});
  const std::string notice = "tcdctl: started /bin/sh as a local server (pid ";
  ASSERT_TRUE(WaitUntil([&] { return units->Errors().find(")\n") != std::string::npos; })) << units->Errors();
  const std::string err = units->Errors();
  ASSERT_EQ(err.rfind(notice, 0), 0u) << err;
  KillAtEnd(static_cast<pid_t>(std::atol(err.c_str() + notice.size())));
  units->Signal(SIGINT);
  EXPECT_EQ(units->Wait(), 128 + SIGINT) << "Ctrl-C did not end it";
}

TEST_F(TcdctlCli, OpenEndsWithAFailureWhenTheServerGoesAway) {
  StartServer();
  auto open = Start({"open", "XRB_1"});
  ASSERT_TRUE(WaitUntil([&] {
    return Run({"generic", "data XRB_1 01"}).status == 0 && open->Output().find("data 01") != std::string::npos;
  }));
  server_->Signal(SIGKILL);
  EXPECT_EQ(open->Wait(), 1);
  EXPECT_EQ(open->Errors(), "tcdctl: the server went away: The RPC server is unavailable (0x800706BA)\n");
}

}  // namespace
}  // namespace Talvaro::RemotingTest
