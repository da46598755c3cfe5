// Processes the remoting tests start and end themselves: the test peer, the server, tcdctl.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace Talvaro::RemotingTest {

using namespace std::chrono_literals;

// Checks `condition` every few milliseconds until it holds or `timeout` passes.
bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 20s);

class ChildProcess {
 public:
  // Starts `program` with `arguments` and our environment plus `environment` ("NAME=value");
  // its stdout and stderr come back through pipes, its stdin is /dev/null, or with
  // `pipedInput` a pipe that WriteInput feeds.
  ChildProcess(const std::string& program, const std::vector<std::string>& arguments,
               const std::vector<std::string>& environment = {}, bool pipedInput = false);
  // Kills and reaps the process when it still runs.
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t Pid() const { return pid_; }
  // The next line of stdout without its line end; nullopt at its end or after `timeout`.
  std::optional<std::string> ReadLine(std::chrono::milliseconds timeout = 20s);
  void Signal(int signal);
  // Writes to the piped stdin (all of it, or false); CloseInput ends it.
  bool WriteInput(const std::string& text);
  void CloseInput();
  // The exit code (128 + signal when killed); nullopt when it has not ended within `timeout`.
  std::optional<int> Wait(std::chrono::milliseconds timeout = 20s);
  // Everything written so far and until the end (after Wait).
  std::string Output();
  std::string Errors();

 private:
  // Appends what `fd` has within `timeout` to `into`; false at its end or when nothing came.
  static bool ReadMore(int fd, std::string& into, std::chrono::milliseconds timeout);
  // Takes in everything stdout and stderr have now.
  void Drain();

  pid_t pid_ = -1;
  int out_ = -1;
  int err_ = -1;
  int in_ = -1;
  std::string outBuffer_;
  std::string errBuffer_;
  std::optional<int> status_;
};

// Waits for `pid` and the process group it leads (if any) to end, reaping those that are our
// children: also a server launched through LocalServer32, which the test reaps as subreaper.
bool WaitForExitOf(pid_t pid, std::chrono::milliseconds timeout = 20s);

}  // namespace Talvaro::RemotingTest
