// The delivery of one watcher's notifications: queued by the notifying thread, called on a
// delivery thread in the order queued, so that a watcher that is slow, stopped or gone never
// holds up a hardware thread or another watcher.
//
// Threads: Post on hardware callback and client call threads; Close on call threads (and the
// delivery thread itself, when a watcher unregisters from inside OnNotify); the calls run on the
// process-wide pool of delivery threads, one at a time per watcher, in batches so that busy
// watchers share the threads fairly. A stalled watcher holds one delivery thread until its call
// fails (the remoting's bound on outgoing calls); its queue is bounded, and what does not fit is
// dropped with one record per episode.
#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

#include "interfaces/registration_observer.h"
#include "platform/com/com_ptr.h"

namespace Talvaro::Objects {

struct WatcherNotification {
  ULONG first = 0;
  ULONG second = 0;
  ULONG third = 0;
  ULONG count = 0;
  ULONG value = 0;
};

class WatcherDelivery : public std::enable_shared_from_this<WatcherDelivery> {
 public:
  // Notifications a watcher may have queued; beyond, new ones are dropped.
  static constexpr std::size_t kMaxQueued = 1024;

  // `gone` runs on the delivery thread when a call fails because the watcher's process is gone
  // or its call broke (0x800706BA, 0x800706BE, 0x800706BF); nothing is delivered after it.
  using GoneHandler = std::function<void(const std::shared_ptr<WatcherDelivery>&, HRESULT)>;

  WatcherDelivery(platform::com::ComPtr<IRegObserverCallback> callback, GoneHandler gone);
  WatcherDelivery(const WatcherDelivery&) = delete;
  WatcherDelivery& operator=(const WatcherDelivery&) = delete;

  IRegObserverCallback* Callback() const { return callback_.Get(); }

  // Any thread. Queues the notification and makes sure a delivery thread serves it. Never waits
  // for the watcher.
  void Post(const WatcherNotification& notification);
  // Any thread. No call starts after it returns (one under way finishes); the queue is dropped.
  void Close();

  // Notifications waiting, for tests and diagnostics.
  std::size_t Queued();

 private:
  // On a delivery thread: calls the watcher for up to a batch of queued notifications.
  void Deliver();
  // Whether the watcher's process is gone or its call broke.
  static bool IsGone(HRESULT status);

  const platform::com::ComPtr<IRegObserverCallback> callback_;
  const GoneHandler gone_;
  std::mutex mutex_;
  std::deque<WatcherNotification> queue_;  // guarded by mutex_
  bool scheduled_ = false;                 // a delivery task is queued or running; guarded by mutex_
  bool closed_ = false;                    // guarded by mutex_
  std::size_t dropped_ = 0;                // dropped in the current episode; guarded by mutex_
};

}  // namespace Talvaro::Objects
