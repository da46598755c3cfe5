// What tcdstorm measures of a running server: its resident memory, descriptors and threads
// (from /proc), the driver objects attached to units (the simulator's "list", read back from
// the server's log) and the cleanups the log shows. The server is reached as any client reaches
// it; its pid comes from the driver factory's remote identity.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <string>

#include "interfaces/application_lifecycle.h"
#include "interfaces/driver_factory.h"
#include "platform/com/com_ptr.h"

namespace tcdstorm {

struct ServerFigures {
  std::size_t rssKiB = 0;
  std::size_t descriptors = 0;
  std::size_t threads = 0;
  std::size_t driverObjects = 0;  // hardware drivers open on the simulator's units
  std::size_t cleanups = 0;       // "Performing cleaup" records in the log
};

class ServerProbe {
 public:
  // Component thread (joined the multithreaded apartment). Empty with `error` set when the
  // server cannot be reached.
  static std::optional<ServerProbe> Connect(const std::string& logPath, std::string& error);

  pid_t Pid() const { return pid_; }
  // One `units` call (IDebug::GetXRBNames); false when it failed.
  bool ListUnits();
  // Empty with `error` set when a figure cannot be read.
  std::optional<ServerFigures> Measure(std::string& error);

 private:
  ServerProbe() = default;

  std::string logPath_;
  pid_t pid_ = 0;
  platform::com::ComPtr<ITalvaroCommunicationDriverFactory> factory_;
  platform::com::ComPtr<IDebug> debug_;
  platform::com::ComPtr<IXRBGeneric> generic_;
};

}  // namespace tcdstorm
