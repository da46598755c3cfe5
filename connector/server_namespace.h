// The server's own private namespace, in which its driver objects create the data and
// liveliness channels of their clients: one per process, created on first use and kept until the
// process ends. Its names are in interfaces/shared_memory_names.h.
#pragma once

#include <string>

#include "interfaces/shared_memory_names.h"

namespace Talvaro::Connector {

// The prefix of the server namespace's channel names. Any thread. Creates the namespace on the
// first call; when the transport throws, the exception reaches the caller and the next call
// tries again.
std::wstring GetServerNamespaceName();

}  // namespace Talvaro::Connector
