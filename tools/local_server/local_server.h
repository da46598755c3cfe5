// What the local servers among our tools (tcdperfmon, tcdcapture) share: the module that decides
// when serving ends, the registration's registry writes, the option words and the failure text.
#pragma once

#include <chrono>
#include <condition_variable>
#include <initializer_list>
#include <mutex>
#include <string>

#include <sys/types.h>

#include "platform/com/module.h"
#include "platform/registry/registry.h"

namespace Talvaro::Tools {

// Objects lock the module; the last unlock, Stop (a signal), or no client within `idleBound`
// ends WaitUntilDone. Lock/Unlock come from the runtime's workers.
class LocalServerModule final : public platform::com::ServerModule {
 public:
  explicit LocalServerModule(std::chrono::seconds idleBound = std::chrono::seconds(60)) : idleBound_(idleBound) {}
  LONG Lock() override;
  LONG Unlock() override;
  LONG GetLockCount() override;
  void Stop();
  void WaitUntilDone();

 private:
  const std::chrono::seconds idleBound_;
  std::mutex mutex_;
  std::condition_variable changed_;
  LONG count_ = 0;        // guarded by mutex_
  bool used_ = false;     // guarded by mutex_
  bool stopped_ = false;  // guarded by mutex_
};

// The default value of HKEY_CLASSES_ROOT\<keyPath>, the key made when missing.
LSTATUS SetClassesRootDefault(const std::wstring& keyPath, const std::wstring& text);

// Whether `argument` is one of `spellings`, letter case ignored.
bool IsOption(const char* argument, std::initializer_list<const char*> spellings);

// Whether process `pid` runs the executable named `program` (its file name): a pid read from
// a class file may have been reused by another process since.
bool RunsProgram(pid_t pid, const std::string& program);

// "<program>: <what>: <system text> (<status>)" on stderr; returns 1.
int ReportFailure(const char* program, const std::string& what, LSTATUS status);

}  // namespace Talvaro::Tools
