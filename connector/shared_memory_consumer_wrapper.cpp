#include "connector/shared_memory_consumer_wrapper.h"

#include <cstdint>
#include <cstring>

namespace Talvaro::Connector {

SharedMemoryConsumerWrapper::SharedMemoryConsumerWrapper(const std::wstring& namespacePrefix,
                                                         const std::wstring& channelName, Callback callback,
                                                         std::size_t size)
    : callback_(std::move(callback)) {
  consumer_ = std::make_shared<SharedMemoryTransport::CSharedMemoryConsumer>(
      namespacePrefix, channelName, [this](const unsigned char* bytes, std::size_t count) { Deliver(bytes, count); },
      size);
}

SharedMemoryConsumerWrapper::~SharedMemoryConsumerWrapper() {
  consumer_.reset();  // ends delivery before the callback goes
}

void SharedMemoryConsumerWrapper::Deliver(const unsigned char* bytes, std::size_t count) {
  if (count < kTrailerBytes) return;
  const std::size_t length = count - kTrailerBytes;
  // A copy of our own: the callback may keep the pointer no longer than the call, and the
  // channel's memory could be overwritten by a hostile writer while it runs.
  payload_.assign(bytes, bytes + length);
  std::int32_t trailer = 0;
  std::memcpy(&trailer, bytes + length, kTrailerBytes);
  callback_(payload_.data(), length, static_cast<long>(trailer));
}

}  // namespace Talvaro::Connector
