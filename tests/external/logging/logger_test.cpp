#include "external/logging/logger.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <regex>
#include <thread>

#include "external/logging/record_sink.h"
#include "tests/external/logging/test_environment.h"

namespace {

using namespace std::chrono_literals;
using Logging::Category;
using Logging::Level;
using talvaro_test::ReadFile;
using talvaro_test::ReadLines;

constexpr const wchar_t* kSubKey = L"SOFTWARE\\TALVARO\\Test\\Log";
constexpr const wchar_t* kKeyPath = L"HKEY_LOCAL_MACHINE\\SOFTWARE\\TALVARO\\Test\\Log";

// time (local, ms), level, [thread id], [source], [category], text
const std::regex kLine(
    R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} (Info|Warning|Error) \[\d+\] \[[^\]]*\] )"
    R"(\[(Communication|Developer1)\] .*$)");

class Logger : public ::testing::Test {
 protected:
  std::shared_ptr<Logging::ILogger> Create(const std::wstring& name = L"Unit",
                                           const std::wstring& keyPath = kKeyPath) {
    return Logging::LoggerFactory::CreateInfraLoggerFromRegistry(name, keyPath);
  }

  talvaro_test::ScopedTestEnvironment env_;
};

TEST_F(Logger, DefaultsWriteFormattedUtf8LinesToNameDotLog) {
  auto logger = Create();  // no key at all
  logger->Info(L"Src::A", L"first \u00e4\u20ac\U0001F600", Category::Communication);
  logger->Warning(L"Src::B", L"second", Category::Developer1);
  logger->Error(L"Src::C", L"multi\nline\r\ntext {0} %s", Category::Developer1);

  // Flushed per record: visible while the logger still exists.
  const auto lines = ReadLines(env_.LogDir() / "Unit.log");
  ASSERT_EQ(lines.size(), 3u) << ReadFile(env_.LogDir() / "Unit.log");
  for (const auto& line : lines) EXPECT_TRUE(std::regex_match(line, kLine)) << line;
  EXPECT_NE(lines[0].find(" Info ["), std::string::npos);
  EXPECT_NE(lines[0].find("] [Src::A] [Communication] first \xC3\xA4\xE2\x82\xAC\xF0\x9F\x98\x80"),
            std::string::npos)
      << lines[0];
  EXPECT_NE(lines[1].find(" Warning ["), std::string::npos);
  EXPECT_NE(lines[1].find("[Src::B] [Developer1] second"), std::string::npos);
  EXPECT_NE(lines[2].find(" Error ["), std::string::npos);
  EXPECT_NE(lines[2].find("[Src::C] [Developer1] multi\\nline\\r\\ntext {0} %s"), std::string::npos)
      << lines[2];
}

TEST_F(Logger, LevelValueFiltersTheFile) {
  talvaro_test::SetString(kSubKey, L"Level", L"wARNING");
  auto logger = Create();
  logger->Info(L"S", L"dropped", Category::Developer1);
  logger->Warning(L"S", L"kept warning", Category::Developer1);
  logger->Error(L"S", L"kept error", Category::Developer1);
  const std::string content = ReadFile(env_.LogDir() / "Unit.log");
  EXPECT_EQ(content.find("dropped"), std::string::npos);
  EXPECT_NE(content.find("kept warning"), std::string::npos);
  EXPECT_NE(content.find("kept error"), std::string::npos);

  talvaro_test::SetString(kSubKey, L"Level", L"Error");
  auto errorsOnly = Create(L"ErrorsOnly");
  errorsOnly->Warning(L"S", L"dropped", Category::Developer1);
  errorsOnly->Error(L"S", L"kept", Category::Developer1);
  EXPECT_EQ(ReadLines(env_.LogDir() / "ErrorsOnly.log").size(), 1u);
}

TEST_F(Logger, LevelOffWritesNothingAndUnknownLevelMeansInfo) {
  talvaro_test::SetString(kSubKey, L"Level", L"off");
  auto silent = Create(L"Silent");
  silent->Error(L"S", L"nothing", Category::Developer1);
  EXPECT_FALSE(std::filesystem::exists(env_.LogDir() / "Silent.log"));

  talvaro_test::SetString(kSubKey, L"Level", L"Verbose");
  auto fallback = Create(L"Fallback");
  fallback->Info(L"S", L"info kept", Category::Developer1);
  const std::string content = ReadFile(env_.LogDir() / "Fallback.log");
  EXPECT_NE(content.find("info kept"), std::string::npos);
  // The bad value itself is reported once, in the log it concerns.
  EXPECT_NE(content.find("Warning"), std::string::npos);
  EXPECT_NE(content.find("\"Level\""), std::string::npos) << content;
}

TEST_F(Logger, FileValueRelativeToLogDirOrAbsoluteAndHklmShortForm) {
  talvaro_test::SetString(kSubKey, L"File", L"sub/custom.log");
  Create(L"Relative")->Info(L"S", L"relative", Category::Developer1);
  EXPECT_NE(ReadFile(env_.LogDir() / "sub" / "custom.log").find("relative"), std::string::npos);

  const auto absolute = env_.Root() / "elsewhere" / "abs.log";
  talvaro_test::SetString(kSubKey, L"File", absolute.wstring());
  Create(L"Absolute", L"HKLM\\SOFTWARE\\TALVARO\\Test\\Log")
      ->Info(L"S", L"absolute", Category::Developer1);
  EXPECT_NE(ReadFile(absolute).find("absolute"), std::string::npos);
}

TEST_F(Logger, RotatesBySizeAndKeepsMaxFiles) {
  talvaro_test::SetString(kSubKey, L"File", L"rot.log");
  talvaro_test::SetDword(kSubKey, L"MaxFileSize", 1024);
  talvaro_test::SetDword(kSubKey, L"MaxFiles", 2);
  auto logger = Create(L"Rotating");
  const std::wstring filler(60, L'x');
  for (int i = 0; i < 100; ++i) {
    logger->Info(L"S", L"record " + std::to_wstring(i) + L" " + filler, Category::Developer1);
  }
  for (const char* name : {"rot.log", "rot.1.log", "rot.2.log"}) {
    const auto path = env_.LogDir() / name;
    ASSERT_TRUE(std::filesystem::exists(path)) << name;
    EXPECT_LE(std::filesystem::file_size(path), 1024u) << name;
  }
  EXPECT_FALSE(std::filesystem::exists(env_.LogDir() / "rot.3.log"));
  EXPECT_NE(ReadFile(env_.LogDir() / "rot.log").find("record 99 "), std::string::npos);
}

TEST_F(Logger, LoggersOfOneNameShareTheirFileAcrossRotation) {
  talvaro_test::SetDword(kSubKey, L"MaxFileSize", 2048);
  talvaro_test::SetDword(kSubKey, L"MaxFiles", 1000);
  auto first = Create(L"Shared");
  auto second = Create(L"Shared");
  constexpr int kRecords = 400;
  std::thread a([&] {
    for (int i = 0; i < kRecords / 2; ++i) first->Info(L"A", L"from first", Category::Developer1);
  });
  std::thread b([&] {
    for (int i = 0; i < kRecords / 2; ++i) second->Info(L"B", L"from second", Category::Developer1);
  });
  a.join();
  b.join();
  // Two independent writers would overwrite each other's rotated files and lose records.
  std::size_t total = 0;
  for (const auto& entry : std::filesystem::directory_iterator(env_.LogDir())) {
    for (const auto& line : ReadLines(entry.path())) {
      EXPECT_TRUE(std::regex_match(line, kLine)) << line;
      ++total;
    }
  }
  EXPECT_EQ(total, static_cast<std::size_t>(kRecords));
}

TEST_F(Logger, UnopenableFileFallsBackToStderrWithOneWarning) {
  // A regular file where the log directory's parent should be: no one can create the log,
  // root included.
  std::ofstream(env_.Root() / "blocker") << "not a directory";
  setenv("TALVARO_LOG_DIR", (env_.Root() / "blocker" / "logs").c_str(), 1);

  testing::internal::CaptureStderr();
  std::shared_ptr<Logging::ILogger> logger;
  ASSERT_NO_THROW(logger = Create(L"Broken"));
  ASSERT_NE(logger, nullptr);
  EXPECT_NO_THROW(logger->Error(L"S", L"still reported", Category::Communication));
  auto again = Create(L"Broken");  // shares the fallback: no second warning
  again->Info(L"S", L"second record", Category::Communication);
  const std::string err = testing::internal::GetCapturedStderr();

  std::size_t warnings = 0;
  for (std::size_t at = err.find("cannot open log file"); at != std::string::npos;
       at = err.find("cannot open log file", at + 1)) {
    ++warnings;
  }
  EXPECT_EQ(warnings, 1u) << err;
  EXPECT_NE(err.find("[S] [Communication] still reported"), std::string::npos) << err;
  EXPECT_NE(err.find("second record"), std::string::npos) << err;
}

TEST_F(Logger, ManyThreadsWriteWholeLines) {
  auto logger = Create(L"Threads");
  constexpr int kThreads = 8;
  constexpr int kPerThread = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        const std::wstring text = L"thread " + std::to_wstring(t) + L" record " + std::to_wstring(i);
        if (i % 3 == 0) logger->Info(L"T", text, Category::Developer1);
        if (i % 3 == 1) logger->Warning(L"T", text, Category::Communication);
        if (i % 3 == 2) logger->Error(L"T", text, Category::Developer1);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  const auto lines = ReadLines(env_.LogDir() / "Threads.log");
  ASSERT_EQ(lines.size(), static_cast<std::size_t>(kThreads * kPerThread));
  for (const auto& line : lines) ASSERT_TRUE(std::regex_match(line, kLine)) << line;
}

// ---- record tap ---------------------------------------------------------------------------

TEST_F(Logger, RecordTapSeesEveryRecordWhateverTheFileLevel) {
  talvaro_test::SetString(kSubKey, L"Level", L"Off");
  auto collector = std::make_shared<Logging::RecordCollector>();
  {
    Logging::ScopedRecordSink tap(collector);
    Create(L"One")->Info(L"Src1", L"hello", Category::Communication);
    Create(L"Two", L"HKLM\\SOFTWARE\\Other")->Error(L"Src2", L"world", Category::Developer1);
  }
  Create(L"Three")->Info(L"Src3", L"after detach", Category::Developer1);

  const auto records = collector->Records();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].level, Level::Info);
  EXPECT_EQ(records[0].source, L"Src1");
  EXPECT_EQ(records[0].category, Category::Communication);
  EXPECT_EQ(records[0].text, L"hello");
  EXPECT_EQ(records[1].level, Level::Error);
  EXPECT_EQ(records[1].source, L"Src2");
  EXPECT_EQ(records[1].category, Category::Developer1);
  EXPECT_EQ(records[1].text, L"world");
}

// Logs from inside the tap: the record reaches the file but not the tap again.
class EchoSink : public Logging::RecordSink {
 public:
  explicit EchoSink(std::shared_ptr<Logging::ILogger> logger) : logger_(std::move(logger)) {}
  void OnRecord(Level, const std::wstring&, Category, const std::wstring& text) override {
    ++calls;
    logger_->Info(L"Echo", L"echo of " + text, Category::Developer1);
  }
  std::atomic<int> calls{0};

 private:
  std::shared_ptr<Logging::ILogger> logger_;
};

TEST_F(Logger, RecordSinkMayLogWithoutRecursion) {
  auto logger = Create(L"Echo");
  auto echo = std::make_shared<EchoSink>(logger);
  Logging::ScopedRecordSink tap(echo);
  logger->Warning(L"S", L"original", Category::Developer1);
  EXPECT_EQ(echo->calls.load(), 1);
  const std::string content = ReadFile(env_.LogDir() / "Echo.log");
  EXPECT_NE(content.find("original"), std::string::npos);
  EXPECT_NE(content.find("echo of original"), std::string::npos);
}

// Blocks the first record's thread inside the tap until released.
class BlockingSink : public Logging::RecordSink {
 public:
  void OnRecord(Level, const std::wstring&, Category, const std::wstring& text) override {
    if (text != L"block me") return;
    entered.set_value();
    released.wait();
  }
  std::promise<void> entered;
  std::shared_future<void> released;
};

TEST_F(Logger, BlockingSinkHoldsNoLoggingLock) {
  auto logger = Create(L"Blocking");
  auto sink = std::make_shared<BlockingSink>();
  std::promise<void> release;
  sink->released = release.get_future().share();
  auto entered = sink->entered.get_future();
  Logging::ScopedRecordSink tap(sink);

  std::thread blocked([&] { logger->Info(L"S", L"block me", Category::Developer1); });
  ASSERT_EQ(entered.wait_for(30s), std::future_status::ready);
  // Same logger, same file, other thread: completes while the sink blocks.
  auto other = std::async(std::launch::async, [&] {
    logger->Info(L"S", L"not blocked", Category::Developer1);
    Create(L"Blocking")->Error(L"S", L"new logger not blocked", Category::Developer1);
  });
  EXPECT_EQ(other.wait_for(30s), std::future_status::ready);
  release.set_value();
  blocked.join();
  other.get();
  EXPECT_NE(ReadFile(env_.LogDir() / "Blocking.log").find("new logger not blocked"),
            std::string::npos);
}

TEST_F(Logger, CollectorWaitsForARecordFromAnotherThread) {
  auto collector = std::make_shared<Logging::RecordCollector>();
  Logging::ScopedRecordSink tap(collector);
  auto logger = Create(L"Waiter");
  EXPECT_FALSE(collector->WaitForText(L"late", 10ms));
  std::thread writer([&] { logger->Info(L"S", L"a late record", Category::Developer1); });
  EXPECT_TRUE(collector->WaitForText(L"late", 30s));
  writer.join();
  EXPECT_EQ(collector->Matching(L"late").size(), 1u);
}

}  // namespace
