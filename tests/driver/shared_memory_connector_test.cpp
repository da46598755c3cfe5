// A driver object in shared-memory mode on the hardware double, with this process as its client:
// the link's channels carry data blocks and writes, errors stay events, the channels' size comes
// from the registry, and a link that cannot be made fails with the transport's reason.
#include <condition_variable>
#include <future>
#include <mutex>

#include "connector/server_namespace.h"
#include "external/hardware/orbiq_result.h"
#include "external/sharedmemory/exceptions.h"
#include "external/sharedmemory/private_namespace.h"
#include "external/sharedmemory/shared_memory_consumer.h"
#include "tests/driver/driver_fixture.h"
#include "tests/support/environment/registry_values.h"

namespace Talvaro::Testing {
namespace {

namespace Transport = SharedMemoryTransport;
using Block = std::vector<unsigned char>;

constexpr auto kBound = std::chrono::seconds(20);
const wchar_t* const kConnectorKey = L"SOFTWARE\\TALVARO\\Nimbrel\\TalvaroCommunicationDriver";

// The client's side of one link: its namespace and write channel before the driver object is
// asked, the server's channels once the driver object made them. Data deliveries can be held.
class ClientEnd {
 public:
  ClientEnd(std::wstring baseName, std::wstring namespaceName)
      : baseName_(std::move(baseName)),
        namespaceName_(std::move(namespaceName)),
        space_(Transport::CPrivateNamespace::CreatePrivateNamespaceW(
            kAccess, Connector::kClientBoundaryPrefix + namespaceName_, namespaceName_)),
        write_(kAccess, space_.Name(), baseName_ + L"_Write", 64) {}
  ~ClientEnd() { Hold(false); }

  E_ORBIQLIB_Result Link(DriverObject& driver, ComPtr<Driver::IObserverNotification> watchers = nullptr) {
    return driver.Initialize(L"XRB_A", L"App", L"open", baseName_, namespaceName_, std::move(watchers));
  }
  void Attach() {
    const std::wstring prefix = Connector::GetServerNamespaceName();
    data_ = std::make_unique<Transport::CSharedMemoryConsumer>(
        prefix, baseName_ + L"_OnData", [this](const unsigned char* bytes, std::size_t count) { Take(bytes, count); },
        0);
    liveliness_ = std::make_unique<Transport::CSharedMemoryConsumer>(
        prefix, baseName_ + L"_OnLiveliness", [](const unsigned char*, std::size_t) {}, 0);
  }
  // A message on the write channel, returned once the server took it.
  void Send(const Block& message) { write_.SendData(message.data(), message.size(), 5000); }

  bool WaitForBlocks(std::size_t count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kBound, [&] { return blocks_.size() >= count; });
  }
  std::vector<Block> Blocks() {
    std::lock_guard lock(mutex_);
    return blocks_;
  }
  // While held, the delivery of the next block waits inside the channel's delivery thread.
  void Hold(bool hold) {
    std::lock_guard lock(mutex_);
    held_ = hold;
    changed_.notify_all();
  }

 private:
  void Take(const unsigned char* bytes, std::size_t count) {
    std::unique_lock lock(mutex_);
    blocks_.emplace_back(bytes, bytes + count);
    changed_.notify_all();
    changed_.wait(lock, [&] { return !held_; });
  }

  inline static const Transport::CSecurityAttributes kAccess{Connector::kServerSecurityDescriptor};
  const std::wstring baseName_;
  const std::wstring namespaceName_;
  Transport::CPrivateNamespace space_;
  Transport::CSharedMemoryProducer write_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Block> blocks_;  // guarded by mutex_
  bool held_ = false;          // guarded by mutex_
  std::unique_ptr<Transport::CSharedMemoryConsumer> data_;        // last: they deliver into the above
  std::unique_ptr<Transport::CSharedMemoryConsumer> liveliness_;
};

class SharedMemoryConnector : public DriverTest {
 protected:
  void SetUp() override {
    DriverTest::SetUp();
    SetRegistryText(kConnectorKey, L"ConnectorType", L"SHARED_MEMORY");
  }
  std::size_t WriteCalls() const { return fake_->CallsNamed("Write").size(); }
  bool ChannelExists(const std::wstring& channel) {
    try {
      Transport::CSharedMemoryConsumer probe(Connector::GetServerNamespaceName(), channel,
                                             [](const unsigned char*, std::size_t) {}, 0);
      return true;
    } catch (const std::runtime_error&) {
      return false;
    }
  }
};

Block Pattern(std::size_t count, unsigned char seed) {
  Block block(count);
  for (std::size_t i = 0; i < count; ++i) block[i] = static_cast<unsigned char>(seed + i);
  return block;
}

Block WithTrailer(Block payload, std::int32_t trailer) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(&trailer);
  payload.insert(payload.end(), bytes, bytes + sizeof trailer);
  return payload;
}

TEST_F(SharedMemoryConnector, TheLinkCarriesBlocksAndWritesWhileErrorsStayEvents) {
  auto watchers = New<platform::com::ComObject<CWatchersDouble>>();
  ClientEnd client(L"Carrier", L"CarrierSpace");
  auto driver = New<DriverObject>();
  auto sink = Subscribe(*driver);
  ASSERT_EQ(client.Link(*driver, ComPtr<Driver::IObserverNotification>(watchers.Get())), ORBIQLIB_SUCCESS);
  client.Attach();
  const int unit = fake_->LastDriver();

  // Default size 500000: a block of that size fits, one byte more is dropped, later ones go on.
  const std::vector<Block> sent{{1, 2, 3}, Pattern(500000, 7), Pattern(500001, 9), {4}};
  for (const auto& block : sent) ASSERT_TRUE(fake_->FireData(unit, block));
  ASSERT_TRUE(fake_->FireError(unit, ORBIQLIB_E_FAILED));
  ASSERT_TRUE(client.WaitForBlocks(3));
  EXPECT_EQ(client.Blocks(), (std::vector<Block>{sent[0], sent[1], sent[3]})) << "unchanged, in order";
  EXPECT_EQ(records_->Matching(L"Write to shared memory failed - buffer is too small (").size(), 1u);
  ASSERT_TRUE(sink->WaitForEvents(1));
  const auto events = sink->Events();
  ASSERT_EQ(events.size(), 1u) << "data goes to the channel only";
  EXPECT_EQ(events[0].dispid, DISPID_OnError);
  EXPECT_EQ(watchers->Handed().size(), 4u) << "the watchers see every block, sent or not";

  // Writes: payload and trailer; a trailer alone is an empty write; under 4 bytes is nothing.
  client.Send(WithTrailer({0x0A, 0x0B}, 7));
  client.Send(WithTrailer({}, -2));
  client.Send({1, 2, 3});
  client.Send(WithTrailer({0x0C}, 0x01020304));
  ASSERT_TRUE(WaitUntil([&] { return WriteCalls() == 3; }, kBound));
  const auto writes = fake_->CallsNamed("Write");
  EXPECT_EQ(writes[0].bytes, (Block{0x0A, 0x0B}));
  EXPECT_EQ(writes[0].numbers, (std::vector<std::int64_t>{2, 7}));
  EXPECT_EQ(writes[1].bytes, Block{});
  EXPECT_EQ(writes[1].numbers, (std::vector<std::int64_t>{0, -2}));
  EXPECT_EQ(writes[2].numbers, (std::vector<std::int64_t>{1, 0x01020304}));
  ASSERT_TRUE(WaitUntil([&] { return watchers->Handed().size() == 7u; }, kBound)) << "successful writes are watched";

  // A refused write is logged with the hardware's text and not watched.
  fake_->SetWriteResult(ORBIQLIB_E_UNIT_UNAVAILABLE);
  client.Send(WithTrailer({0x0D}, 1));
  const std::wstring refused = L"Write failed - " + OrbiqCommunicationLibrary::TranslateErrorCode(ORBIQLIB_E_UNIT_UNAVAILABLE) + L" (-11)";
  ASSERT_TRUE(records_->WaitForText(refused, kBound));
  EXPECT_EQ(watchers->Handed().size(), 7u);

  // Detached, a write reaches no hardware; the release drains the channel before it ends.
  driver->Cleanup();
  const std::size_t before = WriteCalls();
  client.Send(WithTrailer({0x0E}, 2));
  sink = nullptr;
  driver = nullptr;
  EXPECT_EQ(WriteCalls(), before);
}

TEST_F(SharedMemoryConnector, AClientsLastReleaseDuringAWriteFromItsChannelEndsTheObjectAfterTheWrite) {
  ClientEnd client(L"Releasing", L"ReleasingSpace");
  auto driver = New<DriverObject>();
  ASSERT_EQ(client.Link(*driver), ORBIQLIB_SUCCESS);
  client.Attach();
  fake_->BlockNextWrite();
  client.Send(WithTrailer({0x42}, 9));
  ASSERT_TRUE(fake_->WaitWriteBlocked(kBound));
  // The write holds the object: the client's release is not the last and returns at once, also
  // when the hardware would ask the object's restriction observer meanwhile.
  auto released = std::async(std::launch::async, [&] { driver = nullptr; });
  EXPECT_EQ(released.wait_for(kBound), std::future_status::ready);
  EXPECT_EQ(CleanupRecords(), 0u);
  fake_->UnblockWrite();
  // The object then ends on the write channel's own thread, which cannot wait for itself.
  EXPECT_TRUE(WaitUntil([&] { return CleanupRecords() == 1; }, kBound));
  EXPECT_TRUE(WaitUntil([&] { return fake_->LiveDrivers() == 0; }, kBound));
  EXPECT_TRUE(records_->Matching(L"hasn't been stopped yet").empty());
}

TEST_F(SharedMemoryConnector, TheConfiguredSizeBoundsTheChannelsAndAnOverflowingOneKeepsTheDefault) {
  const auto sendsWhole = [&](const wchar_t* base, std::size_t fits) {
    ClientEnd client(base, std::wstring(base) + L"Space");
    auto driver = New<DriverObject>();
    EXPECT_EQ(client.Link(*driver), ORBIQLIB_SUCCESS);
    client.Attach();
    records_->Clear();
    EXPECT_TRUE(fake_->FireData(fake_->LastDriver(), Pattern(fits + 1, 1)));
    EXPECT_TRUE(fake_->FireData(fake_->LastDriver(), Pattern(fits, 2)));
    EXPECT_TRUE(client.WaitForBlocks(1));
    EXPECT_EQ(client.Blocks(), std::vector<Block>{Pattern(fits, 2)}) << base;
    EXPECT_EQ(records_->Matching(L"buffer is too small").size(), 1u) << base;
  };
  SetRegistryDword(kConnectorKey, L"SharedMemorySizeInkB", 64);
  sendsWhole(L"Sized", 64000);
  SetRegistryDword(kConnectorKey, L"SharedMemorySizeInkB", 2147484);  // 1000 times is beyond 32 bits
  sendsWhole(L"Overflowing", 500000);
}

TEST_F(SharedMemoryConnector, AFailedLinkGivesTheTransportsReasonAndLeavesNoChannel) {
  auto lonely = New<DriverObject>();
  EXPECT_EQ(lonely->Initialize(L"XRB_A", L"App", L"", L"Lonely", L"NeverCreated", nullptr),
            ORBIQLIB_SERVER_E_REGISTRATION);
  EXPECT_EQ(records_->Matching(L"Creating shared memory failed - unexpected error (").size(), 1u);
  EXPECT_EQ(fake_->LiveDrivers(), 0);
  EXPECT_FALSE(ChannelExists(L"Lonely_OnData")) << "the data channel went again";

  // One server namespace for any number of links; a base name in use fails the second link only.
  ClientEnd first(L"Twin", L"FirstSpace");
  ClientEnd second(L"Twin", L"SecondSpace");
  ClientEnd other(L"Other", L"OtherSpace");
  auto firstDriver = New<DriverObject>();
  ASSERT_EQ(first.Link(*firstDriver), ORBIQLIB_SUCCESS);
  const int firstUnit = fake_->LastDriver();
  auto secondDriver = New<DriverObject>();
  EXPECT_EQ(second.Link(*secondDriver), ORBIQLIB_SERVER_E_REGISTRATION);
  EXPECT_EQ(records_->Matching(L"Creating shared memory failed - identification already used (").size(), 1u);
  auto otherDriver = New<DriverObject>();
  EXPECT_EQ(other.Link(*otherDriver), ORBIQLIB_SUCCESS);
  first.Attach();
  ASSERT_TRUE(fake_->FireData(firstUnit, {5}));
  ASSERT_TRUE(first.WaitForBlocks(1)) << "the first link is untouched";
  EXPECT_EQ(fake_->LiveDrivers(), 2);
}

TEST_F(SharedMemoryConnector, ASecondHardwareThreadDropsItsBlockWhileASendWaitsForRoom) {
  SetRegistryDword(kConnectorKey, L"SharedMemorySizeInkB", 1);  // room for two blocks of 1000 bytes
  ClientEnd client(L"Busy", L"BusySpace");
  auto driver = New<DriverObject>();
  ASSERT_EQ(client.Link(*driver), ORBIQLIB_SUCCESS);
  client.Attach();
  const int unit = fake_->LastDriver();
  client.Hold(true);
  ASSERT_TRUE(fake_->FireDataAsync(unit, Pattern(1000, 1)).get());
  ASSERT_TRUE(client.WaitForBlocks(1));  // taken out and held: the ring is empty
  ASSERT_TRUE(fake_->FireDataAsync(unit, Pattern(1000, 2)).get());
  ASSERT_TRUE(fake_->FireDataAsync(unit, Pattern(1000, 3)).get());
  // The ring is full: of two more blocks at once, one waits for room holding the channel, the
  // other finds it held and is dropped, whichever comes first.
  auto fourth = fake_->FireDataAsync(unit, Pattern(1000, 4));
  auto fifth = fake_->FireDataAsync(unit, Pattern(1000, 5));
  ASSERT_TRUE(records_->WaitForText(
      L"Write to shared memory failed - Shared memory is already in use by another process", kBound));
  client.Hold(false);
  ASSERT_TRUE(fourth.get());
  ASSERT_TRUE(fifth.get());
  ASSERT_TRUE(client.WaitForBlocks(4));
  const auto blocks = client.Blocks();
  ASSERT_EQ(blocks.size(), 4u);
  EXPECT_TRUE(blocks[3] == Pattern(1000, 4) || blocks[3] == Pattern(1000, 5));
  EXPECT_EQ(records_->Matching(L"already in use").size(), 1u);
}

}  // namespace
}  // namespace Talvaro::Testing
