// The client side of remote objects: the identity table of proxy managers and the calls through
// them (proxy.h).
#include "platform/remoting/proxy.h"

#include <kj/debug.h>

#include <unordered_map>

#include "platform/remoting/connection.h"
#include "platform/remoting/errors.h"
#include "platform/remoting/limits.h"
#include "platform/remoting/marshaling.h"
#include "platform/remoting/runtime.h"

namespace platform::remoting {
namespace {

using platform::com::ComPtr;

// The identity table of proxies: one manager per remote object (resolved import hook). Any
// thread; a manager's count goes from 1 to 0 only under the mutex, where its entry goes too.
struct ProxyTable {
  std::mutex mutex;
  std::unordered_map<const capnp::ClientHook*, ProxyManager*> managers;  // guarded by mutex
};

ProxyTable& Proxies() {
  static auto* table = new ProxyTable;
  return *table;
}

std::atomic<std::size_t> liveProxies{0};

// Under the table's mutex: removes `manager`'s entry, unless its key already names another one.
void EraseEntry(ProxyTable& table, const capnp::ClientHook* key, ProxyManager* manager) {
  const auto found = table.managers.find(key);
  if (found != table.managers.end() && found->second == manager) table.managers.erase(found);
}

}  // namespace

// ---- proxies --------------------------------------------------------------------------------

ComPtr<IUnknown> ProxyManager::ForCapability(kj::Own<capnp::ClientHook> hook,
                                             const std::shared_ptr<Connection>& connection) {
  auto& table = Proxies();
  std::lock_guard lock(table.mutex);
  const auto found = table.managers.find(hook.get());
  if (found != table.managers.end()) {
    found->second->references_.fetch_add(1, std::memory_order_relaxed);
    return ComPtr<IUnknown>::Adopt(found->second);
  }
  auto* manager = new ProxyManager(kj::mv(hook), connection);
  table.managers.emplace(manager->key_, manager);
  return ComPtr<IUnknown>::Adopt(manager);
}

ProxyManager* ProxyManager::FromIdentity(IUnknown* identity) { return dynamic_cast<ProxyManager*>(identity); }

std::size_t ProxyManager::LiveCount() { return liveProxies.load(std::memory_order_relaxed); }

ProxyManager::ProxyManager(kj::Own<capnp::ClientHook> hook, std::shared_ptr<Connection> connection)
    : key_(hook.get()), connection_(std::move(connection)), capability_(kj::mv(hook)) {
  connection_->Track(this);
  liveProxies.fetch_add(1, std::memory_order_relaxed);
}

ProxyManager::~ProxyManager() {
  connection_->Untrack(this);
  liveProxies.fetch_sub(1, std::memory_order_relaxed);
}

void ProxyManager::Sever() {
  {
    auto& table = Proxies();
    std::lock_guard lock(table.mutex);
    EraseEntry(table, key_, this);
  }
  capability_ = capnp::Capability::Client(KJ_EXCEPTION(DISCONNECTED, "the peer is gone"));
}

ULONG ProxyManager::AddRef() { return references_.fetch_add(1, std::memory_order_relaxed) + 1; }

ULONG ProxyManager::Release() {
  ULONG current = references_.load(std::memory_order_relaxed);
  while (current > 1) {
    if (references_.compare_exchange_weak(current, current - 1, std::memory_order_acq_rel)) {
      return current - 1;
    }
  }
  {
    // Possibly the last reference: decide under the table's lock, where a lookup could revive us.
    auto& table = Proxies();
    std::lock_guard lock(table.mutex);
    const ULONG left = references_.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (left != 0) return left;
    EraseEntry(table, key_, this);  // a severed manager's key may name another one by now
  }
  Dispose();
  return 0;
}

void ProxyManager::Dispose() {
  // The capability belongs to the RPC thread.
  if (Runtime::OnRpcThread()) {
    delete this;
  } else {
    Runtime::Get().Post([this] { delete this; });
  }
}

HRESULT ProxyManager::QueryInterface(REFIID riid, void** result) {
  if (result == nullptr) return E_POINTER;
  *result = nullptr;
  if (riid == IID_IUnknown) {
    AddRef();
    *result = static_cast<IUnknown*>(this);
    return S_OK;
  }
  const InterfaceMarshaler* marshaler = FindMarshaler(riid);
  if (marshaler == nullptr) return E_NOINTERFACE;  // nothing could carry its calls
  {
    std::lock_guard lock(facetsMutex_);
    for (const auto& [iid, facet] : facets_) {
      if (iid == riid) {
        AddRef();
        *result = facet->Interface();
        return S_OK;
      }
    }
  }
  HRESULT answer = S_OK;
  const HRESULT transport = Invoke([&](capnp::Capability::Client& capability, WireContext&) {
    auto request = capability.castAs<wire::Unknown>().queryInterfaceRequest();
    WriteGuid(riid, request.initIid());
    return request.send().then([&answer](capnp::Response<wire::Unknown::QueryInterfaceResults>&& response) {
      answer = response.getHr();
    });
  });
  if (FAILED(transport)) return transport;
  if (answer != S_OK) return FAILED(answer) ? answer : E_NOINTERFACE;
  return Facet(*marshaler, result);
}

HRESULT ProxyManager::GetInterface(const IID& iid, void** result) {
  if (result == nullptr) return E_POINTER;
  *result = nullptr;
  if (iid == IID_IUnknown) {
    AddRef();
    *result = static_cast<IUnknown*>(this);
    return S_OK;
  }
  const InterfaceMarshaler* marshaler = FindMarshaler(iid);
  if (marshaler == nullptr) return E_NOINTERFACE;
  return Facet(*marshaler, result);
}

HRESULT ProxyManager::Facet(const InterfaceMarshaler& marshaler, void** result) {
  std::lock_guard lock(facetsMutex_);
  IUnknown* facet = nullptr;
  for (const auto& [iid, existing] : facets_) {
    if (iid == marshaler.iid) facet = existing->Interface();
  }
  if (facet == nullptr) {
    try {
      facets_.emplace_back(marshaler.iid, marshaler.makeProxy(*this));
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    }
    facet = facets_.back().second->Interface();
  }
  AddRef();
  *result = facet;
  return S_OK;
}

HRESULT ProxyManager::Invoke(Send send) {
  if (Runtime::OnRpcThread()) return RPC_E_CANTCALLOUT_ININPUTSYNCCALL_HR;
  bool connectedWhenIssued = false;
  bool timedOut = false;
  try {
    Runtime::Get().RunSync([&]() -> kj::Promise<void> {
      connectedWhenIssued = connection_->Alive();
      if (!connectedWhenIssued) return KJ_EXCEPTION(DISCONNECTED, "the peer is gone");
      return BoundOutgoingCall(send(capability_, *connection_), timedOut);
    });
    return S_OK;
  } catch (const kj::Exception& failure) {
    Trace("call failed: " + std::string(failure.getDescription().cStr()));
    if (timedOut) return RPC_S_CALL_FAILED_HR;  // it may or may not have run
    if (IsObjectDisconnected(failure)) return RPC_E_DISCONNECTED;
    return HresultFromTransport(failure, connectedWhenIssued, connection_->Alive());
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (const std::exception& failure) {
    Trace(std::string("call failed: ") + failure.what());
    return E_UNEXPECTED;
  }
}

}  // namespace platform::remoting
