// The service side on systemd: the dispatcher, the control handler and status reports.
//
// Threads: StartServiceCtrlDispatcherW's caller is the dispatcher thread; it waits on a signalfd
// for the control signals and on an eventfd for changes of the dispatcher state (first status
// report made, ServiceMain returned), and calls the handler. ServiceMain runs on a thread the
// dispatcher starts and joins. Other threads only report status.
//
// Controls wait in a queue until the service has registered its handler and made its first
// report through the handle: like the original service manager, which sends no control before
// the service reported a state that accepts it. A handler run earlier would find the service
// without its status handle, and its report would be overwritten by the first one.
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/service/service.h"
#include "platform/system/last_error.h"
#include "platform/types/wide_string.h"

namespace {

constexpr std::array<int, 4> kControlSignals = {SIGTERM, SIGHUP, SIGUSR1, SIGUSR2};

DWORD ControlOf(int signal) {
  switch (signal) {
    case SIGTERM:
      return SERVICE_CONTROL_STOP;
    case SIGHUP:
      return SERVICE_CONTROL_PARAMCHANGE;
    case SIGUSR1:
      return 128;
    default:
      return 129;  // SIGUSR2
  }
}

// The one dispatcher a process may run at a time. `lock` guards every field.
struct Dispatcher {
  std::mutex lock;
  bool running = false;
  std::uintptr_t generation = 0;  // the status handle of the running dispatcher
  std::wstring serviceName;
  LPHANDLER_FUNCTION handler = nullptr;
  bool reported = false;      // the service made its first status report through the handle
  std::deque<DWORD> pending;  // controls not yet delivered (see the head of this file)
  bool serviceMainReturned = false;
  int wakeFd = -1;  // eventfd: tells the dispatcher thread to look at the fields again
};

Dispatcher& TheDispatcher() {
  static auto* dispatcher = new Dispatcher;  // lives until exit
  return *dispatcher;
}

void Wake(int wakeFd) {
  const std::uint64_t one = 1;
  (void)!::write(wakeFd, &one, sizeof one);
}

// A notification socket, or an invocation id in a process that systemd started itself. Shells
// inside a desktop session inherit INVOCATION_ID from the terminal's unit; their children are
// no services, and their parent is not PID 1.
bool StartedBySystemd() {
  const auto set = [](const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0';
  };
  return set("NOTIFY_SOCKET") || (set("INVOCATION_ID") && ::getppid() == 1);
}

// Threads that existed before the dispatcher do not block the control signals; one of them may
// receive a signal meant for the process, and passes it on to the dispatcher thread.
std::atomic<pthread_t> dispatcherThread{};

void RedirectToDispatcher(int signal) {
  const int saved = errno;
  ::pthread_kill(dispatcherThread.load(std::memory_order_relaxed), signal);
  errno = saved;
}

// The signal set, the redirection and the signalfd of one dispatcher run; restores the previous
// dispositions and mask of the calling thread when it goes.
class ControlSignals {
 public:
  ControlSignals() {
    sigemptyset(&set_);
    for (int signal : kControlSignals) sigaddset(&set_, signal);
    ::pthread_sigmask(SIG_BLOCK, &set_, &previousMask_);
    dispatcherThread.store(::pthread_self(), std::memory_order_relaxed);
    struct sigaction redirect {};
    redirect.sa_handler = RedirectToDispatcher;
    redirect.sa_flags = SA_RESTART;
    sigemptyset(&redirect.sa_mask);
    for (std::size_t i = 0; i < kControlSignals.size(); ++i) {
      ::sigaction(kControlSignals[i], &redirect, &previousActions_[i]);
    }
    fd_ = ::signalfd(-1, &set_, SFD_CLOEXEC | SFD_NONBLOCK);
  }

  ~ControlSignals() {
    for (std::size_t i = 0; i < kControlSignals.size(); ++i) {
      ::sigaction(kControlSignals[i], &previousActions_[i], nullptr);
    }
    // Signals that came after ServiceMain returned are dropped: unblocking them would apply
    // their default action to a process that has finished its service.
    while (Read() >= 0) {
    }
    if (fd_ >= 0) ::close(fd_);
    ::pthread_sigmask(SIG_SETMASK, &previousMask_, nullptr);
  }

  ControlSignals(const ControlSignals&) = delete;
  ControlSignals& operator=(const ControlSignals&) = delete;

  int fd() const { return fd_; }

  // The next pending control signal, or -1.
  int Read() {
    signalfd_siginfo info{};
    if (fd_ < 0 || ::read(fd_, &info, sizeof info) != static_cast<ssize_t>(sizeof info)) return -1;
    return static_cast<int>(info.ssi_signo);
  }

 private:
  sigset_t set_;
  sigset_t previousMask_;
  std::array<struct sigaction, kControlSignals.size()> previousActions_{};
  int fd_ = -1;
};

// Delivers the queued controls to the handler (outside the lock: it is the service's code).
// Returns false once ServiceMain has returned; what is still queued then is dropped.
bool DeliverPending(Dispatcher& dispatcher) {
  for (;;) {
    LPHANDLER_FUNCTION handler = nullptr;
    DWORD control = 0;
    {
      std::lock_guard guard(dispatcher.lock);
      if (dispatcher.serviceMainReturned) return false;
      if (dispatcher.handler == nullptr || !dispatcher.reported || dispatcher.pending.empty()) return true;
      handler = dispatcher.handler;
      control = dispatcher.pending.front();
      dispatcher.pending.pop_front();
    }
    handler(control);
  }
}

std::string NotifyText(const SERVICE_STATUS& status) {
  std::string text;
  switch (status.dwCurrentState) {
    case SERVICE_STOPPED:
      text = "STATUS=Stopped";
      if (status.dwWin32ExitCode != 0) text += " (exit code " + std::to_string(status.dwWin32ExitCode) + ")";
      break;
    case SERVICE_START_PENDING:
      text = "STATUS=Start pending";
      break;
    case SERVICE_STOP_PENDING:
      text = "STOPPING=1\nSTATUS=Stop pending";
      break;
    case SERVICE_RUNNING:
      text = "READY=1\nSTATUS=Running";
      break;
    case SERVICE_CONTINUE_PENDING:
      text = "STATUS=Continue pending";
      break;
    case SERVICE_PAUSE_PENDING:
      text = "STATUS=Pause pending";
      break;
    default:
      text = "STATUS=Paused";
      break;
  }
  const bool pending = status.dwCurrentState == SERVICE_START_PENDING ||
                       status.dwCurrentState == SERVICE_STOP_PENDING ||
                       status.dwCurrentState == SERVICE_CONTINUE_PENDING ||
                       status.dwCurrentState == SERVICE_PAUSE_PENDING;
  if (pending && status.dwWaitHint != 0) {
    text += "\nEXTEND_TIMEOUT_USEC=" + std::to_string(std::uint64_t{status.dwWaitHint} * 1000);
  }
  return text;
}

}  // namespace

BOOL StartServiceCtrlDispatcherW(const SERVICE_TABLE_ENTRYW* serviceTable) {
  if (serviceTable == nullptr || serviceTable[0].lpServiceName == nullptr ||
      serviceTable[0].lpServiceProc == nullptr) {
    SetLastError(ERROR_INVALID_DATA);
    return FALSE;
  }
  if (!StartedBySystemd()) {
    SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    return FALSE;
  }
  Dispatcher& dispatcher = TheDispatcher();
  const int wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wakeFd < 0) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  const std::wstring serviceName = serviceTable[0].lpServiceName;
  {
    std::lock_guard guard(dispatcher.lock);
    if (dispatcher.running) {
      ::close(wakeFd);
      SetLastError(ERROR_SERVICE_ALREADY_RUNNING);
      return FALSE;
    }
    dispatcher.running = true;
    ++dispatcher.generation;
    dispatcher.serviceName = serviceName;
    dispatcher.handler = nullptr;
    dispatcher.reported = false;
    dispatcher.pending.clear();
    dispatcher.serviceMainReturned = false;
    dispatcher.wakeFd = wakeFd;
  }
  {
    ControlSignals signals;  // before the service thread exists, so that it inherits the mask
    const LPSERVICE_MAIN_FUNCTIONW serviceMain = serviceTable[0].lpServiceProc;
    std::thread serviceThread([serviceMain, serviceName, wakeFd, &dispatcher] {
      std::vector<wchar_t> name(serviceName.begin(), serviceName.end());
      name.push_back(L'\0');
      LPWSTR argv[] = {name.data(), nullptr};
      serviceMain(1, argv);
      {
        std::lock_guard guard(dispatcher.lock);
        dispatcher.serviceMainReturned = true;
      }
      Wake(wakeFd);
    });

    for (;;) {
      pollfd fds[2] = {{signals.fd(), POLLIN, 0}, {wakeFd, POLLIN, 0}};
      if (::poll(fds, 2, -1) < 0) {
        if (errno == EINTR) continue;
        break;  // nothing more can be delivered; wait for ServiceMain below
      }
      if ((fds[1].revents & POLLIN) != 0) {
        std::uint64_t count = 0;
        (void)!::read(wakeFd, &count, sizeof count);
      }
      for (int signal = signals.Read(); signal >= 0; signal = signals.Read()) {
        std::lock_guard guard(dispatcher.lock);
        dispatcher.pending.push_back(ControlOf(signal));
      }
      if (!DeliverPending(dispatcher)) break;
    }
    serviceThread.join();
  }
  {
    std::lock_guard guard(dispatcher.lock);
    dispatcher.running = false;
    dispatcher.handler = nullptr;
    dispatcher.pending.clear();
    dispatcher.wakeFd = -1;
  }
  ::close(wakeFd);
  return TRUE;
}

SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerW(LPCWSTR serviceName, LPHANDLER_FUNCTION handler) {
  Dispatcher& dispatcher = TheDispatcher();
  std::lock_guard guard(dispatcher.lock);
  if (!dispatcher.running || serviceName == nullptr ||
      !platform::EqualsIgnoreCase(serviceName, dispatcher.serviceName)) {
    SetLastError(ERROR_SERVICE_NOT_IN_EXE);
    return nullptr;
  }
  if (handler == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  dispatcher.handler = handler;  // controls wait for the first report, which wakes the dispatcher
  return reinterpret_cast<SERVICE_STATUS_HANDLE>(dispatcher.generation);
}

BOOL SetServiceStatus(SERVICE_STATUS_HANDLE statusHandle, LPSERVICE_STATUS status) {
  Dispatcher& dispatcher = TheDispatcher();
  const auto ours = [&] {
    return dispatcher.running && statusHandle == reinterpret_cast<SERVICE_STATUS_HANDLE>(dispatcher.generation);
  };
  {
    std::lock_guard guard(dispatcher.lock);
    if (!ours()) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
  }
  if (status == nullptr || status->dwCurrentState < SERVICE_STOPPED ||
      status->dwCurrentState > SERVICE_PAUSED) {
    SetLastError(ERROR_INVALID_DATA);
    return FALSE;
  }
  const bool sent = ::sd_notify(0, NotifyText(*status).c_str()) >= 0;
  {
    // The first report opens the way for the queued controls, even when systemd did not take
    // it: controls come as signals, and a stop must still reach the service.
    std::lock_guard guard(dispatcher.lock);
    if (ours() && !dispatcher.reported) {
      dispatcher.reported = true;
      Wake(dispatcher.wakeFd);
    }
  }
  if (!sent) {
    SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    return FALSE;
  }
  return TRUE;
}
