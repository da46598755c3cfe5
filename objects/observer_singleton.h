// CObserverSingleton: watchers register a callback and see every data block and every write of
// every driver object, decoded into three 32-bit words.
//
// One process-wide instance serves the drivers; it is created on first use and dropped by
// ReleaseAll when the factory goes. Objects made through the class object are separate
// instances that drivers never notify. All instances share one process-wide recursive mutex
// that guards every callback list and the instance pointer.
//
// Threads: Register/Unregister on call threads; HasObservers/Notify on hardware callback
// threads and call threads. Notify calls the callbacks in registration order on a copy of the
// list, with no lock held, so a callback may register, unregister or write to a driver on any
// thread without waiting. Blocks of one driver arrive on one thread and so in order; blocks of
// different drivers may reach a watcher concurrently.
#pragma once

#include <vector>

#include "driver/observer_notification.h"
#include "interfaces/registration_observer.h"
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
  using CallbackList = std::vector<platform::com::ComPtr<IRegObserverCallback>>;
  CallbackList callbacks_;  // registration order, no duplicates; guarded by the shared mutex
};

}  // namespace Talvaro::Objects
