// Runs one disabled case of the current test program in a child process, so that a test can
// watch another process hold a lock, exit or take a signal. The child reports single bytes on
// descriptor kReportFd, its standard output comes back through Output(), and it may block in
// WaitForRelease() until the parent releases it, dies or kills it. One thread owns a ChildCase.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <string>

extern char** environ;

namespace Talvaro::Testing {

inline constexpr int kReportFd = 100;
inline constexpr int kHoldFd = 101;
inline constexpr char kChildProgramName[] = "talvaro-test-child";

class ChildCase {
 public:
  // `testName`: "Suite.DISABLED_Case".
  explicit ChildCase(const std::string& testName) {
    std::string filter = "--gtest_filter=" + testName;
    std::string name = kChildProgramName, disabled = "--gtest_also_run_disabled_tests";
    char* argv[] = {name.data(), filter.data(), disabled.data(), nullptr};
    int report[2], hold[2], output[2];
    if (::pipe2(report, O_CLOEXEC) != 0 || ::pipe2(hold, O_CLOEXEC) != 0 || ::pipe2(output, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, report[1], kReportFd);
    posix_spawn_file_actions_adddup2(&actions, hold[0], kHoldFd);
    posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
    if (::posix_spawn(&pid_, "/proc/self/exe", &actions, nullptr, argv, environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    for (int end : {report[1], hold[0], output[1]}) ::close(end);
    reportFd_ = report[0];
    holdFd_ = hold[1];
    outputFd_ = output[0];
  }
  ChildCase(const ChildCase&) = delete;
  ChildCase& operator=(const ChildCase&) = delete;
  ~ChildCase() {
    Kill();
    Wait();
    for (int fd : {reportFd_, holdFd_, outputFd_}) {
      if (fd >= 0) ::close(fd);
    }
  }

  bool started() const { return pid_ > 0; }
  // The next byte the child reports; '\0' when the child ended without reporting.
  char ReadReport() {
    char c = '\0';
    while (::read(reportFd_, &c, 1) < 0 && errno == EINTR) {
    }
    return c;
  }
  // The child's standard output up to its end (the child has exited or closed it).
  std::string Output() {
    std::string text;
    char buffer[4096];
    for (ssize_t got; (got = ::read(outputFd_, buffer, sizeof buffer)) > 0 || (got < 0 && errno == EINTR);) {
      if (got > 0) text.append(buffer, static_cast<std::size_t>(got));
    }
    return text;
  }
  // Lets the child end: its WaitForRelease returns once the hold pipe reaches end of file.
  void Release() {
    if (holdFd_ >= 0) ::close(holdFd_);
    holdFd_ = -1;
  }
  void Kill() { Signal(SIGKILL); }
  void Signal(int signal) {
    if (pid_ > 0) ::kill(pid_, signal);
  }
  // Stops the child and returns once it is stopped (the signal alone returns before).
  bool Stop() {
    int status = 0;
    Signal(SIGSTOP);
    while (pid_ > 0 && ::waitpid(pid_, &status, WUNTRACED) < 0 && errno == EINTR) {
    }
    return WIFSTOPPED(status);
  }
  // waitpid status of the child (reaped once).
  int Wait() {
    while (pid_ > 0 && ::waitpid(pid_, &status_, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    return status_;
  }

 private:
  pid_t pid_ = -1;
  int reportFd_ = -1;
  int holdFd_ = -1;
  int outputFd_ = -1;
  int status_ = 0;
};

// In the child: report one byte to the parent.
inline void Report(char c) { (void)!::write(kReportFd, &c, 1); }

// In the child: block until the parent releases (or dies).
inline void WaitForRelease() {
  char c;
  ssize_t n;
  while ((n = ::read(kHoldFd, &c, 1)) > 0 || (n < 0 && errno == EINTR)) {
  }
}

// Whether this process is a child started by ChildCase, by its program name: the disabled
// cases that are the children's bodies skip otherwise.
inline bool IsChild() {
  std::ifstream commandLine("/proc/self/cmdline");
  std::string programName;
  std::getline(commandLine, programName, '\0');
  return programName == kChildProgramName;
}

}  // namespace Talvaro::Testing
