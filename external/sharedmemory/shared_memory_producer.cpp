#include "external/sharedmemory/shared_memory_producer.h"

#include <new>
#include <thread>

#include "external/sharedmemory/exceptions.h"

namespace SharedMemoryTransport {
namespace {

using namespace Detail;

// Whether a channel found under our name still has a live side.
bool HeldByLiveSide(const std::string& name) {
  try {
    const auto object = SharedObject::Open(name, sizeof(ChannelHeader));
    const auto* header = static_cast<const ChannelHeader*>(object.Address());
    const bool writer = header->writerGone.load() == 0 && header->writer.Load().Alive();
    const bool reader = header->readerGone.load() == 0 && header->reader.Load().Alive();
    return writer || reader;
  } catch (const std::runtime_error&) {
    return false;
  }
}

}  // namespace

CSharedMemoryProducer::CSharedMemoryProducer(const CSecurityAttributes& attributes,
                                             const std::wstring& namespacePrefix, const std::wstring& channelName,
                                             std::size_t size)
    : name_(ObjectName(namespacePrefix + L"." + channelName)) {
  const std::uint64_t capacity = RingCapacity(size);
  for (int attempt = 0; attempt < 2 && header_ == nullptr; ++attempt) {
    switch (SharedObject::Create(name_, sizeof(ChannelHeader) + capacity, attributes.Mode(), &memory_)) {
      case SharedObject::Outcome::Created:
        header_ = new (memory_.Address()) ChannelHeader{};
        break;
      case SharedObject::Outcome::Exists:
        if (HeldByLiveSide(name_)) throw resource_already_used_error("the channel " + name_ + " is in use");
        SharedObject::Unlink(name_);  // both sides of the earlier channel died
        break;
      case SharedObject::Outcome::Failed:
        throw sharedmemory_runtime_error("cannot create the channel " + name_ + ": " + std::strerror(errno));
    }
  }
  if (header_ == nullptr) throw resource_already_used_error("the channel " + name_ + " was taken meanwhile");
  header_->capacity = capacity;
  header_->messageLimit = size;
  header_->createdMs = MonotonicMs();
  header_->writer.Store(ProcessStamp::Self());
  header_->magic.store(kChannelMagic, std::memory_order_release);
}

CSharedMemoryProducer::~CSharedMemoryProducer() {
  header_->writerGone.store(1, std::memory_order_seq_cst);
  header_->headSignal.fetch_add(1, std::memory_order_seq_cst);
  WakeAll(header_->headSignal);
  UnlinkIfLast(memory_, name_, header_->readerGone, header_->reader);
}

void CSharedMemoryProducer::CheckReader(std::uint64_t nowMs, std::uint64_t lastProgressMs) const {
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
    throw client_not_responding_error("the reader of " + name_ + " took nothing for 10 s");
  }
}

template <class Ready>
void CSharedMemoryProducer::WaitForReader(Ready&& ready, std::uint64_t deadlineMs) {
  if (ready() || SpinUntil(ready)) return;
  std::uint64_t lastTail = header_->tail.load(std::memory_order_acquire);
  std::uint64_t lastProgressMs = MonotonicMs();
  for (;;) {
    if (ready()) return;
    const std::uint64_t now = MonotonicMs();
    const std::uint64_t tail = header_->tail.load(std::memory_order_acquire);
    if (tail != lastTail) {
      lastTail = tail;
      lastProgressMs = now;
    }
    CheckReader(now, lastProgressMs);
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
  if (count > header_->messageLimit) {
    throw buffer_too_small_error("a message of " + std::to_string(count) + " bytes does not fit the channel " + name_ +
                                 " of " + std::to_string(header_->messageLimit));
  }
  const std::uint64_t deadlineMs = timeout >= 0 ? MonotonicMs() + static_cast<std::uint64_t>(timeout) : 0;
  const std::uint64_t need = kLengthBytes + count;
  const std::uint64_t head = header_->head.load(std::memory_order_relaxed);  // ours alone
  WaitForReader(
      [&] { return header_->capacity - (head - header_->tail.load(std::memory_order_acquire)) >= need; },
      deadlineMs);
  const auto length = static_cast<std::uint32_t>(count);
  const unsigned char prefix[kLengthBytes] = {static_cast<unsigned char>(length), static_cast<unsigned char>(length >> 8),
                                              static_cast<unsigned char>(length >> 16),
                                              static_cast<unsigned char>(length >> 24)};
  CopyIn(header_, head, prefix, kLengthBytes);
  if (count != 0) CopyIn(header_, head + kLengthBytes, bytes, count);
  header_->head.store(head + need, std::memory_order_seq_cst);
  WakeIfSleeping(header_->readerSleeping, header_->headSignal);
  if (timeout >= 0) {
    WaitForReader([&] { return header_->tail.load(std::memory_order_acquire) >= head + need; }, deadlineMs);
  }
}

}  // namespace SharedMemoryTransport
