// A program under test as a child process: its standard output and error captured in memory
// files that the test reads at any time, signals, and waits with generous bounds. The child gets
// the test's environment without NOTIFY_SOCKET and INVOCATION_ID (so it never thinks systemd
// started it) plus what the test adds, which replaces inherited variables of the same name. Only
// this child is ever signalled; the destructor kills and reaps it if the test did not.
// One test thread owns an instance.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "tests/host/probes.h"

extern char** environ;

namespace host_test {

class ServerProcess {
 public:
  ServerProcess(const std::string& executable, const std::vector<std::string>& arguments,
                const std::vector<std::string>& extraEnvironment = {}) {
    std::vector<std::string> argv{executable};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    std::vector<std::string> environment;
    for (char** entry = environ; *entry != nullptr; ++entry) {
      const std::string_view inherited(*entry);
      const std::string_view name = inherited.substr(0, inherited.find('=') + 1);
      bool replaced = name == "NOTIFY_SOCKET=" || name == "INVOCATION_ID=";
      for (const std::string& extra : extraEnvironment) replaced = replaced || extra.starts_with(name);
      if (!replaced) environment.emplace_back(inherited);
    }
    environment.insert(environment.end(), extraEnvironment.begin(), extraEnvironment.end());
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, stdout_, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, stderr_, STDERR_FILENO);
    std::vector<char*> argp = Pointers(argv);
    std::vector<char*> envp = Pointers(environment);
    if (::posix_spawn(&pid_, executable.c_str(), &actions, nullptr, argp.data(), envp.data()) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
  }

  ~ServerProcess() {
    if (pid_ > 0 && !exitStatus_) {
      ::kill(pid_, SIGKILL);
      Reap(true);
    }
    ::close(stdout_);
    ::close(stderr_);
  }

  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  void Signal(int signal) {
    if (pid_ > 0 && !exitStatus_) ::kill(pid_, signal);
  }

  // Exit code (or 128 + signal) once the process has ended within `timeout`.
  std::optional<int> WaitForExit(std::chrono::milliseconds timeout = 60s) {
    WaitUntil([this] { return Reap(false); }, timeout);
    return exitStatus_;
  }

  std::string Stdout() const { return Captured(stdout_); }
  std::string Stderr() const { return Captured(stderr_); }
  bool WaitForStdout(const std::string& text, std::chrono::milliseconds timeout = 60s) const {
    return WaitUntil([&] { return Contains(Stdout(), text); }, timeout);
  }

 private:
  static std::vector<char*> Pointers(std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    for (auto& s : strings) pointers.push_back(s.data());
    pointers.push_back(nullptr);
    return pointers;
  }

  // All the child wrote so far; pread leaves the offset that the child's writes share alone.
  static std::string Captured(int fd) {
    std::string text;
    char buffer[4096];
    for (ssize_t got; (got = ::pread(fd, buffer, sizeof buffer, static_cast<off_t>(text.size()))) > 0;) {
      text.append(buffer, static_cast<std::size_t>(got));
    }
    return text;
  }

  bool Reap(bool block) {
    if (exitStatus_) return true;
    int status = 0;
    if (::waitpid(pid_, &status, block ? 0 : WNOHANG) != pid_) return false;
    exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return true;
  }

  const int stdout_ = ::memfd_create("stdout", MFD_CLOEXEC);
  const int stderr_ = ::memfd_create("stderr", MFD_CLOEXEC);
  pid_t pid_ = -1;
  std::optional<int> exitStatus_;
};

}  // namespace host_test
