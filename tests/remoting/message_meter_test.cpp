#include "platform/remoting/message_meter.h"

#include <capnp/message.h>
#include <capnp/serialize.h>
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace Talvaro::RemotingTest {
namespace {

using platform::remoting::MessageMeter;
using platform::remoting::ReceiveBudget;

constexpr std::size_t kRoomy = 1 << 30;

// A real stream message of about `bytes` bytes in several segments.
std::vector<unsigned char> Message(std::size_t bytes) {
  capnp::MallocMessageBuilder builder(16, capnp::AllocationStrategy::FIXED_SIZE);
  auto root = builder.initRoot<capnp::AnyPointer>();
  root.initAs<capnp::List<capnp::Data>>(2);
  auto list = root.getAs<capnp::List<capnp::Data>>();
  list.init(0, bytes / 2);
  list.init(1, bytes / 2);
  const auto words = capnp::messageToFlatArray(builder);
  const auto flat = words.asBytes();
  return {flat.begin(), flat.end()};
}

// The header of a message announcing one segment of `words` words.
std::vector<unsigned char> Header(std::uint32_t segmentCountMinusOne, std::uint32_t words) {
  std::vector<unsigned char> header(8, 0);
  std::memcpy(header.data(), &segmentCountMinusOne, 4);
  std::memcpy(header.data() + 4, &words, 4);
  return header;
}

TEST(MessageMeter, FollowsMessagesInAnyChunkingAndGivesTheBudgetBack) {
  const auto first = Message(3000), second = Message(50);
  std::vector<unsigned char> stream(first);
  stream.insert(stream.end(), second.begin(), second.end());
  for (const std::size_t chunk : {std::size_t{1}, std::size_t{7}, first.size() - 3, stream.size()}) {
    ReceiveBudget budget;
    MessageMeter meter(budget);
    for (std::size_t at = 0; at < stream.size(); at += chunk) {
      const std::size_t size = std::min(chunk, stream.size() - at);
      ASSERT_EQ(meter.Received(stream.data() + at, size, kRoomy, kRoomy), std::nullopt) << chunk;
      if (at + size < first.size()) {
        EXPECT_TRUE(meter.InMessage()) << chunk << " at " << at;
      }
    }
    EXPECT_FALSE(meter.InMessage()) << chunk;
    EXPECT_EQ(meter.MessagesBegun(), 2u) << chunk;
    EXPECT_EQ(budget.Used(), 0u) << chunk;
  }
}

TEST(MessageMeter, RefusesAtTheHeaderWhatIsTooLargeOrBeyondTheBudgetOrHasTooManySegments) {
  ReceiveBudget budget;
  {
    MessageMeter tooLarge(budget);
    const auto refusal = tooLarge.Received(Header(0, 1000).data(), 8, 4096, kRoomy);
    ASSERT_TRUE(refusal);
    EXPECT_EQ(*refusal, "a message of 8008 bytes, more than the 4096 allowed");
  }
  MessageMeter holding(budget), refused(budget);
  EXPECT_EQ(holding.Received(Header(0, 1000).data(), 8, kRoomy, 10000), std::nullopt);
  EXPECT_EQ(budget.Used(), 8008u);
  const auto refusal = refused.Received(Header(0, 1000).data(), 8, kRoomy, 10000);
  ASSERT_TRUE(refusal);
  EXPECT_EQ(*refusal, "a message of 8008 bytes while 8008 bytes are being received, of at most 10000");
  {
    MessageMeter segments(budget);
    const auto many = segments.Received(Header(600, 1).data(), 4, kRoomy, kRoomy);
    ASSERT_TRUE(many);
    EXPECT_EQ(*many, "a message of 601 segments");
  }
  {
    MessageMeter goneMidway(budget);
    ASSERT_EQ(goneMidway.Received(Header(0, 100).data(), 8, kRoomy, kRoomy), std::nullopt);
    EXPECT_EQ(budget.Used(), 8008u + 808u);
  }
  EXPECT_EQ(budget.Used(), 8008u) << "a meter that goes gives its reservation back";
  const std::vector<unsigned char> body(8000);
  EXPECT_EQ(holding.Received(body.data(), body.size(), kRoomy, 10000), std::nullopt);
  EXPECT_EQ(budget.Used(), 0u);
}

}  // namespace
}  // namespace Talvaro::RemotingTest
