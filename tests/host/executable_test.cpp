// The server executable end to end, each test with a registry, runtime, log and unit directory
// and an event log of its own. Service mode is driven the way systemd drives it: a notification
// socket that the test reads, and signals.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/host/registry_probe.h"
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

std::string ReadText(const fs::path& path) {
  std::ifstream file(path);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::wstring Widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }

class Executable : public ::testing::Test {
 protected:
  std::optional<int> RunToEnd(const std::vector<std::string>& arguments, const std::string& executable = kServer) {
    ServerProcess process(executable, arguments);
    return process.WaitForExit();
  }

  std::string Log() const { return ReadText(environment_.LogDirectory() / "TCD.log"); }
  // Texts of the event-log records.
  std::vector<std::string> Events() const {
    std::ifstream file(environment_.EventLog());
    std::vector<std::string> texts;
    for (std::string line; std::getline(file, line);) texts.push_back(line.substr(line.find(": ") + 2));
    return texts;
  }
  fs::path Unit() const { return environment_.UnitDirectory() / "TalvaroCommunicationDriver.service"; }

  // A systemctl stand-in, named to the server through the returned variable: appends its
  // arguments to calls.log; "is-active" prints the contents of `state` (default "active"); runs
  // run.<first argument> with sh when present; exits with the number in exit.<first argument>.
  std::vector<std::string> FakeSystemctl() const {
    const fs::path script = environment_.Root() / "systemctl";
    std::ofstream(script) << "#!/bin/sh\n"
                          << "cd '" << environment_.Root().string() << "'\n"
                          << "echo \"$*\" >> calls.log\n"
                          << "if [ \"$1\" = is-active ]; then cat state 2>/dev/null || echo active; fi\n"
                          << "if [ -f \"run.$1\" ]; then sh \"run.$1\"; fi\n"
                          << "if [ -f \"exit.$1\" ]; then exit $(cat \"exit.$1\"); fi\n"
                          << "exit 0\n";
    fs::permissions(script, fs::perms::owner_all);
    return {"TALVARO_SYSTEMCTL=" + script.string()};
  }
  // What the stand-in was asked since the last call, and forgets it.
  std::string TakeCalls() const {
    const fs::path log = environment_.Root() / "calls.log";
    std::string calls = ReadText(log);
    fs::remove(log);
    return calls;
  }
  void SetFake(const std::string& file, const std::string& content) const {
    std::ofstream(environment_.Root() / file) << content << "\n";
  }

  // Starts the registered service as systemd would; returns once it reported ready.
  std::unique_ptr<ServerProcess> StartService(service_test::NotifySocket& socket) {
    auto process = std::make_unique<ServerProcess>(
        kServer, std::vector<std::string>{},
        std::vector<std::string>{"NOTIFY_SOCKET=" + socket.path(), "INVOCATION_ID=0123456789abcdef"});
    auto message = socket.Receive();
    EXPECT_EQ(message.value_or("(none)"), "STATUS=Start pending");
    message = socket.Receive();
    EXPECT_EQ(message.value_or("(none)"), "READY=1\nSTATUS=Running");
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
  EXPECT_EQ(StringValue(HKEY_CLASSES_ROOT, kAppIdKey), L"TalvaroCommunicationDriver");
  EXPECT_FALSE(StringValue(HKEY_CLASSES_ROOT, kAppIdKey, L"LocalService"));
  EXPECT_EQ(StringValue(HKEY_CLASSES_ROOT, L"AppID\\TalvaroCommunicationDriver.EXE", L"AppID"),
            L"{BF272D41-684D-4A91-8170-D4298DF8A5CD}");
  for (const auto& [key, name] : {std::pair{kFactoryKey, L"TalvaroCommunicationDriverFactory Class"},
                                  std::pair{kLifecycleKey, L"TalvaroCommunicationDriverGApp Class"}}) {
    EXPECT_EQ(StringValue(HKEY_CLASSES_ROOT, key), name);
    EXPECT_EQ(StringValue(HKEY_CLASSES_ROOT, key + L"\\LocalServer32"), module);
    EXPECT_EQ(StringValue(HKEY_CLASSES_ROOT, key + L"\\ProgID"), kProgId + L".1");
    EXPECT_EQ(StringValue(HKEY_CLASSES_ROOT, key + L"\\VersionIndependentProgID"), kProgId);
    EXPECT_EQ(StringValue(HKEY_CLASSES_ROOT, key + L"\\TypeLib"), L"{ABB4E8DA-A97D-43a3-8960-ADEF213F9E4D}");
    EXPECT_EQ(StringValue(HKEY_CLASSES_ROOT, key, L"AppID"), L"{BF272D41-684D-4A91-8170-D4298DF8A5CD}");
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
  // A second unregistration finds nothing to remove, and still ends quietly.
  EXPECT_EQ(RunToEnd({"/unregserver"}), 0);
}

TEST_F(Executable, ASingleQuoteInThePathIsDoubledInsideTheQuotedPath) {
  const fs::path directory = environment_.Root() / "it's here";
  fs::create_directories(directory);
  const fs::path copy = directory / "TalvaroCommunicationDriver";
  fs::copy_file(kServer, copy);
  fs::permissions(copy, fs::perms::owner_all);
  ASSERT_EQ(RunToEnd({"/RegServer"}, copy.string()), 0);
  std::string doubled = fs::canonical(copy).string();
  doubled.replace(doubled.find('\''), 1, "''");
  EXPECT_EQ(StringValue(HKEY_CLASSES_ROOT, kFactoryKey + L"\\LocalServer32"), L"\"" + Widen(doubled) + L"\"");
}

TEST_F(Executable, ServiceSwitchTwiceRegistersOnce) {
  ASSERT_EQ(RunToEnd({"/Service"}), 0);  // the dispatcher refuses a console start: 1063, reported as 0
  EXPECT_EQ(StringValue(HKEY_CLASSES_ROOT, kAppIdKey, L"LocalService"), L"TalvaroCommunicationDriver");
  EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, kFactoryKey + L"\\LocalServer32"));
  const std::string unit = ReadText(Unit());
  EXPECT_TRUE(Contains(unit, "\nExecStart=\"" + fs::canonical(kServer).string() + "\"\n")) << unit;
  EXPECT_TRUE(Contains(unit, "\nDescription=Manages communication with XRB based hardware for TALVARO software.\n"))
      << unit;
  EXPECT_TRUE(Contains(unit, "\nType=notify\n")) << unit;
  EXPECT_TRUE(Contains(unit, "\nAfter=basic.target\n")) << unit;
  EXPECT_TRUE(Contains(unit, "\n[Install]\nWantedBy=multi-user.target\n")) << unit;  // automatic start
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
  {
    // A unit directory below a file can be neither written nor created: the manager is refused.
    ServerProcess process(kServer, {"/Service"}, {"TALVARO_UNIT_DIR=/dev/null/units"});
    EXPECT_EQ(process.WaitForExit(), 0);
    EXPECT_EQ(process.Stderr(), "TalvaroCommunicationDriver\nCould not open Service Manager\n");
  }
  {
    // Something that is no unit file holds the unit's name: creating the service fails.
    fs::create_directories(Unit());
    ServerProcess process(kServer, {"/Service"});
    EXPECT_EQ(process.WaitForExit(), 0);
    EXPECT_EQ(process.Stderr(), "TalvaroCommunicationDriver\nCould not start service\n");
  }
}

TEST_F(Executable, RegServerStopsAndDeletesARunningService) {
  const auto systemctl = FakeSystemctl();
  ASSERT_EQ(ServerProcess(kServer, {"/Service"}, systemctl).WaitForExit(), 0);
  ASSERT_TRUE(fs::exists(Unit()));
  ASSERT_EQ(StringValue(HKEY_CLASSES_ROOT, kAppIdKey, L"LocalService"), L"TalvaroCommunicationDriver");
  TakeCalls();

  ServerProcess process(kServer, {"/RegServer"}, systemctl);  // the stand-in says it runs
  EXPECT_EQ(process.WaitForExit(), 0);
  EXPECT_EQ(process.Stderr(), "");
  EXPECT_EQ(TakeCalls(),
            "is-active TalvaroCommunicationDriver.service\n"
            "--no-block stop TalvaroCommunicationDriver.service\n"
            "disable TalvaroCommunicationDriver.service\n"
            "daemon-reload\n");
  EXPECT_FALSE(fs::exists(Unit()));
  EXPECT_EQ(StringValue(HKEY_CLASSES_ROOT, kAppIdKey), L"TalvaroCommunicationDriver");
  EXPECT_FALSE(StringValue(HKEY_CLASSES_ROOT, kAppIdKey, L"LocalService"));
  EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, kFactoryKey + L"\\LocalServer32"));
  EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, kLifecycleKey + L"\\LocalServer32"));
}

TEST_F(Executable, UninstallGoesOnWithoutTheStopButNotWithoutTheDeletion) {
  const auto systemctl = FakeSystemctl();
  const auto installThenRegServer = [&](const std::string& expectedStderr, int expectedExit) {
    ASSERT_EQ(ServerProcess(kServer, {"/Service"}, systemctl).WaitForExit(), 0);
    ASSERT_TRUE(fs::exists(Unit()));
    ServerProcess process(kServer, {"/RegServer"}, systemctl);
    EXPECT_EQ(process.WaitForExit(), expectedExit);
    EXPECT_EQ(process.Stderr(), expectedStderr);
  };

  SetFake("exit.--no-block", "1");  // the stop is refused: said, and the service deleted all the same
  installThenRegServer("TalvaroCommunicationDriver\nCould not stop service\n", 0);
  EXPECT_FALSE(fs::exists(Unit()));
  fs::remove(environment_.Root() / "exit.--no-block");
  TakeCalls();

  for (const char* state : {"deactivating", "inactive"}) {  // stopping already, or not running: nothing to say
    SetFake("state", state);
    installThenRegServer("", 0);
    EXPECT_FALSE(fs::exists(Unit())) << state;
  }
  EXPECT_FALSE(Contains(TakeCalls(), "--no-block stop"));

  // The unit is gone before the deletion gets to it: said, and the registration ends with E_FAIL
  // (the shell sees its low byte, 5).
  std::ofstream(environment_.Root() / "run.disable") << "rm -f '" << Unit().string() << "'\n";
  installThenRegServer("TalvaroCommunicationDriver\nCould not delete service\n", 5);
  EXPECT_EQ(StringValue(HKEY_CLASSES_ROOT, kAppIdKey, L"LocalService"), L"TalvaroCommunicationDriver");
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
      {"REG_SZ", REG_SZ, text(26, true), true},
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
    const BYTE* data = c.text.empty() ? reinterpret_cast<const BYTE*>(&one) : reinterpret_cast<const BYTE*>(c.text.data());
    const DWORD size = c.text.empty() ? sizeof one : static_cast<DWORD>(c.text.size() * sizeof(wchar_t));
    ASSERT_EQ(RegSetValueExW(appId, L"LocalService", 0, c.type, data, size), ERROR_SUCCESS);
    fs::remove(environment_.LogDirectory() / "TCD.log");
    ServerProcess process(kServer, {});
    if (c.service) {
      EXPECT_EQ(process.WaitForExit(), 0);
      EXPECT_FALSE(Contains(Log(), "Service is running.")) << Log();
    } else {
      EXPECT_TRUE(WaitUntil([&] { return Contains(Log(), "TalvaroCommunicationDriver Service is running."); }));
      EXPECT_FALSE(process.WaitForExit(0ms));
      process.Signal(SIGTERM);
      EXPECT_EQ(process.WaitForExit(), 128 + SIGTERM);
    }
  }
  RegCloseKey(appId);
}

TEST_F(Executable, AGuardThatCannotBeMadeEndsTheStartQuietly) {
  for (const char* arguments : {"", "/debug"}) {
    SCOPED_TRACE(arguments);
    ServerProcess process(kServer, *arguments != '\0' ? std::vector<std::string>{arguments} : std::vector<std::string>{},
                          {"TALVARO_RUN_DIR=/dev/null/x"});
    EXPECT_EQ(process.WaitForExit(), 0);
    EXPECT_EQ(process.Stdout(), "");
  }
  EXPECT_TRUE(Contains(Log(), "[TCD::CTalvaroCommunicationDriverModule] [Developer1] Cannot create global lock object."))
      << Log();
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kAppIdKey));  // /debug takes the guard before it registers
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
  ASSERT_TRUE(WaitUntil([&] { return Contains(Log(), "TalvaroCommunicationDriver Service is running."); }));
  EXPECT_EQ(process.Stdout(), "");
  process.Signal(SIGTERM);
  EXPECT_EQ(process.WaitForExit(), 128 + SIGTERM);
}

TEST_F(Executable, DebugModeShowsTheConsoleAndCtrlCEndsItWithZero) {
  ServerProcess process(kServer, {"/debug"});
  ASSERT_TRUE(process.WaitForStdout("Press Ctrl-C to kill server...\n\n")) << process.Stdout() << process.Stderr();
  EXPECT_EQ(process.Stdout(),
            "Talvaro Communication Driver Service is running (debug mode).\n"
            "Starting hardware communication drivers...started.\n\n"
            "Press Ctrl-C to kill server...\n\n");
  EXPECT_TRUE(Contains(Log(), "TalvaroCommunicationDriver Service is running."));
  process.Signal(SIGINT);
  EXPECT_EQ(process.WaitForExit(), 0);
}

TEST_F(Executable, ASecondInstanceIsRefused) {
  ServerProcess first(kServer, {"/debug"});
  ASSERT_TRUE(first.WaitForStdout("Press Ctrl-C to kill server..."));
  EXPECT_EQ(RunToEnd({}), 0);
  EXPECT_TRUE(Contains(Log(), "Error [")) << Log();
  EXPECT_TRUE(Contains(Log(), "[TCD::CTalvaroCommunicationDriverModule] [Developer1] Cannot start "
                              "TalvaroCommunicationDriver, because another instance is already running."))
      << Log();
  EXPECT_EQ(RunToEnd({"/debug"}), 0);  // the debug switch takes the guard first, and likewise ends
  first.Signal(SIGQUIT);  // Ctrl-Break
  EXPECT_EQ(first.WaitForExit(), 0);
}

TEST_F(Executable, ServiceModeReportsToSystemdAndStopsOnSigterm) {
  ASSERT_EQ(RunToEnd({"/Service"}), 0);
  service_test::NotifySocket socket((environment_.Root() / "notify").string());
  ASSERT_TRUE(socket.bound());
  auto service = StartService(socket);
  ASSERT_TRUE(WaitUntil([&] { return !Events().empty(); }));
  EXPECT_EQ(Events(), std::vector<std::string>{"Service started/resumed"});

  service->Signal(SIGTERM);
  EXPECT_EQ(socket.Receive().value_or("(none)"), "STOPPING=1\nSTATUS=Stop pending");
  EXPECT_EQ(socket.Receive().value_or("(none)"), "STATUS=Stopped");
  EXPECT_EQ(service->WaitForExit(), 0);
  EXPECT_EQ(Events(), (std::vector<std::string>{"Service started/resumed", "Service stopped"}));
  EXPECT_TRUE(Contains(Log(), "TalvaroCommunicationDriver Service stopped.")) << Log();
  EXPECT_EQ(service->Stdout(), "");
}

TEST_F(Executable, AnUnknownControlIsABadServiceRequest) {
  ASSERT_EQ(RunToEnd({"/Service"}), 0);
  service_test::NotifySocket socket((environment_.Root() / "notify").string());
  auto service = StartService(socket);
  service->Signal(SIGUSR1);  // user-defined control 128
  ASSERT_TRUE(WaitUntil([&] { return Events().size() >= 2; }));
  EXPECT_EQ(Events(), (std::vector<std::string>{"Service started/resumed", "Bad service request"}));
  EXPECT_FALSE(socket.Receive(100ms));  // no state change reported
  EXPECT_FALSE(service->WaitForExit(0ms));

  service->Signal(SIGTERM);
  EXPECT_EQ(service->WaitForExit(), 0);
}

}  // namespace
}  // namespace host_test
