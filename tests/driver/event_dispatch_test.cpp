// Events to subscribed clients and blocks to the registration observer's watchers.
#include <gtest/gtest.h>

#include <mutex>

#include "tests/driver/driver_fixture.h"

namespace Talvaro::Testing {
namespace {

TEST_F(DriverTest, DataErrorAndStateReachEverySubscriberInOrder) {
  auto driver = AttachedDriver();
  auto first = Subscribe(*driver);
  auto second = Subscribe(*driver);
  const int hardware = fake_->LastDriver();
  ASSERT_TRUE(fake_->FireData(hardware, {0x01, 0x02, 0x03}));
  ASSERT_TRUE(fake_->FireError(hardware, static_cast<E_ORBIQLIB_Result>(-77)));
  ASSERT_TRUE(fake_->FireAvailability(hardware, 5));
  for (auto* sink : {first.Get(), second.Get()}) {
    const auto events = sink->Events();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].dispid, DISPID_OnData);
    EXPECT_EQ(events[0].arguments.at(0).Get()->vt, VT_ARRAY | VT_UI1);
    EXPECT_EQ(sink->DataBlocks().at(0), (std::vector<std::uint8_t>{0x01, 0x02, 0x03}));
    EXPECT_EQ(events[1].dispid, DISPID_OnError);
    EXPECT_EQ(events[1].arguments.at(0).Get()->vt, VT_UI4);
    EXPECT_EQ(static_cast<LONG>(events[1].arguments[0].Get()->ulVal), -77);
    EXPECT_EQ(events[2].dispid, DISPID_OnStateChanged);
    EXPECT_EQ(events[2].arguments.at(0).Get()->ulVal, 1u) << "any non-zero state is 1";
  }
  EXPECT_EQ(records_->Matching(L"State = 1").size(), 1u);
}

TEST_F(DriverTest, BrokenConnectionsAreRevokedAndASinkWithoutIDispatchEndsTheRound) {
  auto driver = AttachedDriver();
  DWORD cookie = 0;
  auto leaving = Subscribe(*driver, &cookie);
  const std::pair<HRESULT, std::size_t> failures[] = {  // Invoke's answer, events after two rounds
      {RPC_S_SERVER_UNAVAILABLE_HR, 1}, {RPC_S_CALL_FAILED_HR, 1}, {RPC_S_CALL_FAILED_DNE_HR, 1},
      {RPC_S_SERVER_TOO_BUSY_HR, 2},    {E_ACCESSDENIED, 2},       {S_OK, 2}};
  std::vector<ComPtr<Sink>> sinks;
  for (const auto& [status, expected] : failures) {
    sinks.push_back(Subscribe(*driver));
    sinks.back()->SetInvokeResult(status);
  }
  ASSERT_EQ(driver->Unadvise(cookie), S_OK);  // leaves an empty slot in front
  ASSERT_TRUE(fake_->FireData(fake_->LastDriver(), {1}));
  ASSERT_TRUE(fake_->FireError(fake_->LastDriver(), ORBIQLIB_E_FAILED));
  EXPECT_TRUE(leaving->Events().empty());
  for (std::size_t i = 0; i < sinks.size(); ++i) EXPECT_EQ(sinks[i]->Events().size(), failures[i].second) << i;
  EXPECT_EQ(records_->Matching(L"RPC Call failed or server is unavailable.").size(), 3u);
  EXPECT_TRUE(records_->Matching(L"Invoke failed").empty()) << "these events do not log failures";
  EXPECT_EQ(CountOf(sinks[0]->GetUnknown()), 1u) << "the list let go of the revoked sink";

  auto other = AttachedDriver();
  auto before = Subscribe(*other);
  auto mute = New<platform::com::ComObject<CMuteSink>>();
  ASSERT_EQ(other->Advise(mute->GetUnknown(), &cookie), S_OK);
  auto after = Subscribe(*other);
  ASSERT_TRUE(fake_->FireData(fake_->LastDriver(), {2}));
  EXPECT_EQ(before->Events().size(), 1u);
  EXPECT_TRUE(after->Events().empty());
  EXPECT_EQ(records_->Matching(L"Client interface can't be queried").size(), 1u);
}

TEST_F(DriverTest, WatchersSeeDataBlocksAndWritesOnlyWhileWatching) {
  auto watchers = New<platform::com::ComObject<CWatchersDouble>>();
  auto driver = AttachedDriver(ComPtr<Driver::IObserverNotification>(watchers.Get()));
  fake_->SetWriteResult(ORBIQLIB_E_UNIT_UNAVAILABLE);
  auto data = Bytes({9, 8});
  LONG result = 0;
  for (const bool watching : {true, false}) {
    watchers->watching = watching;
    ASSERT_TRUE(fake_->FireData(fake_->LastDriver(), {0, 0, 0, 1, 0, 0, 0, 2}));
    ASSERT_TRUE(fake_->FireError(fake_->LastDriver(), ORBIQLIB_E_FAILED));
    ASSERT_TRUE(fake_->FireAvailability(fake_->LastDriver(), 0));
    ASSERT_EQ(driver->Write(data.Get(), 0, &result), S_OK);
    EXPECT_EQ(result, ORBIQLIB_E_UNIT_UNAVAILABLE);
  }
  std::lock_guard guard(*watchers);
  const auto handed = watchers->Handed();
  ASSERT_EQ(handed.size(), 2u) << "a block and a write, failed or not; nothing else";
  EXPECT_EQ(handed[0].first, (std::vector<unsigned char>{0, 0, 0, 1, 0, 0, 0, 2}));
  EXPECT_EQ(handed[1].first, (std::vector<unsigned char>{9, 8}));
  EXPECT_LT(handed[0].second, 60u * 1000u) << "milliseconds since the object was made";
}

}  // namespace
}  // namespace Talvaro::Testing
