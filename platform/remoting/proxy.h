// The client side of a remote object.
//
// One remote object arrives as one ProxyManager for as long as anybody holds it: the manager is
// the object's identity (QueryInterface(IID_IUnknown) through any of its proxies answers it),
// counts the references to all its proxies, and holds the capability. Each interface asked for
// gets one ProxyFacet, created once and kept with the manager, so the same interface pointer
// comes back every time. QueryInterface for an interface not yet seen asks the remote object.
//
// Threads: component threads call the proxies; the calls themselves run on the RPC thread
// (Invoke). The capability is touched on the RPC thread only, which is also where the manager
// is destroyed.
#pragma once

#include <capnp/capability.h>
#include <kj/function.h>

#include <atomic>
#include <cstddef>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/com/com_ptr.h"
#include "platform/remoting/object_ref.h"

namespace platform::remoting {

class Connection;
class ProxyManager;
struct InterfaceMarshaler;

// The proxy of one interface of a remote object.
class ProxyFacet {
 public:
  virtual ~ProxyFacet() = default;
  // The interface pointer this proxy hands out.
  virtual IUnknown* Interface() = 0;
};

class ProxyManager final : public IUnknown {
 public:
  // RPC thread. The manager of the remote object behind `hook` (resolved, an import of
  // `connection`): the live one when there is one, otherwise a new one.
  static platform::com::ComPtr<IUnknown> ForCapability(kj::Own<capnp::ClientHook> hook,
                                                       const std::shared_ptr<Connection>& connection);
  // The manager behind an identity pointer, or null when it is not a proxy.
  static ProxyManager* FromIdentity(IUnknown* identity);
  // Live managers in this process, for diagnostics and tests.
  static std::size_t LiveCount();

  // IUnknown of the remote object. Any thread.
  HRESULT QueryInterface(REFIID riid, void** result) override;
  ULONG AddRef() override;
  ULONG Release() override;

  // Component thread. The proxy of `iid` without asking the remote object, which is known to
  // have it (it was marshaled as that interface). E_NOINTERFACE when no marshaler knows `iid`.
  HRESULT GetInterface(const IID& iid, void** result);

  // Component thread. Runs `send` on the RPC thread with the object's capability and waits for
  // the promise it returns; `send` builds the request from plain values and copies the response
  // back into them. Transport failures come back as HRESULTs: 0x800706BA when the peer is gone,
  // 0x800706BE when the call broke in flight, 0x800706BF when the peer refused it unrun,
  // RPC_E_DISCONNECTED when the object's process disconnected it (CoDisconnectObject),
  // E_NOINTERFACE when the object lacks the interface.
  using Send = kj::FunctionParam<kj::Promise<void>(capnp::Capability::Client&, WireContext&)>;
  HRESULT Invoke(Send send);

  // RPC thread.
  capnp::Capability::Client Capability() { return capability_; }
  // RPC thread, when the connection gives back its transport: the capability becomes a broken
  // one and the identity table forgets us (the hook's address may be reused from now on).
  void Sever();
  const std::shared_ptr<Connection>& GetConnection() const { return connection_; }

 private:
  ProxyManager(kj::Own<capnp::ClientHook> hook, std::shared_ptr<Connection> connection);
  ~ProxyManager();
  HRESULT Facet(const InterfaceMarshaler& marshaler, void** result);
  void Dispose();

  std::atomic<ULONG> references_{1};
  const capnp::ClientHook* const key_;       // the identity table's key while the capability is unsevered
  const std::shared_ptr<Connection> connection_;
  capnp::Capability::Client capability_;      // RPC thread only, destruction included
  std::mutex facetsMutex_;
  std::vector<std::pair<IID, std::unique_ptr<ProxyFacet>>> facets_;  // guarded; never shrinks
};

// Base of the proxy of interface I: IUnknown goes to the manager; derived classes implement
// I's methods with Call.
template <class I>
class InterfaceProxy : public I, public ProxyFacet {
 public:
  explicit InterfaceProxy(ProxyManager& manager) : manager_(manager) {}

  IUnknown* Interface() final { return static_cast<I*>(this); }
  HRESULT QueryInterface(REFIID riid, void** result) final { return manager_.QueryInterface(riid, result); }
  ULONG AddRef() final { return manager_.AddRef(); }
  ULONG Release() final { return manager_.Release(); }

 protected:
  // Calls the remote object through its Wire interface: `send(Wire::Client&, WireContext&)`
  // runs on the RPC thread and returns the promise of the response (see ProxyManager::Invoke).
  template <class Wire, class SendFunction>
  HRESULT Call(SendFunction&& send) {
    return manager_.Invoke([&](capnp::Capability::Client& capability, WireContext& context) {
      auto typed = capability.castAs<Wire>();
      return send(typed, context);
    });
  }

  ProxyManager& manager_;
};

}  // namespace platform::remoting
