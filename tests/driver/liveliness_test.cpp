// The event-mode liveliness check: the once-a-second event, the cleanup of a client that stopped
// answering it, overlapping checks, the final release during a check, and no timer in
// shared-memory mode.
#include <gtest/gtest.h>

#include <future>

#include "common/driver_logger.h"
#include "platform/registry/registry.h"
#include "tests/driver/driver_fixture.h"
#include "tests/support/environment/registry_values.h"
#include "tests/support/component/reference_count.h"
#include "tests/support/wait/wait_until.h"

namespace Talvaro::Testing {
namespace {

using namespace std::chrono_literals;

constexpr auto kBound = 20s;

TEST_F(DriverTest, LivelinessReachesEverySubscriberOnceASecondAndEachCheckIsLogged) {
  const auto created = std::chrono::steady_clock::now();
  auto driver = AttachedDriver();
  auto first = Subscribe(*driver);
  auto second = Subscribe(*driver);
  ASSERT_TRUE(first->WaitForLiveliness(3, kBound));
  EXPECT_GE(std::chrono::steady_clock::now() - created, 3s) << "due after a second, then every second";
  ASSERT_TRUE(second->WaitForLiveliness(3, kBound));
  EXPECT_TRUE(first->Events().empty()) << "liveliness has no arguments and is no other event";

  ASSERT_TRUE(WaitUntil([&] { return records_->Matching(L"Liveliness check done.").size() >= 3; }, kBound));
  const auto names = records_->Matching(L"XRB logical name: XRB_A, AppName:App");
  ASSERT_FALSE(names.empty());
  EXPECT_EQ(names[0].source, L"TCD::CCommunicationDriver");
  EXPECT_EQ(names[0].level, Logging::Level::Info);
  EXPECT_EQ(CleanupRecords(), 0u);
}

TEST_F(DriverTest, AFailedLivelinessEventRevokesTheSinkAndCleansUpExactlyOnce) {
  auto driver = AttachedDriver();
  auto gone = Subscribe(*driver);
  gone->SetLivelinessResult(RPC_S_SERVER_UNAVAILABLE_HR);  // its process died
  ASSERT_TRUE(records_->WaitForText(L"Cleanup done.", kBound));
  ASSERT_TRUE(WaitUntil([&] { return CleanupRecords() == 1; }, kBound));
  EXPECT_EQ(records_->Matching(L"Invoke failed with error -2147023174").size(), 1u);
  EXPECT_EQ(records_->Matching(L"RPC Call failed or server is unavailable.").size(), 1u);
  EXPECT_EQ(CountOf(gone->GetUnknown()), 1u) << "revoked at its first failed event";
  EXPECT_TRUE(WaitUntil([&] { return fake_->LiveDrivers() == 0; }, kBound)) << "closed as Cleanup ends";
  auto bytes = Bytes({1});
  LONG result = 0;
  EXPECT_EQ(driver->Write(bytes.Get(), 0, &result), E_UNEXPECTED) << "detached";

  // The timer went with the cleanup: a second sink hears nothing, the release cleans nothing.
  auto later = Subscribe(*driver);
  auto witness = AttachedDriver();
  auto witnessSink = Subscribe(*witness);
  ASSERT_TRUE(witnessSink->WaitForLiveliness(2, kBound));
  EXPECT_EQ(later->LivelinessCount(), 0u);
  EXPECT_EQ(gone->LivelinessCount(), 1u);
  driver = nullptr;
  EXPECT_EQ(CleanupRecords(), 1u);
}

TEST_F(DriverTest, ACheckThatStartsWhileThePreviousOneRunsOnlySaysSo) {
  auto driver = AttachedDriver();
  auto sink = Subscribe(*driver);
  sink->BlockNextLiveliness();
  const LivelinessReleased released{*sink};
  ASSERT_TRUE(sink->WaitLivelinessBlocked(kBound));
  ASSERT_TRUE(records_->WaitForText(L"do not run liveness check twice for single object.", kBound));
  EXPECT_EQ(sink->LivelinessCount(), 1u) << "the second check fired nothing";
  EXPECT_TRUE(records_->Matching(L"Liveliness check done.").empty());
  sink->UnblockLiveliness();
  ASSERT_TRUE(records_->WaitForText(L"Liveliness check done.", kBound));
  ASSERT_TRUE(sink->WaitForLiveliness(2, kBound)) << "the checks go on";
}

TEST_F(DriverTest, TheFinalReleaseDuringALivelinessEventClosesTheHardwareOnlyAfterIt) {
  auto driver = AttachedDriver();
  auto sink = Subscribe(*driver);
  sink->BlockNextLiveliness();
  const LivelinessReleased released{*sink};
  ASSERT_TRUE(sink->WaitLivelinessBlocked(kBound));
  fake_->ClearCalls();
  auto release = std::async(std::launch::async, [&driver] { driver = nullptr; });
  ASSERT_EQ(release.wait_for(kBound), std::future_status::ready) << "the client's release never waits";
  EXPECT_EQ(fake_->LiveDrivers(), 1) << "the running check keeps the object";
  EXPECT_TRUE(fake_->CallsNamed("Close").empty());
  sink->UnblockLiveliness();
  ASSERT_TRUE(WaitUntil([&] { return fake_->LiveDrivers() == 0; }, kBound));
  EXPECT_EQ(fake_->CallNames(), (std::vector<std::string>{"UnregisterObserver", "UnregisterCallback", "Close",
                                                          "ReleaseCommDriver"}));
  EXPECT_EQ(CleanupRecords(), 1u);
  ASSERT_TRUE(records_->WaitForText(L"Liveliness check done.", kBound)) << "the check ended normally";
}

TEST_F(DriverTest, SharedMemoryModeHasNoTimerAndADetachedEventObjectKeepsItsOwn) {
  const auto setType = [](const std::wstring& text) {
    SetRegistryText(L"SOFTWARE\\TALVARO\\Nimbrel\\TalvaroCommunicationDriver", L"ConnectorType", text);
  };
  const std::wstring type = L"SHARED_MEMORY";
  setType(L"shared_memory");  // the comparison is exact
  auto lowerCase = New<DriverObject>();
  setType(type);
  auto sharedMemory = New<DriverObject>();
  setType(type + L" ");
  auto trailingSpace = New<DriverObject>();
  auto silent = Subscribe(*sharedMemory);
  auto lowerCaseSink = Subscribe(*lowerCase);
  auto trailingSink = Subscribe(*trailingSpace);
  EXPECT_EQ(Initialize(*trailingSpace), ORBIQLIB_SUCCESS) << "event mode";
  EXPECT_EQ(Initialize(*sharedMemory), ORBIQLIB_SERVER_E_REGISTRATION) << "its client never created a namespace";
  EXPECT_EQ(fake_->LiveDrivers(), 1);
  ASSERT_TRUE(lowerCaseSink->WaitForLiveliness(2, kBound)) << "never initialised, still checked";
  ASSERT_TRUE(trailingSink->WaitForLiveliness(2, kBound));
  EXPECT_EQ(silent->LivelinessCount(), 0u);
}

}  // namespace
}  // namespace Talvaro::Testing
