// tcdctl: the command-line client of the TalvaroCommunicationDriver server. Parsing, output and
// the commands live in the tcdctl library; this file owns the process: signals, the apartment,
// the standard streams and the exit status.
#include <signal.h>

#include <ctime>
#include <iostream>
#include <string>
#include <vector>

#include "platform/com/apartment.h"
#include "tools/tcdctl/client.h"
#include "tools/tcdctl/command_line.h"
#include "tools/tcdctl/output.h"

namespace {

// Ctrl-C and SIGTERM end `open` and `watch` in order. Blocked in every thread from the start (the
// remoting runtime's threads inherit the mask) and taken with sigtimedwait on the main thread.
sigset_t StopSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  return signals;
}

bool WaitForStop(const std::function<bool()>& connected) {
  const sigset_t signals = StopSignals();
  const timespec slice{0, 200 * 1000 * 1000};
  for (;;) {
    if (sigtimedwait(&signals, nullptr, &slice) > 0) return true;
    if (!connected()) return false;
  }
}

}  // namespace

int main(int argc, char** argv) {
  const sigset_t signals = StopSignals();
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  const auto parsed = tcdctl::ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
  if (!parsed.error.empty()) {
    std::cerr << "tcdctl: " << parsed.error << "\nTry 'tcdctl --help'.\n";
    return 2;
  }
  if (parsed.command.help) {
    std::cout << tcdctl::Usage(parsed.command.verb);
    return 0;
  }
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  const int status = tcdctl::Execute(parsed.command, {std::cout, std::cerr}, WaitForStop);
  CoUninitialize();
  return status;
}
