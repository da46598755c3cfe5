// The writing side of a channel: creates it, and sends messages of at most `size` bytes.
//
// SendData(bytes, count, timeout):
//   - timeout -1: returns once the message is in the channel. It waits for room while the reader
//     responds; it never waits on a reader that has died, detached, not attached within 5 s of
//     the channel's creation, or taken nothing for 10 s (client_not_responding_error).
//   - timeout >= 0 (milliseconds): returns once the reader has taken the message; otherwise
//     send_timeout_error when the time is up, client_not_responding_error as above, whichever
//     comes first. A time-out after the message went in leaves it queued: it is still delivered.
//   - a reader that has detached fails every send at once; the other cases are checked while a
//     send waits, and a reader found stalled fails every send that would wait at once until it
//     takes something.
//   - a message larger than the channel's size: buffer_too_small_error, nothing sent.
// One thread sends at a time (the server's data channel lock, the liveliness task).
#pragma once

#include <cstddef>
#include <string>

#include "external/sharedmemory/channel_layout.h"
#include "external/sharedmemory/security_attributes.h"

namespace SharedMemoryTransport {

class CSharedMemoryProducer {
 public:
  // The channel `channelName` in the namespace with prefix `namespacePrefix`, for messages of at
  // most `size` bytes. resource_already_used_error when a live producer holds the name (one
  // whose writer died or left is taken over), map_memory_view_error when the memory cannot be
  // mapped, sharedmemory_runtime_error for anything else.
  CSharedMemoryProducer(const CSecurityAttributes& attributes, const std::wstring& namespacePrefix,
                        const std::wstring& channelName, std::size_t size);
  // Marks the writer gone and wakes the reader; removes the channel when the reader has gone.
  ~CSharedMemoryProducer();
  CSharedMemoryProducer(const CSharedMemoryProducer&) = delete;
  CSharedMemoryProducer& operator=(const CSharedMemoryProducer&) = delete;

  void SendData(const unsigned char* bytes, std::size_t count, long timeout);

 private:
  // Waits until `ready()` holds, or throws: the reader does not respond, or `deadlineMs` passed
  // (0: none).
  template <class Ready>
  void WaitForReader(Ready&& ready, std::uint64_t deadlineMs);
  // Throws client_not_responding_error when nobody will take what is in the channel; a stall
  // is remembered with the reader's position `tail`.
  void CheckReader(std::uint64_t nowMs, std::uint64_t lastProgressMs, std::uint64_t tail);

  std::string name_;
  // Ours, never read back from the shared header, which the peer could overwrite.
  const std::uint64_t capacity_;
  const std::uint64_t limit_;
  Detail::SharedObject memory_;
  Detail::ChannelHeader* header_ = nullptr;
  // A reader found stalled at this position fails the next sends at once, until it moves: each
  // send does not wait its own 10 s on a reader known to take nothing. The sending thread's.
  bool stalled_ = false;
  std::uint64_t stalledTail_ = 0;
};

}  // namespace SharedMemoryTransport
