// The bounds of this process's remoting, and where it reports what an operator should see.
//
// A process sets them once at start-up, before it publishes classes or makes its first call;
// the defaults suit a client tool (no bound on its calls). The server reads its values from the
// registry (docs/remoting.md).
#pragma once

#include <kj/async.h>

#include <chrono>
#include <cstddef>
#include <string>

namespace platform::remoting {

struct Limits {
  // An outgoing call not answered within it fails with 0x800706BE; zero waits while the peer
  // lives.
  std::chrono::milliseconds outgoingCallBound{0};
  // Accepted connections served at once; a connection beyond is closed as it is accepted.
  std::size_t maxConnections = 4096;
  // The largest message a peer may send; a larger one ends its connection.
  std::size_t maxMessageBytes = 16 * 1024 * 1024;
  // What all connections together may hold of messages still being received; a message that
  // would exceed it ends its connection.
  std::size_t maxReceivingBytes = 64 * 1024 * 1024;
  // A message begun must be complete within it, or its connection ends.
  std::chrono::milliseconds partialMessageBound{10000};
  // How long the RPC thread goes on polling after its last work before it sleeps, so that the
  // answer to a call it just sent, or the next call of a thread sending a series, finds it
  // awake; zero sleeps at once (less processor time, a wake-up per hand-off).
  std::chrono::microseconds pollAfterWork{60};
};

// Any thread; takes effect for calls, connections and messages that start afterwards (the
// polling from the RPC thread's next sleep on).
void SetLimits(const Limits& limits);
Limits CurrentLimits();

// RPC thread. `call` bounded by the outgoing-call bound: once it has passed, the call is
// cancelled, `timedOut` set and the promise fails.
kj::Promise<void> BoundOutgoingCall(kj::Promise<void> call, bool& timedOut);

enum class Severity { Info, Warning, Error };
// Called on the RPC thread; must not block or call across processes.
using Reporter = void (*)(Severity severity, const std::string& message);
// Where reports go besides the trace (TALVARO_REMOTING_TRACE); by default nowhere.
void SetReporter(Reporter reporter);
void Report(Severity severity, const std::string& message);

}  // namespace platform::remoting
