// Kernel object handles. A HANDLE is an opaque number that names one entry of the process's
// handle table; each entry holds one reference to a kernel object (event, thread, timer, and
// whatever other platform areas add, such as processes). Numbers are never reused, so a stale
// or made-up handle is always recognised and refused, never dereferenced.
#pragma once

#include <memory>

#include "platform/types/error_codes.h"

// Drops the handle's reference to its object. FALSE with ERROR_INVALID_HANDLE for null,
// INVALID_HANDLE_VALUE, a handle already closed, a value that never was a handle, or a handle
// that CloseHandle does not own (a timer-queue timer: DeleteTimerQueueTimer ends it).
// Any thread.
BOOL CloseHandle(HANDLE handle);

namespace platform::kernel {

// Base of every object a handle can name. Objects live as long as a handle or any other
// shared_ptr (a running wait, a timer's pending completion) refers to them.
class KernelObject {
 public:
  KernelObject() = default;
  KernelObject(const KernelObject&) = delete;
  KernelObject& operator=(const KernelObject&) = delete;
  virtual ~KernelObject() = default;

  // Whether CloseHandle may remove a handle to this object.
  virtual bool ClosableByCloseHandle() const { return true; }
};

// Creates a new handle that holds one reference to `object` (not null). Never fails short of
// memory exhaustion (std::bad_alloc).
HANDLE InsertHandle(std::shared_ptr<KernelObject> object);

// The object a handle names, or null when the handle is not (or no longer) valid. The caller
// gets its own reference, so a concurrent CloseHandle cannot pull the object away.
std::shared_ptr<KernelObject> ReferenceHandle(HANDLE handle);

template <class T>
std::shared_ptr<T> ReferenceHandleAs(HANDLE handle) {
  return std::dynamic_pointer_cast<T>(ReferenceHandle(handle));
}

// Removes the handle from the table and returns the reference it held (null if the handle is
// not valid). The reference is dropped by the caller, outside the table's lock.
std::shared_ptr<KernelObject> RemoveHandle(HANDLE handle);

}  // namespace platform::kernel
