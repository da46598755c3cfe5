// The shared-memory transport between two real processes: namespaces, channels, messages in order,
// and every way a side can die or stall without leaving the other blocked or objects behind.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <numeric>
#include <optional>
#include <string>
#include <vector>

#include "external/sharedmemory/channel_layout.h"
#include "external/sharedmemory/exceptions.h"
#include "external/sharedmemory/private_namespace.h"
#include "external/sharedmemory/shared_memory_consumer.h"
#include "external/sharedmemory/shared_memory_producer.h"
#include "tests/support/process/child_case.h"
#include "tests/support/wait/wait_until.h"

namespace SharedMemoryTransport {
namespace {

using namespace std::chrono_literals;
using Talvaro::Testing::ChildCase;
using Clock = std::chrono::steady_clock;

const CSecurityAttributes kAttributes(L"D:(A;;GA;;;AU)(A;;GA;;;CO)");
constexpr std::size_t kSize = 64;

std::wstring Env(const wchar_t* name) {
  std::string narrow;
  for (const wchar_t* c = name; *c != 0; ++c) narrow += static_cast<char>(*c);
  const char* value = std::getenv(narrow.c_str());
  return value == nullptr ? L"" : std::wstring(value, value + std::strlen(value));
}

const wchar_t* const kBoundary = L"TALVARO_TestBoundary";

// Objects in /dev/shm that belong to this test process.
std::vector<std::string> LeftOver() {
  std::vector<std::string> names;
  const std::string mark = "tcdtest" + std::to_string(::getpid()) + ".";
  for (const auto& entry : std::filesystem::directory_iterator("/dev/shm")) {
    const std::string name = entry.path().filename().string();
    if (name.find(mark) != std::string::npos) names.push_back(name);
  }
  return names;
}

class Transport : public ::testing::Test {
 protected:
  void SetUp() override { ::setenv("TEST_SHM_OWNER", std::to_string(::getpid()).c_str(), 1); }
  void TearDown() override { EXPECT_EQ(LeftOver(), std::vector<std::string>{}) << "objects left in /dev/shm"; }
};

// The alias of the test process's namespaces (its children's too): its pid keeps parallel tests
// apart.
std::wstring AliasOfOwner() { return L"tcdtest" + Env(L"TEST_SHM_OWNER"); }

// ---- the children ---------------------------------------------------------------------------

// Reads channel "data" of the owner's namespace, prints "<count> <sum of bytes>" per message.
TEST(TransportChild, DISABLED_Reader) {
  if (!Talvaro::Testing::IsChild()) GTEST_SKIP();
  auto space = CPrivateNamespace::OpenPrivateNamespaceW(kBoundary, AliasOfOwner());
  std::mutex mutex;
  {
    CSharedMemoryConsumer consumer(
        space.Name(), L"data",
        [&mutex](const unsigned char* bytes, std::size_t count) {
          std::lock_guard lock(mutex);
          std::printf("%zu %u\n", count, std::accumulate(bytes, bytes + count, 0u));
          std::fflush(stdout);
        },
        kSize);
    Talvaro::Testing::Report('R');
    Talvaro::Testing::WaitForRelease();
  }
  Talvaro::Testing::Report('D');
}

// Creates the namespace and channel "data" as the owner's peer, sends "hello", then waits.
TEST(TransportChild, DISABLED_Writer) {
  if (!Talvaro::Testing::IsChild()) GTEST_SKIP();
  auto space = CPrivateNamespace::CreatePrivateNamespaceW(kAttributes, kBoundary, AliasOfOwner());
  CSharedMemoryProducer producer(kAttributes, space.Name(), L"data", kSize);
  const unsigned char hello[] = {'h', 'e', 'l', 'l', 'o'};
  producer.SendData(hello, sizeof hello, -1);
  Talvaro::Testing::Report('W');
  Talvaro::Testing::WaitForRelease();
}

// ---- the tests ------------------------------------------------------------------------------

// The namespace and a channel of this process, read by a child.
struct Link {
  CPrivateNamespace space = CPrivateNamespace::CreatePrivateNamespaceW(kAttributes, kBoundary, AliasOfOwner());
  CSharedMemoryProducer producer{kAttributes, space.Name(), L"data", kSize};
  ChildCase reader{"TransportChild.DISABLED_Reader"};
  bool Attached() { return reader.ReadReport() == 'R'; }
};

// The reader's lines "<count> <sum>" out of its output, which has the test framework's lines too.
std::string Received(const std::string& output) {
  std::string lines;
  std::size_t at = 0;
  while (at < output.size()) {
    const std::size_t end = output.find('\n', at);
    const std::string line = output.substr(at, end - at);
    if (!line.empty() && std::isdigit(static_cast<unsigned char>(line[0]))) lines += line + "\n";
    if (end == std::string::npos) break;
    at = end + 1;
  }
  return lines;
}

std::vector<unsigned char> Bytes(std::size_t count) {
  std::vector<unsigned char> bytes(count);
  std::iota(bytes.begin(), bytes.end(), static_cast<unsigned char>(1));
  return bytes;
}

TEST_F(Transport, MessagesArriveIntactInOrderAndOneByteTooManyIsRefused) {
  std::optional<Link> link(std::in_place);
  ASSERT_TRUE(link->Attached());
  std::string expected;
  for (const std::size_t count : {std::size_t{0}, std::size_t{1}, kSize}) {
    const auto bytes = Bytes(count);
    link->producer.SendData(bytes.data(), count, 1000);  // returns once taken
    expected += std::to_string(count) + " " + std::to_string(std::accumulate(bytes.begin(), bytes.end(), 0u)) + "\n";
  }
  for (int i = 0; i < 50; ++i) {  // more than the ring holds at once, without waiting for each
    const auto bytes = Bytes(kSize);
    link->producer.SendData(bytes.data(), kSize, -1);
    expected += std::to_string(kSize) + " " + std::to_string(std::accumulate(bytes.begin(), bytes.end(), 0u)) + "\n";
  }
  const auto tooMany = Bytes(kSize + 1);
  EXPECT_THROW(link->producer.SendData(tooMany.data(), tooMany.size(), -1), buffer_too_small_error);
  link->reader.Release();
  EXPECT_EQ(link->reader.ReadReport(), 'D') << "the reader ended after delivering what was sent";
  EXPECT_EQ(Received(link->reader.Output()), expected);
  link.reset();
}

TEST_F(Transport, AKilledReaderFailsEvenAnUnboundedSendAndAStoppedOneTimesOutAndIsWaitedForOnce) {
  {
    Link link;
    ASSERT_TRUE(link.Attached());
    ASSERT_TRUE(link.reader.Stop());
    const auto block = Bytes(kSize);
    link.producer.SendData(block.data(), kSize, -1);  // fits: the ring holds two
    auto started = Clock::now();
    EXPECT_THROW(link.producer.SendData(block.data(), kSize, 1000), send_timeout_error);
    const auto waited = Clock::now() - started;
    EXPECT_GE(waited, 900ms);
    EXPECT_LT(waited, 5s);
    // The ring is full now: an unbounded send waits for the stopped reader 10 s, the next not.
    started = Clock::now();
    EXPECT_THROW(link.producer.SendData(block.data(), kSize, -1), client_not_responding_error);
    EXPECT_GE(Clock::now() - started, 9s);
    started = Clock::now();
    EXPECT_THROW(link.producer.SendData(block.data(), kSize, -1), client_not_responding_error);
    EXPECT_LT(Clock::now() - started, 1s) << "a reader known to be stalled is not waited for again";
    link.reader.Signal(SIGCONT);
    link.reader.Kill();
    link.reader.Wait();
    started = Clock::now();
    EXPECT_THROW(
        {
          for (int i = 0; i < 3; ++i) link.producer.SendData(block.data(), kSize, -1);
        },
        client_not_responding_error);
    EXPECT_LT(Clock::now() - started, 2s) << "a dead reader is noticed within a sleep slice";
  }
}

TEST_F(Transport, AReaderThatNeverAttachesIsNotWaitedForLongerThanFiveSeconds) {
  auto space = CPrivateNamespace::CreatePrivateNamespaceW(kAttributes, kBoundary, AliasOfOwner());
  CSharedMemoryProducer producer(kAttributes, space.Name(), L"data", kSize);
  const auto block = Bytes(kSize);
  const auto started = Clock::now();
  EXPECT_THROW(
      {
        for (int i = 0; i < 3; ++i) producer.SendData(block.data(), kSize, -1);  // the third finds no room
      },
      client_not_responding_error)
      << "nobody attached to take the first two";
  EXPECT_GE(Clock::now() - started, 4s);
}

TEST_F(Transport, AKilledWriterLeavesTheReaderFreeAndItsNamesTakenOverAtTheRestart) {
  for (int round = 0; round < 2; ++round) {
    ChildCase writer("TransportChild.DISABLED_Writer");
    ASSERT_EQ(writer.ReadReport(), 'W') << round;
    auto space = CPrivateNamespace::OpenPrivateNamespaceW(kBoundary, AliasOfOwner());
    std::mutex mutex;
    std::vector<std::string> received;
    {
      CSharedMemoryConsumer consumer(
          space.Name(), L"data",
          [&](const unsigned char* bytes, std::size_t count) {
            std::lock_guard lock(mutex);
            received.emplace_back(bytes, bytes + count);
          },
          kSize);
      if (round == 0) {
        writer.Kill();  // the restart takes over its namespace and channel
        writer.Wait();
      } else {
        writer.Release();
        writer.Wait();
      }
    }  // ends at once, whatever the writer did
    std::lock_guard lock(mutex);
    EXPECT_EQ(received, std::vector<std::string>{"hello"}) << round;
  }
}

TEST_F(Transport, NamespacesAreRealObjectsWithTheirBoundaryAndNamesInUseAreRefused) {
  EXPECT_THROW(CPrivateNamespace::OpenPrivateNamespaceW(kBoundary, AliasOfOwner()), sharedmemory_runtime_error)
      << "never created";
  auto space = CPrivateNamespace::CreatePrivateNamespaceW(kAttributes, kBoundary, AliasOfOwner());
  EXPECT_THROW(CPrivateNamespace::CreatePrivateNamespaceW(kAttributes, kBoundary, AliasOfOwner()),
               resource_already_used_error);
  auto other = CPrivateNamespace::CreatePrivateNamespaceW(kAttributes, L"TALVARO_OtherBoundary", AliasOfOwner());
  EXPECT_NE(space.Name(), other.Name()) << "one alias, two boundaries, no shared channels";
  EXPECT_EQ(CPrivateNamespace::OpenPrivateNamespaceW(kBoundary, AliasOfOwner()).Name(), space.Name());

  CSharedMemoryProducer producer(kAttributes, space.Name(), L"data", kSize);
  EXPECT_THROW(CSharedMemoryProducer(kAttributes, space.Name(), L"data", kSize), resource_already_used_error);
  CSharedMemoryProducer sameNameElsewhere(kAttributes, other.Name(), L"data", kSize);
  EXPECT_THROW(CSharedMemoryConsumer(space.Name(), L"nothing", nullptr, kSize), sharedmemory_runtime_error);
  {
    CSharedMemoryConsumer reader(space.Name(), L"data", [](const unsigned char*, std::size_t) {}, kSize);
    EXPECT_THROW(CSharedMemoryConsumer(space.Name(), L"data", nullptr, kSize), resource_already_used_error)
        << "one reader per channel";
  }
  struct stat status {};
  const std::string object = "/dev/shm/" + LeftOver().front();
  ASSERT_EQ(::stat(object.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0666u) << "whatever the umask";
  EXPECT_THROW(CPrivateNamespace::CreatePrivateNamespaceW(kAttributes, kBoundary, std::wstring(300, L'x')),
               sharedmemory_runtime_error)
      << "longer than a name may be";
}

TEST_F(Transport, APeerThatOverwritesTheChannelBreaksOnlyTheChannel) {
  auto space = CPrivateNamespace::CreatePrivateNamespaceW(kAttributes, kBoundary, AliasOfOwner());
  CSharedMemoryProducer producer(kAttributes, space.Name(), L"data", kSize);
  std::mutex mutex;
  std::vector<std::size_t> received;
  CSharedMemoryConsumer consumer(
      space.Name(), L"data",
      [&](const unsigned char*, std::size_t count) {
        std::lock_guard lock(mutex);
        received.push_back(count);
      },
      kSize);
  // The hostile peer's view of the same memory.
  auto hostile = Detail::SharedObject::Open(Detail::ObjectName(space.Name() + L".data"), sizeof(Detail::ChannelHeader));
  auto* header = static_cast<Detail::ChannelHeader*>(hostile.Address());
  const auto capacity = header->capacity;
  header->capacity = std::uint64_t{1} << 40;
  header->messageLimit = 0;
  const auto block = Bytes(kSize);
  producer.SendData(block.data(), kSize, 1000);  // both sides go by their own sizes
  // Taken means copied out; the delivery follows on the consumer's thread.
  ASSERT_TRUE(Talvaro::Testing::WaitUntil([&] {
    std::lock_guard lock(mutex);
    return received == std::vector<std::size_t>{kSize};
  }));
  // A length that describes no message: the reader delivers nothing more, and nothing crashes.
  const std::uint64_t head = header->head.load();
  const unsigned char huge[4] = {0xFF, 0xFF, 0xFF, 0x7F};
  Detail::CopyIn(Detail::Ring(header), capacity, head, huge, sizeof huge);
  header->head.store(head + 8);
  EXPECT_THROW(producer.SendData(block.data(), kSize, 300), send_timeout_error) << "the reader stopped taking";
  // A reader position beyond the writer's: the writer says the channel is broken.
  header->tail.store(head + 1000);
  EXPECT_THROW(producer.SendData(block.data(), kSize, -1), client_not_responding_error);
  std::lock_guard lock(mutex);
  EXPECT_EQ(received.size(), 1u);
}

}  // namespace
}  // namespace SharedMemoryTransport
