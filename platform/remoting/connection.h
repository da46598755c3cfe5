// One Cap'n Proto connection to another process, client or server side, and the capabilities
// this process exports on it.
//
// Everything here lives on the RPC thread except Alive(). A connection exports each of our
// objects as one capability (ObjectStub) with references of its own, found again by the
// object's identity, so that the peer sees one object as one capability; capabilities coming in
// become proxies (ProxyManager) or, when they are our own exports coming back, the original
// object again (with references of its own, so that handing it to another peer makes that
// connection's own export).
//
// Lifetime: the runtime keeps a connection while it is up; proxies of the peer's objects keep
// theirs (calls through them fail once it is down). When the peer goes, Cap'n Proto drops the
// capabilities it held and our ObjectStubs hand their references to a worker for the Release;
// right after, the connection gives back its transport (socket, RPC system, buffers) although
// proxies may still hold the Connection itself: their capabilities are replaced by broken ones
// first, so nothing of the RPC system outlives it.
#pragma once

#include <capnp/rpc-twoparty.h>
#include <capnp/rpc.h>
#include <kj/async-io.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "platform/remoting/com.capnp.h"
#include "platform/remoting/object_ref.h"
#include "platform/remoting/stub.h"

namespace platform::remoting {

class ProxyManager;

class Connection final : public WireContext, public std::enable_shared_from_this<Connection> {
 public:
  enum class Side { Client, Server };

  // Bytes of incoming calls that may be queued for workers before the connection stops reading.
  static constexpr std::size_t kIncomingCallWindow = 8 * 1024 * 1024;

  // RPC thread. Speaks RPC over `stream`. A server connection offers an Activator as its
  // bootstrap; `name` says who the peer is in traces.
  static std::shared_ptr<Connection> Start(kj::Own<kj::AsyncIoStream> stream, Side side, std::string name);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Any thread: false once the peer is gone or the connection broke.
  bool Alive() const { return alive_->load(std::memory_order_acquire); }
  const std::string& Name() const { return name_; }

  // Client side: the server's Activator.
  wire::Activator::Client Activator();
  // Resolves once the connection is down.
  kj::Promise<void> WhenDisconnected() { return disconnected_.addBranch(); }

  // WireContext
  kj::Maybe<capnp::Capability::Client> Export(ObjectRef& object) override;
  ObjectRef Import(capnp::Capability::Client capability, const IID& iid) override;

  // For ObjectStub: it is going (destroyed, or released by the peer).
  void Forget(IUnknown* identity, ObjectStub* stub);

  // For ProxyManager, RPC thread: the proxies of the peer's objects, severed when the transport
  // goes.
  void Track(ProxyManager* proxy) { proxies_.insert(proxy); }
  void Untrack(ProxyManager* proxy) { proxies_.erase(proxy); }

  // RPC thread; for tests and diagnostics: whether the transport has been given back.
  bool TransportReleased() const { return !rpc_; }

 private:
  Connection(kj::Own<kj::AsyncIoStream> stream, Side side, std::string name);
  capnp::Capability::Client ExportStub(std::shared_ptr<ExportedObject> object);
  // RPC thread, once the connection is down: severs the proxies, then destroys the RPC system,
  // the network and the stream (closing the socket), in that order.
  void ReleaseTransport();

  // Set before the stream that writes it exists, so declared first. Shared with the
  // disconnection watch, which a pending WhenDisconnected branch can keep, and fire, after we
  // are gone (the network's end rejects it as it is destroyed).
  const std::shared_ptr<std::atomic<bool>> alive_ = std::make_shared<std::atomic<bool>>(true);
  const std::string name_;
  const Side side_;
  kj::Own<kj::AsyncIoStream> stream_;
  kj::Own<capnp::TwoPartyVatNetwork> network_;
  kj::Own<capnp::RpcSystem<capnp::rpc::twoparty::VatId>> rpc_;
  kj::ForkedPromise<void> disconnected_;
  // Our objects exported here, by identity. Entries are removed by the stub as it goes.
  std::unordered_map<IUnknown*, ObjectStub*> stubs_;
  // Proxies of the peer's objects made on this connection; each removes itself as it goes.
  std::unordered_set<ProxyManager*> proxies_;
};

}  // namespace platform::remoting
