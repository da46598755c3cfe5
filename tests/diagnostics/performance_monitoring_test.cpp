#include <gtest/gtest.h>

#include <deque>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

#include "diagnostics/performance_connector.h"
#include "diagnostics/performance_logger.h"
#include "diagnostics/performance_tools.h"
#include "external/logging/record_sink.h"
#include "platform/com/apartment.h"
#include "platform/com/prog_id.h"
#include "platform/registry/registry.h"
#include "tests/support/environment/registry_values.h"

namespace Talvaro::Orbiq::Utils::PerformanceMonitoring {
namespace {

struct Settings final : IConfigProvider {
  bool repeat = false;
  std::uint32_t threshold = 500;
  bool enabled = true;
  int thresholdReads = 0;
  bool GetRepeatEtwFlushing() override { return repeat; }
  std::uint32_t GetCommunicationDelayThresholdInMs() override {
    ++thresholdReads;
    return threshold;
  }
  bool IsEnabled() override { return enabled; }
};

struct Monitor final : IConnector {
  HRESULT answer = S_OK;
  std::vector<std::wstring> requests;
  HRESULT RequestLogFlush(const std::wstring& text) override {
    requests.push_back(text);
    return answer;
  }
};

// Readings the measured operations see, in 100 ns ticks; each test queues its own.
std::deque<std::int64_t> readings;
std::int64_t ScriptedClock() {
  const auto next = readings.front();
  readings.pop_front();
  return next;
}

class PerformanceMonitoring : public ::testing::Test {
 protected:
  void SetUp() override {
    Logging::AttachRecordSink(records_);
    MakeTools();
  }
  void MakeTools() {
    auto settings = std::make_unique<Settings>();
    auto monitor = std::make_unique<Monitor>();
    settings_ = settings.get();
    monitor_ = monitor.get();
    tools_ = std::make_unique<PerformanceTools>(std::move(monitor), std::move(settings), ScriptedClock);
  }
  void TearDown() override { Logging::DetachRecordSink(records_); }

  // One measured operation whose clock readings are `begin` and `end` milliseconds.
  void Measure(std::int64_t beginMs, std::int64_t endMs, const wchar_t* action = L"A") {
    readings = {beginMs * 10000, endMs * 10000};
    int calls = 0;
    tools_->MeasureExecutionVoid(action, [&] { ++calls; });
    EXPECT_EQ(calls, 1);
  }
  std::vector<std::wstring> Texts() const {
    std::vector<std::wstring> texts;
    for (const auto& record : records_->Records()) {
      if (record.source.rfind(kMonitorSource, 0) == 0) texts.push_back(record.text);
    }
    return texts;
  }

  std::shared_ptr<Logging::RecordCollector> records_ = std::make_shared<Logging::RecordCollector>();
  Settings* settings_ = nullptr;
  Monitor* monitor_ = nullptr;
  std::unique_ptr<PerformanceTools> tools_;
};

TEST_F(PerformanceMonitoring, OnlyADurationAboveTheThresholdIsReportedInWholeMilliseconds) {
  Measure(1000, 1500);
  EXPECT_TRUE(Texts().empty()) << "equal to the threshold";
  Measure(-5, 495);
  EXPECT_TRUE(Texts().empty()) << "the readings' difference counts";
  Measure(1000, 1000);
  readings = {0, 5010000 - 1};  // 500.9999 ms truncates to 500
  tools_->MeasureExecutionVoid(L"A", [] {});
  EXPECT_TRUE(Texts().empty());
  Measure(1000, 1731);
  const auto texts = Texts();
  ASSERT_FALSE(texts.empty());
  EXPECT_EQ(texts[0], L"Action [A] took longer than expected. Maximum tolerated duration: [500 ms], "
                      L"Actual duration: [731 ms].");
  EXPECT_EQ(records_->Records()[0].level, Logging::Level::Error);
  EXPECT_EQ(records_->Records()[0].category, Logging::Category::Developer1);
  EXPECT_EQ(monitor_->requests, std::vector<std::wstring>{texts[0]}) << "the flush carries the issue text";
}

TEST_F(PerformanceMonitoring, ThresholdZeroClockSetBackAndMonitoringOff) {
  settings_->threshold = 0;
  readings = {0, 9999};
  tools_->MeasureExecutionVoid(L"A", [] {});
  EXPECT_TRUE(Texts().empty()) << "under 1 ms is a duration of 0";
  Measure(100, 40);
  EXPECT_TRUE(Texts().empty()) << "a clock set back gives a negative duration";
  Measure(0, 1);
  EXPECT_EQ(Texts().size(), 2u) << "1 ms against 0: the issue and the flush record";
  settings_->enabled = false;
  readings.clear();
  const int before = settings_->thresholdReads;
  EXPECT_EQ(tools_->MeasureExecutionRetVal<HRESULT>(L"A", [] { return E_ABORT; }), E_ABORT) << "run untimed";
  EXPECT_EQ(settings_->thresholdReads, before);
}

TEST_F(PerformanceMonitoring, FlushesOnceUnlessRepeatingAndRetriesAfterAFailure) {
  Measure(0, 600);
  Measure(0, 700);
  auto texts = Texts();
  ASSERT_EQ(texts.size(), 4u);
  EXPECT_EQ(texts[1], L"Performance monitor flush has been triggered successfully.");
  EXPECT_EQ(records_->Records()[1].level, Logging::Level::Warning);
  EXPECT_EQ(texts[3], L"Performance issue was detected but ETW flushing is not enabled.");
  EXPECT_EQ(monitor_->requests.size(), 1u);
  settings_->repeat = true;
  Measure(0, 800);
  EXPECT_EQ(monitor_->requests.size(), 2u) << "repeating asks every time";
  records_->Clear();

  MakeTools();  // a fresh object, whose monitor is absent
  monitor_->answer = REGDB_E_CLASSNOTREG;
  Measure(0, 600);
  Measure(0, 600);
  EXPECT_EQ(monitor_->requests.size(), 2u) << "a failed flush does not count";
  texts = Texts();
  ASSERT_EQ(texts.size(), 4u);
  EXPECT_EQ(texts[1], L"Performance monitor flush has failed. HRESULT [0x80040154], MESSAGE [Class not registered].");
  monitor_->answer = S_FALSE;
  Measure(0, 600);
  Measure(0, 600);
  EXPECT_EQ(monitor_->requests.size(), 3u) << "S_FALSE is success";
}

TEST_F(PerformanceMonitoring, ResultsAndExceptionsPassThroughAndTheActiveFlagGatesDirectReports) {
  readings = {0, 0};
  EXPECT_EQ(tools_->MeasureExecutionRetVal<long>(L"A", [] { return -1200L; }), -1200L);
  readings = {0, 0};
  EXPECT_THROW(tools_->MeasureExecutionVoid(L"A", [] { throw std::runtime_error("hardware"); }), std::runtime_error);
  EXPECT_TRUE(Texts().empty()) << "an exception is neither timed nor reported";
  settings_->enabled = false;
  EXPECT_THROW(tools_->MeasureExecution(L"A", std::function<void()>()), std::bad_function_call);
  tools_->ReportPerformanceIssue(L"direct issue");
  tools_->LogWarning(L"direct warning");
  EXPECT_EQ(Texts().size(), 3u) << "the issue, its flush, the warning";
  EXPECT_EQ(&tools_->GetConfigProvider(), settings_);
}

TEST(PerformanceStatusText, SystemTextOrTheTwoFallbacks) {
  EXPECT_EQ(StatusText(E_FAIL), L"HRESULT [0x80004005], MESSAGE [Unspecified error].");
  EXPECT_EQ(ErrorText(MakeHresult(0x80040205)), L"IDispatch error #5");
  EXPECT_EQ(ErrorText(MakeHresult(0x8004FFFF)), L"IDispatch error #65023");
  EXPECT_EQ(ErrorText(MakeHresult(0x80050000)), L"Unknown error 0x80050000") << "just past the dispatch range";
  EXPECT_EQ(ErrorText(MakeHresult(0x8badf00d)), L"Unknown error 0x8BADF00D");
}

void SetMonitoring(const wchar_t* name, const BYTE* data, DWORD size, DWORD type = REG_DWORD) {
  Talvaro::Testing::SetRegistryValue(L"SOFTWARE\\TALVARO\\ORBIQ\\PerformanceMonitoring", name, type, data, size);
}

TEST(RegistryConfigProvider, ReadsOnceThroughFourBytesAndKeepsDefaultsSilently) {
  {
    RegistryConfigProvider defaults;
    EXPECT_EQ(defaults.GetCommunicationDelayThresholdInMs(), 500u);
    EXPECT_FALSE(defaults.GetRepeatEtwFlushing());
    EXPECT_FALSE(defaults.IsEnabled());
  }
  const DWORD threshold = 0xFFFFFFFF, yes = 7;
  SetMonitoring(L"CommunicationDelayThresholdInMs", reinterpret_cast<const BYTE*>(&threshold), 4);
  SetMonitoring(L"RepeatEtwFlushing", reinterpret_cast<const BYTE*>(&yes), 4, REG_BINARY);
  const wchar_t tooLong[] = L"on";
  SetMonitoring(L"Enabled", reinterpret_cast<const BYTE*>(tooLong), sizeof tooLong, REG_SZ);
  RegistryConfigProvider read;
  EXPECT_EQ(read.GetCommunicationDelayThresholdInMs(), 0xFFFFFFFFu) << "unsigned";
  EXPECT_TRUE(read.GetRepeatEtwFlushing()) << "any type, non-zero is true";
  EXPECT_FALSE(read.IsEnabled()) << "data longer than four bytes keeps the default";
  SetMonitoring(L"Enabled", reinterpret_cast<const BYTE*>(&yes), 4);
  EXPECT_FALSE(read.IsEnabled()) << "read once";
}

// How many times the calling thread had joined the apartment: probes by joining until S_OK.
int JoinCount() {
  int count = 0;
  while (CoInitializeEx(nullptr, COINIT_MULTITHREADED) == S_FALSE) ++count;
  CoUninitialize();
  for (int i = 0; i < count; ++i) CoUninitialize();
  return count;
}

TEST(Connector, AnAbsentMonitorIsLoggedWithItsStatusAndTheThreadKeepsItsApartment) {
  auto records = std::make_shared<Logging::RecordCollector>();
  Logging::AttachRecordSink(records);
  std::thread([&] {
    Connector connector;
    EXPECT_EQ(connector.RequestLogFlush(L"issue"), CO_E_CLASSSTRING);
    EXPECT_EQ(JoinCount(), 0) << "a thread outside the apartment stays outside";
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    EXPECT_EQ(connector.RequestLogFlush(L"issue"), CO_E_CLASSSTRING);
    CoUninitialize();
    EXPECT_EQ(JoinCount(), 0) << "a thread inside stays inside once, and leaves with its own CoUninitialize";
  }).join();
  const auto failures = records->Matching(L"Connection to TalvaroPerformanceMonitoring service failed");
  ASSERT_EQ(failures.size(), 2u);
  EXPECT_EQ(failures[0].text,
            L"Connection to TalvaroPerformanceMonitoring service failed - CoCreateInstance returned: HRESULT "
            L"[0x800401f3], MESSAGE [Invalid class string].");
  EXPECT_EQ(failures[0].level, Logging::Level::Error);
  EXPECT_EQ(failures[0].source, kConnectorSource);

  // Through the tools: the connector's record, then the failed flush; the next issue tries again.
  records->Clear();
  auto settings = std::make_unique<Settings>();
  settings->threshold = 0;
  PerformanceTools tools(std::make_unique<Connector>(), std::move(settings), ScriptedClock);
  for (int issue = 0; issue < 2; ++issue) {
    readings = {0, 20000};
    tools.MeasureExecutionVoid(L"A", [] {});
  }
  std::vector<std::wstring> texts;
  for (const auto& record : records->Records()) texts.push_back(record.text);
  ASSERT_EQ(texts.size(), 6u);
  EXPECT_EQ(texts[1], failures[0].text);
  EXPECT_EQ(texts[2], L"Performance monitor flush has failed. HRESULT [0x800401f3], MESSAGE [Invalid class string].");
  EXPECT_EQ(texts[4], failures[0].text) << "tried again";
  Logging::DetachRecordSink(records);
}

}  // namespace
}  // namespace Talvaro::Orbiq::Utils::PerformanceMonitoring
