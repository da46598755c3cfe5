// Running systemctl for the service manager functions: bounded, so that a hung systemctl
// cannot hang an installer.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "platform/types/windows_types.h"

namespace platform::service {

struct ProgramResult {
  bool started = false;   // posix_spawn succeeded
  bool timedOut = false;  // killed (SIGKILL) at the deadline
  int exitStatus = -1;    // exit code, or 128 + the signal that ended it
  std::string output;     // standard output
};

// Runs `argv` (argv[0] searched in PATH) with standard input from /dev/null, standard output
// captured and standard error inherited, default signal dispositions, an empty signal mask and
// a process group of its own. Waits at most `timeout` for it to end, then kills its whole process
// group (what it started goes too); always reaps it. Descendants left running by a program that
// ended by itself are not waited for.
ProgramResult RunProgram(const std::vector<std::string>& argv, std::chrono::milliseconds timeout);

// How long one systemctl call may take.
inline constexpr std::chrono::milliseconds kSystemctlTimeout{30000};

// Whether systemctl is to be asked about units in `unitDirectory`: TALVARO_SYSTEMCTL names a
// program to use instead of systemctl (tests, wrappers), or systemd runs (/run/systemd/system
// exists) and the directory is one it loads system units from.
bool SystemctlManages(const std::string& unitDirectory);

// systemctl (or $TALVARO_SYSTEMCTL) with `arguments`, bounded by kSystemctlTimeout.
ProgramResult RunSystemctl(const std::vector<std::string>& arguments);

// The Win32 error for a systemctl call that did not succeed: ERROR_SERVICE_REQUEST_TIMEOUT when
// it hung, ERROR_FAILED_SERVICE_CONTROLLER_CONNECT when it could not be started,
// ERROR_ACCESS_DENIED when it refused (any other non-zero exit).
DWORD SystemctlError(const ProgramResult& result);

}  // namespace platform::service
