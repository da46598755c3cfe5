#include "platform/system/console.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/system/last_error.h"

namespace {

// The console control state. `lock` guards handlers and ignoreCtrlC; the pipe carries one byte
// per signal from the signal handler (async-signal-safe write) to the control thread.
struct ConsoleControl {
  std::mutex lock;
  std::vector<PHANDLER_ROUTINE> handlers;
  bool ignoreCtrlC = false;
  int pipeRead = -1;  // set once the control thread runs
};

ConsoleControl& Control() {
  static auto* control = new ConsoleControl;  // lives until exit: the control thread uses it
  return *control;
}

int signalPipe = -1;  // write end, set once before the signal handlers are installed

void OnSignal(int signal) {
  const int saved = errno;
  const char control = signal == SIGINT ? static_cast<char>(CTRL_C_EVENT) : static_cast<char>(CTRL_BREAK_EVENT);
  (void)!::write(signalPipe, &control, 1);
  errno = saved;
}

void DefaultAction(DWORD ctrlType) {
  const int signal = ctrlType == CTRL_C_EVENT ? SIGINT : SIGQUIT;
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  ::sigaction(signal, &action, nullptr);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, signal);
  ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
  ::raise(signal);
}

void RunControlThread(int pipeRead) {
  for (;;) {
    char byte = 0;
    const ssize_t got = ::read(pipeRead, &byte, 1);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return;
    const DWORD ctrlType = static_cast<DWORD>(byte);
    std::vector<PHANDLER_ROUTINE> handlers;
    bool ignore = false;
    {
      auto& control = Control();
      std::lock_guard guard(control.lock);
      handlers = control.handlers;
      ignore = control.ignoreCtrlC && ctrlType == CTRL_C_EVENT;
    }
    // Handlers are foreign code: called without the lock, newest first.
    bool handled = false;
    for (auto it = handlers.rbegin(); it != handlers.rend() && !handled; ++it) {
      handled = (*it)(ctrlType) != FALSE;
    }
    if (!handled && !ignore) DefaultAction(ctrlType);
  }
}

// Called with the control lock held, once.
bool StartControlThread(ConsoleControl& control) {
  if (control.pipeRead >= 0) return true;
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return false;
  ::fcntl(fds[1], F_SETFL, O_NONBLOCK);  // a flood of signals drops bytes, never blocks a handler
  control.pipeRead = fds[0];
  signalPipe = fds[1];
  std::thread(RunControlThread, fds[0]).detach();
  struct sigaction action {};
  action.sa_handler = OnSignal;
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGQUIT, &action, nullptr);
  return true;
}

}  // namespace

BOOL AllocConsole() { return TRUE; }

BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add) {
  auto& control = Control();
  std::lock_guard guard(control.lock);
  if (add) {
    if (!StartControlThread(control)) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return FALSE;
    }
    if (handler == nullptr) {
      control.ignoreCtrlC = true;
    } else {
      control.handlers.push_back(handler);
    }
    return TRUE;
  }
  if (handler == nullptr) {
    control.ignoreCtrlC = false;
    return TRUE;
  }
  auto& list = control.handlers;
  const auto found = std::find(list.rbegin(), list.rend(), handler);
  if (found == list.rend()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  list.erase(std::next(found).base());
  return TRUE;
}
