#include "external/sharedmemory/shared_memory_producer.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <new>
#include <thread>

#include "external/sharedmemory/exceptions.h"

namespace SharedMemoryTransport {
namespace {

using namespace Detail;

// A channel that another producer is still creating has no magic or no stamp yet: it is given a
// moment before it counts as abandoned.
constexpr auto kCreationGrace = std::chrono::seconds(1);
// Beyond this the 4-byte length prefix and the ring's size would not hold.
constexpr std::size_t kLargestMessage = 0x7FFFFFFF;

enum class Found { Held, Abandoned, Gone };

// What holds the channel found under our name: a live writer (also one still creating it), or
// nobody; `object` keeps the inspected one so that only it is removed.
Found Inspect(const std::string& name, SharedObject* object) {
  const auto until = std::chrono::steady_clock::now() + kCreationGrace;
  for (;;) {
    try {
      *object = SharedObject::Open(name, sizeof(ChannelHeader));
      const auto* header = static_cast<const ChannelHeader*>(object->Address());
      if (header->magic.load(std::memory_order_acquire) == kChannelMagic) {
        // A channel whose writer has gone is taken over, whatever its old reader does: that one
        // keeps its mapping and learns nothing more from it.
        const bool writer = header->writerGone.load() == 0 && header->writer.Load().Alive();
        return writer ? Found::Held : Found::Abandoned;
      }
    } catch (const sharedmemory_runtime_error&) {
      if (::access(("/dev/shm" + name).c_str(), F_OK) != 0) return Found::Gone;
    }
    if (std::chrono::steady_clock::now() > until) return Found::Abandoned;  // never finished
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

}  // namespace

CSharedMemoryProducer::CSharedMemoryProducer(const CSecurityAttributes& attributes,
                                             const std::wstring& namespacePrefix, const std::wstring& channelName,
                                             std::size_t size)
    : name_(ObjectName(namespacePrefix + L"." + channelName)), capacity_(RingCapacity(size)), limit_(size) {
  if (size > kLargestMessage) {
    throw sharedmemory_runtime_error("a channel size of " + std::to_string(size) + " bytes is too large");
  }
  const ProcessStamp self = ProcessStamp::Self();
  for (int attempt = 0; attempt < 2 && header_ == nullptr; ++attempt) {
    switch (SharedObject::Create(name_, sizeof(ChannelHeader) + capacity_, attributes.Mode(), &memory_)) {
      case SharedObject::Outcome::Created:
        header_ = new (memory_.Address()) ChannelHeader{};
        break;
      case SharedObject::Outcome::Exists: {
        SharedObject found;
        const Found holder = Inspect(name_, &found);
        if (holder == Found::Held) throw resource_already_used_error("the channel " + name_ + " is in use");
        if (holder == Found::Abandoned) found.UnlinkIfStillNamed(name_);  // its writer died or left
        break;
      }
      case SharedObject::Outcome::Failed:
        throw sharedmemory_runtime_error("cannot create the channel " + name_ + ": " + std::strerror(errno));
    }
  }
  if (header_ == nullptr) throw resource_already_used_error("the channel " + name_ + " was taken meanwhile");
  header_->capacity = capacity_;
  header_->messageLimit = limit_;
  header_->createdMs = MonotonicMs();
  header_->writer.Store(self);
  header_->magic.store(kChannelMagic, std::memory_order_release);
}

CSharedMemoryProducer::~CSharedMemoryProducer() {
  header_->writerGone.store(1, std::memory_order_seq_cst);
  header_->headSignal.fetch_add(1, std::memory_order_seq_cst);
  WakeAll(header_->headSignal);
  UnlinkIfLast(memory_, name_, header_->readerGone, header_->reader);
}

void CSharedMemoryProducer::CheckReader(std::uint64_t nowMs, std::uint64_t lastProgressMs, std::uint64_t tail) {
  if (header_->readerGone.load(std::memory_order_seq_cst) != 0) {
    throw client_not_responding_error("the reader of " + name_ + " has detached");
  }
  const ProcessStamp reader = header_->reader.Load();
  if (reader.pid == 0) {
    if (nowMs - header_->createdMs >= static_cast<std::uint64_t>(kAttachBound.count()) * 1000) {
      throw client_not_responding_error("no reader attached to " + name_ + " within 5 s");
    }
    return;
  }
  if (!reader.Alive()) throw client_not_responding_error("the reader of " + name_ + " has died");
  if (nowMs - lastProgressMs >= static_cast<std::uint64_t>(kStallBound.count()) * 1000) {
    stalled_ = true;
    stalledTail_ = tail;
    throw client_not_responding_error("the reader of " + name_ + " took nothing for 10 s");
  }
}

template <class Ready>
void CSharedMemoryProducer::WaitForReader(Ready&& ready, std::uint64_t deadlineMs) {
  if (ready()) return;
  std::uint64_t lastTail = header_->tail.load(std::memory_order_acquire);
  if (stalled_) {
    if (lastTail == stalledTail_) throw client_not_responding_error("the reader of " + name_ + " still takes nothing");
    stalled_ = false;
  }
  if (SpinUntil(ready)) return;
  const std::uint64_t waitStartMs = MonotonicMs();  // a stall counts from here
  std::uint64_t lastProgressMs = waitStartMs;
  for (;;) {
    if (ready()) return;
    const std::uint64_t now = MonotonicMs();
    const std::uint64_t tail = header_->tail.load(std::memory_order_acquire);
    if (tail != lastTail) {
      lastTail = tail;
      lastProgressMs = now;
    }
    CheckReader(now, lastProgressMs, tail);
    if (deadlineMs != 0 && now >= deadlineMs) {
      throw send_timeout_error("the reader of " + name_ + " did not take the message in time");
    }
    auto slice = std::chrono::duration_cast<std::chrono::microseconds>(kSleepSlice);
    if (deadlineMs != 0) slice = std::min(slice, std::chrono::microseconds((deadlineMs - now) * 1000));
    header_->writerSleeping.store(1, std::memory_order_seq_cst);
    const std::uint32_t signal = header_->tailSignal.load(std::memory_order_seq_cst);
    if (!ready()) WaitWhileEqual(header_->tailSignal, signal, slice);
    header_->writerSleeping.store(0, std::memory_order_seq_cst);
  }
}

void CSharedMemoryProducer::SendData(const unsigned char* bytes, std::size_t count, long timeout) {
  if (count > limit_) {
    throw buffer_too_small_error("a message of " + std::to_string(count) + " bytes does not fit the channel " + name_ +
                                 " of " + std::to_string(limit_));
  }
  if (header_->readerGone.load(std::memory_order_seq_cst) != 0) {
    throw client_not_responding_error("the reader of " + name_ + " has detached");
  }
  // Up to a day; longer counts as a day (and keeps the deadline from wrapping).
  const std::uint64_t timeoutMs = std::min<std::uint64_t>(static_cast<std::uint64_t>(timeout), 86'400'000);
  const std::uint64_t deadlineMs = timeout >= 0 ? MonotonicMs() + timeoutMs : 0;
  const std::uint64_t need = kLengthBytes + count;
  const std::uint64_t head = header_->head.load(std::memory_order_relaxed);  // ours alone
  // The reader's position is the peer's to write: one beyond ours is a broken channel.
  const auto used = [&] {
    // Sequentially consistent: after the sleeping flag is set, the re-check must see a tail that
    // moved meanwhile, or the reader must see the flag.
    const std::uint64_t tail = header_->tail.load(std::memory_order_seq_cst);
    if (tail > head) throw client_not_responding_error("the reader of " + name_ + " broke the channel");
    return head - tail;
  };
  WaitForReader([&] { return capacity_ - used() >= need; }, deadlineMs);
  const auto length = static_cast<std::uint32_t>(count);
  const unsigned char prefix[kLengthBytes] = {static_cast<unsigned char>(length), static_cast<unsigned char>(length >> 8),
                                              static_cast<unsigned char>(length >> 16),
                                              static_cast<unsigned char>(length >> 24)};
  CopyIn(Ring(header_), capacity_, head, prefix, kLengthBytes);
  if (count != 0) CopyIn(Ring(header_), capacity_, head + kLengthBytes, bytes, count);
  header_->head.store(head + need, std::memory_order_seq_cst);
  WakeIfSleeping(header_->readerSleeping, header_->headSignal);
  if (timeout >= 0) {
    WaitForReader([&] { return header_->tail.load(std::memory_order_seq_cst) >= head + need; }, deadlineMs);
  }
}

}  // namespace SharedMemoryTransport
