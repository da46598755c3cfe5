// The reading side of a channel that the peer created: delivers every message, in order and
// once, to a function on a thread of its own. The thread spins briefly when the channel runs
// empty, then sleeps until the writer wakes it.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "external/sharedmemory/channel_layout.h"

namespace SharedMemoryTransport {

class CSharedMemoryConsumer {
 public:
  using Delivery = std::function<void(const unsigned char*, std::size_t)>;

  // Opens `channelName` in the namespace with prefix `namespacePrefix` and attaches as its
  // reader. `size` is what the caller expects of the channel; the producer's size rules.
  // sharedmemory_runtime_error when no such channel exists, its header does not describe its
  // memory, or an earlier reader detached from it; resource_already_used_error when a live
  // reader is attached already, map_memory_view_error when it cannot be mapped.
  CSharedMemoryConsumer(const std::wstring& namespacePrefix, const std::wstring& channelName, Delivery delivery,
                        std::size_t size);
  // Delivers what was sent before it (SendData returned), ends the thread, detaches, and
  // removes the channel when the writer has gone. Not from inside `delivery`.
  ~CSharedMemoryConsumer();
  CSharedMemoryConsumer(const CSharedMemoryConsumer&) = delete;
  CSharedMemoryConsumer& operator=(const CSharedMemoryConsumer&) = delete;

  // Whether the writer has ended or died: nothing more will come. Any thread.
  bool WriterGone() const;
  // Whether a channel of that name exists (to tell a channel never made from one that cannot
  // be read).
  static bool Exists(const std::wstring& namespacePrefix, const std::wstring& channelName);

 private:
  void Run();
  // Takes one message into `buffer_` and hands it on; false when the channel is empty.
  bool TakeOne();
  // Spins a little, then sleeps at most a slice, until the head moves or stop is asked.
  void AwaitData(std::uint64_t tail);

  std::string name_;
  Detail::SharedObject memory_;
  Detail::ChannelHeader* header_ = nullptr;
  std::uint64_t limit_ = 0;     // taken from the header once, checked
  std::uint64_t capacity_ = 0;  // likewise
  Delivery delivery_;
  std::vector<unsigned char> buffer_;  // the delivery thread's
  bool broken_ = false;                // the delivery thread's: the writer broke the channel
  std::atomic<bool> stop_{false};
  std::thread thread_;  // last: started once everything above exists
};

}  // namespace SharedMemoryTransport
