// What the driver hands to the registration observer: every data block and every write.
#include <gtest/gtest.h>

#include <mutex>

#include "tests/driver/driver_fixture.h"

namespace Talvaro::Testing {
namespace {

struct Handed {
  std::vector<unsigned char> bytes;
  ULONG count;
  ULONG value;
};

// Stands in for the observer singleton: records Notify, answers HasObservers as told.
class CWatchersDouble : public platform::com::ObjectRoot, public Driver::IObserverNotification {
 public:
  using Interfaces = platform::com::InterfaceTable<CWatchersDouble, Driver::IObserverNotification>;
  bool HasObservers() override { return watching; }
  void Notify(const unsigned char* data, ULONG count, ULONG value) override {
    std::lock_guard guard(*this);
    handed.push_back({std::vector<unsigned char>(data, data + count), count, value});
  }
  std::vector<Handed> HandedSoFar() {
    std::lock_guard guard(*this);
    return handed;
  }
  std::atomic<bool> watching{true};
  std::vector<Handed> handed;
};

class WatcherTest : public DriverTest {
 protected:
  void SetUp() override {
    DriverTest::SetUp();
    ASSERT_EQ(platform::com::CreateObject(&watchers_), S_OK);
    driver_ = NewDriver();
    ASSERT_EQ(driver_->Initialize(L"XRB_A", L"App", L"", L"", L"",
                                  ComPtr<Driver::IObserverNotification>(watchers_.Get())),
              ORBIQLIB_SUCCESS);
  }
  ComPtr<platform::com::ComObject<CWatchersDouble>> watchers_;
  ComPtr<DriverObject> driver_;
};

TEST_F(WatcherTest, DataBlocksReachTheWatchersWithTheObjectsAgeInMilliseconds) {
  ASSERT_TRUE(fake_->FireData(fake_->LastDriver(), {0, 0, 0, 1, 0, 0, 0, 2}));
  const auto handed = watchers_->HandedSoFar();
  ASSERT_EQ(handed.size(), 1u);
  EXPECT_EQ(handed[0].bytes, (std::vector<unsigned char>{0, 0, 0, 1, 0, 0, 0, 2}));
  EXPECT_EQ(handed[0].count, 8u);
  EXPECT_LT(handed[0].value, 60u * 1000u) << "milliseconds since the object was made";
}

TEST_F(WatcherTest, WritesReachTheWatchersWhateverTheHardwareAnswered) {
  fake_->SetWriteResult(ORBIQLIB_E_UNIT_UNAVAILABLE);
  platform::automation::SafeArray data;
  ASSERT_EQ(platform::automation::CreateByteArray(std::vector<std::uint8_t>{9, 8}, &data), S_OK);
  LONG result = 0;
  ASSERT_EQ(driver_->Write(data.Get(), 0, &result), S_OK);
  EXPECT_EQ(result, ORBIQLIB_E_UNIT_UNAVAILABLE);
  const auto handed = watchers_->HandedSoFar();
  ASSERT_EQ(handed.size(), 1u);
  EXPECT_EQ(handed[0].bytes, (std::vector<unsigned char>{9, 8}));
}

TEST_F(WatcherTest, NobodyWatchingMeansNoNotification) {
  watchers_->watching = false;
  ASSERT_TRUE(fake_->FireData(fake_->LastDriver(), {1}));
  platform::automation::SafeArray data;
  ASSERT_EQ(platform::automation::CreateByteArray(std::vector<std::uint8_t>{1}, &data), S_OK);
  LONG result = 0;
  ASSERT_EQ(driver_->Write(data.Get(), 0, &result), S_OK);
  EXPECT_TRUE(watchers_->HandedSoFar().empty());
}

TEST_F(WatcherTest, ErrorsAndStateChangesAreNotWatched) {
  ASSERT_TRUE(fake_->FireError(fake_->LastDriver(), ORBIQLIB_E_FAILED));
  ASSERT_TRUE(fake_->FireAvailability(fake_->LastDriver(), 0));
  EXPECT_TRUE(watchers_->HandedSoFar().empty());
}

}  // namespace
}  // namespace Talvaro::Testing
