#include <gtest/gtest.h>

#include "tests/driver/driver_fixture.h"

namespace Talvaro::Testing {
namespace {

using platform::com::ComObject;
using platform::com::CreateObject;

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
    ASSERT_EQ(events[0].arguments.size(), 1u);
    EXPECT_EQ(events[0].arguments[0].Get()->vt, VT_ARRAY | VT_UI1);
    EXPECT_EQ(sink->DataBlocks().at(0), (std::vector<std::uint8_t>{0x01, 0x02, 0x03}));
    EXPECT_EQ(events[1].dispid, DISPID_OnError);
    EXPECT_EQ(events[1].arguments[0].Get()->vt, VT_UI4);
    EXPECT_EQ(static_cast<LONG>(events[1].arguments[0].Get()->ulVal), -77);
    EXPECT_EQ(events[2].dispid, DISPID_OnStateChanged);
    EXPECT_EQ(events[2].arguments[0].Get()->ulVal, 1u) << "any non-zero state is 1";
  }
  EXPECT_EQ(records_->Matching(L"State = 1").size(), 1u);
}

TEST_F(DriverTest, UnsubscribedClientsGetNothingAndOthersGoOn) {
  auto driver = AttachedDriver();
  DWORD cookie = 0;
  auto leaving = Subscribe(*driver, &cookie);
  auto staying = Subscribe(*driver);
  ASSERT_EQ(driver->Unadvise(cookie), S_OK);
  ASSERT_TRUE(fake_->FireData(fake_->LastDriver(), {9}));
  EXPECT_TRUE(leaving->Events().empty());
  EXPECT_EQ(staying->Events().size(), 1u);
}

TEST_F(DriverTest, SubscriberWithoutIDispatchStopsDeliveryToThoseAfterIt) {
  auto driver = AttachedDriver();
  auto before = Subscribe(*driver);
  platform::com::ComPtr<ComObject<CMuteSink>> mute;
  ASSERT_EQ(CreateObject(&mute), S_OK);
  DWORD cookie = 0;
  ASSERT_EQ(driver->Advise(mute->GetUnknown(), &cookie), S_OK);
  auto after = Subscribe(*driver);
  ASSERT_TRUE(fake_->FireData(fake_->LastDriver(), {1}));
  EXPECT_EQ(before->Events().size(), 1u);
  EXPECT_TRUE(after->Events().empty());
  EXPECT_EQ(records_->Matching(L"Client interface can't be queried").size(), 1u);
}

TEST_F(DriverTest, SubscriberWhoseProcessIsGoneIsRevokedAfterItsFirstFailure) {
  auto driver = AttachedDriver();
  auto dead = Subscribe(*driver);
  auto busy = Subscribe(*driver);
  auto alive = Subscribe(*driver);
  dead->SetInvokeResult(RPC_S_SERVER_UNAVAILABLE_HR);
  busy->SetInvokeResult(RPC_S_SERVER_TOO_BUSY_HR);
  const int hardware = fake_->LastDriver();
  ASSERT_TRUE(fake_->FireData(hardware, {1}));
  ASSERT_TRUE(fake_->FireData(hardware, {2}));
  EXPECT_EQ(dead->Events().size(), 1u) << "later events skip a revoked sink";
  EXPECT_EQ(busy->Events().size(), 2u) << "a busy server is not revoked";
  EXPECT_EQ(alive->Events().size(), 2u) << "failures with logging off do not stop delivery";
  EXPECT_EQ(records_->Matching(L"RPC Call failed or server is unavailable.").size(), 1u);
  EXPECT_TRUE(records_->Matching(L"Invoke failed").empty());
  EXPECT_EQ(CountOf(dead->GetUnknown()), 1u) << "the list let go of the revoked sink";
}

TEST_F(DriverTest, CallFailuresRevokeButOtherErrorsDoNot) {
  auto driver = AttachedDriver();
  auto failed = Subscribe(*driver);
  auto neverRan = Subscribe(*driver);
  auto refused = Subscribe(*driver);
  failed->SetInvokeResult(RPC_S_CALL_FAILED_HR);
  neverRan->SetInvokeResult(RPC_S_CALL_FAILED_DNE_HR);
  refused->SetInvokeResult(E_ACCESSDENIED);
  ASSERT_TRUE(fake_->FireError(fake_->LastDriver(), ORBIQLIB_E_FAILED));
  ASSERT_TRUE(fake_->FireError(fake_->LastDriver(), ORBIQLIB_E_FAILED));
  EXPECT_EQ(failed->Events().size(), 1u);
  EXPECT_EQ(neverRan->Events().size(), 1u);
  EXPECT_EQ(refused->Events().size(), 2u);
}

TEST_F(DriverTest, WithoutSubscribersNothingIsFired) {
  auto driver = AttachedDriver();
  ASSERT_TRUE(fake_->FireData(fake_->LastDriver(), {1}));
  auto sink = Subscribe(*driver);
  ASSERT_TRUE(fake_->FireData(fake_->LastDriver(), {2}));
  EXPECT_EQ(sink->DataBlocks(), (std::vector<std::vector<std::uint8_t>>{{2}}))
      << "a subscription counts from the next event";
}

}  // namespace
}  // namespace Talvaro::Testing
