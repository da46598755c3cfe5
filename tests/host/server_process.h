// The server executable as a child process of a test: its standard output and error collected
// by reader threads, signals, and waits with generous bounds. The child gets the test's
// environment without NOTIFY_SOCKET and INVOCATION_ID (so it never thinks systemd started it)
// plus what the test adds, which replaces inherited variables of the same name. Only this child
// is ever signalled; the destructor kills and reaps it if the test did not.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace host_test {

using namespace std::chrono_literals;

// Polls `condition` until it holds or `timeout` passes.
inline bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 60s) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

class ServerProcess {
 public:
  ServerProcess(const std::string& executable, const std::vector<std::string>& arguments,
                const std::vector<std::string>& extraEnvironment = {}) {
    std::vector<std::string> argv{executable};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    std::vector<std::string> environment;
    const auto replaced = [&](const char* entry) {
      for (const std::string& extra : extraEnvironment) {
        const std::size_t name = extra.find('=') + 1;
        if (std::strncmp(entry, extra.c_str(), name) == 0) return true;
      }
      return std::strncmp(entry, "NOTIFY_SOCKET=", 14) == 0 || std::strncmp(entry, "INVOCATION_ID=", 14) == 0;
    };
    for (char** entry = environ; *entry != nullptr; ++entry) {
      if (!replaced(*entry)) environment.emplace_back(*entry);
    }
    environment.insert(environment.end(), extraEnvironment.begin(), extraEnvironment.end());
    int out[2];
    int err[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    std::vector<char*> argp = Pointers(argv);
    std::vector<char*> envp = Pointers(environment);
    if (::posix_spawn(&pid_, executable.c_str(), &actions, nullptr, argp.data(), envp.data()) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(err[1]);
    readers_.emplace_back([this, fd = out[0]] { Collect(fd, stdout_); });
    readers_.emplace_back([this, fd = err[0]] { Collect(fd, stderr_); });
  }

  ~ServerProcess() {
    if (pid_ > 0 && !exitStatus_) {
      ::kill(pid_, SIGKILL);
      Reap(true);
    }
    for (auto& reader : readers_) reader.join();
  }

  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  bool started() const { return pid_ > 0; }
  void Signal(int signal) {
    if (pid_ > 0 && !exitStatus_) ::kill(pid_, signal);
  }

  // Exit code (or 128 + signal) once the process has ended within `timeout`.
  std::optional<int> WaitForExit(std::chrono::milliseconds timeout = 60s) {
    WaitUntil([this] { return Reap(false); }, timeout);
    return exitStatus_;
  }

  std::string Stdout() {
    std::lock_guard guard(lock_);
    return stdout_;
  }
  std::string Stderr() {
    std::lock_guard guard(lock_);
    return stderr_;
  }
  bool WaitForStdout(const std::string& text, std::chrono::milliseconds timeout = 60s) {
    return WaitUntil([&] { return Stdout().find(text) != std::string::npos; }, timeout);
  }

 private:
  static std::vector<char*> Pointers(std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    for (auto& s : strings) pointers.push_back(s.data());
    pointers.push_back(nullptr);
    return pointers;
  }

  void Collect(int fd, std::string& into) {
    char buffer[4096];
    for (;;) {
      const ssize_t got = ::read(fd, buffer, sizeof buffer);
      if (got <= 0) break;
      std::lock_guard guard(lock_);
      into.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(fd);
  }

  bool Reap(bool block) {
    if (exitStatus_) return true;
    int status = 0;
    if (::waitpid(pid_, &status, block ? 0 : WNOHANG) != pid_) return false;
    exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return true;
  }

  pid_t pid_ = -1;
  std::optional<int> exitStatus_;
  std::mutex lock_;  // guards stdout_ and stderr_
  std::string stdout_;
  std::string stderr_;
  std::vector<std::thread> readers_;
};

}  // namespace host_test
