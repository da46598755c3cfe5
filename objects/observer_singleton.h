// CObserverSingleton: watchers register a callback and see every data block and every write of
// every driver object, decoded into three 32-bit words.
//
// One process-wide instance serves the drivers; it is created on first use and dropped by
// ReleaseAll when the factory goes. Objects made through the class object are separate
// instances that drivers never notify. All instances share one process-wide recursive mutex
// that guards every callback list and the instance pointer.
//
// Threads: Register/Unregister on call threads; HasObservers/Notify on hardware callback
// threads and call threads. Notify never calls a watcher itself: it queues the notification
// with each watcher's delivery (watcher_delivery.h), in registration order, and returns, so a
// stopped or dead watcher holds up no hardware thread and no other watcher. Each watcher gets
// its notifications in the order Notify queued them, one call at a time, on a delivery thread
// with no lock held, so it may register, unregister or write to a driver from inside OnNotify.
// A returned Unregister is final: no call to that watcher starts afterwards. A watcher whose
// call fails because its process is gone or the call broke (0x800706BA, 0x800706BE,
// 0x800706BF) is removed from the list with one record.
#pragma once

#include <memory>
#include <vector>

#include "driver/observer_notification.h"
#include "interfaces/registration_observer.h"
#include "objects/watcher_delivery.h"
#include "platform/com/com_object.h"
#include "platform/com/com_ptr.h"
#include "platform/com/interface_table.h"
#include "platform/com/object_root.h"

namespace Talvaro::Objects {

// The three words of a block: bytes 0-3, 4-7 and 8-11 big-endian (bytes given so far, shifted),
// every byte after the twelfth added to the third word; modulo 2^32.
struct DecodedWords {
  ULONG first = 0;
  ULONG second = 0;
  ULONG third = 0;
};
DecodedWords DecodeWords(const unsigned char* data, ULONG count);

class CObserverSingleton : public platform::com::ObjectRoot,
                           public IRegObserver,
                           public Driver::IObserverNotification {
 public:
  using Interfaces = platform::com::InterfaceTable<CObserverSingleton, IRegObserver>;

  CObserverSingleton();
  ~CObserverSingleton();

  // The process-wide instance, created on first use, with a reference for the caller taken
  // under the mutex (so that a concurrent ReleaseAll cannot free it in between). Null only
  // when memory ran out.
  static platform::com::ComPtr<platform::com::ComObject<CObserverSingleton>> GetInstance();
  // Drops every callback of the process-wide instance and the instance itself; the next
  // GetInstance makes a new, empty one. Holders of the old one keep it alive.
  static void ReleaseAll();

  // IRegObserver: always S_OK.
  HRESULT Register(IRegObserverCallback* callback) override;
  HRESULT Unregister(IRegObserverCallback* callback) override;

  // Driver::IObserverNotification
  bool HasObservers() override;
  void Notify(const unsigned char* data, ULONG count, ULONG value) override;

 private:
  // What a delivery finds its list by; `owner` is cleared, under the shared mutex, as the
  // instance goes, so a delivery that fails later finds nothing to remove itself from.
  struct OwnerLink {
    CObserverSingleton* owner;
  };
  using WatcherList = std::vector<std::shared_ptr<WatcherDelivery>>;

  // On a delivery thread: the watcher behind `delivery` is gone.
  static void RemoveGone(const std::shared_ptr<OwnerLink>& link, const std::shared_ptr<WatcherDelivery>& delivery,
                         HRESULT status);
  // Under the shared mutex: closes every delivery and hands the list over for release outside.
  WatcherList TakeWatchers();

  WatcherList watchers_;  // registration order, one per callback; guarded by the shared mutex
  const std::shared_ptr<OwnerLink> link_;
};

}  // namespace Talvaro::Objects
