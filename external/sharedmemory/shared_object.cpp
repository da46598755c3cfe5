#include "external/sharedmemory/shared_object.h"

#include <fcntl.h>
#include <linux/futex.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <utility>

#include "external/sharedmemory/exceptions.h"

namespace SharedMemoryTransport::Detail {
namespace {

constexpr std::size_t kLongestName = 255;

// Field 22 of /proc/<pid>/stat, and whether the process is a zombie (state 'Z') or gone.
bool ReadStat(std::int64_t pid, std::uint64_t* startTicks, bool* zombie) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  if (!std::getline(stat, text)) return false;
  // The command name in parentheses may contain anything: the fields start after its last ')'.
  const auto close = text.rfind(')');
  if (close == std::string::npos) return false;
  std::istringstream fields(text.substr(close + 2));
  std::string state;
  fields >> state;
  std::string skip;
  for (int i = 4; i < 22; ++i) fields >> skip;  // fields 4..21
  fields >> *startTicks;
  *zombie = state == "Z" || state == "X";
  return !fields.fail();
}

std::string Errno(const char* what, int error) { return std::string(what) + ": " + std::strerror(error); }

}  // namespace

ProcessStamp ProcessStamp::Self() {
  ProcessStamp self{::getpid(), 0};
  bool zombie = false;
  // Without its start time this process would look dead to its peers.
  if (!ReadStat(self.pid, &self.startTicks, &zombie)) {
    throw sharedmemory_runtime_error("cannot read this process's start time from /proc/self/stat");
  }
  return self;
}

bool ProcessStamp::Alive() const {
  if (pid <= 0) return false;
  if (::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) return false;
  std::uint64_t ticks = 0;
  bool zombie = false;
  // A process whose /proc entry cannot be read (hidepid, another pid namespace) but that the
  // kernel still knows counts as alive: never take a live peer for dead.
  if (!ReadStat(pid, &ticks, &zombie)) return true;
  return !zombie && (ticks & 0xFFFFFFFFu) == (startTicks & 0xFFFFFFFFu);
}

SharedObject::Outcome SharedObject::Create(const std::string& name, std::size_t size, mode_t mode,
                                           SharedObject* object) {
  const int fd = ::shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, mode);
  if (fd < 0) return errno == EEXIST ? Outcome::Exists : Outcome::Failed;
  // The umask must not narrow what the security attributes grant.
  if (::fchmod(fd, mode) != 0 || ::ftruncate(fd, static_cast<off_t>(size)) != 0) {
    const int error = errno;
    ::close(fd);
    ::shm_unlink(name.c_str());
    errno = error;
    return Outcome::Failed;
  }
  void* address = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (address == MAP_FAILED) {
    const int error = errno;
    ::close(fd);
    ::shm_unlink(name.c_str());
    throw map_memory_view_error(Errno(("cannot map " + name).c_str(), error));
  }
  *object = SharedObject();
  object->Adopt(fd, address, size);
  ::close(fd);
  return Outcome::Created;
}

SharedObject SharedObject::Open(const std::string& name, std::size_t minimum) {
  const int fd = ::shm_open(name.c_str(), O_RDWR | O_CLOEXEC, 0);
  if (fd < 0) throw sharedmemory_runtime_error(Errno(("cannot open " + name).c_str(), errno));
  struct stat status {};
  if (::fstat(fd, &status) != 0 || static_cast<std::size_t>(status.st_size) < minimum) {
    ::close(fd);
    throw sharedmemory_runtime_error(name + " is not an object of this transport (too small)");
  }
  const auto size = static_cast<std::size_t>(status.st_size);
  void* address = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (address == MAP_FAILED) {
    const int error = errno;
    ::close(fd);
    throw map_memory_view_error(Errno(("cannot map " + name).c_str(), error));
  }
  SharedObject object;
  object.Adopt(fd, address, size);
  ::close(fd);
  return object;
}

void SharedObject::Unlink(const std::string& name) { ::shm_unlink(name.c_str()); }

void SharedObject::Adopt(int fd, void* address, std::size_t size) {
  struct stat status {};
  if (::fstat(fd, &status) == 0) {
    device_ = status.st_dev;
    inode_ = status.st_ino;
  }
  address_ = address;
  size_ = size;
}

void SharedObject::UnlinkIfStillNamed(const std::string& name) const {
  const int fd = ::shm_open(name.c_str(), O_RDONLY | O_CLOEXEC, 0);
  if (fd < 0) return;
  struct stat status {};
  const bool same = ::fstat(fd, &status) == 0 && status.st_dev == device_ && status.st_ino == inode_;
  ::close(fd);
  if (same) ::shm_unlink(name.c_str());
}

SharedObject::SharedObject(SharedObject&& other) noexcept
    : address_(std::exchange(other.address_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      device_(other.device_),
      inode_(other.inode_) {}

SharedObject& SharedObject::operator=(SharedObject&& other) noexcept {
  if (this != &other) {
    Release();
    address_ = std::exchange(other.address_, nullptr);
    size_ = std::exchange(other.size_, 0);
    device_ = other.device_;
    inode_ = other.inode_;
  }
  return *this;
}

SharedObject::~SharedObject() { Release(); }

void SharedObject::Release() noexcept {
  if (address_ != nullptr) ::munmap(address_, size_);
  address_ = nullptr;
  size_ = 0;
}

std::string ObjectName(const std::wstring& text) {
  std::string name = "/";
  const auto escape = [&name](unsigned char byte) {
    static const char* const hex = "0123456789ABCDEF";
    const bool plain = (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') || (byte >= '0' && byte <= '9') ||
                       byte == '_' || byte == '.' || byte == '-';
    if (plain) {
      name += static_cast<char>(byte);
    } else {
      name += '%';
      name += hex[byte >> 4];
      name += hex[byte & 0xF];
    }
  };
  for (const wchar_t c : text) {
    const auto code = static_cast<std::uint32_t>(c);
    if (code < 0x80) {
      escape(static_cast<unsigned char>(code));
    } else if (code < 0x800) {
      escape(static_cast<unsigned char>(0xC0 | (code >> 6)));
      escape(static_cast<unsigned char>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
      escape(static_cast<unsigned char>(0xE0 | (code >> 12)));
      escape(static_cast<unsigned char>(0x80 | ((code >> 6) & 0x3F)));
      escape(static_cast<unsigned char>(0x80 | (code & 0x3F)));
    } else {
      escape(static_cast<unsigned char>(0xF0 | (code >> 18)));
      escape(static_cast<unsigned char>(0x80 | ((code >> 12) & 0x3F)));
      escape(static_cast<unsigned char>(0x80 | ((code >> 6) & 0x3F)));
      escape(static_cast<unsigned char>(0x80 | (code & 0x3F)));
    }
  }
  if (name.size() - 1 > kLongestName) {
    throw sharedmemory_runtime_error("the object name " + name.substr(0, 40) + "... is longer than 255 bytes");
  }
  return name;
}

void WaitWhileEqual(std::atomic<std::uint32_t>& word, std::uint32_t expected, std::chrono::microseconds bound) {
  const auto micros = bound.count();
  timespec timeout{static_cast<time_t>(micros / 1000000), static_cast<long>((micros % 1000000) * 1000)};
  ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAIT, expected, &timeout, nullptr, 0);
}

void WakeAll(std::atomic<std::uint32_t>& word) {
  ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAKE, INT32_MAX, nullptr, nullptr, 0);
}

}  // namespace SharedMemoryTransport::Detail
