#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "platform/com/server_process.h"
#include "tests/driver/driver_fixture.h"

namespace Talvaro::Testing {
namespace {

using Driver::CCommunicationDriver;

TEST_F(DriverTest, NewObjectIsUninitializedAndAnswersItsInterfaceTable) {
  auto driver = NewDriver();
  EXPECT_EQ(driver->BuildLogTag(), L"[[uninitialized]:[uninitialized]]");
  for (const IID& iid : {IID_IConnectionPointContainer, uuidof<ICommunicationDriver>,
                         uuidof<IDataTransfer>, uuidof<IAvailability>, uuidof<IRestriction>,
                         IID_ISupportErrorInfo}) {
    ComPtr<IUnknown> found;
    EXPECT_EQ(driver->QueryInterface(iid, found.PutVoid()), S_OK) << platform::FormatGuidNarrow(iid);
    EXPECT_TRUE(platform::com::IsSameObject(found.Get(), driver->GetUnknown()));
  }
  ComPtr<IUnknown> none;
  EXPECT_EQ(driver->QueryInterface(IID_IDispatch, none.PutVoid()), E_NOINTERFACE);
  EXPECT_EQ(driver->QueryInterface(IID_IConnectionPoint, none.PutVoid()), E_NOINTERFACE);

  EXPECT_EQ(driver->InterfaceSupportsErrorInfo(uuidof<ICommunicationDriver>), S_OK);
  EXPECT_EQ(driver->InterfaceSupportsErrorInfo(uuidof<IDataTransfer>), S_OK);
  EXPECT_EQ(driver->InterfaceSupportsErrorInfo(uuidof<IAvailability>), S_OK);
  EXPECT_EQ(driver->InterfaceSupportsErrorInfo(uuidof<IRestriction>), S_FALSE);
  EXPECT_EQ(driver->InterfaceSupportsErrorInfo(IID_IConnectionPointContainer), S_FALSE);
}

TEST_F(DriverTest, ObjectHoldsServerReferencesOnlyWhileItLives) {
  const ULONG before = platform::com::ServerProcessCount();
  {
    auto driver = AttachedDriver();
    EXPECT_EQ(platform::com::ServerProcessCount(), before + 2)
        << "one for the live object, one taken by its construction";
  }
  EXPECT_EQ(platform::com::ServerProcessCount(), before);
}

TEST_F(DriverTest, InitializeAttachesAndRegistersWithoutTheRestrictionObserver) {
  auto driver = AttachedDriver();
  EXPECT_EQ(driver->BuildLogTag(), L"[XRB_A:App]");
  EXPECT_EQ(fake_->CallNames(),
            (std::vector<std::string>{"CreateCommDriver", "Open", "GetDataTransferInterface",
                                      "GetAvailabilityInterface", "GetRestrictionInterface",
                                      "RegisterObserver", "RegisterCallback"}));
  const auto open = fake_->CallsNamed("Open").at(0);
  EXPECT_EQ(open.texts, (std::vector<std::wstring>{L"XRB_A", L"App", L"open"}));
  EXPECT_EQ(fake_->LiveDrivers(), 1);
}

TEST_F(DriverTest, InitializeWithoutHardwareDriverReturnsMinus1100) {
  fake_->SetCreateCommDriverFails(true);
  auto driver = NewDriver();
  EXPECT_EQ(Initialize(*driver), ORBIQLIB_SERVER_E_NO_DRIVER);
  EXPECT_EQ(fake_->LiveDrivers(), 0);
}

TEST_F(DriverTest, FailedOpenReturnsMinus1200AndLeavesNoHardwareDriver) {
  fake_->SetOpenResult(ORBIQLIB_E_UNKNOWN_UNIT);
  auto driver = NewDriver();
  EXPECT_EQ(Initialize(*driver), ORBIQLIB_SERVER_E_OPEN);
  EXPECT_EQ(fake_->LiveDrivers(), 0);
  EXPECT_EQ(fake_->CallsNamed("ReleaseCommDriver").size(), 1u);

  // Detached: every operation that needs the hardware says so.
  platform::automation::SafeArray bytes;
  ASSERT_EQ(platform::automation::CreateByteArray(std::vector<std::uint8_t>{1, 2}, &bytes), S_OK);
  LONG result = 99;
  EXPECT_EQ(driver->Write(bytes.Get(), 0, &result), E_UNEXPECTED);
  EXPECT_EQ(result, 99);
  LONG state = 0;
  EXPECT_EQ(driver->GetAvailability(&state), E_UNEXPECTED);
  ComPtr<IStream> stream;
  ASSERT_EQ(CreateStreamOnHGlobal(nullptr, TRUE, stream.Put()), S_OK);
  EXPECT_EQ(driver->RegisterRestriction(1, stream.Get(), &result), E_UNEXPECTED);
  EXPECT_EQ(driver->SetRestrictionMode(1, &result), E_UNEXPECTED);
  EXPECT_EQ(driver->UnregisterRestriction(&result), E_UNEXPECTED);
  ULONG mode = 0;
  EXPECT_EQ(driver->GetRestrictionMode(&mode, &result), E_UNEXPECTED);
  VARIANT_BOOL registered = VARIANT_FALSE;
  EXPECT_EQ(driver->IsRestrictionRegistered(&registered, &result), E_UNEXPECTED);
  driver = nullptr;
  EXPECT_TRUE(records_->Matching(L"Performing cleaup").empty()) << "nothing to clean up";
}

TEST_F(DriverTest, FailedRegistrationReturnsMinus1050AfterTryingBoth) {
  fake_->SetRegisterObserverResult(ORBIQLIB_E_FAILED);
  auto driver = NewDriver();
  EXPECT_EQ(Initialize(*driver), ORBIQLIB_SERVER_E_REGISTRATION);
  EXPECT_EQ(fake_->CallsNamed("RegisterCallback").size(), 1u) << "both registrations are attempted";
  EXPECT_EQ(fake_->LiveDrivers(), 0);
  EXPECT_TRUE(fake_->CallsNamed("Close").empty()) << "a failed attachment is given back, not closed";
}

TEST_F(DriverTest, MissingInterfaceCountsAsFailedRegistration) {
  fake_->SetInterfacesAbsent(false, true, false);
  auto driver = NewDriver();
  EXPECT_EQ(Initialize(*driver), ORBIQLIB_SERVER_E_REGISTRATION);
  EXPECT_EQ(fake_->LiveDrivers(), 0);
}

TEST_F(DriverTest, CleanupDetachesOnceAndLogsOnce) {
  auto driver = AttachedDriver();
  fake_->ClearCalls();
  driver->Cleanup();
  EXPECT_EQ(fake_->CallNames(), (std::vector<std::string>{"UnregisterObserver", "UnregisterCallback",
                                                          "Close", "ReleaseCommDriver"}));
  ASSERT_EQ(records_->Matching(L"Performing cleaup").size(), 1u);
  const auto record = records_->Matching(L"Performing cleaup").at(0);
  EXPECT_EQ(record.source, L"TCD::CCommunicationDriver");
  EXPECT_EQ(record.category, Logging::Category::Developer1);
  EXPECT_EQ(record.level, Logging::Level::Info);

  fake_->ClearCalls();
  driver->Cleanup();
  driver = nullptr;  // the final release runs Cleanup again: nothing left to do
  EXPECT_TRUE(fake_->Calls().empty());
  EXPECT_EQ(records_->Matching(L"Performing cleaup").size(), 1u);
}

TEST_F(DriverTest, FinalReleaseRunsCleanupOnceAndUnregistersFromTheHardware) {
  auto driver = AttachedDriver();
  fake_->ClearCalls();
  driver = nullptr;
  EXPECT_EQ(fake_->CallNames(), (std::vector<std::string>{"UnregisterObserver", "UnregisterCallback",
                                                          "Close", "ReleaseCommDriver"}));
  EXPECT_EQ(records_->Matching(L"Performing cleaup").size(), 1u);
  EXPECT_EQ(fake_->LiveDrivers(), 0);
}

TEST_F(DriverTest, RestrictionRegisteredFlagDecidesTheRestrictionUnregistration) {
  auto driver = AttachedDriver();
  ComPtr<IStream> stream;
  ASSERT_EQ(CreateStreamOnHGlobal(nullptr, TRUE, stream.Put()), S_OK);
  LONG result = -1;
  // The hardware accepts; the stream holds nothing to unmarshal, so the call reports that, but
  // the registration with the hardware and the flag stay.
  EXPECT_EQ(driver->RegisterRestriction(1, stream.Get(), &result), RPC_E_INVALID_DATA);
  EXPECT_EQ(result, ORBIQLIB_SUCCESS);
  fake_->ClearCalls();
  driver->Cleanup();
  EXPECT_EQ(fake_->CallNames(), (std::vector<std::string>{"UnregisterObserver", "UnregisterCallback",
                                                          "Unregister", "Close",
                                                          "ReleaseCommDriver"}));
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

TEST_F(DriverTest, CleanupWaitsForARunningCallback) {
  auto driver = AttachedDriver();
  auto sink = Subscribe(*driver);
  sink->BlockNext();
  auto delivery = fake_->FireDataAsync(fake_->LastDriver(), {0xAB});
  ASSERT_TRUE(sink->WaitBlocked());

  auto cleanup = std::async(std::launch::async, [&driver] { driver->Cleanup(); });
  // Cleanup is held in the unregistration while the data callback runs.
  EXPECT_EQ(cleanup.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
  EXPECT_EQ(fake_->LiveDrivers(), 1);
  sink->Unblock();
  ASSERT_EQ(cleanup.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_TRUE(delivery.get());
  EXPECT_EQ(fake_->LiveDrivers(), 0);
}

TEST_F(DriverTest, ClientCallFromAnEventHandlerDoesNotBlockARunningCleanup) {
  auto driver = AttachedDriver();
  auto sink = Subscribe(*driver);
  sink->BlockNext();
  auto delivery = fake_->FireDataAsync(fake_->LastDriver(), {1});
  ASSERT_TRUE(sink->WaitBlocked());
  auto cleanup = std::async(std::launch::async, [&driver] { driver->Cleanup(); });
  EXPECT_EQ(cleanup.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
  // The handler calls back into the object while Cleanup waits for the handler to return.
  LONG state = -1;
  auto call = std::async(std::launch::async, [&] { return driver->GetAvailability(&state); });
  ASSERT_EQ(call.wait_for(std::chrono::seconds(10)), std::future_status::ready)
      << "a client call must not wait for Cleanup";
  call.get();
  sink->Unblock();
  ASSERT_EQ(cleanup.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  delivery.get();
}

TEST_F(DriverTest, LastReferenceDroppedInsideAnEventHandlerEndsTheObjectAfterTheCallback) {
  auto driver = AttachedDriver();
  auto sink = Subscribe(*driver);
  auto second = Subscribe(*driver);
  sink->BlockNext();
  auto delivery = fake_->FireDataAsync(fake_->LastDriver(), {7});
  ASSERT_TRUE(sink->WaitBlocked());
  driver = nullptr;  // the client's last reference goes while its handler runs
  EXPECT_EQ(fake_->LiveDrivers(), 1) << "the running callback keeps the object";
  sink->Unblock();
  EXPECT_TRUE(delivery.get());
  EXPECT_EQ(second->Events().size(), 1u) << "delivery went on to the next subscriber";
  EXPECT_EQ(fake_->LiveDrivers(), 0) << "the callback's release ended the object";
  EXPECT_EQ(records_->Matching(L"Performing cleaup").size(), 1u);
}

}  // namespace
}  // namespace Talvaro::Testing
