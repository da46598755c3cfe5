// The test double behind CXRBProxy: recording, faults, and fired callbacks with the library's
// unregistration guarantee.
#include "tests/support/hardware/fake_hardware.h"

#include <gtest/gtest.h>

#include "tests/external/hardware/test_support.h"

namespace HardwareTest {
namespace {

using Talvaro::Testing::FakeHardware;
using Talvaro::Testing::FakeUnit;

class FakeHardwareTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(installation_.Installed());
    ASSERT_EQ(proxy_->Initialize(), ORBIQLIB_SUCCESS);
    ASSERT_EQ(proxy_->Start(), ORBIQLIB_SUCCESS);
  }

  std::shared_ptr<FakeHardware> fake_ = FakeHardware::Create();
  FakeHardware::Installation installation_{fake_};
  CXRBProxy* proxy_ = CXRBProxy::GetInstance();
};

TEST_F(FakeHardwareTest, RecordsEveryCallWithItsArgumentsInOrder) {
  ICommFactory* factory = proxy_->GetFactory();
  ASSERT_NE(factory, nullptr);
  ICommDriver* driver = factory->CreateCommDriver();
  RecordingObserver observer;
  ASSERT_EQ(driver->Open(L"XRB_1", L"App", L"arg"), ORBIQLIB_SUCCESS);
  ICommDataTransfer* transfer = driver->GetDataTransferInterface();
  ASSERT_EQ(transfer->RegisterObserver(&observer), ORBIQLIB_SUCCESS);
  const unsigned char bytes[] = {7, 8};
  fake_->SetWriteResult(static_cast<E_ORBIQLIB_Result>(-31));
  EXPECT_EQ(transfer->Write(bytes, 2, 5, &observer), -31);
  EXPECT_EQ(proxy_->GetDriver()->ApplicationCommand(L"t1", L"t2", 2), ORBIQLIB_SUCCESS);
  ASSERT_EQ(driver->Close(), ORBIQLIB_SUCCESS);
  ASSERT_EQ(factory->ReleaseCommDriver(driver), ORBIQLIB_SUCCESS);

  EXPECT_EQ(fake_->CallNames(),
            (std::vector<std::string>{"Initialize", "Start", "CreateCommDriver", "Open",
                                      "GetDataTransferInterface", "RegisterObserver", "Write",
                                      "ProxyApplicationCommand", "Close", "ReleaseCommDriver"}));
  const auto calls = fake_->Calls();
  EXPECT_EQ(calls[3].driver, 1);
  EXPECT_EQ(calls[3].texts, (std::vector<std::wstring>{L"XRB_1", L"App", L"arg"}));
  EXPECT_EQ(calls[5].object, static_cast<IDataTransferObserver*>(&observer));
  EXPECT_EQ(calls[6].bytes, (std::vector<unsigned char>{7, 8}));
  EXPECT_EQ(calls[6].numbers, (std::vector<std::int64_t>{2, 5}));
  EXPECT_EQ(calls[6].result, -31);
  EXPECT_EQ(calls[7].numbers, (std::vector<std::int64_t>{2}));
  EXPECT_EQ(calls[9].object, driver);
  EXPECT_EQ(fake_->LiveDrivers(), 0);
}

TEST_F(FakeHardwareTest, FaultsShapeWhatTheCodeUnderTestSees) {
  ICommFactory* factory = proxy_->GetFactory();
  fake_->SetCreateCommDriverFails(true);
  EXPECT_EQ(factory->CreateCommDriver(), nullptr);
  fake_->SetCreateCommDriverFails(false);

  ICommDriver* driver = factory->CreateCommDriver();
  fake_->SetOpenResult(static_cast<E_ORBIQLIB_Result>(-5));
  EXPECT_EQ(driver->Open(L"XRB_1", L"App", L""), -5);
  fake_->SetRegisterObserverResult(static_cast<E_ORBIQLIB_Result>(-9));
  fake_->SetRegisterCallbackResult(static_cast<E_ORBIQLIB_Result>(-10));
  RecordingObserver observer;
  EXPECT_EQ(driver->GetDataTransferInterface()->RegisterObserver(&observer), -9);
  EXPECT_EQ(driver->GetAvailabilityInterface()->RegisterCallback(&observer), -10);
  EXPECT_EQ(fake_->DataObserverCount(1), 0u);
  EXPECT_TRUE(fake_->FireData(1, {1}));
  EXPECT_EQ(observer.Count(), 0u);

  fake_->SetRestrictionResult(ORBIQLIB_SUCCESS);
  fake_->SetReportedRestrictionMode(9u);
  unsigned int mode = 0;
  EXPECT_EQ(driver->GetRestrictionInterface()->GetMode(mode), ORBIQLIB_SUCCESS);
  EXPECT_EQ(mode, 9u);
  fake_->SetAvailabilityAnswer(-4);
  std::int32_t state = 77;
  EXPECT_EQ(driver->GetAvailabilityInterface()->QueryAvailability(&state), -4);
  EXPECT_EQ(state, 77);
  fake_->SetInterfacesAbsent(true, true, true);
  EXPECT_EQ(driver->GetDataTransferInterface(), nullptr);
  EXPECT_EQ(driver->GetAvailabilityInterface(), nullptr);
  EXPECT_EQ(driver->GetRestrictionInterface(), nullptr);
  EXPECT_EQ(factory->ReleaseCommDriver(driver), ORBIQLIB_SUCCESS);

  fake_->SetProxyDriverAbsent(true);
  EXPECT_EQ(proxy_->GetDriver(), nullptr);
}

TEST_F(FakeHardwareTest, ScannerListsUnitsAsGivenOrFailsOnRequest) {
  fake_->SetUnits({{CXRBDescription(L"Twin", L"m1", L"i1", L"s1", 0), {L"a"}},
                   {CXRBDescription(L"Twin", L"m2", L"i2", L"s2", 0xFFFFFFFF), {}}});
  ICommFactory* factory = proxy_->GetFactory();
  IUnitScanner* scanner = factory->CreateUnitScanner();
  IUnitList* list = nullptr;
  ASSERT_EQ(scanner->Scan(list), ORBIQLIB_SUCCESS);
  ASSERT_EQ(list->GetCount(), 2u);
  EXPECT_EQ(list->GetItem(0)->GetDescription().GetBoardID(), 0u);
  EXPECT_EQ(list->GetItem(1)->GetDescription().GetLogicalName(), L"Twin");
  EXPECT_EQ(list->GetItem(1)->GetDescription().GetMAC(), L"m2");
  EXPECT_EQ(list->GetItem(0)->GetSubItem(0)->GetName(), L"a");
  EXPECT_EQ(scanner->ReleaseList(list), ORBIQLIB_SUCCESS);

  fake_->SetScanResult(static_cast<E_ORBIQLIB_Result>(-2));
  EXPECT_EQ(scanner->Scan(list), -2);
  EXPECT_EQ(list, nullptr);
  EXPECT_EQ(factory->ReleaseUnitScanner(scanner), ORBIQLIB_SUCCESS);
  fake_->SetScannerAbsent(true);
  EXPECT_EQ(factory->CreateUnitScanner(), nullptr);
}

TEST_F(FakeHardwareTest, FiredCallbacksReachRegisteredObserversOnTheChosenThread) {
  ICommDriver* driver = proxy_->GetFactory()->CreateCommDriver();
  RecordingObserver observer;
  ASSERT_EQ(driver->GetDataTransferInterface()->RegisterObserver(&observer), ORBIQLIB_SUCCESS);
  ASSERT_EQ(driver->GetAvailabilityInterface()->RegisterCallback(&observer), ORBIQLIB_SUCCESS);
  ASSERT_EQ(driver->GetRestrictionInterface()->Register(1, &observer), ORBIQLIB_SUCCESS);
  observer.SetVerdict(static_cast<E_ORBIQLIB_Result>(3));
  const int number = fake_->LastDriver();

  EXPECT_TRUE(fake_->FireData(number, {4, 2}));
  EXPECT_TRUE(fake_->FireError(number, static_cast<E_ORBIQLIB_Result>(-8)));
  EXPECT_TRUE(fake_->FireAvailability(number, 0));
  EXPECT_EQ(fake_->FireRestriction(number, {1}), 3);
  EXPECT_TRUE(fake_->FireDataAsync(number, {5}).get());
  EXPECT_FALSE(fake_->FireData(number + 1, {1}));

  const auto seen = observer.Callbacks();
  ASSERT_EQ(seen.size(), 5u);
  for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(seen[i].thread, std::this_thread::get_id()) << i;
  EXPECT_NE(seen[4].thread, std::this_thread::get_id());
  EXPECT_EQ(seen[1].value, -8);

  fake_->SetWriteAsksRestriction(true);
  const unsigned char byte = 1;
  EXPECT_EQ(driver->GetDataTransferInterface()->Write(&byte, 1, 0, &observer), ORBIQLIB_E_RESTRICTED);
  EXPECT_EQ(observer.Count(), 6u);
  EXPECT_NE(observer.Callbacks()[5].thread, std::this_thread::get_id());
}

TEST_F(FakeHardwareTest, UnregistrationWaitsForAFiredCallbackButNotFromInsideIt) {
  ICommDriver* driver = proxy_->GetFactory()->CreateCommDriver();
  ICommDataTransfer* transfer = driver->GetDataTransferInterface();
  RecordingObserver observer;
  ASSERT_EQ(transfer->RegisterObserver(&observer), ORBIQLIB_SUCCESS);
  const int number = fake_->LastDriver();

  observer.BlockNext();
  auto fired = fake_->FireDataAsync(number, {1});
  ASSERT_TRUE(observer.WaitBlocked());
  auto unregistered = std::async(std::launch::async, [&] { return transfer->UnregisterObserver(&observer); });
  EXPECT_EQ(unregistered.wait_for(200ms), std::future_status::timeout);
  observer.Release();
  EXPECT_EQ(unregistered.get(), ORBIQLIB_SUCCESS);
  EXPECT_TRUE(fired.get());

  ASSERT_EQ(transfer->RegisterObserver(&observer), ORBIQLIB_SUCCESS);
  E_ORBIQLIB_Result inside = ORBIQLIB_E_FAILED;
  observer.SetAction([&] {
    observer.SetAction({});
    inside = transfer->UnregisterObserver(&observer);
  });
  EXPECT_TRUE(fake_->FireData(number, {2}));
  EXPECT_EQ(inside, ORBIQLIB_SUCCESS);
  EXPECT_EQ(fake_->DataObserverCount(number), 0u);
}

TEST(FakeHardwareInstallation, AFailedInitializeLeavesTheProxyDown) {
  auto fake = FakeHardware::Create();
  fake->SetInitializeResult(static_cast<E_ORBIQLIB_Result>(-3));
  {
    FakeHardware::Installation installation(fake);
    CXRBProxy* proxy = CXRBProxy::GetInstance();
    EXPECT_EQ(proxy->Initialize(), -3);
    EXPECT_EQ(proxy->GetFactory(), nullptr);
    EXPECT_EQ(proxy->Start(), ORBIQLIB_E_NOT_INITIALIZED);
    fake->SetInitializeResult(ORBIQLIB_SUCCESS);
    fake->SetStartResult(static_cast<E_ORBIQLIB_Result>(-4));
    EXPECT_EQ(proxy->Initialize(), ORBIQLIB_SUCCESS);
    EXPECT_EQ(proxy->Start(), -4);
    EXPECT_EQ(proxy->Finish(), ORBIQLIB_E_NOT_STARTED);
    EXPECT_EQ(proxy->GetBackend(), fake);
  }
  EXPECT_EQ(CXRBProxy::GetInstance()->GetFactory(), nullptr);
  EXPECT_EQ(fake->CallNames().back(), "Shutdown");
}

}  // namespace
}  // namespace HardwareTest
