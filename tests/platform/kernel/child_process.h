// Runs one disabled test case of the current test executable in a child process (fork + exec),
// so that a test can watch another process take locks or exit. The child reports through a pipe
// on descriptor kReportFd and lives until the parent closes its end of the pipe on kHoldFd (or
// kills it).
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <string>

namespace kernel_test {

inline constexpr int kReportFd = 100;
inline constexpr int kHoldFd = 101;

class ChildTest {
 public:
  // `testName`: "Suite.DISABLED_Case".
  explicit ChildTest(const std::string& testName) {
    std::string filter = "--gtest_filter=" + testName;
    char name[] = "kernel-test-child", disabled[] = "--gtest_also_run_disabled_tests";
    char* argv[] = {name, filter.data(), disabled, nullptr};
    int report[2], hold[2];
    if (::pipe2(report, O_CLOEXEC) != 0 || ::pipe2(hold, O_CLOEXEC) != 0) return;
    const int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    pid_ = ::fork();
    if (pid_ == 0) {
      // Only async-signal-safe calls between fork and exec.
      ::dup2(report[1], kReportFd);
      ::dup2(hold[0], kHoldFd);
      ::dup2(devNull, STDOUT_FILENO);
      ::execv("/proc/self/exe", argv);
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
    Kill();
    Wait();
    Release();
    if (reportFd_ >= 0) ::close(reportFd_);
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
  void Release() {
    if (holdFd_ >= 0) ::close(holdFd_);
    holdFd_ = -1;
  }
  void Kill() {
    if (pid_ > 0) ::kill(pid_, SIGKILL);
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

// Whether this process is a child started by ChildTest, by its program name (disabled cases
// skip otherwise).
inline bool IsChild() {
  std::ifstream commandLine("/proc/self/cmdline");
  std::string programName;
  std::getline(commandLine, programName, '\0');
  return programName == "kernel-test-child";
}

}  // namespace kernel_test
