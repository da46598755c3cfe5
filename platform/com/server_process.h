// The server-process reference count. When it falls to zero, the class objects of the process
// are suspended (no new activations reach them), so that a server which decided to end does
// not hand out new objects meanwhile.
#pragma once

#include "platform/types/windows_types.h"

ULONG CoAddRefServerProcess();
ULONG CoReleaseServerProcess();

namespace platform::com {
// The current count, for diagnostics and the module's GetLockCount.
ULONG ServerProcessCount();
}  // namespace platform::com
