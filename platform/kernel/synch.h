// Events and waits. Every waitable object's state lives under one process-wide wait lock; a
// waiting thread registers its own condition variable with each object it waits on, and a
// state change wakes exactly the threads registered there. One lock keeps WaitForMultipleObjects
// with waitAll atomic without lock ordering between objects; it is held only for a few
// instructions per operation.
#pragma once

#include <vector>

#include "platform/kernel/handle.h"

inline constexpr DWORD WAIT_OBJECT_0 = 0x00000000;
inline constexpr DWORD WAIT_ABANDONED_0 = 0x00000080;
inline constexpr DWORD WAIT_TIMEOUT = 258;
inline constexpr DWORD WAIT_FAILED = 0xFFFFFFFF;
inline constexpr DWORD MAXIMUM_WAIT_OBJECTS = 64;

// An event. `manualReset` FALSE: a set event releases exactly one waiter and resets itself.
// With a name ("Global\Name", "Local\Name" or "Name"; the prefix is dropped) the event is also
// the process's claim on a lock file in the runtime directory (platform/kernel/event.cpp):
// GetLastError() is ERROR_ALREADY_EXISTS when another process holds that claim or this process
// already has a live event of that name (the handle then names that same event and the
// arguments are ignored), 0 otherwise. Signalling never crosses processes. Security
// attributes are ignored. Null with the last error set on failure. Any thread.
HANDLE CreateEventW(LPSECURITY_ATTRIBUTES security, BOOL manualReset, BOOL initialState,
                    LPCWSTR name);
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);

// WAIT_OBJECT_0 when the object is (or becomes) signalled, WAIT_TIMEOUT after `milliseconds`
// (INFINITE: never), WAIT_FAILED with the last error for an invalid or not waitable handle.
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);

// waitAll FALSE: WAIT_OBJECT_0 + the lowest index among the signalled objects. waitAll TRUE:
// returns WAIT_OBJECT_0 once all are signalled at the same moment, and only then consumes the
// auto-reset ones. WAIT_FAILED with ERROR_INVALID_PARAMETER for a count of 0 or above
// MAXIMUM_WAIT_OBJECTS, a null array, or the same object twice with waitAll.
DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds);

namespace platform::kernel {

struct Waiter;

// An object that waits observe: events, threads, and other areas' objects (a process is a
// manual-reset object set when it ends). All state is guarded by the process-wide wait lock.
class WaitableObject : public KernelObject {
 public:
  enum class ResetMode { Manual, Automatic };

  WaitableObject(ResetMode mode, bool initiallySignalled);
  ~WaitableObject() override;

  // Signalled state on / off; Set wakes the threads waiting on this object. Any thread.
  void Set();
  void Reset();
  bool IsSignalled() const;

 private:
  friend class WaitSet;

  const ResetMode mode_;
  bool signalled_;                  // guarded by the wait lock
  std::vector<Waiter*> waiters_;    // guarded by the wait lock; waiters live on their stacks
};

// The event a handle names, or null when it names no event (SetEvent's notion of a valid handle).
std::shared_ptr<WaitableObject> ReferenceEvent(HANDLE handle);

}  // namespace platform::kernel
