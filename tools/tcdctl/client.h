// tcdctl's commands against the server: activation of the server's classes, the calls, and the
// client objects that receive events and notifications while `open` and `watch` run.
#pragma once

#include <functional>
#include <ostream>

#include "tools/tcdctl/command_line.h"

namespace tcdctl {

struct Streams {
  std::ostream& out;
  std::ostream& err;
  int in = -1;  // the descriptor `open --shm` reads writes from; -1: none
};

// Blocks while `open` or `watch` listens. Returns true when the user ended it (Ctrl-C,
// SIGTERM), false when `connected` turned false (the server went away). Called on the main
// thread; event lines are written meanwhile from the runtime's workers.
using WaitForStop = std::function<bool(const std::function<bool()>& connected)>;

// Runs a command that parsed without error and is not a help request. Returns the exit status
// (0 or 1); failures are written to `err` as "tcdctl: <reason>". The calling thread must have
// joined the multithreaded apartment.
int Execute(const Command& command, Streams streams, const WaitForStop& waitForStop);

}  // namespace tcdctl
