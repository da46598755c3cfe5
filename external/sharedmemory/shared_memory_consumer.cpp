#include "external/sharedmemory/shared_memory_consumer.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include "external/sharedmemory/exceptions.h"

namespace SharedMemoryTransport {
namespace {

using namespace Detail;

constexpr auto kInitialisationBound = std::chrono::seconds(1);

}  // namespace

CSharedMemoryConsumer::CSharedMemoryConsumer(const std::wstring& namespacePrefix, const std::wstring& channelName,
                                             Delivery delivery, std::size_t /*size*/)
    : name_(ObjectName(namespacePrefix + L"." + channelName)),
      memory_(SharedObject::Open(name_, sizeof(ChannelHeader))),
      header_(static_cast<ChannelHeader*>(memory_.Address())),
      delivery_(std::move(delivery)) {
  // The creator writes the magic last; a channel seen in the instant of its creation gets a moment.
  const auto until = std::chrono::steady_clock::now() + kInitialisationBound;
  while (header_->magic.load(std::memory_order_acquire) != kChannelMagic) {
    if (std::chrono::steady_clock::now() > until) {
      throw sharedmemory_runtime_error(name_ + " is not a channel of this transport");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  // Taken once and checked: the header is the peer's to write.
  limit_ = header_->messageLimit;
  capacity_ = header_->capacity;
  if (limit_ > 0x7FFFFFFF || capacity_ != RingCapacity(static_cast<std::size_t>(limit_)) ||
      memory_.Size() - sizeof(ChannelHeader) < capacity_) {
    throw sharedmemory_runtime_error(name_ + " has a header that does not describe its memory");
  }
  if (header_->readerGone.load(std::memory_order_seq_cst) != 0) {
    throw sharedmemory_runtime_error(name_ + " had a reader that detached; its writer must make it anew");
  }
  buffer_.reserve(static_cast<std::size_t>(limit_));
  const std::uint64_t self = SharedStamp::Pack(ProcessStamp::Self());
  std::uint64_t previous = 0;
  while (!header_->reader.word.compare_exchange_strong(previous, self, std::memory_order_seq_cst)) {
    if (header_->reader.Load().Alive()) throw resource_already_used_error(name_ + " has a reader already");
    // The earlier reader died: take its place (`previous` now holds the stamp to replace).
  }
  try {
    thread_ = std::thread([this] { Run(); });
  } catch (...) {
    header_->reader.word.store(0, std::memory_order_seq_cst);  // nobody reads after all
    throw;
  }
}

CSharedMemoryConsumer::~CSharedMemoryConsumer() {
  stop_.store(true, std::memory_order_seq_cst);
  header_->headSignal.fetch_add(1, std::memory_order_seq_cst);
  WakeAll(header_->headSignal);
  thread_.join();
  header_->readerGone.store(1, std::memory_order_seq_cst);
  header_->tailSignal.fetch_add(1, std::memory_order_seq_cst);
  WakeAll(header_->tailSignal);  // a waiting writer learns at once that nobody reads
  UnlinkIfLast(memory_, name_, header_->writerGone, header_->writer);
}

bool CSharedMemoryConsumer::Exists(const std::wstring& namespacePrefix, const std::wstring& channelName) {
  std::string name;
  try {
    name = ObjectName(namespacePrefix + L"." + channelName);
  } catch (const sharedmemory_runtime_error&) {
    return false;  // a name that no channel can have
  }
  const int fd = ::shm_open(name.c_str(), O_RDONLY | O_CLOEXEC, 0);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

bool CSharedMemoryConsumer::WriterGone() const {
  return header_->writerGone.load(std::memory_order_seq_cst) != 0 || !header_->writer.Load().Alive();
}

void CSharedMemoryConsumer::Run() {
  for (;;) {
    if (stop_.load(std::memory_order_seq_cst)) {
      // Everything SendData had put in before the stop goes out too, and nothing sent later.
      const std::uint64_t end = header_->head.load(std::memory_order_acquire);
      while (header_->tail.load(std::memory_order_relaxed) < end && TakeOne()) {
      }
      return;
    }
    if (!TakeOne()) AwaitData(header_->tail.load(std::memory_order_relaxed));
  }
}

bool CSharedMemoryConsumer::TakeOne() {
  if (broken_) return false;
  const std::uint64_t tail = header_->tail.load(std::memory_order_relaxed);  // ours alone
  const std::uint64_t head = header_->head.load(std::memory_order_acquire);
  if (head == tail) return false;
  // What the writer wrote must describe a message of the channel; anything else is a broken
  // channel, which delivers nothing more.
  const std::uint64_t available = head - tail;
  if (head < tail || available > capacity_ || available < kLengthBytes) {
    broken_ = true;
    return false;
  }
  unsigned char prefix[kLengthBytes];
  const unsigned char* ring = Ring(header_);
  CopyOut(ring, capacity_, tail, prefix, kLengthBytes);
  const std::size_t count = static_cast<std::size_t>(prefix[0]) | (static_cast<std::size_t>(prefix[1]) << 8) |
                            (static_cast<std::size_t>(prefix[2]) << 16) | (static_cast<std::size_t>(prefix[3]) << 24);
  if (count > limit_ || available < kLengthBytes + count) {
    broken_ = true;
    return false;
  }
  buffer_.resize(count);
  if (count != 0) CopyOut(ring, capacity_, tail + kLengthBytes, buffer_.data(), count);
  header_->tail.store(tail + kLengthBytes + count, std::memory_order_seq_cst);
  WakeIfSleeping(header_->writerSleeping, header_->tailSignal);
  try {
    delivery_(buffer_.data(), count);
  } catch (...) {
    // The receiver's failure is its own; the next message still comes.
  }
  return true;
}

void CSharedMemoryConsumer::AwaitData(std::uint64_t tail) {
  if (SpinUntil([&] {
        return header_->head.load(std::memory_order_acquire) != tail || stop_.load(std::memory_order_relaxed);
      })) {
    return;
  }
  header_->readerSleeping.store(1, std::memory_order_seq_cst);
  const std::uint32_t signal = header_->headSignal.load(std::memory_order_seq_cst);
  if (header_->head.load(std::memory_order_seq_cst) == tail && !stop_.load(std::memory_order_seq_cst)) {
    WaitWhileEqual(header_->headSignal, signal, std::chrono::duration_cast<std::chrono::microseconds>(kSleepSlice));
  }
  header_->readerSleeping.store(0, std::memory_order_seq_cst);
}

}  // namespace SharedMemoryTransport
