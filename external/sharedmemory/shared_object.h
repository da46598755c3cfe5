// The pieces every object of the transport is built from: a named POSIX shared-memory object
// mapped into this process, the identity of a process that survives pid reuse, and futex waits
// and wakes on words inside a mapping that several processes share.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace SharedMemoryTransport::Detail {

// A process: its id and its start time in clock ticks since boot (/proc/<pid>/stat), so that a
// recycled pid is never taken for the process that used it before.
struct ProcessStamp {
  std::int64_t pid = 0;
  std::uint64_t startTicks = 0;
  static ProcessStamp Self();
  // Whether the process still runs (a zombie counts as gone); start times compare by their low
  // 32 bits, as SharedStamp keeps them.
  bool Alive() const;
};

// A process stamp that other processes read and write in shared memory: one 64-bit word (the
// pid, and the start time's low 32 bits, which wrap after 497 days of uptime at 100 ticks/s),
// so that it is replaced in one step. 0: nobody.
struct SharedStamp {
  std::atomic<std::uint64_t> word{0};
  static std::uint64_t Pack(const ProcessStamp& stamp) {
    return (stamp.startTicks & 0xFFFFFFFFu) << 32 | static_cast<std::uint32_t>(stamp.pid);
  }
  void Store(const ProcessStamp& stamp) { word.store(Pack(stamp), std::memory_order_seq_cst); }
  ProcessStamp Load() const {
    const std::uint64_t value = word.load(std::memory_order_seq_cst);
    return {static_cast<std::int64_t>(value & 0xFFFFFFFFu), value >> 32};
  }
};

// A shared-memory object of `size` bytes, mapped read-write. Moves, never copies; unmaps and
// closes on destruction (the name stays until Unlink).
class SharedObject {
 public:
  enum class Outcome { Created, Exists, Failed };

  // Creates `name` exclusively with `mode` and maps it zero-filled: Exists when the name is
  // taken, Failed (errno kept) otherwise; map failures throw map_memory_view_error.
  static Outcome Create(const std::string& name, std::size_t size, mode_t mode, SharedObject* object);
  // Opens and maps an existing object of at least `minimum` bytes (its own size when larger).
  // Throws sharedmemory_runtime_error when it does not exist or is too small.
  static SharedObject Open(const std::string& name, std::size_t minimum);
  static void Unlink(const std::string& name);

  SharedObject() = default;
  SharedObject(SharedObject&& other) noexcept;
  SharedObject& operator=(SharedObject&& other) noexcept;
  SharedObject(const SharedObject&) = delete;
  SharedObject& operator=(const SharedObject&) = delete;
  ~SharedObject();

  void* Address() const { return address_; }
  std::size_t Size() const { return size_; }
  // Removes `name` when it still names this object (not one created under it since).
  void UnlinkIfStillNamed(const std::string& name) const;

 private:
  void Release() noexcept;
  void Adopt(int fd, void* address, std::size_t size);
  void* address_ = nullptr;
  std::size_t size_ = 0;
  dev_t device_ = 0;
  ino_t inode_ = 0;
};

// The object name for `text`: '/' then the text with every byte of its UTF-8 form outside
// [A-Za-z0-9_.-] written as '%' and two hex digits. sharedmemory_runtime_error when the result
// exceeds the 255 bytes a name may have.
std::string ObjectName(const std::wstring& text);

// Futex operations on a 32-bit word of a shared mapping.
void WaitWhileEqual(std::atomic<std::uint32_t>& word, std::uint32_t expected, std::chrono::microseconds bound);
void WakeAll(std::atomic<std::uint32_t>& word);

}  // namespace SharedMemoryTransport::Detail
