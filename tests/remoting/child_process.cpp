#include "tests/remoting/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

extern char** environ;

namespace Talvaro::RemotingTest {

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (condition()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
}

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                           const std::vector<std::string>& environment, bool pipedInput) {
  std::vector<std::string> argvStrings{program};
  argvStrings.insert(argvStrings.end(), arguments.begin(), arguments.end());
  // The given names before ours: the first of a name is the one getenv finds.
  std::vector<std::string> envStrings = environment;
  for (char** entry = environ; *entry != nullptr; ++entry) envStrings.emplace_back(*entry);
  std::vector<char*> argv;
  for (auto& s : argvStrings) argv.push_back(s.data());
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (auto& s : envStrings) envp.push_back(s.data());
  envp.push_back(nullptr);

  int out[2];
  int err[2];
  int in[2] = {-1, -1};
  if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) return;
  if (pipedInput && ::pipe2(in, O_CLOEXEC) != 0) return;
  if (pipedInput) ::signal(SIGPIPE, SIG_IGN);  // a child that ended makes WriteInput fail, not us
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (pipedInput) {
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
  } else {
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  }
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
  if (::posix_spawn(&pid_, program.c_str(), &actions, &attributes, argv.data(), envp.data()) != 0) pid_ = -1;
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  ::close(out[1]);
  ::close(err[1]);
  out_ = out[0];
  err_ = err[0];
  if (pipedInput) {
    ::close(in[0]);
    in_ = in[1];
  }
}

bool ChildProcess::WriteInput(const std::string& text) {
  std::size_t written = 0;
  while (in_ >= 0 && written < text.size()) {
    const ssize_t put = ::write(in_, text.data() + written, text.size() - written);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    written += static_cast<std::size_t>(put);
  }
  return written == text.size();
}

void ChildProcess::CloseInput() {
  if (in_ >= 0) ::close(in_);
  in_ = -1;
}

ChildProcess::~ChildProcess() {
  if (pid_ > 0 && !status_) {
    ::kill(pid_, SIGKILL);
    Wait(60s);
  }
  CloseInput();
  if (out_ >= 0) ::close(out_);
  if (err_ >= 0) ::close(err_);
}

bool ChildProcess::ReadMore(int fd, std::string& into, std::chrono::milliseconds timeout) {
  pollfd ready{fd, POLLIN, 0};
  if (::poll(&ready, 1, static_cast<int>(timeout.count())) <= 0) return false;
  char buffer[4096];
  const ssize_t got = ::read(fd, buffer, sizeof buffer);
  if (got <= 0) return false;
  into.append(buffer, static_cast<std::size_t>(got));
  return true;
}

std::optional<std::string> ChildProcess::ReadLine(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const auto end = outBuffer_.find('\n');
    if (end != std::string::npos) {
      std::string line = outBuffer_.substr(0, end);
      outBuffer_.erase(0, end + 1);
      return line;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || !ReadMore(out_, outBuffer_, left)) return std::nullopt;
  }
}

void ChildProcess::Signal(int signal) {
  if (pid_ > 0 && !status_) ::kill(pid_, signal);
}

std::optional<int> ChildProcess::Wait(std::chrono::milliseconds timeout) {
  if (status_ || pid_ <= 0) return status_;
  int status = 0;
  const bool ended = WaitUntil(
      [&] {
        Drain();
        const pid_t reaped = ::waitpid(pid_, &status, WNOHANG);
        return reaped == pid_ || (reaped < 0 && errno == ECHILD);
      },
      timeout);
  if (!ended) return std::nullopt;
  status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return status_;
}

void ChildProcess::Drain() {
  while (ReadMore(out_, outBuffer_, 0ms)) {
  }
  while (ReadMore(err_, errBuffer_, 0ms)) {
  }
}

std::string ChildProcess::Output() {
  Drain();
  return outBuffer_;
}

std::string ChildProcess::Errors() {
  Drain();
  return errBuffer_;
}

bool WaitForExitOf(pid_t pid, std::chrono::milliseconds timeout) {
  const auto gone = [](pid_t target) { return ::kill(target, 0) != 0 && errno == ESRCH; };
  return WaitUntil(
      [&] {
        siginfo_t ended{};
        while (::waitid(P_PGID, static_cast<id_t>(pid), &ended, WEXITED | WNOHANG) == 0 && ended.si_pid != 0) {
          ended = {};
        }
        ::waitpid(pid, nullptr, WNOHANG);
        return gone(pid) && gone(-pid);
      },
      timeout);
}

}  // namespace Talvaro::RemotingTest
