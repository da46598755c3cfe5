#include <gtest/gtest.h>

#include <future>
#include <tuple>

#include "external/hardware/xrb_simulator.h"
#include "platform/com/server_process.h"
#include "tests/driver/driver_fixture.h"

namespace Talvaro::Testing {
namespace {

const std::vector<std::string> kDetachCalls{"UnregisterObserver", "UnregisterCallback", "Close",
                                            "ReleaseCommDriver"};

TEST_F(DriverTest, NewObjectIsUninitializedAndHoldsTheServerWhileItLives) {
  const ULONG before = platform::com::ServerProcessCount();
  auto driver = New<DriverObject>();
  EXPECT_EQ(platform::com::ServerProcessCount(), before + 2) << "the object and its construction";
  EXPECT_EQ(driver->BuildLogTag(), L"[[uninitialized]:[uninitialized]]");
  driver = nullptr;
  EXPECT_EQ(platform::com::ServerProcessCount(), before);
}

TEST_F(DriverTest, FailedInitializeLeavesNoHardwareDriverAndADetachedObject) {
  // Each fault is switched on for its case only; the last column counts RegisterCallback calls
  // (both registrations are tried even when the first fails).
  struct Case {
    void (*fault)(FakeHardware&, bool on);
    E_ORBIQLIB_Result expected;
    std::size_t callbackRegistrations;
  } cases[] = {
      {[](FakeHardware& f, bool on) { f.SetCreateCommDriverFails(on); }, ORBIQLIB_SERVER_E_NO_DRIVER, 0},
      {[](FakeHardware& f, bool on) { f.SetOpenResult(on ? ORBIQLIB_E_UNKNOWN_UNIT : ORBIQLIB_SUCCESS); },
       ORBIQLIB_SERVER_E_OPEN, 0},
      {[](FakeHardware& f, bool on) { f.SetRegisterObserverResult(on ? ORBIQLIB_E_FAILED : ORBIQLIB_SUCCESS); },
       ORBIQLIB_SERVER_E_REGISTRATION, 1},
      {[](FakeHardware& f, bool on) { f.SetInterfacesAbsent(false, on, false); }, ORBIQLIB_SERVER_E_REGISTRATION, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.expected);
    c.fault(*fake_, true);
    fake_->ClearCalls();
    auto driver = New<DriverObject>();
    EXPECT_EQ(Initialize(*driver), c.expected);
    c.fault(*fake_, false);
    EXPECT_EQ(fake_->LiveDrivers(), 0);
    EXPECT_TRUE(fake_->CallsNamed("Close").empty()) << "given back, not closed";
    EXPECT_EQ(fake_->CallsNamed("RegisterCallback").size(), c.callbackRegistrations);

    // Detached: the operations that need the hardware say so.
    auto bytes = Bytes({1, 2});
    LONG result = 99;
    EXPECT_EQ(driver->Write(bytes.Get(), 0, &result), E_UNEXPECTED);
    EXPECT_EQ(driver->GetAvailability(&result), E_UNEXPECTED);
    EXPECT_EQ(driver->SetRestrictionMode(1, &result), E_UNEXPECTED);
    ComPtr<IStream> stream;
    ASSERT_EQ(CreateStreamOnHGlobal(nullptr, TRUE, stream.Put()), S_OK);
    EXPECT_EQ(driver->RegisterRestriction(1, stream.Get(), &result), E_UNEXPECTED);
    EXPECT_EQ(driver->UnregisterRestriction(&result), E_UNEXPECTED);
    ULONG mode = 88;
    EXPECT_EQ(driver->GetRestrictionMode(&mode, &result), E_UNEXPECTED);
    VARIANT_BOOL registered = 5;
    EXPECT_EQ(driver->IsRestrictionRegistered(&registered, &result), E_UNEXPECTED);
    EXPECT_EQ(std::tuple(result, mode, registered), std::tuple(99, 88u, VARIANT_BOOL{5}));
  }
  EXPECT_EQ(CleanupRecords(), 0u) << "nothing to clean up";
}

TEST_F(DriverTest, InitializeAttachesAndASecondCleanupDoesAndLogsNothing) {
  auto driver = AttachedDriver();
  EXPECT_EQ(driver->BuildLogTag(), L"[XRB_A:App]");
  EXPECT_EQ(fake_->CallNames(),
            (std::vector<std::string>{"CreateCommDriver", "Open", "GetDataTransferInterface",
                                      "GetAvailabilityInterface", "GetRestrictionInterface",
                                      "RegisterObserver", "RegisterCallback"}));
  EXPECT_EQ(fake_->CallsNamed("Open").at(0).texts, (std::vector<std::wstring>{L"XRB_A", L"App", L"open"}));
  fake_->ClearCalls();
  driver->Cleanup();
  EXPECT_EQ(fake_->CallNames(), kDetachCalls) << "no restriction unregistration unless registered";
  const auto records = records_->Matching(L"Performing cleaup");
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].source, L"TCD::CCommunicationDriver");
  EXPECT_EQ(records[0].category, Logging::Category::Developer1);
  EXPECT_EQ(records[0].level, Logging::Level::Info);

  fake_->ClearCalls();
  driver->Cleanup();
  driver = nullptr;  // the final release runs Cleanup again
  EXPECT_TRUE(fake_->Calls().empty());
  EXPECT_EQ(CleanupRecords(), 1u);
}

TEST_F(DriverTest, FinalReleaseCleansUpOnceWithTheRestrictionUnregistrationWhenRegistered) {
  auto driver = AttachedDriver();
  ComPtr<IStream> empty;
  ASSERT_EQ(CreateStreamOnHGlobal(nullptr, TRUE, empty.Put()), S_OK);
  LONG result = -1;
  // The hardware accepts; the empty stream fails to unmarshal, but the registration stays.
  EXPECT_EQ(driver->RegisterRestriction(1, empty.Get(), &result), RPC_E_INVALID_DATA);
  EXPECT_EQ(result, ORBIQLIB_SUCCESS);
  fake_->ClearCalls();
  driver = nullptr;
  EXPECT_EQ(fake_->CallNames(), (std::vector<std::string>{"UnregisterObserver", "UnregisterCallback",
                                                          "Unregister", "Close", "ReleaseCommDriver"}));
  EXPECT_EQ(CleanupRecords(), 1u);
  EXPECT_EQ(fake_->LiveDrivers(), 0);
}

TEST_F(DriverTest, CleanupWithTheProxyDownSkipsCloseButForgetsTheDriver) {
  auto driver = AttachedDriver();
  ASSERT_EQ(CXRBProxy::GetInstance()->Finish(), ORBIQLIB_SUCCESS);
  ASSERT_EQ(CXRBProxy::GetInstance()->Shutdown(), ORBIQLIB_SUCCESS);
  fake_->ClearCalls();
  driver->Cleanup();
  EXPECT_TRUE(fake_->CallsNamed("Close").empty());
  EXPECT_TRUE(fake_->CallsNamed("ReleaseCommDriver").empty());
  LONG state = 0;
  EXPECT_EQ(driver->GetAvailability(&state), E_UNEXPECTED);
}

// The one case where Cleanup returns before the driver is closed: a client call is using it.
TEST_F(DriverTest, CleanupDuringAWriteDetachesAtOnceAndClosesAsTheWriteEnds) {
  auto driver = AttachedDriver();
  fake_->BlockNextWrite();
  auto bytes = Bytes({1});
  LONG result = 99;
  auto write = std::async(std::launch::async, [&] { return driver->Write(bytes.Get(), 0, &result); });
  ASSERT_TRUE(fake_->WaitWriteBlocked(std::chrono::seconds(10)));
  fake_->ClearCalls();
  driver->Cleanup();
  EXPECT_EQ(fake_->CallNames(), (std::vector<std::string>{"UnregisterObserver", "UnregisterCallback"}))
      << "not closed under the running write";
  LONG state = 0;
  EXPECT_EQ(driver->GetAvailability(&state), E_UNEXPECTED) << "detached";
  fake_->UnblockWrite();
  EXPECT_EQ(write.get(), S_OK);
  EXPECT_EQ(fake_->CallNames(), kDetachCalls) << "closed and given back as the write let go";
  EXPECT_EQ(fake_->LiveDrivers(), 0);
}

TEST_F(DriverTest, CleanupWaitsForARunningCallbackWhichMayStillCallTheObject) {
  auto driver = AttachedDriver();
  auto sink = Subscribe(*driver);
  sink->BlockNext();
  auto delivery = fake_->FireDataAsync(fake_->LastDriver(), {0xAB});
  ASSERT_TRUE(sink->WaitBlocked());
  auto cleanup = std::async(std::launch::async, [&driver] { driver->Cleanup(); });
  EXPECT_EQ(cleanup.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
  EXPECT_EQ(fake_->LiveDrivers(), 1);
  // The handler calls back into the object while Cleanup waits for the handler to return.
  LONG state = -1;
  auto call = std::async(std::launch::async, [&] { return driver->GetAvailability(&state); });
  ASSERT_EQ(call.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(call.get(), S_OK) << "the hardware stays reachable until Cleanup has closed it";
  sink->Unblock();
  ASSERT_EQ(cleanup.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_TRUE(delivery.get());
  EXPECT_EQ(fake_->LiveDrivers(), 0);
}

TEST_F(DriverTest, LastReferenceDroppedInsideAnEventHandlerEndsTheObjectAfterTheCallback) {
  auto driver = AttachedDriver();
  auto sink = Subscribe(*driver);
  auto second = Subscribe(*driver);
  sink->BlockNext();
  auto delivery = fake_->FireDataAsync(fake_->LastDriver(), {7});
  ASSERT_TRUE(sink->WaitBlocked());
  driver = nullptr;
  EXPECT_EQ(fake_->LiveDrivers(), 1) << "the running callback keeps the object";
  sink->Unblock();
  EXPECT_TRUE(delivery.get());
  EXPECT_EQ(second->Events().size(), 1u) << "delivery went on to the next subscriber";
  EXPECT_EQ(fake_->LiveDrivers(), 0);
  EXPECT_EQ(CleanupRecords(), 1u);
}

TEST(SimulatorDriverTest, TwoDriverObjectsOnOneUnitBothReceiveADataBlock) {
  using OrbiqCommunicationLibrary::Simulator::XRBSimulator;
  CXRBProxy* proxy = CXRBProxy::GetInstance();
  ASSERT_EQ(proxy->Initialize(), ORBIQLIB_SUCCESS);
  ASSERT_EQ(proxy->Start(), ORBIQLIB_SUCCESS);
  auto simulator = std::dynamic_pointer_cast<XRBSimulator>(proxy->GetBackend());
  ASSERT_TRUE(simulator);
  ASSERT_EQ(simulator->SetPeriodicData(false), ORBIQLIB_SUCCESS);
  {
    auto first = New<DriverObject>(), second = New<DriverObject>();
    ASSERT_EQ(first->Initialize(L"XRB_1", L"First", L"", L"", L"", nullptr), ORBIQLIB_SUCCESS);
    ASSERT_EQ(second->Initialize(L"XRB_1", L"Second", L"", L"", L"", nullptr), ORBIQLIB_SUCCESS);
    auto sinkA = New<Sink>(), sinkB = New<Sink>();
    DWORD cookie = 0;
    ASSERT_EQ(first->Advise(sinkA->GetUnknown(), &cookie), S_OK);
    ASSERT_EQ(second->Advise(sinkB->GetUnknown(), &cookie), S_OK);
    ASSERT_EQ(simulator->InjectData(L"XRB_1", {0xDE, 0xAD}), ORBIQLIB_SUCCESS);
    for (auto* sink : {sinkA.Get(), sinkB.Get()}) {
      ASSERT_TRUE(sink->WaitForEvents(1));
      EXPECT_EQ(sink->DataBlocks().at(0), (std::vector<std::uint8_t>{0xDE, 0xAD}));
    }
  }
  simulator.reset();
  proxy->Finish();
  proxy->Shutdown();
}

}  // namespace
}  // namespace Talvaro::Testing
