#include "bench/server_environment.h"

#include <errno.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "interfaces/application_lifecycle.h"
#include "interfaces/driver_factory.h"
#include "platform/automation/bstr.h"
#include "platform/com/class_table.h"
#include "platform/com/com_ptr.h"
#include "platform/registry/registry.h"
#include "platform/remoting/endpoints.h"
#include "platform/types/wide_string.h"

#include <fcntl.h>  // last: its LOCK_* macros would clash with the platform's names

extern char** environ;

namespace Bench {

void Fail(const std::string& what) {
  std::fprintf(stderr, "%s: %s\n", program_invocation_short_name, what.c_str());
  std::exit(1);
}

Environment::Environment() {
  root_ = (std::filesystem::temp_directory_path() / "talvaro-bench-XXXXXX").string();
  if (::mkdtemp(root_.data()) == nullptr) Fail("cannot make a temporary directory");
  logDirectory_ = root_ + "/log";
  ::setenv("TALVARO_REGISTRY", (root_ + "/registry.db").c_str(), 1);
  ::setenv("TALVARO_RUN_DIR", (root_ + "/run").c_str(), 1);
  ::setenv("TALVARO_LOG_DIR", logDirectory_.c_str(), 1);
  ::setenv("TALVARO_EVENT_LOG", (root_ + "/events.log").c_str(), 1);
  ::setenv("TALVARO_UNIT_DIR", (root_ + "/units").c_str(), 1);
  ::setenv("TALVARO_SHM_SCOPE", std::filesystem::path(root_).filename().c_str(), 1);
}

Environment::~Environment() {
  std::error_code ignored;
  if (std::getenv("BENCH_KEEP") == nullptr) std::filesystem::remove_all(root_, ignored);
}

namespace {

void SetValue(const wchar_t* keyPath, const wchar_t* name, DWORD type, const void* data, DWORD size) {
  HKEY key = nullptr;
  const bool written =
      RegCreateKeyExW(HKEY_LOCAL_MACHINE, keyPath, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) ==
          ERROR_SUCCESS &&
      RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), size) == ERROR_SUCCESS;
  if (key != nullptr) RegCloseKey(key);
  if (!written) Fail("cannot write the registry");
}

}  // namespace

void SetRegistryDword(const wchar_t* keyPath, const wchar_t* name, DWORD value) {
  SetValue(keyPath, name, REG_DWORD, &value, sizeof value);
}

void SetRegistryText(const wchar_t* keyPath, const wchar_t* name, const std::wstring& text) {
  SetValue(keyPath, name, REG_SZ, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

void SetConnectorType(const std::wstring& type) {
  SetRegistryText(L"SOFTWARE\\TALVARO\\Nimbrel\\TalvaroCommunicationDriver", L"ConnectorType", type);
}

pid_t Spawn(const std::vector<std::string>& arguments, int* out) {
  std::vector<std::string> copies = arguments;
  std::vector<char*> argv;
  for (auto& argument : copies) argv.push_back(argument.data());
  argv.push_back(nullptr);
  int pipeEnds[2] = {-1, -1};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (out != nullptr) {
    if (::pipe2(pipeEnds, O_CLOEXEC) != 0) Fail("cannot make a pipe");
    posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], STDOUT_FILENO);
  }
  pid_t pid = -1;
  const int failed = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (out != nullptr) {
    ::close(pipeEnds[1]);
    *out = pipeEnds[0];
  }
  if (failed != 0) Fail("cannot start " + arguments[0]);
  return pid;
}

int WaitExit(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

Server::Server() {
  if (WaitExit(Spawn({SERVER_BINARY, "/RegServer"})) != 0) Fail("the server did not register");
  pid_ = Spawn({SERVER_BINARY});
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!platform::remoting::ReadClassFile(CLSID_TalvaroCommunicationDriverFactory)) {
    if (std::chrono::steady_clock::now() > until) Fail("the server did not start");
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

Server::~Server() {
  ::kill(pid_, SIGTERM);
  WaitExit(pid_);
}

void Server::Command(const std::wstring& text) {
  platform::com::ComPtr<IXRBGeneric> generic;
  HRESULT hr = CoCreateInstance(CLSID_TalvaroCommunicationDriverGApp, nullptr, CLSCTX_LOCAL_SERVER,
                                uuidof<IXRBGeneric>, generic.PutVoid());
  platform::automation::Bstr command(text);
  if (SUCCEEDED(hr)) hr = generic->SendGenericCommand(command.Get());
  if (FAILED(hr)) Fail("the simulator refused " + platform::ToUtf8(text));
}

}  // namespace Bench
