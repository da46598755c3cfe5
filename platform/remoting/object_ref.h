// Interface pointers as plain values that cross between component threads and the RPC thread.
//
// An outgoing pointer is captured on the calling thread (ObjectRef::FromPointer: its identity is
// asked there, which is object code) and turned into a capability on the RPC thread
// (ToWire). An incoming capability becomes an ObjectRef on the RPC thread (FromWire: our own
// object coming back, or a proxy) and a pointer again on a component thread (ToPointer).
//
// Our own object coming back is a Local ref with references of its own, taken from the export
// it came through (AddRef on the RPC thread: a count, never a teardown; Releases still go to a
// worker). Wherever it goes next, it is independent of that export: the first peer releasing
// its capability does not cut off a later holder.
#pragma once

#include <capnp/capability.h>

#include <memory>
#include <utility>

#include "platform/com/com_ptr.h"

namespace platform::remoting {

class ProxyManager;
class ObjectRef;

// The conversions that need a connection: making capabilities of our objects and taking in the
// peer's. RPC thread only.
class WireContext {
 public:
  virtual kj::Maybe<capnp::Capability::Client> Export(ObjectRef& object) = 0;
  virtual ObjectRef Import(capnp::Capability::Client capability, const IID& iid) = 0;

 protected:
  ~WireContext() = default;
};

// Owns one reference to an interface pointer. Dropped on the RPC thread, the Release goes to a
// worker: a final release runs object code, which the RPC thread never does.
class HeldInterface {
 public:
  HeldInterface() = default;
  // Adds a reference of its own.
  explicit HeldInterface(IUnknown* pointer) : pointer_(pointer) {
    if (pointer_ != nullptr) pointer_->AddRef();
  }
  static HeldInterface Adopt(IUnknown* pointer) {
    HeldInterface held;
    held.pointer_ = pointer;
    return held;
  }
  HeldInterface(HeldInterface&& other) noexcept : pointer_(std::exchange(other.pointer_, nullptr)) {}
  HeldInterface& operator=(HeldInterface&& other) noexcept {
    if (this != &other) {
      Reset();
      pointer_ = std::exchange(other.pointer_, nullptr);
    }
    return *this;
  }
  HeldInterface(const HeldInterface&) = delete;
  HeldInterface& operator=(const HeldInterface&) = delete;
  ~HeldInterface() { Reset(); }

  IUnknown* Get() const { return pointer_; }
  explicit operator bool() const { return pointer_ != nullptr; }
  void Reset();

 private:
  IUnknown* pointer_ = nullptr;
};

// A reference to one interface of an object, or null. Move-only.
class ObjectRef {
 public:
  ObjectRef() = default;
  ObjectRef(ObjectRef&& other) noexcept
      : kind_(std::exchange(other.kind_, Kind::Null)),
        iid_(other.iid_),
        pointer_(std::move(other.pointer_)),
        identity_(std::move(other.identity_)),
        proxy_(std::move(other.proxy_)) {}
  ObjectRef& operator=(ObjectRef&& other) noexcept {
    if (this != &other) {
      kind_ = std::exchange(other.kind_, Kind::Null);
      iid_ = other.iid_;
      pointer_ = std::move(other.pointer_);
      identity_ = std::move(other.identity_);
      proxy_ = std::move(other.proxy_);
    }
    return *this;
  }
  ~ObjectRef();

  // Component thread. `pointer` is an interface `iid` of its object (null gives a null ref).
  static HRESULT FromPointer(IUnknown* pointer, const IID& iid, ObjectRef* out);
  // Component thread. The object's `iid` interface with a reference for the caller; null (and
  // S_OK) for a null ref.
  HRESULT ToPointer(const IID& iid, void** out) const;
  template <class I>
  HRESULT ToPointer(I** out) const {
    return ToPointer(uuidof<I>, reinterpret_cast<void**>(out));
  }

  bool IsNull() const { return kind_ == Kind::Null; }
  const IID& Iid() const { return iid_; }

  // RPC thread. The capability for the peer; may move references into an export, so the ref
  // must not be sent twice. Unset for a null ref.
  kj::Maybe<capnp::Capability::Client> ToWire(WireContext& context) { return context.Export(*this); }
  static ObjectRef FromWire(capnp::Capability::Client capability, const IID& iid, WireContext& context) {
    return context.Import(kj::mv(capability), iid);
  }

  // For the runtime's connections. Disconnected: our own object came back through a capability
  // whose export was released or disconnected; it reaches nothing (CO_E_OBJNOTCONNECTED).
  enum class Kind { Null, Local, Proxy, Disconnected };
  Kind GetKind() const { return kind_; }
  static ObjectRef MakeLocal(HeldInterface pointer, HeldInterface identity, const IID& iid);
  static ObjectRef MakeProxy(platform::com::ComPtr<IUnknown> manager, const IID& iid);
  static ObjectRef MakeDisconnected(const IID& iid);
  HeldInterface& LocalPointer() { return pointer_; }
  HeldInterface& LocalIdentity() { return identity_; }
  ProxyManager& Proxy() const;

 private:
  Kind kind_ = Kind::Null;
  IID iid_{};
  HeldInterface pointer_;   // Local: the interface pointer
  HeldInterface identity_;  // Local: the object's IUnknown
  platform::com::ComPtr<IUnknown> proxy_;  // Proxy: the proxy manager
};

}  // namespace platform::remoting
