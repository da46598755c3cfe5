// The server executable end to end, each test with a registry, runtime, log and unit directory
// and an event log of its own. Service mode is driven the way systemd drives it: a notification
// socket that the test reads, and signals.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/host/probes.h"
#include "tests/host/server_process.h"
#include "tests/platform/service/notify_socket.h"
#include "tests/support/environment/isolated_environment.h"

namespace host_test {
namespace {

namespace fs = std::filesystem;

constexpr const char* kServer = TALVARO_SERVER_BINARY;
const std::wstring kAppIdKey = L"AppID\\{BF272D41-684D-4A91-8170-D4298DF8A5CD}";
const std::wstring kFactoryKey = L"CLSID\\{1C84D1BC-573F-490C-ADF2-0269F5A6AFDC}";
const std::wstring kLifecycleKey = L"CLSID\\{CC7E9B5E-49E9-4143-BCFA-F2B794FF011A}";
const std::wstring kProgId = L"TalvaroCommunicationDriver.CommunicationDriver";
constexpr const char* kRunning = "TalvaroCommunicationDriver Service is running.";

std::wstring Widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }

class Executable : public ::testing::Test {
 protected:
  std::optional<int> RunToEnd(const std::vector<std::string>& arguments, const std::vector<std::string>& extra = {}) {
    return ServerProcess(kServer, arguments, extra).WaitForExit();
  }

  std::string Log() const { return ReadText(environment_.LogDirectory() / "TCD.log"); }
  std::vector<std::string> Events() const { return EventTexts(environment_.EventLog()); }
  fs::path Unit() const { return environment_.UnitDirectory() / "TalvaroCommunicationDriver.service"; }
  fs::path Fake(const std::string& file) const { return environment_.Root() / file; }

  // A systemctl stand-in, named to the server through the returned variable: appends its
  // arguments to calls.log; "is-active" prints the contents of `state` (default "active"); runs
  // run.<first argument> with sh when present; exits with the number in exit.<first argument>.
  std::vector<std::string> FakeSystemctl() const {
    std::ofstream(Fake("systemctl")) << "#!/bin/sh\ncd '" << environment_.Root().string() << "'\n"
                                     << "echo \"$*\" >> calls.log\n"
                                     << "if [ \"$1\" = is-active ]; then cat state 2>/dev/null || echo active; fi\n"
                                     << "if [ -f \"run.$1\" ]; then sh \"run.$1\"; fi\n"
                                     << "if [ -f \"exit.$1\" ]; then exit $(cat \"exit.$1\"); fi\n";
    fs::permissions(Fake("systemctl"), fs::perms::owner_all);
    return {"TALVARO_SYSTEMCTL=" + Fake("systemctl").string()};
  }
  // What the stand-in was asked since the last call, and forgets it.
  std::string TakeCalls() const {
    std::string calls = ReadText(Fake("calls.log"));
    fs::remove(Fake("calls.log"));
    return calls;
  }

  // Starts the registered service as systemd would; returns once it reported ready.
  std::unique_ptr<ServerProcess> StartService(service_test::NotifySocket& socket) {
    auto process = std::make_unique<ServerProcess>(
        kServer, std::vector<std::string>{},
        std::vector<std::string>{"NOTIFY_SOCKET=" + socket.path(), "INVOCATION_ID=0123456789abcdef"});
    EXPECT_EQ(socket.Receive().value_or("(none)"), "STATUS=Start pending");
    EXPECT_EQ(socket.Receive().value_or("(none)"), "READY=1\nSTATUS=Running");
    return process;
  }

  Talvaro::Testing::IsolatedEnvironment environment_;
};

TEST_F(Executable, HelpShowsTheTextOnStandardErrorAndExitsZero) {
  ServerProcess process(kServer, {"/help"});
  EXPECT_EQ(process.WaitForExit(), 0);
  EXPECT_EQ(process.Stderr(),
            "Talvaro Communication Driver\n"
            "Talvaro Communication Driver service.\n\nParameters:\n"
            "   /Service\t\t... register as service\n"
            "   /Unregserver\t... unregister service\n"
            "   /RegServer \t... register as out-of-process Local COM server\n\n"
            "   -debug \t\t... run Local COM server\n");
  EXPECT_EQ(process.Stdout(), "");
  EXPECT_FALSE(fs::exists(environment_.RunDirectory() / "TalvaroCommunicationDriverIsRunning.lock"));
}

TEST_F(Executable, RegServerThenUnregServerLeaveTheRegistryAsStated) {
  ASSERT_EQ(RunToEnd({"/RegServer"}), 0);
  const std::wstring module = L"\"" + Widen(fs::canonical(kServer).string()) + L"\"";
  const std::wstring appId = L"{BF272D41-684D-4A91-8170-D4298DF8A5CD}";
  EXPECT_EQ(StringValue(HKEY_CLASSES_ROOT, kAppIdKey), L"TalvaroCommunicationDriver");
  EXPECT_FALSE(StringValue(HKEY_CLASSES_ROOT, kAppIdKey, L"LocalService"));
  EXPECT_EQ(StringValue(HKEY_CLASSES_ROOT, L"AppID\\TalvaroCommunicationDriver.EXE", L"AppID"), appId);
  for (const auto& [key, name] : {std::pair{kFactoryKey, L"TalvaroCommunicationDriverFactory Class"},
                                  std::pair{kLifecycleKey, L"TalvaroCommunicationDriverGApp Class"}}) {
    EXPECT_EQ(StringValue(HKEY_CLASSES_ROOT, key), name);
    EXPECT_EQ(StringValue(HKEY_CLASSES_ROOT, key + L"\\LocalServer32"), module);
    EXPECT_EQ(StringValue(HKEY_CLASSES_ROOT, key + L"\\ProgID"), kProgId + L".1");
    EXPECT_EQ(StringValue(HKEY_CLASSES_ROOT, key + L"\\VersionIndependentProgID"), kProgId);
    EXPECT_EQ(StringValue(HKEY_CLASSES_ROOT, key + L"\\TypeLib"), L"{ABB4E8DA-A97D-43a3-8960-ADEF213F9E4D}");
    EXPECT_EQ(StringValue(HKEY_CLASSES_ROOT, key, L"AppID"), appId);
  }
  // Both scripts name the same identifiers; the lifecycle object, registered second, keeps them.
  EXPECT_EQ(StringValue(HKEY_CLASSES_ROOT, kProgId + L"\\CLSID"), L"{CC7E9B5E-49E9-4143-BCFA-F2B794FF011A}");
  EXPECT_EQ(StringValue(HKEY_CLASSES_ROOT, kProgId + L".1\\CLSID"), L"{CC7E9B5E-49E9-4143-BCFA-F2B794FF011A}");
  EXPECT_EQ(StringValue(HKEY_CLASSES_ROOT, kProgId + L"\\CurVer"), kProgId + L".1");
  // No switch registers the driver object or the observer.
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, L"CLSID\\{B94F6646-C3EF-4069-B692-C694A65C2D7F}"));
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, L"CLSID\\{95F7797C-75B3-4E83-8556-E6B0C4E46BEE}"));
  EXPECT_FALSE(fs::exists(Unit()));

  ASSERT_EQ(RunToEnd({"/UnregServer"}), 0);
  for (const auto& gone : {kAppIdKey, std::wstring(L"AppID\\TalvaroCommunicationDriver.EXE"), kFactoryKey,
                           kLifecycleKey, kProgId, kProgId + L".1"}) {
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, gone)) << testing::PrintToString(gone);
  }
  EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, L"AppID"));
  EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, L"CLSID"));
  EXPECT_EQ(RunToEnd({"/unregserver"}), 0);  // nothing left to remove: still quiet
}

// A class unregistration that fails keeps the application identity, and the process goes on to
// start as the registry says: here as the local server it is registered as.
TEST_F(Executable, AFailedClassUnregistrationKeepsTheIdentityAndStartsAsRegistered) {
  ASSERT_EQ(RunToEnd({"/RegServer"}), 0);
  // A subkey of the lifecycle class with a name longer than the registry functions accept,
  // written into the file behind their back: the unregistration cannot list it and fails.
  const std::string tooLong(300, 'x');
  const std::string insert = "INSERT INTO keys(parent, name, folded, last_write) SELECT id, '" + tooLong + "', '" +
                             tooLong + "', 0 FROM keys WHERE name = '{CC7E9B5E-49E9-4143-BCFA-F2B794FF011A}';";
  ASSERT_EQ(std::system(("sqlite3 '" + environment_.Registry().string() + "' \"" + insert + "\"").c_str()), 0);

  ServerProcess process(kServer, {"/UnregServer"});
  ASSERT_TRUE(WaitUntil([&] { return Contains(Log(), kRunning); })) << Log() << process.Stderr();
  EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, kAppIdKey));
  EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, kLifecycleKey));
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kFactoryKey)) << "the factory's unregistration, first, went through";
  process.Signal(SIGTERM);
  EXPECT_EQ(process.WaitForExit(), 128 + SIGTERM);
}

TEST_F(Executable, ASingleQuoteInThePathIsDoubledInsideTheQuotedPath) {
  const fs::path copy = environment_.Root() / "it's here" / "TalvaroCommunicationDriver";
  fs::create_directories(copy.parent_path());
  fs::copy_file(kServer, copy);
  fs::permissions(copy, fs::perms::owner_all);
  ASSERT_EQ(ServerProcess(copy.string(), {"/RegServer"}).WaitForExit(), 0);
  std::string doubled = fs::canonical(copy).string();
  doubled.replace(doubled.find('\''), 1, "''");
  EXPECT_EQ(StringValue(HKEY_CLASSES_ROOT, kFactoryKey + L"\\LocalServer32"), L"\"" + Widen(doubled) + L"\"");
}

TEST_F(Executable, ServiceSwitchTwiceRegistersOnce) {
  ASSERT_EQ(RunToEnd({"/Service"}), 0);  // the dispatcher refuses a console start: 1063, reported as 0
  EXPECT_EQ(StringValue(HKEY_CLASSES_ROOT, kAppIdKey, L"LocalService"), L"TalvaroCommunicationDriver");
  EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, kFactoryKey + L"\\LocalServer32"));
  const std::string unit = ReadText(Unit());
  for (const std::string& line :
       {"\nExecStart=\"" + fs::canonical(kServer).string() + "\"\n",
        std::string("\nDescription=Manages communication with XRB based hardware for TALVARO software.\n"),
        std::string("\nType=notify\n"), std::string("\nAfter=basic.target\n"),
        std::string("\n[Install]\nWantedBy=multi-user.target\n")}) {  // the last: automatic start
    EXPECT_TRUE(Contains(unit, line)) << line << " in\n" << unit;
  }
  EXPECT_TRUE(fs::is_symlink(environment_.UnitDirectory() / "multi-user.target.wants" /
                             "TalvaroCommunicationDriver.service"));

  struct stat before {};
  ASSERT_EQ(::stat(Unit().c_str(), &before), 0);
  ASSERT_EQ(RegDeleteTreeW(HKEY_CLASSES_ROOT, kProgId.c_str()), ERROR_SUCCESS);
  ASSERT_EQ(RunToEnd({"/Service"}), 0);
  struct stat after {};
  ASSERT_EQ(::stat(Unit().c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);  // not written again
  EXPECT_EQ(ReadText(Unit()), unit);
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kProgId));  // nothing registered again
}

TEST_F(Executable, InstallRefusalsShowTheirMessageBoxes) {
  // A unit directory below a file can be neither written nor created: the manager is refused.
  ServerProcess noManager(kServer, {"/Service"}, {"TALVARO_UNIT_DIR=/dev/null/units"});
  EXPECT_EQ(noManager.WaitForExit(), 0);
  EXPECT_EQ(noManager.Stderr(), "TalvaroCommunicationDriver\nCould not open Service Manager\n");
  // Something that is no unit file holds the unit's name: creating the service fails.
  fs::create_directories(Unit());
  ServerProcess noService(kServer, {"/Service"});
  EXPECT_EQ(noService.WaitForExit(), 0);
  EXPECT_EQ(noService.Stderr(), "TalvaroCommunicationDriver\nCould not start service\n");
}

// /RegServer over an installed service (a stand-in systemctl answers): the stop is asked only of
// a running service and a refused stop is only said; a deletion that fails is said and ends the
// registration with E_FAIL (the shell sees its low byte, 5), the service's identity left as it was.
TEST_F(Executable, RegServerStopsAndDeletesAnInstalledService) {
  const auto systemctl = FakeSystemctl();
  const std::string unitName = "TalvaroCommunicationDriver.service";
  const struct {
    const char* what;
    const char* fake;  // a file that steers the stand-in, or null
    std::string content;
    bool stopAsked;
    std::string messageBox;
    int exit;
  } cases[] = {
      {"running", nullptr, "", true, "", 0},
      {"stop refused", "exit.--no-block", "1", true, "TalvaroCommunicationDriver\nCould not stop service\n", 0},
      {"stopping already", "state", "deactivating", false, "", 0},
      {"not running", "state", "inactive", false, "", 0},
      {"unit gone before the deletion", "run.disable", "rm -f '" + Unit().string() + "'", true,
       "TalvaroCommunicationDriver\nCould not delete service\n", 5},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    for (const char* file : {"exit.--no-block", "state", "run.disable"}) fs::remove(Fake(file));
    if (c.fake != nullptr) std::ofstream(Fake(c.fake)) << c.content << "\n";
    ASSERT_EQ(RunToEnd({"/Service"}, systemctl), 0);
    ASSERT_TRUE(fs::exists(Unit()));
    TakeCalls();

    ServerProcess process(kServer, {"/RegServer"}, systemctl);
    EXPECT_EQ(process.WaitForExit(), c.exit);
    EXPECT_EQ(process.Stderr(), c.messageBox);
    const std::string calls = TakeCalls();
    EXPECT_EQ(Contains(calls, "--no-block stop " + unitName), c.stopAsked) << calls;
    if (c.fake == nullptr) {
      EXPECT_EQ(calls, "is-active " + unitName + "\n--no-block stop " + unitName + "\ndisable " + unitName +
                           "\ndaemon-reload\n");
    }
    EXPECT_FALSE(fs::exists(Unit()));
    if (c.exit != 0) {
      EXPECT_EQ(StringValue(HKEY_CLASSES_ROOT, kAppIdKey, L"LocalService"), L"TalvaroCommunicationDriver");
      continue;
    }
    EXPECT_EQ(StringValue(HKEY_CLASSES_ROOT, kAppIdKey), L"TalvaroCommunicationDriver");
    EXPECT_FALSE(StringValue(HKEY_CLASSES_ROOT, kAppIdKey, L"LocalService"));
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, kFactoryKey + L"\\LocalServer32"));
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, kLifecycleKey + L"\\LocalServer32"));
  }
}

// Service mode needs a whole, terminated string of at most 259 characters in a string type;
// anything else is a local server. Outside systemd, service mode ends at once (1063, exit 0);
// a local server runs until it is ended.
TEST_F(Executable, OnlyATerminatedStringValueOfLocalServiceMeansServiceMode) {
  ASSERT_EQ(RunToEnd({"/RegServer"}), 0);
  const auto text = [](std::size_t length, bool terminated) {
    std::vector<wchar_t> characters(length, L'x');
    if (terminated) characters.push_back(L'\0');
    return characters;
  };
  const DWORD one = 1;
  const struct {
    const char* what;
    DWORD type;
    std::vector<wchar_t> text;  // empty: the DWORD
    bool service;
  } cases[] = {
      {"REG_EXPAND_SZ", REG_EXPAND_SZ, text(26, true), true},
      {"259 characters", REG_SZ, text(259, true), true},
      {"REG_DWORD", REG_DWORD, {}, false},
      {"unterminated", REG_SZ, text(26, false), false},
      {"260 characters", REG_SZ, text(260, true), false},
  };
  HKEY appId = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, kAppIdKey.c_str(), 0, KEY_WRITE, &appId), ERROR_SUCCESS);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const auto* data = c.text.empty() ? reinterpret_cast<const BYTE*>(&one) : reinterpret_cast<const BYTE*>(c.text.data());
    const DWORD size = c.text.empty() ? sizeof one : static_cast<DWORD>(c.text.size() * sizeof(wchar_t));
    ASSERT_EQ(RegSetValueExW(appId, L"LocalService", 0, c.type, data, size), ERROR_SUCCESS);
    fs::remove(environment_.LogDirectory() / "TCD.log");
    ServerProcess process(kServer, {});
    if (c.service) {
      EXPECT_EQ(process.WaitForExit(), 0);
      EXPECT_FALSE(Contains(Log(), kRunning)) << Log();
    } else {
      EXPECT_TRUE(WaitUntil([&] { return Contains(Log(), kRunning); }));
      EXPECT_FALSE(process.WaitForExit(0ms));
      process.Signal(SIGTERM);
      EXPECT_EQ(process.WaitForExit(), 128 + SIGTERM);
    }
  }
  RegCloseKey(appId);
}

TEST_F(Executable, AGuardThatCannotBeMadeEndsTheStartQuietly) {
  for (const std::vector<std::string>& arguments : {std::vector<std::string>{}, std::vector<std::string>{"/debug"}}) {
    ServerProcess process(kServer, arguments, {"TALVARO_RUN_DIR=/dev/null/x"});
    EXPECT_EQ(process.WaitForExit(), 0);
    EXPECT_EQ(process.Stdout(), "");
  }
  EXPECT_TRUE(Contains(Log(), "[TCD::CTalvaroCommunicationDriverModule] [Developer1] Cannot create global lock object."))
      << Log();
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kAppIdKey));  // /debug takes the guard before it registers
}

TEST_F(Executable, ADamagedRegistryEndsEveryStartWithItsCodeAndSaysSoNamingTheFile) {
  std::ofstream(environment_.Registry(), std::ios::binary) << std::string(4096, '\x5A');
  const std::string said = "The registry " + environment_.Registry().string() + " is damaged or is not a registry file";
  for (const std::vector<std::string>& arguments : {std::vector<std::string>{"/debug"}, {"/RegServer"}, {}}) {
    ServerProcess process(kServer, arguments);
    EXPECT_EQ(process.WaitForExit(), 1009 & 0xFF) << "ERROR_BADDB as the exit code";
    EXPECT_TRUE(Contains(process.Stderr(), said)) << process.Stderr();
  }
  EXPECT_TRUE(Contains(Log(), "Error [") && Contains(Log(), said)) << Log();
  const auto events = Events();
  ASSERT_EQ(events.size(), 3u);
  EXPECT_TRUE(Contains(events.back(), said)) << events.back();
}

TEST_F(Executable, ADashIsNoSwitch) {
  {
    // Nothing registered: the guard is taken, Start finds no application identity, exit 0.
    ServerProcess process(kServer, {"-debug"});
    EXPECT_EQ(process.WaitForExit(), 0);
    EXPECT_EQ(process.Stdout(), "");
  }
  ASSERT_EQ(RunToEnd({"/RegServer"}), 0);
  // Registered as a local server: it runs as one, without the debug console.
  ServerProcess process(kServer, {"-debug"});
  ASSERT_TRUE(WaitUntil([&] { return Contains(Log(), kRunning); }));
  EXPECT_EQ(process.Stdout(), "");
  process.Signal(SIGTERM);
  EXPECT_EQ(process.WaitForExit(), 128 + SIGTERM);
}

// The debug console; a second instance, with or without /debug, is refused while it runs;
// Ctrl-C and Ctrl-Break each end it with 0.
TEST_F(Executable, DebugModeShowsTheConsoleRefusesASecondInstanceAndEndsOnCtrlC) {
  ServerProcess first(kServer, {"/debug"});
  ASSERT_TRUE(first.WaitForStdout("Press Ctrl-C to kill server...\n\n")) << first.Stdout() << first.Stderr();
  EXPECT_EQ(first.Stdout(),
            "Talvaro Communication Driver Service is running (debug mode).\n"
            "Starting hardware communication drivers...started.\n\n"
            "Press Ctrl-C to kill server...\n\n");
  EXPECT_TRUE(Contains(Log(), kRunning));

  EXPECT_EQ(RunToEnd({}), 0);
  EXPECT_TRUE(Contains(Log(), "Error [")) << Log();
  EXPECT_TRUE(Contains(Log(), "[TCD::CTalvaroCommunicationDriverModule] [Developer1] Cannot start "
                              "TalvaroCommunicationDriver, because another instance is already running."))
      << Log();
  EXPECT_EQ(RunToEnd({"/debug"}), 0);  // the debug switch takes the guard first, and likewise ends
  first.Signal(SIGINT);
  EXPECT_EQ(first.WaitForExit(), 0);

  ServerProcess second(kServer, {"/debug"});
  ASSERT_TRUE(second.WaitForStdout("Press Ctrl-C to kill server..."));
  second.Signal(SIGQUIT);  // Ctrl-Break
  EXPECT_EQ(second.WaitForExit(), 0);
}

// Ready, a second start that is refused, an unknown control that changes nothing, then SIGTERM:
// stop pending, stopped, exit 0.
TEST_F(Executable, ServiceModeReportsToSystemdAndStopsOnSigterm) {
  ASSERT_EQ(RunToEnd({"/Service"}), 0);
  service_test::NotifySocket socket((environment_.Root() / "notify").string());
  ASSERT_TRUE(socket.bound());
  auto service = StartService(socket);
  EXPECT_EQ(Events(), std::vector<std::string>{"Service started/resumed"});
  EXPECT_EQ(RunToEnd({}), 0) << "a second start while the service runs";
  EXPECT_TRUE(Contains(Log(), "Cannot start TalvaroCommunicationDriver, because another instance is already running."))
      << Log();

  service->Signal(SIGUSR1);  // user-defined control 128
  ASSERT_TRUE(WaitUntil([&] { return Events().size() >= 2; }));
  EXPECT_EQ(Events(), (std::vector<std::string>{"Service started/resumed", "Bad service request"}));
  EXPECT_FALSE(socket.Receive(100ms));  // no state change reported
  EXPECT_FALSE(service->WaitForExit(0ms));

  service->Signal(SIGTERM);
  EXPECT_EQ(socket.Receive().value_or("(none)"), "STOPPING=1\nSTATUS=Stop pending");
  EXPECT_EQ(socket.Receive().value_or("(none)"), "STATUS=Stopped");
  EXPECT_EQ(service->WaitForExit(), 0);
  EXPECT_EQ(Events(), (std::vector<std::string>{"Service started/resumed", "Bad service request", "Service stopped"}));
  EXPECT_TRUE(Contains(Log(), "TalvaroCommunicationDriver Service stopped.")) << Log();
  EXPECT_EQ(service->Stdout(), "");
}

}  // namespace
}  // namespace host_test
