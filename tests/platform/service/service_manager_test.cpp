// The service manager functions on a unit directory of the test's own, without systemd and with
// a stand-in systemctl that records its calls; and the bounded program runner under them.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "platform/kernel/handle.h"
#include "platform/service/service.h"
#include "platform/service/systemctl.h"
#include "platform/service/unit_file.h"
#include "platform/system/last_error.h"
#include "tests/support/environment/isolated_environment.h"
#include "tests/support/wait/wait_until.h"

namespace service_test {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

std::string ReadText(const fs::path& path) {
  std::ifstream file(path);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The first line of `text` that begins with `prefix`, or empty.
std::string LineStarting(const std::string& text, const std::string& prefix) {
  const std::size_t start = text.find("\n" + prefix);
  if (start == std::string::npos) return {};
  return text.substr(start + 1, text.find('\n', start + 1) - start - 1);
}

// Whether any running process belongs to process group `group` (an orphan's zombie waits for
// its reaper, which is not this process, so zombies do not count).
bool GroupRuns(pid_t group) {
  for (const auto& entry : fs::directory_iterator("/proc")) {
    const std::string name = entry.path().filename().string();
    if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream stat(entry.path() / "stat");
    std::string line;
    if (!std::getline(stat, line)) continue;
    const std::size_t end = line.rfind(')');
    if (end == std::string::npos) continue;
    std::istringstream fields(line.substr(end + 2));
    char state = 0;
    pid_t parent = 0;
    pid_t processGroup = 0;
    fields >> state >> parent >> processGroup;
    if (processGroup == group && state != 'Z' && state != 'X') return true;
  }
  return false;
}

// Closes a service or manager handle at the end of a scope.
struct CloseService {
  void operator()(SC_HANDLE handle) const { CloseServiceHandle(handle); }
};
using Handle = std::unique_ptr<SC_HANDLE__, CloseService>;

class ServiceManager : public ::testing::Test {
 protected:
  void SetUp() override { ::unsetenv("TALVARO_SYSTEMCTL"); }
  void TearDown() override { ::unsetenv("TALVARO_SYSTEMCTL"); }

  fs::path Unit(const std::string& name = "Demo") const { return environment_.UnitDirectory() / (name + ".service"); }
  fs::path WantsLink(const std::string& name = "Demo") const {
    return environment_.UnitDirectory() / "multi-user.target.wants" / (name + ".service");
  }

  SC_HANDLE Create(SC_HANDLE manager, DWORD startType = SERVICE_DEMAND_START, LPCWSTR account = nullptr) {
    return CreateServiceW(manager, L"Demo", L"Demo Display", SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, startType,
                          SERVICE_ERROR_NORMAL, L"\"/opt/it's 100% $HOME\\x/demo\" -flag", nullptr, nullptr,
                          L"RPCSS\0network\0", account, nullptr);
  }

  // A systemctl stand-in: appends its arguments to calls.log; "is-active" prints the contents of
  // state (default "active"); exits with the number in exit.<first argument> when present.
  void InstallFakeSystemctl() {
    const fs::path script = environment_.Root() / "systemctl";
    std::ofstream(script) << "#!/bin/sh\n"
                          << "cd '" << environment_.Root().string() << "'\n"
                          << "echo \"$*\" >> calls.log\n"
                          << "if [ \"$1\" = is-active ]; then cat state 2>/dev/null || echo active; fi\n"
                          << "if [ -f \"exit.$1\" ]; then exit $(cat \"exit.$1\"); fi\n"
                          << "exit 0\n";
    fs::permissions(script, fs::perms::owner_all);
    ::setenv("TALVARO_SYSTEMCTL", script.c_str(), 1);
  }
  static BOOL SetStartType(SC_HANDLE service, DWORD startType) {
    return ChangeServiceConfigW(service, SERVICE_NO_CHANGE, startType, SERVICE_NO_CHANGE, nullptr, nullptr, nullptr,
                                nullptr, nullptr, nullptr, nullptr);
  }
  std::string Calls() const { return ReadText(environment_.Root() / "calls.log"); }
  void SetFake(const std::string& file, const std::string& content) const {
    std::ofstream(environment_.Root() / file) << content << "\n";
  }

  Talvaro::Testing::IsolatedEnvironment environment_;
};

TEST_F(ServiceManager, CreateWritesTheUnitOnceAndOpenFindsIt) {
  Handle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  ASSERT_NE(manager.get(), nullptr);
  EXPECT_FALSE(fs::exists(environment_.UnitDirectory()));  // made by the first unit, not by a look
  {
    Handle service(Create(manager.get()));
    ASSERT_NE(service.get(), nullptr) << GetLastError();
  }
  const std::string unit = ReadText(Unit());
  EXPECT_TRUE(Contains(unit, "\nDescription=Demo Display\n")) << unit;
  EXPECT_TRUE(Contains(unit, "\nAfter=basic.target\n")) << unit;  // RPCSS
  EXPECT_TRUE(Contains(unit, "\nRequires=network.service\nAfter=network.service\n")) << unit;
  EXPECT_TRUE(Contains(unit, "\nType=notify\n")) << unit;
  EXPECT_TRUE(Contains(unit, "\nLimitNOFILE=65536\n")) << unit;  // the server's own cap decides
  // The quoted path stays one word; '\', '%' and '$' are escaped for systemd.
  EXPECT_TRUE(Contains(unit, "\nExecStart=\"/opt/it's 100%% $$HOME\\\\x/demo\" \"-flag\"\n")) << unit;
  // The creator's registry goes with the service.
  EXPECT_TRUE(Contains(unit, "\nEnvironment=\"TALVARO_REGISTRY=" + environment_.Registry().string() + "\"\n")) << unit;
  EXPECT_FALSE(Contains(unit, "[Install]")) << unit;  // demand start: not enabled
  EXPECT_FALSE(fs::exists(WantsLink()));

  EXPECT_EQ(Create(manager.get()), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_EXISTS);
  EXPECT_EQ(ReadText(Unit()), unit);

  Handle opened(OpenServiceW(manager.get(), L"Demo", SERVICE_QUERY_CONFIG));
  EXPECT_NE(opened.get(), nullptr);
  EXPECT_EQ(OpenServiceW(manager.get(), L"Missing", SERVICE_QUERY_CONFIG), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_DOES_NOT_EXIST);
  for (LPCWSTR name : {L"", L"a/b", L"a\\b"}) {
    EXPECT_EQ(OpenServiceW(manager.get(), name, SERVICE_QUERY_CONFIG), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_NAME);
  }
}

TEST_F(ServiceManager, ConfigurationChangesKeepTheOtherSettings) {
  Handle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  Handle service(Create(manager.get()));
  ASSERT_NE(service.get(), nullptr);
  const std::string before = ReadText(Unit());

  ASSERT_TRUE(SetStartType(service.get(), SERVICE_AUTO_START));
  std::wstring description = L"Does 100% of the work.\nSecond line.";
  SERVICE_DESCRIPTIONW info{description.data()};
  ASSERT_TRUE(ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, &info));
  std::string unit = ReadText(Unit());
  EXPECT_TRUE(Contains(unit, "\nDescription=Does 100%% of the work. Second line.\n")) << unit;
  EXPECT_TRUE(Contains(unit, "\n[Install]\nWantedBy=multi-user.target\n")) << unit;
  EXPECT_EQ(fs::read_symlink(WantsLink()), Unit());
  for (const char* kept : {"ExecStart=", "Requires=", "Environment=\"TALVARO_REGISTRY="}) {
    EXPECT_FALSE(LineStarting(before, kept).empty()) << kept;
    EXPECT_EQ(LineStarting(unit, kept), LineStarting(before, kept));
  }

  // Back to demand start: the link goes; an empty description falls back to the display name.
  ASSERT_TRUE(SetStartType(service.get(), SERVICE_DEMAND_START));
  std::wstring none;
  SERVICE_DESCRIPTIONW empty{none.data()};
  ASSERT_TRUE(ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, &empty));
  EXPECT_EQ(ReadText(Unit()), before);
  EXPECT_FALSE(fs::is_symlink(WantsLink()));

  EXPECT_FALSE(ChangeServiceConfig2W(service.get(), 2, &info));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_LEVEL);
  EXPECT_FALSE(SetStartType(service.get(), SERVICE_BOOT_START));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

  // A unit that the functions did not write is not theirs to rewrite.
  std::ofstream(Unit("Foreign")) << "[Unit]\nDescription=x\n[Service]\nExecStart=/bin/true\n";
  Handle foreign(OpenServiceW(manager.get(), L"Foreign", SERVICE_ALL_ACCESS));
  ASSERT_NE(foreign.get(), nullptr);
  EXPECT_FALSE(ChangeServiceConfig2W(foreign.get(), SERVICE_CONFIG_DESCRIPTION, &info));
  EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
}

TEST_F(ServiceManager, DeleteRemovesTheUnitAndMarksTheHandle) {
  Handle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  Handle service(Create(manager.get(), SERVICE_AUTO_START));
  ASSERT_NE(service.get(), nullptr);
  ASSERT_TRUE(fs::is_symlink(WantsLink()));

  SERVICE_STATUS status{};
  EXPECT_FALSE(ControlService(service.get(), SERVICE_CONTROL_STOP, &status));
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_NOT_ACTIVE);  // no systemd manages this directory
  EXPECT_EQ(status.dwCurrentState, SERVICE_STOPPED);

  ASSERT_TRUE(DeleteService(service.get()));
  EXPECT_FALSE(fs::exists(Unit()));
  EXPECT_FALSE(fs::is_symlink(WantsLink()));
  EXPECT_FALSE(DeleteService(service.get()));
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_MARKED_FOR_DELETE);
  EXPECT_EQ(OpenServiceW(manager.get(), L"Demo", SERVICE_QUERY_CONFIG), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_DOES_NOT_EXIST);
}

TEST_F(ServiceManager, RightsRefusalsAndHandles) {
  Handle connectOnly(OpenSCManagerW(nullptr, SERVICES_ACTIVE_DATABASEW, SC_MANAGER_CONNECT));
  ASSERT_NE(connectOnly.get(), nullptr);
  EXPECT_EQ(Create(connectOnly.get()), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_EQ(LockServiceDatabase(connectOnly.get()), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);

  Handle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  { Handle created(Create(manager.get())); }
  Handle queryOnly(OpenServiceW(manager.get(), L"Demo", SERVICE_QUERY_CONFIG));
  EXPECT_FALSE(DeleteService(queryOnly.get()));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_FALSE(SetStartType(queryOnly.get(), SERVICE_AUTO_START));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  SERVICE_STATUS status{};
  EXPECT_FALSE(ControlService(queryOnly.get(), SERVICE_CONTROL_STOP, &status));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);

  // What this system does not offer.
  EXPECT_EQ(OpenSCManagerW(L"otherhost", nullptr, SC_MANAGER_CONNECT), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
  EXPECT_EQ(OpenSCManagerW(nullptr, L"ServicesFailed", SC_MANAGER_CONNECT), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_DATABASE_DOES_NOT_EXIST);
  EXPECT_EQ(Create(manager.get(), SERVICE_BOOT_START), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(Create(manager.get(), SERVICE_DEMAND_START, L"NT AUTHORITY\\LocalService"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_SERVICE_ACCOUNT);

  // Handles of other kinds and closed handles.
  EXPECT_EQ(OpenServiceW(queryOnly.get(), L"Demo", SERVICE_QUERY_CONFIG), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(CloseHandle(reinterpret_cast<HANDLE>(manager.get())));
  SC_HANDLE closed = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  ASSERT_TRUE(CloseServiceHandle(closed));
  EXPECT_FALSE(CloseServiceHandle(closed));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(ServiceManager, AUnitDirectoryBelowAFileCannotBeWritten) {
  std::ofstream(environment_.Root() / "file") << "x";
  for (const fs::path& directory : {fs::path("/dev/null/units"), environment_.Root() / "file" / "units"}) {
    ::setenv("TALVARO_UNIT_DIR", directory.c_str(), 1);
    EXPECT_EQ(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS), nullptr) << directory;
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    Handle connected(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));  // looking is allowed
    EXPECT_NE(connected.get(), nullptr);
  }
}

TEST_F(ServiceManager, TheDatabaseLockIsExclusive) {
  Handle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  SC_LOCK lock = LockServiceDatabase(manager.get());
  ASSERT_NE(lock, nullptr);
  EXPECT_EQ(LockServiceDatabase(manager.get()), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_DATABASE_LOCKED);
  ASSERT_TRUE(UnlockServiceDatabase(lock));
  EXPECT_FALSE(UnlockServiceDatabase(lock));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_SERVICE_LOCK);
  SC_LOCK again = LockServiceDatabase(manager.get());
  EXPECT_NE(again, nullptr);
  UnlockServiceDatabase(again);
}

TEST_F(ServiceManager, SystemctlWhereSystemdManagesTheDirectory) {
  InstallFakeSystemctl();
  Handle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  Handle service(Create(manager.get(), SERVICE_AUTO_START));
  ASSERT_NE(service.get(), nullptr) << GetLastError();
  EXPECT_EQ(Calls(), "daemon-reload\nenable Demo.service\n");
  EXPECT_FALSE(fs::exists(WantsLink()));  // systemctl's job now

  SERVICE_STATUS status{};
  ASSERT_TRUE(ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) << GetLastError();
  EXPECT_EQ(status.dwCurrentState, SERVICE_STOP_PENDING);
  EXPECT_TRUE(Contains(Calls(), "is-active Demo.service\n--no-block stop Demo.service\n")) << Calls();

  SetFake("state", "deactivating");
  EXPECT_FALSE(ControlService(service.get(), SERVICE_CONTROL_STOP, &status));
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
  EXPECT_EQ(status.dwCurrentState, SERVICE_STOP_PENDING);
  SetFake("state", "inactive");
  EXPECT_FALSE(ControlService(service.get(), SERVICE_CONTROL_STOP, &status));
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_NOT_ACTIVE);

  ASSERT_TRUE(DeleteService(service.get()));
  EXPECT_TRUE(Contains(Calls(), "disable Demo.service\ndaemon-reload\n")) << Calls();

  // A refused enable leaves no unit behind.
  SetFake("exit.enable", "1");
  EXPECT_EQ(Create(manager.get(), SERVICE_AUTO_START), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_FALSE(fs::exists(Unit()));
}

TEST_F(ServiceManager, AStartTypeThatCannotBeAppliedLeavesTheUnitAsItWas) {
  InstallFakeSystemctl();
  Handle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  Handle service(Create(manager.get()));
  ASSERT_NE(service.get(), nullptr) << GetLastError();
  const std::string demand = ReadText(Unit());
  const auto toStartType = [&](DWORD startType) { return SetStartType(service.get(), startType); };

  SetFake("exit.enable", "1");  // refused
  EXPECT_FALSE(toStartType(SERVICE_AUTO_START));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_EQ(ReadText(Unit()), demand);

  ::setenv("TALVARO_SYSTEMCTL", (environment_.Root() / "missing").c_str(), 1);
  EXPECT_FALSE(toStartType(SERVICE_AUTO_START));
  EXPECT_EQ(GetLastError(), ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
  EXPECT_EQ(ReadText(Unit()), demand);

  // The other way: an enabled unit that cannot be disabled keeps saying it starts automatically.
  InstallFakeSystemctl();
  fs::remove(environment_.Root() / "exit.enable");
  ASSERT_TRUE(toStartType(SERVICE_AUTO_START)) << GetLastError();
  const std::string automatic = ReadText(Unit());
  ASSERT_NE(automatic, demand);
  SetFake("exit.disable", "1");
  EXPECT_FALSE(toStartType(SERVICE_DEMAND_START));
  EXPECT_EQ(ReadText(Unit()), automatic);
}

TEST(UnitFile, SettingsReadBackAsWritten) {
  platform::service::ServiceConfig config;
  config.displayName = L"Name";
  config.description = L"Text";
  config.binaryPath = L"\"/a b/c\" -x";
  config.dependencies = {L"RPCSS", L"other"};
  config.startType = SERVICE_AUTO_START;
  config.errorControl = SERVICE_ERROR_SEVERE;
  config.environment = {{"TALVARO_REGISTRY", "/x=y"}};
  const auto parsed = platform::service::ParseUnit(platform::service::RenderUnit(L"S", config));
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->displayName, config.displayName);
  EXPECT_EQ(parsed->description, config.description);
  EXPECT_EQ(parsed->binaryPath, config.binaryPath);
  EXPECT_EQ(parsed->dependencies, config.dependencies);
  EXPECT_EQ(parsed->startType, config.startType);
  EXPECT_EQ(parsed->errorControl, config.errorControl);
  EXPECT_EQ(parsed->environment, config.environment);
  EXPECT_FALSE(platform::service::ParseUnit("[Unit]\nDescription=x\n"));

  EXPECT_EQ(platform::service::SplitCommandLine(L"  \"/a b\"c  d\t\"\" "),
            (std::vector<std::wstring>{L"/a bc", L"d", L""}));
}

TEST(RunProgram, OutputExitCodesAndTheDeadline) {
  using platform::service::RunProgram;
  auto result = RunProgram({"sh", "-c", "echo out; exit 3"}, 30s);
  EXPECT_TRUE(result.started);
  EXPECT_FALSE(result.timedOut);
  EXPECT_EQ(result.exitStatus, 3);
  EXPECT_EQ(result.output, "out\n");

  EXPECT_FALSE(RunProgram({"/nonexistent/program"}, 30s).started);

  // The child gets default dispositions and no blocked signals, whatever this thread blocks.
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigset_t previous;
  pthread_sigmask(SIG_BLOCK, &set, &previous);
  result = RunProgram({"sh", "-c", "kill -TERM $$; exit 0"}, 30s);
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  EXPECT_EQ(result.exitStatus, 128 + SIGTERM);

}

TEST(RunProgram, TheDeadlineEndsTheProgramsWholeProcessGroup) {
  // A hung program that started a child of its own: both go at the deadline, not only the
  // program, so a hung systemctl leaves nothing running behind the installer.
  Talvaro::Testing::IsolatedEnvironment environment;
  const fs::path pids = environment.Root() / "pids";
  const auto result = platform::service::RunProgram(
      {"sh", "-c", "sleep 120 & echo $$ > '" + pids.string() + "'; exec sleep 120"}, 3s);
  EXPECT_TRUE(result.started);
  EXPECT_TRUE(result.timedOut);
  pid_t program = 0;
  std::ifstream(pids) >> program;
  ASSERT_GT(program, 0);
  EXPECT_TRUE(Talvaro::Testing::WaitUntil([&] { return !GroupRuns(program); }));
  ::kill(-program, SIGKILL);  // what a failed run would leave behind
}

}  // namespace
}  // namespace service_test
