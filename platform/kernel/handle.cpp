#include "platform/kernel/handle.h"

#include <cstdint>
#include <mutex>
#include <unordered_map>
#include <utility>

#include "platform/system/last_error.h"

namespace platform::kernel {
namespace {

// The process's handle table. Handle values are serial numbers times four (so they look like
// the original system's handles and never collide with null or INVALID_HANDLE_VALUE); a 64-bit
// serial never wraps, so a closed handle's value never names a later object.
class HandleTable {
 public:
  HANDLE Insert(std::shared_ptr<KernelObject> object) {
    std::lock_guard lock(mutex_);
    const std::uintptr_t value = ++lastSerial_ * 4;
    entries_.emplace(value, std::move(object));
    return reinterpret_cast<HANDLE>(value);
  }

  std::shared_ptr<KernelObject> Find(HANDLE handle) {
    std::lock_guard lock(mutex_);
    const auto it = entries_.find(reinterpret_cast<std::uintptr_t>(handle));
    return it == entries_.end() ? nullptr : it->second;
  }

  // `onlyClosable` refuses objects that CloseHandle does not own; the entry then stays.
  std::shared_ptr<KernelObject> Remove(HANDLE handle, bool onlyClosable) {
    std::lock_guard lock(mutex_);
    const auto it = entries_.find(reinterpret_cast<std::uintptr_t>(handle));
    if (it == entries_.end() || (onlyClosable && !it->second->ClosableByCloseHandle())) {
      return nullptr;
    }
    std::shared_ptr<KernelObject> object = std::move(it->second);
    entries_.erase(it);
    return object;
  }

 private:
  std::mutex mutex_;
  std::uint64_t lastSerial_ = 0;                                         // guarded by mutex_
  std::unordered_map<std::uintptr_t, std::shared_ptr<KernelObject>> entries_;  // by mutex_
};

// Never destroyed: threads that outlive main (timer workers, detached threads) and static
// destructors of other areas may still close or look up handles during process exit.
HandleTable& Table() {
  static HandleTable* const table = new HandleTable;
  return *table;
}

}  // namespace

HANDLE InsertHandle(std::shared_ptr<KernelObject> object) { return Table().Insert(std::move(object)); }

std::shared_ptr<KernelObject> ReferenceHandle(HANDLE handle) { return Table().Find(handle); }

std::shared_ptr<KernelObject> RemoveHandle(HANDLE handle) { return Table().Remove(handle, false); }

}  // namespace platform::kernel

BOOL CloseHandle(HANDLE handle) {
  // The object's last reference may go here; its destructor runs after the table lock is left.
  std::shared_ptr<platform::kernel::KernelObject> object =
      platform::kernel::Table().Remove(handle, true);
  if (!object) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}
