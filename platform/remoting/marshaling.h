// What an interface needs to cross the process boundary: a proxy (client side) and a stub
// (server side), registered by interface identifier. Proxies derive from InterfaceProxy<I> (or
// DispatchProxy<I>, dispatch_proxy.h) and implement each method with Call; stubs read the
// parameters, run the method with StubCall::OnWorker and write the reply. Values cross as the
// plain types of values.h and object_ref.h.
//
// The runtime registers the platform's interfaces itself; a library of interfaces registers its
// own once, before its first use (interfaces/ does it from its headers).
#pragma once

#include <cstdint>
#include <memory>

#include "platform/remoting/object_ref.h"
#include "platform/remoting/proxy.h"
#include "platform/remoting/stub.h"
#include "platform/remoting/values.h"

namespace platform::remoting {

struct InterfaceMarshaler {
  IID iid;
  // capnp::typeId of the wire interface whose methods the stub serves.
  std::uint64_t wireInterfaceId;
  // Client side: the proxy of this interface for a remote object.
  std::unique_ptr<ProxyFacet> (*makeProxy)(ProxyManager& manager);
  // Server side, RPC thread: serves method `methodId` (UnknownMethod for a number it lacks).
  kj::Promise<void> (*serve)(StubCall& call, std::uint16_t methodId);
};

// Any thread, any time; a later registration of the same identifier replaces the earlier one.
// Returns true, so that it can initialise a variable.
bool RegisterInterface(const InterfaceMarshaler& marshaler);
// Null when nothing is registered.
const InterfaceMarshaler* FindMarshaler(const IID& iid);
const InterfaceMarshaler* FindMarshalerForWire(std::uint64_t wireInterfaceId);

// The marshaler of a proxy class: makeProxy for InterfaceMarshaler.
template <class Proxy>
std::unique_ptr<ProxyFacet> MakeProxy(ProxyManager& manager) {
  return std::make_unique<Proxy>(manager);
}

// Reads an [out] interface pointer from a reply: writes `*out` (nulling it first). Component
// thread.
template <class I>
HRESULT TakeInterface(const ObjectRef& object, I** out) {
  *out = nullptr;
  return object.ToPointer(out);
}

}  // namespace platform::remoting
