// What a connection receives, measured as it arrives: the framing of Cap'n Proto's stream
// messages (segment count, segment sizes, segments) is followed byte by byte, so that a message
// too large, or one that would take the process's receive budget past its limit, is refused as
// soon as its header is in, before Cap'n Proto allocates room for it.
//
// Threads: the RPC thread only (the budget included).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace platform::remoting {

// Bytes of messages being received, all connections together.
class ReceiveBudget {
 public:
  // Whether `bytes` more fit under `limit`; if so they are counted.
  bool Reserve(std::size_t bytes, std::size_t limit);
  void Release(std::size_t bytes);
  std::size_t Used() const { return used_; }

  // The process's budget.
  static ReceiveBudget& Process();

 private:
  std::size_t used_ = 0;
};

class MessageMeter {
 public:
  // Cap'n Proto itself refuses more segments than this.
  static constexpr std::uint32_t kMaxSegments = 512;

  explicit MessageMeter(ReceiveBudget& budget) : budget_(budget) {}
  ~MessageMeter();
  MessageMeter(const MessageMeter&) = delete;
  MessageMeter& operator=(const MessageMeter&) = delete;

  // Accounts `size` received bytes. Returns why the connection must end, if it must: a message
  // larger than `maxMessageBytes`, one the budget (`budgetLimit` bytes) has no room for, or
  // more segments than Cap'n Proto accepts.
  std::optional<std::string> Received(const unsigned char* data, std::size_t size, std::size_t maxMessageBytes,
                                      std::size_t budgetLimit);
  // Whether part of a message, but not all of it, has been received.
  bool InMessage() const { return inMessage_; }
  // Messages begun so far: changes exactly when a new message's first byte arrived.
  std::uint64_t MessagesBegun() const { return begun_; }

 private:
  std::optional<std::string> HeaderComplete(std::size_t maxMessageBytes, std::size_t budgetLimit);
  void Finish();

  ReceiveBudget& budget_;
  bool inMessage_ = false;
  std::uint64_t begun_ = 0;
  std::vector<unsigned char> header_;  // the segment count and table received so far
  std::size_t segments_ = 0;
  std::size_t headerSize_ = 0;         // with its padding; 0 until the segment count is in
  std::uint64_t bodyLeft_ = 0;
  std::size_t reserved_ = 0;           // counted in the budget for the current message
};

}  // namespace platform::remoting
