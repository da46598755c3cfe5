// The root of every component object of the multithreaded model: the reference count and the
// object lock. Classes derive from ObjectRoot and their interfaces, declare their interface
// table, and are instantiated through one of the object templates of com_object.h, which
// implement IUnknown on top of this root.
#pragma once

#include <atomic>
#include <limits>
#include <mutex>

#include "platform/types/error_codes.h"

struct IUnknown;

namespace platform::com {

class ObjectRoot {
 public:
  ObjectRoot() = default;
  ObjectRoot(const ObjectRoot&) = delete;
  ObjectRoot& operator=(const ObjectRoot&) = delete;

  // Construction hooks, run by the creator after the constructor and before the object is
  // handed out (FinalConstruct; a failure destroys the object) and by the last Release before
  // the destructor (FinalRelease). Classes hide them with their own.
  HRESULT FinalConstruct() { return S_OK; }
  void FinalRelease() {}

  // The object lock: a recursive critical section. Any thread; never held across calls out to
  // clients. Lockable, so std::lock_guard / std::unique_lock work on the object itself.
  void Lock() { objectLock_.lock(); }
  void Unlock() { objectLock_.unlock(); }
  void lock() { Lock(); }
  void unlock() { Unlock(); }

  // The count seen by AddRef/Release of the object templates.
  LONG InternalAddRef() { return references_.fetch_add(1, std::memory_order_relaxed) + 1; }
  LONG InternalRelease() { return references_.fetch_sub(1, std::memory_order_acq_rel) - 1; }
  // Adds a reference only while the object is alive (count above zero, not being destroyed):
  // for threads that reach the object without holding a reference, like callbacks of a library
  // the object registered with.
  bool TryInternalAddRef() {
    LONG current = references_.load(std::memory_order_relaxed);
    while (current > 0) {
      if (references_.compare_exchange_weak(current, current + 1, std::memory_order_acq_rel)) {
        return true;
      }
    }
    return false;
  }

 protected:
  ~ObjectRoot() = default;

  // Set by the object templates when the count reaches zero, so that AddRef/Release pairs made
  // while the object is being destroyed (it may pass itself to others) never reach zero again.
  void GuardAgainstReentry() { references_.store(kDestructionGuard, std::memory_order_relaxed); }

  // The object templates' last Release, on its thread: the guard first, so that references
  // FinalRelease takes and drops never reach zero again and destroy the object twice; then
  // FinalRelease, then the object.
  template <class Object>
  static void DestroyAtZero(Object* object) {
    object->GuardAgainstReentry();
    object->FinalRelease();
    delete object;
  }

 private:
  static constexpr LONG kDestructionGuard = -(std::numeric_limits<LONG>::max() / 2);

  std::atomic<LONG> references_{0};
  std::recursive_mutex objectLock_;
};

}  // namespace platform::com
