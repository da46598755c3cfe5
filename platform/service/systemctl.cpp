#include "platform/service/systemctl.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "platform/types/error_codes.h"

extern char** environ;

namespace platform::service {
namespace {

// Closes a descriptor at the end of a scope.
class Descriptor {
 public:
  explicit Descriptor(int fd = -1) : fd_(fd) {}
  ~Descriptor() { Reset(); }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }
  void Reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

// posix_spawn attributes and file actions, destroyed with the scope.
class SpawnSetup {
 public:
  SpawnSetup(int outputFd, int outputReadEnd) {
    ::posix_spawnattr_init(&attributes_);
    ::posix_spawn_file_actions_init(&actions_);
    sigset_t none;
    sigemptyset(&none);
    sigset_t defaults;
    sigfillset(&defaults);
    sigdelset(&defaults, SIGKILL);
    sigdelset(&defaults, SIGSTOP);
    ::posix_spawnattr_setsigmask(&attributes_, &none);
    ::posix_spawnattr_setsigdefault(&attributes_, &defaults);
    // A process group of its own (led by the child), so that a deadline ends what it started too.
    ::posix_spawnattr_setpgroup(&attributes_, 0);
    ::posix_spawnattr_setflags(&attributes_, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
    ::posix_spawn_file_actions_addopen(&actions_, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    ::posix_spawn_file_actions_adddup2(&actions_, outputFd, STDOUT_FILENO);
    ::posix_spawn_file_actions_addclose(&actions_, outputReadEnd);
  }
  ~SpawnSetup() {
    ::posix_spawn_file_actions_destroy(&actions_);
    ::posix_spawnattr_destroy(&attributes_);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;

  const posix_spawnattr_t* attributes() const { return &attributes_; }
  const posix_spawn_file_actions_t* actions() const { return &actions_; }

 private:
  posix_spawnattr_t attributes_;
  posix_spawn_file_actions_t actions_;
};

int ExitStatusOf(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

// Kills the child's process group. Called before the child is reaped, so the group id is still
// the child's and cannot have been reused.
void KillGroup(pid_t child) { ::kill(-child, SIGKILL); }

int Reap(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return ExitStatusOf(status);
}

// Reads what is there; true at end of file.
bool Drain(int fd, std::string& output) {
  char buffer[4096];
  for (;;) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got > 0) {
      output.append(buffer, static_cast<std::size_t>(got));
    } else if (got == 0) {
      return true;
    } else if (errno != EINTR) {
      return false;  // nothing more for now (non-blocking)
    }
  }
}

std::string TrimTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

}  // namespace

ProgramResult RunProgram(const std::vector<std::string>& argv, std::chrono::milliseconds timeout) {
  ProgramResult result;
  if (argv.empty()) return result;
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) return result;
  Descriptor readEnd(pipeFds[0]);
  Descriptor writeEnd(pipeFds[1]);
  ::fcntl(readEnd.get(), F_SETFL, O_NONBLOCK);

  std::vector<char*> arguments;
  for (const std::string& argument : argv) arguments.push_back(const_cast<char*>(argument.c_str()));
  arguments.push_back(nullptr);
  pid_t pid = 0;
  {
    SpawnSetup setup(writeEnd.get(), readEnd.get());
    if (::posix_spawnp(&pid, arguments[0], setup.actions(), setup.attributes(), arguments.data(),
                       environ) != 0) {
      return result;
    }
  }
  result.started = true;
  writeEnd.Reset();
  // The pidfd turns readable when the child ends; without one (kernels before 5.3) the loop
  // looks with waitpid every 50 ms.
  Descriptor exited(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
  const int sliceMs = exited.get() >= 0 ? 1000 : 50;

  const auto deadline = std::chrono::steady_clock::now() + timeout;
  bool outputOpen = true;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      KillGroup(pid);
      Reap(pid);
      result.timedOut = true;
      return result;
    }
    pollfd fds[2] = {{exited.get(), POLLIN, 0}, {outputOpen ? readEnd.get() : -1, POLLIN, 0}};
    if (::poll(fds, 2, static_cast<int>(std::min<long long>(left.count(), sliceMs))) < 0 &&
        errno != EINTR) {
      KillGroup(pid);
      result.exitStatus = Reap(pid);
      return result;
    }
    if (outputOpen && (fds[1].revents & (POLLIN | POLLHUP)) != 0) {
      outputOpen = !Drain(readEnd.get(), result.output);
    }
    if (exited.get() >= 0) {
      if ((fds[0].revents & POLLIN) != 0) break;
    } else {
      int status = 0;
      if (::waitpid(pid, &status, WNOHANG) == pid) {
        if (outputOpen) Drain(readEnd.get(), result.output);
        result.exitStatus = ExitStatusOf(status);
        return result;
      }
    }
  }
  // Ended: what it wrote is in the pipe (a descendant that kept the pipe open is not waited for).
  if (outputOpen) Drain(readEnd.get(), result.output);
  result.exitStatus = Reap(pid);
  return result;
}

bool SystemctlManages(const std::string& unitDirectory) {
  const char* replacement = std::getenv("TALVARO_SYSTEMCTL");
  if (replacement != nullptr && *replacement != '\0') return true;
  struct stat info {};
  if (::stat("/run/systemd/system", &info) != 0 || !S_ISDIR(info.st_mode)) return false;
  const std::string directory = TrimTrailingSlashes(unitDirectory);
  for (const char* loaded : {"/etc/systemd/system", "/run/systemd/system", "/usr/local/lib/systemd/system",
                             "/usr/lib/systemd/system", "/lib/systemd/system"}) {
    if (directory == loaded) return true;
  }
  return false;
}

ProgramResult RunSystemctl(const std::vector<std::string>& arguments) {
  const char* replacement = std::getenv("TALVARO_SYSTEMCTL");
  std::vector<std::string> argv{replacement != nullptr && *replacement != '\0' ? replacement : "systemctl"};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  return RunProgram(argv, kSystemctlTimeout);
}

DWORD SystemctlError(const ProgramResult& result) {
  if (!result.started) return ERROR_FAILED_SERVICE_CONTROLLER_CONNECT;
  if (result.timedOut) return ERROR_SERVICE_REQUEST_TIMEOUT;
  return ERROR_ACCESS_DENIED;
}

}  // namespace platform::service
