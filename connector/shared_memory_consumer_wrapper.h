// SharedMemoryConsumerWrapper: the server's reading side of a client's write channel. Each
// message is a payload followed by a 4-byte trailer (a 32-bit value in the machine's byte order,
// little-endian here); the callback gets the payload, its length and the trailer. A message
// shorter than the trailer means nothing and is discarded.
//
// Threads: the callback runs on the consumer's delivery thread, one message at a time.
// Destruction ends the callback first: it waits for a running one, unless it runs inside that
// callback itself (the callback's object ending on the delivery thread), and no callback starts
// afterwards. Then the consumer goes, which delivers what was sent before into the ended
// callback; from inside the callback its end is left to a thread of its own, since the delivery
// thread cannot wait for itself. The delivery shares the wrapper's state, never the wrapper.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

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

  struct State;

 private:
  std::shared_ptr<SharedMemoryTransport::CSharedMemoryConsumer> consumer_;
  std::shared_ptr<State> state_;  // shared with the delivery
};

}  // namespace Talvaro::Connector
