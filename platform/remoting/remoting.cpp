#include "platform/remoting/remoting.h"

#include "platform/remoting/connection.h"
#include "platform/remoting/marshaling.h"
#include "platform/remoting/runtime.h"

namespace platform::remoting {

bool IsProxy(IUnknown* object) {
  if (object == nullptr) return false;
  platform::com::ComPtr<IUnknown> identity;
  if (FAILED(object->QueryInterface(IID_IUnknown, identity.PutVoid()))) return false;
  return ProxyManager::FromIdentity(identity.Get()) != nullptr;
}

bool IsConnected(IUnknown* object) {
  if (object == nullptr) return false;
  platform::com::ComPtr<IUnknown> identity;
  if (FAILED(object->QueryInterface(IID_IUnknown, identity.PutVoid()))) return false;
  ProxyManager* proxy = ProxyManager::FromIdentity(identity.Get());
  return proxy == nullptr || proxy->GetConnection()->Alive();
}

HRESULT GetRemoteIdentity(IUnknown* object, RemoteIdentity* identity) {
  if (object == nullptr || identity == nullptr) return E_POINTER;
  platform::com::ComPtr<IUnknown> unknown;
  const HRESULT hr = object->QueryInterface(IID_IUnknown, unknown.PutVoid());
  if (FAILED(hr)) return hr;
  ProxyManager* proxy = ProxyManager::FromIdentity(unknown.Get());
  if (proxy == nullptr) return E_INVALIDARG;
  RemoteIdentity answer;
  const HRESULT transport = proxy->Invoke([&](capnp::Capability::Client& capability, WireContext&) {
    return capability.castAs<wire::Unknown>().identityRequest().send().then(
        [&answer](capnp::Response<wire::Unknown::IdentityResults>&& response) {
          answer.server = response.getServer();
          answer.object = response.getObject();
        });
  });
  if (FAILED(transport)) return transport;
  *identity = answer;
  return S_OK;
}

RuntimeStatistics Statistics() {
  RuntimeStatistics statistics;
  Runtime* runtime = Runtime::IfStarted();
  statistics.started = runtime != nullptr;
  statistics.proxies = ProxyManager::LiveCount();
  statistics.exports = ObjectStub::LiveCount();
  statistics.workers = runtime != nullptr ? runtime->Workers().ThreadCount() : 0;
  return statistics;
}

}  // namespace platform::remoting
