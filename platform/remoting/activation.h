// What a client program may learn of activation beyond its result: the local servers this
// process started. A LocalServer32 program started by activation runs detached and outlives the
// client, holding whatever the program holds (a single-instance guard, say), so a tool that
// triggers one should tell its user.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>

namespace platform::remoting {

struct LaunchedServer {
  std::string program;  // the program as started, without its arguments
  pid_t pid = 0;
};

using LaunchObserver = std::function<void(const LaunchedServer&)>;

// Installs the observer called each time activation in this process starts a LocalServer32
// program (not for services, which the service manager owns). It runs on the activating thread,
// after the start and before the wait for the class, with no lock of the runtime held; it must
// not activate classes itself (a second activation of the same program would wait for this
// one). Replaces the previous observer; an empty function removes it (a call already under way
// on another thread still finishes). Any thread.
void SetLaunchObserver(LaunchObserver observer);

}  // namespace platform::remoting
