// Waitable objects and the wait functions.
//
// One process-wide wait lock guards the state of every waitable object. A waiting thread puts a
// Waiter (its own condition variable, on its stack) into the waiter list of each object it waits
// on; Set notifies exactly those. The waiter re-checks every object under the lock after each
// wake-up, so spurious wake-ups and lost races for an auto-reset event only send it back to
// sleep. Notifications happen under the lock, which also keeps a Waiter alive until its owner
// has taken it out of every list.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>

#include "platform/kernel/synch.h"
#include "platform/system/last_error.h"

namespace platform::kernel {

struct Waiter {
  std::condition_variable wake;  // waited on with the wait lock by its owner only
};

namespace {

// Never destroyed: waits may run on threads that outlive static destruction.
std::mutex& WaitLock() {
  static std::mutex* const lock = new std::mutex;
  return *lock;
}

}  // namespace

WaitableObject::WaitableObject(ResetMode mode, bool initiallySignalled)
    : mode_(mode), signalled_(initiallySignalled) {}

// A waiter holds a reference to every object it waits on, so no waiter is registered here.
WaitableObject::~WaitableObject() = default;

void WaitableObject::Set() {
  std::lock_guard lock(WaitLock());
  signalled_ = true;
  for (Waiter* waiter : waiters_) {
    waiter->wake.notify_one();
  }
}

void WaitableObject::Reset() {
  std::lock_guard lock(WaitLock());
  signalled_ = false;
}

bool WaitableObject::IsSignalled() const {
  std::lock_guard lock(WaitLock());
  return signalled_;
}

// The wait algorithm; a friend of WaitableObject for its guarded fields.
class WaitSet {
 public:
  explicit WaitSet(std::vector<std::shared_ptr<WaitableObject>> objects)
      : objects_(std::move(objects)) {}

  DWORD Wait(bool waitAll, DWORD milliseconds) {
    using Clock = std::chrono::steady_clock;
    std::optional<Clock::time_point> deadline;
    if (milliseconds != INFINITE) {
      deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
    }
    Waiter waiter;
    std::unique_lock lock(WaitLock());
    bool registered = false;
    DWORD result = WAIT_TIMEOUT;
    for (;;) {
      if (TryAcquire(waitAll, result)) {
        break;
      }
      if (deadline && Clock::now() >= *deadline) {
        result = WAIT_TIMEOUT;
        break;
      }
      if (!registered) {
        for (const auto& object : objects_) {
          object->waiters_.push_back(&waiter);
        }
        registered = true;
      }
      if (deadline) {
        waiter.wake.wait_until(lock, *deadline);
      } else {
        waiter.wake.wait(lock);
      }
    }
    if (registered) {
      for (const auto& object : objects_) {
        std::erase(object->waiters_, &waiter);
      }
    }
    return result;
  }

 private:
  // Under the wait lock: whether the wait is satisfied now; if so consumes the auto-reset
  // objects that satisfy it and stores the result.
  bool TryAcquire(bool waitAll, DWORD& result) {
    if (waitAll) {
      for (const auto& object : objects_) {
        if (!object->signalled_) {
          return false;
        }
      }
      for (const auto& object : objects_) {
        if (object->mode_ == WaitableObject::ResetMode::Automatic) {
          object->signalled_ = false;
        }
      }
      result = WAIT_OBJECT_0;
      return true;
    }
    for (std::size_t i = 0; i < objects_.size(); ++i) {
      WaitableObject& object = *objects_[i];
      if (object.signalled_) {
        if (object.mode_ == WaitableObject::ResetMode::Automatic) {
          object.signalled_ = false;
        }
        result = WAIT_OBJECT_0 + static_cast<DWORD>(i);
        return true;
      }
    }
    return false;
  }

  // References held for the whole wait: a handle closed meanwhile does not free the object.
  std::vector<std::shared_ptr<WaitableObject>> objects_;
};

}  // namespace platform::kernel

using platform::kernel::ReferenceHandleAs;
using platform::kernel::WaitableObject;

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  return WaitForMultipleObjects(1, &handle, FALSE, milliseconds);
}

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds) {
  if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || handles == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return WAIT_FAILED;
  }
  std::vector<std::shared_ptr<WaitableObject>> objects;
  objects.reserve(count);
  for (DWORD i = 0; i < count; ++i) {
    auto object = ReferenceHandleAs<WaitableObject>(handles[i]);
    if (!object) {
      SetLastError(ERROR_INVALID_HANDLE);
      return WAIT_FAILED;
    }
    if (waitAll && std::find(objects.begin(), objects.end(), object) != objects.end()) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return WAIT_FAILED;
    }
    objects.push_back(std::move(object));
  }
  return platform::kernel::WaitSet(std::move(objects)).Wait(waitAll != FALSE, milliseconds);
}
