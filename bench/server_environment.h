// What the benchmarks that run the real server share: an environment of their own (registry,
// run and log directories, shared-memory scope under a temporary directory, removed at the end),
// registry values, child processes, and the server itself on its simulator.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "platform/types/windows_types.h"

namespace Bench {

// Prints "<program>: <what>" to stderr and ends the process with status 1.
[[noreturn]] void Fail(const std::string& what);

// Points the TALVARO_* variables into a fresh temporary directory for this process and the
// processes it starts; removes the directory on destruction.
class Environment {
 public:
  Environment();
  ~Environment();
  Environment(const Environment&) = delete;
  Environment& operator=(const Environment&) = delete;
  const std::string& LogDirectory() const { return logDirectory_; }

 private:
  std::string root_;
  std::string logDirectory_;
};

void SetRegistryDword(const wchar_t* keyPath, const wchar_t* name, DWORD value);
void SetRegistryText(const wchar_t* keyPath, const wchar_t* name, const std::wstring& text);
// "ConnectorType" of the driver objects made from now on.
void SetConnectorType(const std::wstring& type);

// Starts `arguments[0]` with our environment; `out`, when given, receives its stdout's pipe.
pid_t Spawn(const std::vector<std::string>& arguments, int* out = nullptr);
// Its exit status, 128 + signal when killed.
int WaitExit(pid_t pid);

// The server registered and started as a local server; SIGTERM and a wait on destruction. The
// calling thread must have joined the multithreaded apartment.
class Server {
 public:
  Server();
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;
  pid_t Pid() const { return pid_; }
  // A command of the simulator's language; a refusal ends the benchmark.
  void Command(const std::wstring& text);

 private:
  pid_t pid_ = -1;
};

}  // namespace Bench
