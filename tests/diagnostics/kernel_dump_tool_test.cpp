#include "diagnostics/kernel_dump_tool.h"

#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>

#include <gtest/gtest.h>

#include "external/logging/record_sink.h"
#include "platform/registry/registry.h"
#include "platform/types/wide_string.h"
#include "tests/support/environment/registry_values.h"
#include "tests/support/wait/wait_until.h"

namespace Talvaro::Diagnostics {
namespace {

using namespace std::chrono_literals;

void SetValue(const wchar_t* name, DWORD value) { Talvaro::Testing::SetRegistryDword(kToolsKeyPath, name, value); }

void SetValue(const wchar_t* name, const std::wstring& text) {
  Talvaro::Testing::SetRegistryText(kToolsKeyPath, name, text);
}

std::string ReadAll(const std::filesystem::path& file) {
  std::ifstream in(file);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class KernelDumpTool : public ::testing::Test {
 protected:
  void SetUp() override { Logging::AttachRecordSink(records_); }
  void TearDown() override { Logging::DetachRecordSink(records_); }

  std::size_t Count(const std::wstring& text) const { return records_->Matching(text).size(); }
  bool WaitFor(const std::wstring& text, std::chrono::milliseconds bound = 20s) const {
    return records_->WaitForText(text, bound);
  }

  // A file the dump command writes, in the test process's own directory (isolated_main).
  std::filesystem::path Marker(const char* name) const {
    return std::filesystem::path(std::getenv("TALVARO_REGISTRY")).parent_path() / name;
  }

  std::shared_ptr<Logging::RecordCollector> records_ = std::make_shared<Logging::RecordCollector>();
};

TEST_F(KernelDumpTool, GapLogLinesCarryLocalTimeNamesAndText) {
  CTools tools;
  tools.AddGapLogEntry(L"before");
  tools.Initialize(L"XRB_A", L"App");
  tools.AddGapLogEntry(L"Fire_OnData begin");
  const auto lines = tools.GapLog();
  ASSERT_EQ(lines.size(), 2u);
  const std::wregex format(LR"(^\d\d:\d\d:\d\d\.\d\d\d \()");
  EXPECT_TRUE(std::regex_search(lines[0], format)) << platform::ToUtf8(lines[0]);
  EXPECT_EQ(lines[0].substr(12), L" ([noName], [noName]): before.");
  EXPECT_EQ(lines[1].substr(12), L" (XRB_A, App): Fire_OnData begin.");
}

TEST_F(KernelDumpTool, AGapReachingTheMinimumIsLoggedLineByLineAndTheLinesStay) {
  {
    CTools off;  // no MinimalGapToLog: never written
    off.AddGapLogEntry(L"unseen");
    off.LogGapIfNeeded(0, 0x7FFFFFFF);
    EXPECT_EQ(Count(L"unseen"), 0u);
  }
  SetValue(L"MinimalGapToLog", 5);
  CTools tools;
  tools.AddGapLogEntry(L"first");
  tools.AddGapLogEntry(L"second");
  tools.LogGapIfNeeded(100, 104);
  EXPECT_EQ(Count(L"first"), 0u) << "one millisecond short";
  tools.LogGapIfNeeded(100, 105);
  ASSERT_EQ(Count(L"first"), 1u) << "equal to the minimum";
  const auto records = records_->Matching(L"): ");
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].level, Logging::Level::Warning);
  EXPECT_EQ(records[0].source, kToolsSource);
  EXPECT_EQ(records[0].category, Logging::Category::Developer1);
  EXPECT_NE(records[0].text.find(L"first"), std::wstring::npos) << "oldest first";
  tools.LogGapIfNeeded(0xFFFFFFFE, 3);
  EXPECT_EQ(Count(L"second"), 2u) << "the 32-bit clock wrapped: a gap of 5, and the lines stayed";
  tools.LogGapIfNeeded(10, 5);
  EXPECT_EQ(Count(L"second"), 2u) << "a negative gap";
}

TEST_F(KernelDumpTool, ResetGapLogRemovesAllLinesOnlyFromTheGivenCount) {
  CTools tools;
  tools.ResetGapLog(0);
  for (int i = 0; i < 99; ++i) tools.AddGapLogEntry(L"line");
  tools.ResetGapLog(100);
  EXPECT_EQ(tools.GapLog().size(), 99u);
  tools.AddGapLogEntry(L"line");
  tools.ResetGapLog(100);
  EXPECT_TRUE(tools.GapLog().empty());
  tools.AddGapLogEntry(L"line");
  tools.ResetGapLog(0);
  EXPECT_TRUE(tools.GapLog().empty());
}

// The begin and end events coalesce (a begin and an end that come while a dump runs may count
// for the next dispatch), so the stalls here signal no end, and the in-time dispatch has a tool
// of its own.
TEST_F(KernelDumpTool, AStallBeyondTheDelayRunsTheCommandOnceAndADispatchEndedInTimeNone) {
  const auto marker = Marker("dumps");
  SetValue(L"EnableKernelDump", 1);
  ::setenv("DUMP_MARK", marker.c_str(), 1);  // the command may hold 49 characters: no room for paths
  SetValue(L"KernelDumpCommand", L"echo dump >> $DUMP_MARK");
  const std::wstring ran = L"Run Command succeeded: /bin/sh -c \"echo dump >> $DUMP_MARK\"";
  {
    CTools inTime;  // the default delay of 5 s
    inTime.Initialize(L"XRB_A", L"App");
    inTime.SignalDispatchBegin();
    inTime.SignalDispatchEnd();
  }
  EXPECT_EQ(Count(L"Thread is going to be ended"), 1u) << "destruction stops the watch";
  EXPECT_EQ(Count(L"Creating full kernel dump"), 0u);

  SetValue(L"FullKernelDumpDelay", 200);
  CTools tools;
  tools.Initialize(L"XRB_A", L"App");
  tools.SignalDispatchBegin();  // stalls
  ASSERT_TRUE(WaitFor(ran));
  EXPECT_EQ(records_->Matching(L"Creating full kernel dump")[0].level, Logging::Level::Error);
  tools.SignalDispatchBegin();  // stalls again
  ASSERT_TRUE(Testing::WaitUntil([&] { return Count(ran) == 2; }, 20s));
  ASSERT_TRUE(Testing::WaitUntil([&] { return ReadAll(marker) == "dump\ndump\n"; }, 20s))
      << "one dump per stalled dispatch: " << ReadAll(marker);
}

TEST_F(KernelDumpTool, AnEmptyCommandEndsInTwoQuotesAndAnEndlessDelayNeverDumps) {
  SetValue(L"EnableKernelDump", 1);
  SetValue(L"FullKernelDumpDelay", 0);
  SetValue(L"KernelDumpCommand", std::wstring(50, L'x'));  // one character too long: not read
  {
    CTools tools;
    tools.Initialize(L"XRB_A", L"App");
    tools.SignalDispatchBegin();
    EXPECT_TRUE(WaitFor(L"Run Command succeeded: /bin/sh -c \"\""));
  }
  records_->Clear();
  SetValue(L"FullKernelDumpDelay", 0xFFFFFFFF);
  CTools endless;
  endless.Initialize(L"XRB_A", L"App");
  endless.SignalDispatchBegin();
  EXPECT_FALSE(WaitFor(L"Creating full kernel dump", 500ms));
}

TEST_F(KernelDumpTool, DestructionWaitsOneSecondForAWatchBusyInItsCommandThenGoesOn) {
  const auto pidFile = Marker("dump.pid");
  SetValue(L"EnableKernelDump", 1);
  SetValue(L"FullKernelDumpDelay", 10);
  ::setenv("DUMP_PID", pidFile.c_str(), 1);
  SetValue(L"KernelDumpCommand", L"echo $$ > $DUMP_PID; exec sleep 60");
  auto tools = std::make_unique<CTools>();
  tools->Initialize(L"XRB_A", L"App");
  tools->SignalDispatchBegin();
  ASSERT_TRUE(WaitFor(L"Run Command succeeded"));
  const auto started = std::chrono::steady_clock::now();
  tools.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - started, 10s) << "destruction never hangs on the command";
  EXPECT_EQ(Count(L"CreateKernelDumpIfNeeded_thread hasn't been stopped yet"), 1u);
  ASSERT_TRUE(Testing::WaitUntil([&] { return ReadAll(pidFile).ends_with('\n'); }, 20s));  // written whole
  const int pid = std::atoi(ReadAll(pidFile).c_str());
  ASSERT_GT(pid, 0);
  ::kill(pid, SIGKILL);  // the watch thread then ends on the stop it was sent
  EXPECT_TRUE(WaitFor(L"Thread is going to be ended"));
}

TEST_F(KernelDumpTool, DisabledSignalsDoNothingAndACommandThatCannotStartIsLogged) {
  CTools tools;
  tools.Initialize(L"XRB_A", L"App");
  tools.SignalDispatchBegin();
  tools.SignalDispatchEnd();
  EXPECT_FALSE(CTools::RunCommand(L"/no/such/dump-program --all"));
  EXPECT_EQ(Count(L"Run Command failed /no/such/dump-program --all"), 1u);
  EXPECT_EQ(Count(L"Creating full kernel dump"), 0u);
}

}  // namespace
}  // namespace Talvaro::Diagnostics
