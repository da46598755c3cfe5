// Connection points as bases of the object that fires the events:
//
//   class CSource : public ObjectRoot,
//                   public ConnectionPointContainer<CSource, ConnectionPoint<CSource, IMyEvents>>,
//                   public ConnectionPoint<CSource, IMyEvents>, ...
//
// The connection point keeps its SinkList under the owner's object lock. Advise asks the
// subscriber for the event interface and stores that pointer; references that leave the list
// are released after the lock is given back, because a release may reach a client.
#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "platform/com/connection_interfaces.h"
#include "platform/com/enumerator.h"
#include "platform/com/sink_list.h"

namespace platform::com {

template <class Owner, class EventInterface>
class ConnectionPoint : public IConnectionPoint {
 public:
  using Event = EventInterface;

  HRESULT GetConnectionInterface(IID* iid) override {
    if (iid == nullptr) return E_POINTER;
    *iid = uuidof<EventInterface>;
    return S_OK;
  }

  HRESULT GetConnectionPointContainer(IConnectionPointContainer** result) override {
    if (result == nullptr) return E_POINTER;
    // Through our own base: the owner has many IUnknown paths, all ending in its identity.
    return static_cast<IConnectionPoint*>(this)->QueryInterface(IID_IConnectionPointContainer,
                                                                reinterpret_cast<void**>(result));
  }

  HRESULT Advise(IUnknown* subscriber, DWORD* cookie) override {
    if (subscriber == nullptr || cookie == nullptr) return E_POINTER;
    *cookie = 0;
    ComPtr<IUnknown> sink;
    if (FAILED(subscriber->QueryInterface(uuidof<EventInterface>, sink.PutVoid())) || !sink) {
      return CONNECT_E_CANNOTCONNECT;
    }
    std::unique_lock guard(OwnerObject());
    const DWORD assigned = sinks_.Add(std::move(sink));
    guard.unlock();
    if (assigned == 0) return CONNECT_E_ADVISELIMIT;
    *cookie = assigned;
    return S_OK;
  }

  HRESULT Unadvise(DWORD cookie) override {
    ComPtr<IUnknown> removed;
    {
      std::lock_guard guard(OwnerObject());
      removed = sinks_.Remove(cookie);
    }
    return removed ? S_OK : CONNECT_E_NOCONNECTION;
  }

  HRESULT EnumConnections(IEnumConnections** result) override {
    if (result == nullptr) return E_POINTER;
    auto snapshot = std::make_shared<std::vector<ConnectionEntry>>();
    {
      std::lock_guard guard(OwnerObject());
      for (std::size_t slot = 0; slot < sinks_.SlotCount(); ++slot) {
        if (IUnknown* sink = sinks_.At(slot)) {
          snapshot->push_back({ComPtr<IUnknown>(sink), static_cast<DWORD>(slot + 1)});
        }
      }
    }
    return SnapshotEnumerator<IEnumConnections>::Create(std::move(snapshot), 0, result);
  }

 protected:
  explicit ConnectionPoint(std::size_t maxSlots = SinkList::kUnlimited) : sinks_(maxSlots) {}
  ~ConnectionPoint() = default;

  // The subscribers, for the owner's event dispatch. Guarded by the owner's object lock.
  SinkList& Sinks() { return sinks_; }

 private:
  Owner& OwnerObject() { return static_cast<Owner&>(*this); }

  SinkList sinks_;
};

template <class Owner, class... Points>
class ConnectionPointContainer : public IConnectionPointContainer {
 public:
  HRESULT EnumConnectionPoints(IEnumConnectionPoints** result) override {
    if (result == nullptr) return E_POINTER;
    auto snapshot = std::make_shared<std::vector<ComPtr<IConnectionPoint>>>();
    (snapshot->push_back(ComPtr<IConnectionPoint>(PointOf<Points>())), ...);
    return SnapshotEnumerator<IEnumConnectionPoints>::Create(std::move(snapshot), 0, result);
  }

  HRESULT FindConnectionPoint(REFIID riid, IConnectionPoint** result) override {
    if (result == nullptr) return E_POINTER;
    *result = nullptr;
    (void)((riid == uuidof<typename Points::Event> &&
            (ComPtr<IConnectionPoint>(PointOf<Points>()).CopyTo(result), true)) ||
           ...);
    return *result != nullptr ? S_OK : CONNECT_E_NOCONNECTION;
  }

 protected:
  ~ConnectionPointContainer() = default;

 private:
  template <class Point>
  IConnectionPoint* PointOf() {
    return static_cast<Point*>(static_cast<Owner*>(this));
  }
};

}  // namespace platform::com
