#include "tests/remoting/remoting_fixture.h"

#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "interfaces/application_lifecycle.h"
#include "interfaces/driver_factory.h"
#include "platform/automation/bstr.h"
#include "platform/registry/registry.h"
#include "platform/remoting/endpoints.h"
#include "platform/types/wide_string.h"

namespace Talvaro::RemotingTest {

using platform::com::ComPtr;

namespace fs = std::filesystem;

namespace {

// The sanitizers' option variables: children write their reports into files of the test's own.
constexpr const char* kSanitizerOptions[] = {"ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS"};

std::string ReadAll(const fs::path& path) {
  std::ifstream file(path);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

}  // namespace

void RemotingFixture::SetUp() {
  // The isolated environment names one run directory per process; each test takes its own
  // beside it.
  static const std::string base = std::getenv("TALVARO_RUN_DIR");
  static int next = 0;
  runDirectory_ = base + "-" + std::to_string(++next);
  ::setenv("TALVARO_RUN_DIR", runDirectory_.c_str(), 1);
  // Servers launched through LocalServer32 leave their launcher; as subreaper this process reaps
  // them when it ends them.
  ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  // Options as the test process was given them, plus where reports go (children only: ours were
  // read at start).
  static const std::vector<std::string> given = [] {
    std::vector<std::string> values;
    for (const char* name : kSanitizerOptions) {
      const char* value = std::getenv(name);
      values.emplace_back(value != nullptr ? value : "");
    }
    return values;
  }();
  sanitizerDirectory_ = runDirectory_ + "-sanitizer";
  fs::create_directories(sanitizerDirectory_);
  for (std::size_t i = 0; i < std::size(kSanitizerOptions); ++i) {
    const std::string options =
        (given[i].empty() ? "" : given[i] + ":") + "log_path=" + sanitizerDirectory_ + "/report";
    ::setenv(kSanitizerOptions[i], options.c_str(), 1);
  }
  ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
}

void RemotingFixture::TearDown() {
  KillServers();
  CheckSanitizerReports();
  CoUninitialize();
}

void RemotingFixture::KillServers() {
  std::vector<pid_t> pids = killAtEnd_;
  std::error_code ignored;
  for (const auto& entry : fs::directory_iterator(platform::remoting::ClassDirectory(), ignored)) {
    const std::string text = ReadAll(entry.path());
    const auto at = text.find("pid=");
    if (at != std::string::npos) pids.push_back(static_cast<pid_t>(std::atol(text.c_str() + at + 4)));
  }
  for (const pid_t pid : pids) {
    if (pid <= 1 || pid == ::getpid()) continue;
    ::kill(-pid, SIGKILL);  // a launched server leads a process group of its own
    ::kill(pid, SIGKILL);
    EXPECT_TRUE(WaitForExitOf(pid)) << "server " << pid << " did not end";
  }
}

void RemotingFixture::CheckSanitizerReports() {
  std::error_code ignored;
  for (const auto& report : fs::directory_iterator(sanitizerDirectory_, ignored)) {
    ADD_FAILURE() << "a child process reported:\n" << ReadAll(report.path());
  }
}

ClassesRootValues::ClassesRootValues(const std::vector<Value>& values) {
  for (const auto& [key, name, text] : values) {
    HKEY handle = nullptr;
    EXPECT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &handle, nullptr),
              ERROR_SUCCESS);
    const std::wstring wide = platform::FromUtf8(text);
    EXPECT_EQ(RegSetValueExW(handle, name.empty() ? nullptr : name.c_str(), 0, REG_SZ,
                             reinterpret_cast<const BYTE*>(wide.c_str()),
                             static_cast<DWORD>((wide.size() + 1) * sizeof(wchar_t))),
              ERROR_SUCCESS);
    RegCloseKey(handle);
    trees_.push_back(key.substr(0, key.find(L'\\', key.find(L'\\') + 1)));
  }
}

ClassesRootValues::~ClassesRootValues() {
  for (const auto& tree : trees_) RegDeleteTreeW(HKEY_CLASSES_ROOT, tree.c_str());
}

LocalServerRegistration::LocalServerRegistration(REFCLSID clsid, const std::string& commandLine)
    : ClassesRootValues({{L"CLSID\\" + platform::FormatGuid(clsid) + L"\\LocalServer32", L"", commandLine}}) {}

std::string Quoted(const std::string& program) { return "\"" + program + "\""; }

std::unique_ptr<ChildProcess> RemotingFixture::StartPeer(bool real) {
  std::vector<std::string> arguments{"serve"};
  if (real) arguments.emplace_back("--real");
  auto peer = std::make_unique<ChildProcess>(PEER_BINARY, arguments);
  const auto line = peer->ReadLine();
  EXPECT_TRUE(line && line->rfind("serving", 0) == 0) << (line ? *line : "(no output)") << peer->Errors();
  return peer;
}

void ServerFixture::SetUp() {
  RemotingFixture::SetUp();
  logDirectory_ = RunDirectory() + "-log";
  eventLog_ = RunDirectory() + "-events.log";
  // Registration as a local server: the AppID and the classes with LocalServer32.
  ChildProcess registration(SERVER_BINARY, {"/RegServer"}, ServerEnvironment());
  ASSERT_EQ(registration.Wait(), 0) << registration.Errors();
}

std::vector<std::string> ServerFixture::ServerEnvironment() const {
  return {"TALVARO_LOG_DIR=" + logDirectory_, "TALVARO_EVENT_LOG=" + eventLog_};
}

void ServerFixture::StartServer(const std::vector<std::string>& launcher) {
  if (launcher.empty()) {
    server_ = std::make_unique<ChildProcess>(SERVER_BINARY, std::vector<std::string>{}, ServerEnvironment());
  } else {
    std::vector<std::string> arguments(launcher.begin() + 1, launcher.end());
    arguments.push_back(SERVER_BINARY);
    server_ = std::make_unique<ChildProcess>(launcher.front(), arguments, ServerEnvironment());
  }
  ASSERT_TRUE(WaitUntil([] {
    return platform::remoting::ReadClassFile(CLSID_TalvaroCommunicationDriverFactory).has_value();
  })) << server_->Errors();
}

std::string ServerFixture::ServerLogPath() const { return logDirectory_ + "/TCD.log"; }

std::string ServerFixture::ServerLog() const { return ReadAll(ServerLogPath()); }

bool ServerFixture::LogShows(const std::string& text) const { return ServerLog().find(text) != std::string::npos; }

ComPtr<ITalvaroCommunicationDriverFactory> ServerFixture::Factory() {
  ComPtr<ITalvaroCommunicationDriverFactory> factory;
  EXPECT_EQ(Create(CLSID_TalvaroCommunicationDriverFactory, &factory), S_OK);
  return factory;
}

ComPtr<ICommunicationDriver> ServerFixture::Driver(ITalvaroCommunicationDriverFactory* factory, const wchar_t* unit) {
  ComPtr<ICommunicationDriver> driver;
  platform::automation::Bstr name(unit);
  platform::automation::Bstr application(L"remoting_server_tests");
  EXPECT_EQ(factory->CreateDriver(name.Get(), application.Get(), nullptr, nullptr, nullptr, driver.Put()), S_OK);
  return driver;
}

bool ServerFixture::SimulatorRecorded(const std::string& line) {
  return WaitUntil([&] { return Command(L"writes") == S_OK && LogShows(line); });
}

ComPtr<IConnectionPoint> ServerFixture::Subscribe(ICommunicationDriver* driver, IUnknown* sink) {
  ComPtr<IConnectionPointContainer> container;
  ComPtr<IConnectionPoint> point;
  DWORD cookie = 0;
  if (driver == nullptr || FAILED(driver->QueryInterface(uuidof<IConnectionPointContainer>, container.PutVoid())) ||
      FAILED(container->FindConnectionPoint(uuidof<ICommunicationDriverEvents>, point.Put())) ||
      FAILED(point->Advise(sink, &cookie))) {
    ADD_FAILURE() << "cannot subscribe";
    return nullptr;
  }
  return point;
}

std::size_t ServerFixture::Subscribers(IConnectionPoint* point) {
  ComPtr<IEnumConnections> connections;
  if (FAILED(point->EnumConnections(connections.Put()))) return 0;
  std::size_t count = 0;
  CONNECTDATA entry{};
  ULONG fetched = 0;
  while (connections->Next(1, &entry, &fetched) == S_OK && fetched == 1) {
    ++count;
    ComPtr<IUnknown>::Adopt(entry.pUnk);  // the enumerator's reference, dropped here
  }
  return count;
}

HRESULT ServerFixture::Command(const wchar_t* text) {
  ComPtr<IXRBGeneric> generic;
  const HRESULT hr = Create(CLSID_TalvaroCommunicationDriverGApp, &generic);
  if (FAILED(hr)) return hr;
  platform::automation::Bstr command(text);
  return generic->SendGenericCommand(command.Get());
}

}  // namespace Talvaro::RemotingTest
