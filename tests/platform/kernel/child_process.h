// Runs one disabled test case of the current test executable in a child process (fork + exec),
// so that a test can watch another process take locks or exit. The child reports through a pipe
// on descriptor kReportFd and lives until the parent closes its end of the pipe on
// kHoldFd (or kills it).
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

extern char** environ;

namespace kernel_test {

inline constexpr int kReportFd = 100;
inline constexpr int kHoldFd = 101;
inline constexpr const char* kChildMarker = "TALVARO_KERNEL_TEST_CHILD=1";

class ChildTest {
 public:
  // `testName`: "Suite.DISABLED_Case". `extraEnvironment`: "NAME=value" entries.
  ChildTest(const std::string& testName, const std::vector<std::string>& extraEnvironment) {
    std::vector<std::string> arguments = {"kernel-test-child", "--gtest_filter=" + testName,
                                          "--gtest_also_run_disabled_tests"};
    std::vector<std::string> environment = extraEnvironment;
    environment.emplace_back(kChildMarker);
    for (char** entry = environ; *entry != nullptr; ++entry) {
      environment.emplace_back(*entry);
    }
    std::vector<char*> argv = Pointers(arguments);
    std::vector<char*> envp = Pointers(environment);
    int report[2];
    int hold[2];
    if (::pipe2(report, O_CLOEXEC) != 0 || ::pipe2(hold, O_CLOEXEC) != 0) {
      return;
    }
    const int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    pid_ = ::fork();
    if (pid_ == 0) {
      // Only async-signal-safe calls between fork and exec.
      ::dup2(report[1], kReportFd);
      ::dup2(hold[0], kHoldFd);
      ::dup2(devNull, STDOUT_FILENO);
      ::execve("/proc/self/exe", argv.data(), envp.data());
      ::_exit(127);
    }
    ::close(report[1]);
    ::close(hold[0]);
    ::close(devNull);
    reportFd_ = report[0];
    holdFd_ = hold[1];
  }

  ChildTest(const ChildTest&) = delete;
  ChildTest& operator=(const ChildTest&) = delete;

  ~ChildTest() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      Wait();
    }
    CloseFd(reportFd_);
    CloseFd(holdFd_);
  }

  bool started() const { return pid_ > 0; }

  // The next byte the child reports; '\0' when the child ended without reporting.
  char ReadReport() {
    char c = '\0';
    while (::read(reportFd_, &c, 1) < 0 && errno == EINTR) {
    }
    return c;
  }

  // Lets the child end: it returns once its hold pipe reaches end of file.
  void Release() { CloseFd(holdFd_); }

  void Kill() { ::kill(pid_, SIGKILL); }

  // waitpid status of the child (reaped once).
  int Wait() {
    if (pid_ > 0) {
      while (::waitpid(pid_, &status_, 0) < 0 && errno == EINTR) {
      }
      pid_ = -1;
    }
    return status_;
  }

 private:
  static std::vector<char*> Pointers(std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    for (std::string& s : strings) {
      pointers.push_back(s.data());
    }
    pointers.push_back(nullptr);
    return pointers;
  }

  static void CloseFd(int& fd) {
    if (fd >= 0) {
      ::close(fd);
      fd = -1;
    }
  }

  pid_t pid_ = -1;
  int reportFd_ = -1;
  int holdFd_ = -1;
  int status_ = 0;
};

// In the child: report one byte to the parent.
inline void Report(char c) { (void)!::write(kReportFd, &c, 1); }

// In the child: block until the parent releases (or dies).
inline void WaitForRelease() {
  for (;;) {
    char c;
    const ssize_t n = ::read(kHoldFd, &c, 1);
    if (n == 0 || (n < 0 && errno != EINTR)) {
      return;
    }
  }
}

// Whether this process is a child started by ChildTest (disabled cases skip otherwise).
inline bool IsChild() { return std::getenv("TALVARO_KERNEL_TEST_CHILD") != nullptr; }

}  // namespace kernel_test
