// What the driver object's diagnostics see of its callbacks: the gap log of a slow one, the
// stall watch around the data event, and the performance records of slow operations under
// their action names.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include "diagnostics/kernel_dump_tool.h"
#include "platform/registry/registry.h"
#include "tests/driver/driver_fixture.h"
#include "tests/support/environment/registry_values.h"
#include "tests/support/wait/wait_until.h"

namespace Talvaro::Testing {
namespace {

using namespace std::chrono_literals;

constexpr auto kBound = 20s;
const wchar_t* const kMonitoringKeyPath = L"SOFTWARE\\TALVARO\\ORBIQ\\PerformanceMonitoring";



// The gap log lines as written, without their time stamps.
std::vector<std::wstring> GapLines(const Logging::RecordCollector& records) {
  std::vector<std::wstring> lines;
  for (const auto& record : records.Matching(L" (XRB_A, App): ")) {
    if (record.level == Logging::Level::Warning) lines.push_back(record.text.substr(12));
  }
  return lines;
}

// Holds the next data event in the client's handler for `duration`: a slow callback.
void SlowDataEvent(FakeHardware& fake, Sink& sink, std::chrono::milliseconds duration) {
  sink.BlockNext();
  auto delivery = fake.FireDataAsync(fake.LastDriver(), {0x01});
  ASSERT_TRUE(sink.WaitBlocked(kBound));
  std::this_thread::sleep_for(duration);  // the slowness under test, not a synchronisation
  sink.Unblock();
  ASSERT_TRUE(delivery.get());
}

TEST_F(DriverTest, ASlowCallbackWritesItsGapLogInOrderAndAFastOneNothing) {
  SetRegistryDword(Diagnostics::kToolsKeyPath, L"MinimalGapToLog", 50);
  auto driver = AttachedDriver();
  auto sink = SubscribeWithLivelinessHeld(*driver);
  const LivelinessReleased released{*sink};
  ASSERT_TRUE(fake_->FireError(fake_->LastDriver(), ORBIQLIB_E_FAILED));  // fast: not written
  EXPECT_TRUE(GapLines(*records_).empty());

  SlowDataEvent(*fake_, *sink, 120ms);
  const std::vector<std::wstring> expected{L" (XRB_A, App): Fire_OnData begin.", L" (XRB_A, App): QueryInterface.",
                                           L" (XRB_A, App): Invoking event.",
                                           L" (XRB_A, App): Event invoked with HR = 0x0.",
                                           L" (XRB_A, App): Fire_OnData end."};
  EXPECT_EQ(GapLines(*records_), expected) << "the error's lines were reset by the data callback";
  EXPECT_EQ(records_->Matching(L"Fire_OnData begin")[0].source, Diagnostics::kToolsSource);

  // A failing sink's status in upper-case hexadecimal; the error's frame has entries of its own.
  sink->SetInvokeResult(RPC_S_SERVER_TOO_BUSY_HR);
  sink->BlockNext();
  records_->Clear();
  std::thread error([&] { fake_->FireError(fake_->LastDriver(), ORBIQLIB_E_FAILED); });
  ASSERT_TRUE(sink->WaitBlocked(kBound));
  std::this_thread::sleep_for(120ms);
  sink->Unblock();
  error.join();
  EXPECT_EQ(GapLines(*records_),
            (std::vector<std::wstring>{L" (XRB_A, App): Fire_OnError begin.", L" (XRB_A, App): QueryInterface.",
                                       L" (XRB_A, App): Invoking event.",
                                       L" (XRB_A, App): Event invoked with HR = 0x800706BB.",
                                       L" (XRB_A, App): Fire_OnError end."}));
}

TEST_F(DriverTest, ADataEventStalledPastTheDelayRunsTheDumpCommandOnce) {
  const auto marker = std::filesystem::path(std::getenv("TALVARO_REGISTRY")).parent_path() / "dumps";
  ::setenv("DUMP_MARK", marker.c_str(), 1);
  SetRegistryDword(Diagnostics::kToolsKeyPath, L"EnableKernelDump", 1);
  SetRegistryDword(Diagnostics::kToolsKeyPath, L"FullKernelDumpDelay", 200);
  SetRegistryText(Diagnostics::kToolsKeyPath, L"KernelDumpCommand", L"echo dump >> $DUMP_MARK");
  auto driver = AttachedDriver();
  auto sink = Subscribe(*driver);
  // The first event stalls: one that ended in time before the watch thread first waited would
  // leave its signals set, and a begin set again is no new begin (docs/diagnostics.md).
  sink->BlockNext();
  auto delivery = fake_->FireDataAsync(fake_->LastDriver(), {0x03});
  ASSERT_TRUE(sink->WaitBlocked(kBound));
  const bool dumped = records_->WaitForText(L"Run Command succeeded", kBound);
  // The stall goes on for three more delays: a watch that dumped again for it would by now.
  if (dumped) std::this_thread::sleep_for(600ms);
  sink->Unblock();
  ASSERT_TRUE(delivery.get());
  ASSERT_TRUE(dumped) << "the stall was seen while it lasted";
  const auto read = [&] {
    std::ifstream in(marker);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  };
  ASSERT_TRUE(WaitUntil([&] { return read() == "dump\n"; }, kBound)) << read();
  ASSERT_TRUE(fake_->FireData(fake_->LastDriver(), {0x04}));
  EXPECT_EQ(records_->Matching(L"Run Command succeeded").size(), 1u);
}

TEST_F(DriverTest, SlowOperationsWithMonitoringOnAreReportedUnderTheirActionNames) {
  SetRegistryDword(kMonitoringKeyPath, L"Enabled", 1);
  SetRegistryDword(kMonitoringKeyPath, L"CommunicationDelayThresholdInMs", 30);
  auto driver = AttachedDriver();
  auto sink = SubscribeWithLivelinessHeld(*driver);
  const LivelinessReleased released{*sink};
  SlowDataEvent(*fake_, *sink, 120ms);
  const auto reported = [&](const std::wstring& action) {
    return records_->Matching(L"Action [" + action + L"] took longer than expected. Maximum tolerated duration: [30 ms]");
  };
  ASSERT_EQ(reported(L"CCommunicationDriver::FireEvent - [XRB_A:App]").size(), 1u);
  ASSERT_EQ(reported(L"CCommunicationDriver::OnData - [XRB_A:App]").size(), 1u);
  EXPECT_EQ(reported(L"CCommunicationDriver::FireEvent - [XRB_A:App]")[0].level, Logging::Level::Error);
  // No monitor service is registered here: the flush is asked for, fails, and says so.
  EXPECT_FALSE(records_->Matching(L"Performance monitor flush has failed.").empty());

  // A write in time is measured and not reported.
  auto quick = Bytes({1});
  LONG result = -1;
  EXPECT_EQ(driver->Write(quick.Get(), 0, &result), S_OK);
  EXPECT_TRUE(reported(L"CCommunicationDriver::Write - [XRB_A:App]").empty()) << "in time";
}

}  // namespace
}  // namespace Talvaro::Testing
