#include "platform/remoting/message_meter.h"

#include <algorithm>

namespace platform::remoting {
namespace {

std::uint32_t LittleEndian32(const unsigned char* bytes) {
  return std::uint32_t{bytes[0]} | std::uint32_t{bytes[1]} << 8 | std::uint32_t{bytes[2]} << 16 |
         std::uint32_t{bytes[3]} << 24;
}

}  // namespace

bool ReceiveBudget::Reserve(std::size_t bytes, std::size_t limit) {
  if (bytes > limit || used_ > limit - bytes) return false;
  used_ += bytes;
  return true;
}

void ReceiveBudget::Release(std::size_t bytes) { used_ -= std::min(bytes, used_); }

ReceiveBudget& ReceiveBudget::Process() {
  static ReceiveBudget budget;  // RPC thread only
  return budget;
}

MessageMeter::~MessageMeter() { budget_.Release(reserved_); }

std::optional<std::string> MessageMeter::Received(const unsigned char* data, std::size_t size,
                                                  std::size_t maxMessageBytes, std::size_t budgetLimit) {
  while (size > 0) {
    if (!inMessage_) {
      inMessage_ = true;
      ++begun_;
      header_.clear();
      headerSize_ = 0;
    }
    if (headerSize_ == 0 || header_.size() < headerSize_) {
      const std::size_t wanted = (headerSize_ == 0 ? 4 : headerSize_) - header_.size();
      const std::size_t taken = std::min(wanted, size);
      header_.insert(header_.end(), data, data + taken);
      data += taken;
      size -= taken;
      if (headerSize_ == 0 && header_.size() == 4) {
        const std::uint64_t segments = std::uint64_t{LittleEndian32(header_.data())} + 1;
        if (segments > kMaxSegments) return "a message of " + std::to_string(segments) + " segments";
        segments_ = static_cast<std::size_t>(segments);
        headerSize_ = (4 + 4 * segments_ + 7) / 8 * 8;
      }
      if (headerSize_ != 0 && header_.size() == headerSize_) {
        if (auto refusal = HeaderComplete(maxMessageBytes, budgetLimit)) return refusal;
      }
      continue;
    }
    const std::size_t taken = static_cast<std::size_t>(std::min<std::uint64_t>(bodyLeft_, size));
    bodyLeft_ -= taken;
    data += taken;
    size -= taken;
    if (bodyLeft_ == 0) Finish();
  }
  return std::nullopt;
}

std::optional<std::string> MessageMeter::HeaderComplete(std::size_t maxMessageBytes, std::size_t budgetLimit) {
  std::uint64_t words = 0;  // the padding after an even count's table is not a size
  for (std::size_t i = 0; i < segments_; ++i) words += LittleEndian32(header_.data() + 4 + 4 * i);
  const std::uint64_t total = headerSize_ + words * 8;
  if (total > maxMessageBytes) {
    return "a message of " + std::to_string(total) + " bytes, more than the " + std::to_string(maxMessageBytes) +
           " allowed";
  }
  if (!budget_.Reserve(static_cast<std::size_t>(total), budgetLimit)) {
    return "a message of " + std::to_string(total) + " bytes while " + std::to_string(budget_.Used()) +
           " bytes are being received, of at most " + std::to_string(budgetLimit);
  }
  reserved_ = static_cast<std::size_t>(total);
  bodyLeft_ = words * 8;
  if (bodyLeft_ == 0) Finish();
  return std::nullopt;
}

void MessageMeter::Finish() {
  budget_.Release(reserved_);
  reserved_ = 0;
  inMessage_ = false;
}

}  // namespace platform::remoting
