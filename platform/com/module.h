// The server module's reference count: what keeps a component server process alive.
//
// Objects take a reference while they exist (ComObject), class objects do not, cached
// singletons only while a client holds them. The host installs its own module (which decides
// when the process ends); until then the process module counts through the server-process
// count of server_process.h.
#pragma once

#include "platform/types/windows_types.h"

namespace platform::com {

class ServerModule {
 public:
  virtual ~ServerModule() = default;
  // Both return the new count. Called on any thread.
  virtual LONG Lock() = 0;
  virtual LONG Unlock() = 0;
  virtual LONG GetLockCount() = 0;
};

// The module in charge; never null. Called on any thread.
ServerModule& CurrentModule();

// Installs `module` (which must outlive its installation) or, with null, the process module.
// Called once at start-up and once at shut-down, while no object exists.
void SetCurrentModule(ServerModule* module);

}  // namespace platform::com
