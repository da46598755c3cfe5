// Gives a test process state of its own: a fresh directory holding the registry file, the run
// directory, the log directory, the event log and the unit directory, named through the
// TALVARO_* variables, so tests never share state and can run in parallel. Its shared-memory scope
// (TALVARO_SHM_SCOPE) is inherited by the test's child processes.
#pragma once

#include <filesystem>

namespace Talvaro::Testing {

class IsolatedEnvironment {
 public:
  // Creates the directory and points the variables into it; removes it on destruction.
  IsolatedEnvironment();
  ~IsolatedEnvironment();
  IsolatedEnvironment(const IsolatedEnvironment&) = delete;
  IsolatedEnvironment& operator=(const IsolatedEnvironment&) = delete;

  const std::filesystem::path& Root() const { return root_; }
  std::filesystem::path Registry() const { return root_ / "registry.db"; }
  std::filesystem::path RunDirectory() const { return root_ / "run"; }
  std::filesystem::path LogDirectory() const { return root_ / "log"; }
  std::filesystem::path EventLog() const { return root_ / "events.log"; }
  std::filesystem::path UnitDirectory() const { return root_ / "units"; }

 private:
  std::filesystem::path root_;
};

}  // namespace Talvaro::Testing
