#include "external/logging/logger.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <future>
#include <regex>
#include <thread>

#include "external/logging/record_sink.h"
#include "platform/types/wide_string.h"
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

  // The file a logger of this name writes by default.
  std::filesystem::path LogFile(const std::string& name) const { return env_.LogDirectory() / (name + ".log"); }

  talvaro_test::IsolatedEnvironment env_;
};

TEST_F(Logger, DefaultsWriteFormattedUtf8LinesToNameDotLog) {
  auto logger = Create();  // no key at all
  logger->Info(L"Src::A", L"first \u00e4\u20ac\U0001F600", Category::Communication);
  logger->Warning(L"Src::B", L"second", Category::Developer1);
  logger->Error(L"Src::C", L"multi\nline\r\ntext {0} %s", Category::Developer1);

  // Flushed per record: visible while the logger still exists.
  const auto lines = ReadLines(LogFile("Unit"));
  ASSERT_EQ(lines.size(), 3u) << ReadFile(LogFile("Unit"));
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
  // The Level value, in any case, and the records of an Info, Warning, Error triple that reach
  // the file; Off writes no file at all, an unknown value means Info.
  const struct {
    const wchar_t* level;
    const char* kept;
  } cases[] = {{L"wARNING", "WE"}, {L"Error", "E"}, {L"off", nullptr}, {L"Verbose", "IWE"}};
  for (const auto& c : cases) {
    talvaro_test::SetString(kSubKey, L"Level", c.level);
    const std::wstring name = std::wstring(L"Level_") + c.level;
    auto logger = Create(name);
    logger->Info(L"S", L"record I", Category::Developer1);
    logger->Warning(L"S", L"record W", Category::Developer1);
    logger->Error(L"S", L"record E", Category::Developer1);
    const auto file = LogFile(platform::ToUtf8(name));
    if (c.kept == nullptr) {
      EXPECT_FALSE(std::filesystem::exists(file));
      continue;
    }
    const std::string content = ReadFile(file);
    for (const char level : std::string("IWE")) {
      EXPECT_EQ(content.find(std::string("record ") + level) != std::string::npos,
                std::strchr(c.kept, level) != nullptr)
          << platform::ToUtf8(c.level) << " " << level;
    }
  }
  // The bad value itself is reported, in the log it concerns.
  EXPECT_NE(ReadFile(LogFile("Level_Verbose")).find("Logger value \"Level\""), std::string::npos);
}

TEST_F(Logger, FileValueRelativeToLogDirOrAbsoluteAndHklmShortForm) {
  talvaro_test::SetString(kSubKey, L"File", L"sub/custom.log");
  Create(L"Relative")->Info(L"S", L"relative", Category::Developer1);
  EXPECT_NE(ReadFile(env_.LogDirectory() / "sub" / "custom.log").find("relative"), std::string::npos);

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
    const auto path = env_.LogDirectory() / name;
    ASSERT_TRUE(std::filesystem::exists(path)) << name;
    EXPECT_LE(std::filesystem::file_size(path), 1024u) << name;
  }
  EXPECT_FALSE(std::filesystem::exists(env_.LogDirectory() / "rot.3.log"));
  EXPECT_NE(ReadFile(env_.LogDirectory() / "rot.log").find("record 99 "), std::string::npos);
}

TEST_F(Logger, ThreadsAndLoggersOfOneNameShareTheirFileAcrossRotation) {
  talvaro_test::SetDword(kSubKey, L"MaxFileSize", 2048);
  talvaro_test::SetDword(kSubKey, L"MaxFiles", 1000);
  const std::shared_ptr<Logging::ILogger> loggers[] = {Create(L"Shared"), Create(L"Shared")};
  constexpr int kThreads = 4, kPerThread = 100;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) loggers[t % 2]->Info(L"T", L"record", Category::Developer1);
    });
  }
  for (auto& thread : threads) thread.join();
  // Two independent writers would overwrite each other's rotated files and lose records; an
  // unsynchronised one would tear lines.
  std::size_t total = 0;
  for (const auto& entry : std::filesystem::directory_iterator(env_.LogDirectory())) {
    for (const auto& line : ReadLines(entry.path())) {
      EXPECT_TRUE(std::regex_match(line, kLine)) << line;
      ++total;
    }
  }
  EXPECT_EQ(total, static_cast<std::size_t>(kThreads * kPerThread));
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

// ---- record tap ---------------------------------------------------------------------------

TEST_F(Logger, RecordTapSeesEveryRecordWhateverTheFileLevel) {
  talvaro_test::SetString(kSubKey, L"Level", L"Off");
  auto collector = std::make_shared<Logging::RecordCollector>();
  {
    Logging::ScopedRecordSink tap(collector);
    Create(L"One")->Info(L"Src1", L"hello", Category::Communication);
    EXPECT_FALSE(collector->WaitForText(L"world", 10ms));
    std::thread writer([&] { Create(L"Two", L"HKLM\\SOFTWARE\\Other")->Error(L"Src2", L"world", Category::Developer1); });
    EXPECT_TRUE(collector->WaitForText(L"world", 30s));
    writer.join();
  }
  Create(L"Three")->Info(L"Src3", L"after detach", Category::Developer1);

  std::vector<std::wstring> seen;
  for (const auto& r : collector->Records()) {
    seen.push_back(std::wstring(Logging::LevelName(r.level)) + L" " + r.source + L" " +
                   Logging::CategoryName(r.category) + L" " + r.text);
  }
  EXPECT_EQ(seen, (std::vector<std::wstring>{L"Info Src1 Communication hello",
                                             L"Error Src2 Developer1 world"}));
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
  const std::string content = ReadFile(LogFile("Echo"));
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
  EXPECT_NE(ReadFile(LogFile("Blocking")).find("new logger not blocked"),
            std::string::npos);
}

}  // namespace
