// Interface pointers as plain values: references held for the RPC thread, and the conversions
// between pointers and ObjectRefs (object_ref.h).
#include "platform/remoting/object_ref.h"

#include <utility>

#include "platform/remoting/proxy.h"
#include "platform/remoting/runtime.h"

namespace platform::remoting {

using platform::com::ComPtr;

void HeldInterface::Reset() {
  IUnknown* const pointer = std::exchange(pointer_, nullptr);
  if (pointer == nullptr) return;
  if (Runtime::OnRpcThread()) {
    Runtime::Get().Workers().Submit([pointer] { pointer->Release(); });
  } else {
    pointer->Release();
  }
}

ObjectRef::~ObjectRef() = default;

HRESULT ObjectRef::FromPointer(IUnknown* pointer, const IID& iid, ObjectRef* out) {
  *out = ObjectRef();
  if (pointer == nullptr) return S_OK;
  ComPtr<IUnknown> identity;
  const HRESULT hr = pointer->QueryInterface(IID_IUnknown, identity.PutVoid());
  if (FAILED(hr)) return hr;
  if (ProxyManager::FromIdentity(identity.Get()) != nullptr) {
    *out = MakeProxy(std::move(identity), iid);
  } else {
    *out = MakeLocal(HeldInterface(pointer), HeldInterface::Adopt(identity.Detach()), iid);
  }
  return S_OK;
}

HRESULT ObjectRef::ToPointer(const IID& iid, void** out) const {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  switch (kind_) {
    case Kind::Null:
      return S_OK;
    case Kind::Local:
      return pointer_.Get()->QueryInterface(iid, out);
    case Kind::Proxy:
      return Proxy().GetInterface(iid, out);
    case Kind::Disconnected:
      return CO_E_OBJNOTCONNECTED;
  }
  return E_UNEXPECTED;
}

ObjectRef ObjectRef::MakeLocal(HeldInterface pointer, HeldInterface identity, const IID& iid) {
  ObjectRef ref;
  ref.kind_ = Kind::Local;
  ref.iid_ = iid;
  ref.pointer_ = std::move(pointer);
  ref.identity_ = std::move(identity);
  return ref;
}

ObjectRef ObjectRef::MakeProxy(ComPtr<IUnknown> manager, const IID& iid) {
  ObjectRef ref;
  ref.kind_ = Kind::Proxy;
  ref.iid_ = iid;
  ref.proxy_ = std::move(manager);
  return ref;
}

ObjectRef ObjectRef::MakeDisconnected(const IID& iid) {
  ObjectRef ref;
  ref.kind_ = Kind::Disconnected;
  ref.iid_ = iid;
  return ref;
}

ProxyManager& ObjectRef::Proxy() const { return *ProxyManager::FromIdentity(proxy_.Get()); }

}  // namespace platform::remoting
