// Events, and named events as the single-instance guard.
//
// A named event claims the file "<run dir>/<Name>.lock" with flock(LOCK_EX | LOCK_NB). The claim
// belongs to the open file description, so it ends when the last event of that name in this
// process is destroyed (last handle closed) or when the process dies, whichever comes first;
// the descriptor is close-on-exec, so spawned programs never inherit it. Within the process,
// one name maps to one live event object (the name registry below), which gives the original
// system's "open the existing object" behaviour for set and wait. Nothing is signalled across
// processes: only the claim is visible there.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "platform/kernel/synch.h"
#include "platform/system/last_error.h"
#include "platform/types/wide_string.h"

namespace platform::kernel {
namespace {

constexpr const char* kDefaultRunDir = "/run/talvaro";

DWORD Win32ErrorFromErrno(int error) {
  switch (error) {
    case EACCES:
    case EPERM:
    case EROFS:
    case ELOOP:
      return ERROR_ACCESS_DENIED;
    case ENOENT:
    case ENOTDIR:
      return ERROR_PATH_NOT_FOUND;
    case ENAMETOOLONG:
      return ERROR_FILENAME_EXCED_RANGE;
    case ENOMEM:
    case ENOSPC:
    case EMFILE:
    case ENFILE:
      return ERROR_NOT_ENOUGH_MEMORY;
    default:
      return ERROR_INVALID_FUNCTION;
  }
}

// An open lock file whose flock this process holds; closing it gives the claim up.
class LockFile {
 public:
  explicit LockFile(int fd) : fd_(fd) {}
  LockFile(const LockFile&) = delete;
  LockFile& operator=(const LockFile&) = delete;
  ~LockFile() { ::close(fd_); }

 private:
  const int fd_;
};

class Event final : public WaitableObject {
 public:
  Event(ResetMode mode, bool initiallySignalled, std::string name, std::shared_ptr<LockFile> lock)
      : WaitableObject(mode, initiallySignalled), name_(std::move(name)), lock_(std::move(lock)) {}
  ~Event() override;

 private:
  const std::string name_;                // empty for an unnamed event
  const std::shared_ptr<LockFile> lock_;  // null unless this process holds the name's claim
};

// Creates the run directory and its missing parents; those it creates get mode 0755 whatever
// the umask.
bool MakeDirectories(const std::string& path) {
  for (std::size_t end = 1; end <= path.size(); ++end) {
    if (end != path.size() && path[end] != '/') {
      continue;
    }
    const std::string prefix = path.substr(0, end);
    if (::mkdir(prefix.c_str(), 0755) == 0) {
      ::chmod(prefix.c_str(), 0755);
    } else if (errno != EEXIST) {
      return false;
    }
  }
  return true;
}

// Opens (creating, mode 0666 whatever the umask) the lock file of `name`. -1 with errno set.
int OpenLockFile(const std::string& name) {
  const char* configured = std::getenv("TALVARO_RUN_DIR");
  std::string directory = configured != nullptr && *configured != '\0' ? configured : kDefaultRunDir;
  while (directory.size() > 1 && directory.back() == '/') {
    directory.pop_back();
  }
  if (!MakeDirectories(directory)) {
    return -1;
  }
  const std::string path = directory + "/" + name + ".lock";
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666);
  if (fd >= 0) {
    ::fchmod(fd, 0666);  // fails harmlessly on another user's file
  } else if (errno == EACCES) {
    // Another user's file that we may not write: a read-only descriptor can still flock it.
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  }
  return fd;
}

enum class ClaimResult { Held, HeldElsewhere, Failed };

ClaimResult TryClaim(const std::string& name, std::shared_ptr<LockFile>& lock) {
  const int fd = OpenLockFile(name);
  if (fd < 0) {
    SetLastError(Win32ErrorFromErrno(errno));
    return ClaimResult::Failed;
  }
  int result;
  do {
    result = ::flock(fd, LOCK_EX | LOCK_NB);
  } while (result != 0 && errno == EINTR);
  if (result == 0) {
    lock = std::make_shared<LockFile>(fd);
    return ClaimResult::Held;
  }
  const int error = errno;
  ::close(fd);
  if (error == EWOULDBLOCK) {
    return ClaimResult::HeldElsewhere;
  }
  SetLastError(Win32ErrorFromErrno(error));
  return ClaimResult::Failed;
}

// The named events of this process. An entry lives while its event does; `lock` is the claim
// that the event holds (null when another process holds it). An entry whose event has expired
// but whose destructor has not yet run is taken over by the next CreateEventW of that name,
// claim included, so the old destructor never closes a claim that a new event relies on.
class NameRegistry {
 public:
  HANDLE Create(WaitableObject::ResetMode mode, bool initiallySignalled, const std::string& name) {
    std::lock_guard guard(mutex_);
    Entry& entry = entries_[name];
    if (auto existing = entry.event.lock()) {
      HANDLE handle = InsertHandle(std::move(existing));
      SetLastError(ERROR_ALREADY_EXISTS);
      return handle;
    }
    std::shared_ptr<LockFile> lock = entry.lock;
    if (!lock && TryClaim(name, lock) == ClaimResult::Failed) {
      if (entry.event.expired() && !entry.lock) {
        entries_.erase(name);
      }
      return nullptr;
    }
    auto event = std::make_shared<Event>(mode, initiallySignalled, name, lock);
    entry.event = event;
    entry.lock = lock;
    HANDLE handle = InsertHandle(std::move(event));
    SetLastError(lock ? ERROR_SUCCESS : ERROR_ALREADY_EXISTS);
    return handle;
  }

  // From the destructor of the event registered under `name`.
  void Forget(const std::string& name) {
    std::lock_guard guard(mutex_);
    const auto it = entries_.find(name);
    if (it != entries_.end() && it->second.event.expired()) {
      entries_.erase(it);
    }
  }

 private:
  struct Entry {
    std::weak_ptr<Event> event;
    std::shared_ptr<LockFile> lock;
  };

  std::mutex mutex_;
  std::unordered_map<std::string, Entry> entries_;  // guarded by mutex_
};

// Never destroyed: named events may die during static destruction.
NameRegistry& Names() {
  static NameRegistry* const registry = new NameRegistry;
  return *registry;
}

Event::~Event() {
  if (!name_.empty()) {
    Names().Forget(name_);
  }
}

// The part of an object name that names the lock file, or an empty string with the last error
// set when it cannot name one.
std::string LockFileName(std::wstring_view name) {
  for (std::wstring_view prefix : {std::wstring_view(L"Global\\"), std::wstring_view(L"Local\\")}) {
    if (name.starts_with(prefix)) {
      name.remove_prefix(prefix.size());
      break;
    }
  }
  if (name.size() > MAX_PATH) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return {};
  }
  if (name.empty() || name == L"." || name == L".." ||
      name.find_first_of(std::wstring_view(L"\\/\0", 3)) != std::wstring_view::npos) {
    SetLastError(ERROR_BAD_PATHNAME);
    return {};
  }
  return ToUtf8(name);
}

}  // namespace

std::shared_ptr<WaitableObject> ReferenceEvent(HANDLE handle) {
  return ReferenceHandleAs<Event>(handle);
}

}  // namespace platform::kernel

using platform::kernel::WaitableObject;

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES /*security*/, BOOL manualReset, BOOL initialState,
                    LPCWSTR name) {
  const auto mode = manualReset ? WaitableObject::ResetMode::Manual
                                : WaitableObject::ResetMode::Automatic;
  if (name == nullptr || *name == L'\0') {
    HANDLE handle = platform::kernel::InsertHandle(std::make_shared<platform::kernel::Event>(
        mode, initialState != FALSE, std::string(), nullptr));
    SetLastError(ERROR_SUCCESS);
    return handle;
  }
  const std::string fileName = platform::kernel::LockFileName(name);
  if (fileName.empty()) {
    return nullptr;
  }
  return platform::kernel::Names().Create(mode, initialState != FALSE, fileName);
}

namespace {

// SetEvent / ResetEvent: `change` on the event the handle names.
BOOL ChangeEvent(HANDLE event, void (WaitableObject::*change)()) {
  const auto object = platform::kernel::ReferenceEvent(event);
  if (!object) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  ((*object).*change)();
  return TRUE;
}

}  // namespace

BOOL SetEvent(HANDLE event) { return ChangeEvent(event, &WaitableObject::Set); }

BOOL ResetEvent(HANDLE event) { return ChangeEvent(event, &WaitableObject::Reset); }
