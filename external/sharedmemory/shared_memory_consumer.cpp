#include "external/sharedmemory/shared_memory_consumer.h"

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
  if (memory_.Size() < sizeof(ChannelHeader) + header_->capacity) {
    throw sharedmemory_runtime_error(name_ + " is smaller than its header says");
  }
  const std::uint64_t self = SharedStamp::Pack(ProcessStamp::Self());
  std::uint64_t previous = 0;
  while (!header_->reader.word.compare_exchange_strong(previous, self, std::memory_order_seq_cst)) {
    if (header_->reader.Load().Alive()) throw resource_already_used_error(name_ + " has a reader already");
    // The earlier reader died: take its place (`previous` now holds the stamp to replace).
  }
  buffer_.reserve(static_cast<std::size_t>(header_->messageLimit));
  thread_ = std::thread([this] { Run(); });
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

void CSharedMemoryConsumer::Run() {
  for (;;) {
    if (TakeOne()) continue;
    if (stop_.load(std::memory_order_seq_cst)) {
      // Everything SendData had put in before the stop goes out too.
      while (TakeOne()) {
      }
      return;
    }
    AwaitData(header_->tail.load(std::memory_order_relaxed));
  }
}

bool CSharedMemoryConsumer::TakeOne() {
  const std::uint64_t tail = header_->tail.load(std::memory_order_relaxed);  // ours alone
  if (header_->head.load(std::memory_order_acquire) == tail) return false;
  unsigned char prefix[kLengthBytes];
  CopyOut(header_, tail, prefix, kLengthBytes);
  const std::size_t count = prefix[0] | (prefix[1] << 8) | (prefix[2] << 16) | (static_cast<std::size_t>(prefix[3]) << 24);
  buffer_.resize(count);
  if (count != 0) CopyOut(header_, tail + kLengthBytes, buffer_.data(), count);
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
