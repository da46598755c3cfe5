// SharedMemoryConsumerWrapper: the server's reading side of a client's write channel. Each
// message is a payload followed by a 4-byte trailer (a 32-bit value in the machine's byte order,
// little-endian here); the callback gets the payload, its length and the trailer. A message
// shorter than the trailer means nothing and is discarded.
//
// Threads: the callback runs on the consumer's delivery thread, one message at a time.
// Destruction ends delivery first (what was sent before is still delivered), then drops the
// callback; never from inside the callback.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "external/sharedmemory/shared_memory_consumer.h"

namespace Talvaro::Connector {

inline constexpr std::size_t kTrailerBytes = 4;

class SharedMemoryConsumerWrapper {
 public:
  using Callback = std::function<void(const unsigned char*, std::size_t, long)>;

  // Opens `channelName` in the namespace with prefix `namespacePrefix`; the transport's
  // exceptions pass to the caller.
  SharedMemoryConsumerWrapper(const std::wstring& namespacePrefix, const std::wstring& channelName,
                              Callback callback, std::size_t size);
  ~SharedMemoryConsumerWrapper();
  SharedMemoryConsumerWrapper(const SharedMemoryConsumerWrapper&) = delete;
  SharedMemoryConsumerWrapper& operator=(const SharedMemoryConsumerWrapper&) = delete;

 private:
  void Deliver(const unsigned char* bytes, std::size_t count);

  std::shared_ptr<SharedMemoryTransport::CSharedMemoryConsumer> consumer_;
  Callback callback_;
  std::vector<unsigned char> payload_;  // the delivery thread's
};

}  // namespace Talvaro::Connector
