#include "platform/kernel/create_process.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <thread>

#include "platform/kernel/synch.h"
#include "platform/system/last_error.h"
#include "platform/types/wide_string.h"

extern char** environ;

namespace platform::kernel {
namespace {

// A started process: set when it has ended. The exit code is written by its reaper before Set
// and read after a wait or under the wait lock's ordering (IsSignalled).
class ProcessObject final : public WaitableObject {
 public:
  explicit ProcessObject(pid_t pid) : WaitableObject(ResetMode::Manual, false), pid_(pid) {}

  // Reaper thread: waits for the process and records how it ended.
  void Reap() {
    int status = 0;
    pid_t reaped;
    do {
      reaped = ::waitpid(pid_, &status, 0);
    } while (reaped < 0 && errno == EINTR);
    // ECHILD: somebody else reaped it; its status is lost.
    if (reaped == pid_) exitCode_ = WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
    Set();
  }

  DWORD ExitCode() const { return IsSignalled() ? exitCode_ : STILL_ACTIVE; }

 private:
  const pid_t pid_;
  DWORD exitCode_ = 0;
};

DWORD ErrorFromSpawn(int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR:
      return ERROR_FILE_NOT_FOUND;
    case EACCES:
    case EPERM:
      return ERROR_ACCESS_DENIED;
    case ENOEXEC:
      return ERROR_BAD_EXE_FORMAT;
    case ENOMEM:
    case EAGAIN:
      return ERROR_NOT_ENOUGH_MEMORY;
    default:
      return ERROR_INVALID_PARAMETER;
  }
}

// "NAME=value" strings of an environment block, up to the empty one that ends it.
template <class Char>
std::vector<std::string> EnvironmentStrings(const Char* block) {
  std::vector<std::string> strings;
  while (*block != 0) {
    const std::basic_string_view<Char> entry(block);
    if constexpr (sizeof(Char) == 1) {
      strings.emplace_back(entry);
    } else {
      strings.push_back(ToUtf8(entry));
    }
    block += entry.size() + 1;
  }
  return strings;
}

std::vector<char*> Pointers(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (auto& text : strings) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  return pointers;
}

// The spawn's file actions: directory and descriptors. Owns the posix object.
class FileActions {
 public:
  FileActions() { posix_spawn_file_actions_init(&actions_); }
  ~FileActions() { posix_spawn_file_actions_destroy(&actions_); }
  FileActions(const FileActions&) = delete;
  FileActions& operator=(const FileActions&) = delete;
  posix_spawn_file_actions_t* Get() { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_;
};

}  // namespace

std::vector<std::wstring> SplitArguments(std::wstring_view commandLine) {
  std::vector<std::wstring> arguments;
  std::wstring argument;
  bool inArgument = false;
  bool quoted = false;
  for (std::size_t i = 0; i < commandLine.size(); ++i) {
    const wchar_t c = commandLine[i];
    if (c == L'\\') {
      std::size_t backslashes = 0;
      while (i < commandLine.size() && commandLine[i] == L'\\') ++backslashes, ++i;
      if (i < commandLine.size() && commandLine[i] == L'"') {
        argument.append(backslashes / 2, L'\\');
        if (backslashes % 2 == 1) {
          argument += L'"';
        } else {
          --i;  // the quote is read as a quote next
        }
      } else {
        argument.append(backslashes, L'\\');
        --i;
      }
      inArgument = true;
    } else if (c == L'"') {
      if (quoted && i + 1 < commandLine.size() && commandLine[i + 1] == L'"') {
        argument += L'"';
        ++i;
      } else {
        quoted = !quoted;
      }
      inArgument = true;
    } else if (!quoted && (c == L' ' || c == L'\t')) {
      if (inArgument) arguments.push_back(std::move(argument));
      argument.clear();
      inArgument = false;
    } else {
      argument += c;
      inArgument = true;
    }
  }
  if (inArgument) arguments.push_back(std::move(argument));
  return arguments;
}

}  // namespace platform::kernel

BOOL CreateProcessW(LPCWSTR applicationName, LPWSTR commandLine, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES,
                    BOOL inheritHandles, DWORD creationFlags, LPVOID environment, LPCWSTR currentDirectory,
                    LPSTARTUPINFOW startupInfo, LPPROCESS_INFORMATION processInformation) {
  using namespace platform::kernel;
  if (startupInfo == nullptr || processInformation == nullptr ||
      (creationFlags & ~(CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT)) != 0 ||
      (applicationName == nullptr && commandLine == nullptr)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::vector<std::string> arguments;
  for (const auto& argument : SplitArguments(commandLine != nullptr ? commandLine : applicationName)) {
    arguments.push_back(platform::ToUtf8(argument));
  }
  if (arguments.empty()) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return FALSE;
  }
  const std::string program = applicationName != nullptr ? platform::ToUtf8(applicationName) : arguments.front();
  std::vector<std::string> environmentStrings;
  if (environment != nullptr) {
    environmentStrings = (creationFlags & CREATE_UNICODE_ENVIRONMENT) != 0
                             ? EnvironmentStrings(static_cast<const wchar_t*>(environment))
                             : EnvironmentStrings(static_cast<const char*>(environment));
  }
  FileActions actions;
  if (currentDirectory != nullptr) {
    const std::string directory = platform::ToUtf8(currentDirectory);
    if (::access(directory.c_str(), X_OK) != 0) {
      SetLastError(ERROR_DIRECTORY);
      return FALSE;
    }
    posix_spawn_file_actions_addchdir_np(actions.Get(), directory.c_str());
  }
  if (!inheritHandles) posix_spawn_file_actions_addclosefrom_np(actions.Get(), 3);
  auto argv = Pointers(arguments);
  auto envp = Pointers(environmentStrings);
  pid_t pid = 0;
  const bool searchPath = applicationName == nullptr && program.find('/') == std::string::npos;
  const int error = (searchPath ? posix_spawnp : posix_spawn)(&pid, program.c_str(), actions.Get(), nullptr,
                                                              argv.data(), environment != nullptr ? envp.data() : environ);
  if (error != 0) {
    SetLastError(ErrorFromSpawn(error));
    return FALSE;
  }
  auto process = std::make_shared<ProcessObject>(pid);
  // Ends when the process does; holds the object, never the caller's handles.
  std::thread([process] { process->Reap(); }).detach();
  processInformation->hProcess = InsertHandle(process);
  processInformation->hThread = InsertHandle(process);
  processInformation->dwProcessId = static_cast<DWORD>(pid);
  processInformation->dwThreadId = static_cast<DWORD>(pid);
  return TRUE;
}

BOOL GetExitCodeProcess(HANDLE process, LPDWORD exitCode) {
  const auto object = platform::kernel::ReferenceHandleAs<platform::kernel::ProcessObject>(process);
  if (object == nullptr || exitCode == nullptr) {
    SetLastError(object == nullptr ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *exitCode = object->ExitCode();
  return TRUE;
}
