// tcdctl: the command-line client of the TalvaroCommunicationDriver server. Parsing, output and
// the commands live in the tcdctl library; this file owns the process: signals, the apartment,
// the standard streams and the exit status.
#include <signal.h>
#include <unistd.h>

#include <ctime>
#include <iostream>
#include <string>
#include <vector>

#include "platform/com/apartment.h"
#include "tools/tcdctl/client.h"
#include "tools/tcdctl/command_line.h"
#include "tools/tcdctl/output.h"

namespace {

// Ctrl-C and SIGTERM end `open` and `watch` in order: blocked on this thread while it listens
// and taken with sigtimedwait (the remoting runtime's threads block them always, so no other
// thread takes them meanwhile). Everywhere else they keep their default action, so that a
// one-shot command stuck in an activation or a call ends at once.
sigset_t StopSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  return signals;
}

bool WaitForStop(const std::function<bool()>& connected) {
  const sigset_t signals = StopSignals();
  sigset_t previous;
  pthread_sigmask(SIG_BLOCK, &signals, &previous);
  const timespec slice{0, 200 * 1000 * 1000};
  bool stopped = false;
  for (;;) {
    if (sigtimedwait(&signals, nullptr, &slice) > 0) {
      stopped = true;
      break;
    }
    if (!connected()) break;
  }
  // A second Ctrl-C while unsubscribing ends the process.
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  return stopped;
}

}  // namespace

int main(int argc, char** argv) {
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
  const int status = tcdctl::Execute(parsed.command, {std::cout, std::cerr, STDIN_FILENO}, WaitForStop);
  CoUninitialize();
  return status;
}
