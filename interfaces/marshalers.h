// The proxies and stubs that carry this folder's interfaces between processes (wire contract:
// talvaro.capnp). Every interface header includes this one, so that any program using the
// interfaces registers them with the remoting runtime before main() runs, without a call of
// its own: a server can hand its objects to clients and a client can call them.
#pragma once

namespace Talvaro::Interfaces {

// Registers the marshalers once; later calls do nothing. Returns true.
bool RegisterMarshalers();

inline const bool marshalersRegistered = RegisterMarshalers();

}  // namespace Talvaro::Interfaces
