// Event-log records in the file that TALVARO_EVENT_LOG names.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "platform/service/event_log.h"
#include "platform/system/last_error.h"
#include "tests/support/environment/isolated_environment.h"

namespace service_test {
namespace {

std::vector<std::string> Lines(const std::filesystem::path& path) {
  std::ifstream file(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(file, line);) lines.push_back(line);
  return lines;
}

TEST(EventLog, OneLinePerRecordInTheFileAndRefusals) {
  Talvaro::Testing::IsolatedEnvironment environment;
  HANDLE source = RegisterEventSourceW(nullptr, L"Demo Source");
  ASSERT_NE(source, nullptr);
  LPCWSTR two[] = {L"first\nline", L"second"};
  ASSERT_TRUE(ReportEventW(source, EVENTLOG_INFORMATION_TYPE, 0, 0, nullptr, 2, 0, two, nullptr));
  LPCWSTR one[] = {L"Stopped \u00e4"};
  ASSERT_TRUE(ReportEventW(source, EVENTLOG_ERROR_TYPE, 3, 42, nullptr, 1, 0, one, nullptr));
  ASSERT_TRUE(ReportEventW(source, EVENTLOG_WARNING_TYPE, 0, 7, nullptr, 0, 0, nullptr, nullptr));

  const auto lines = Lines(environment.EventLog());
  ASSERT_EQ(lines.size(), 3u);
  const std::string pid = std::to_string(::getpid());
  const std::regex time(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z )");
  EXPECT_TRUE(std::regex_search(lines[0], time)) << lines[0];
  EXPECT_EQ(lines[0].substr(25), "Demo Source[" + pid + "] Information 0: first\\nline second");
  EXPECT_EQ(lines[1].substr(25), "Demo Source[" + pid + "] Error 42: Stopped \xc3\xa4");
  EXPECT_EQ(lines[2].substr(25), "Demo Source[" + pid + "] Warning 7: ");

  EXPECT_FALSE(ReportEventW(source, 0x20, 0, 0, nullptr, 0, 0, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(ReportEventW(source, EVENTLOG_INFORMATION_TYPE, 0, 0, nullptr, 1, 0, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  ASSERT_TRUE(DeregisterEventSource(source));
  EXPECT_FALSE(ReportEventW(source, EVENTLOG_INFORMATION_TYPE, 0, 0, nullptr, 1, 0, one, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(DeregisterEventSource(source));
  EXPECT_EQ(Lines(environment.EventLog()).size(), 3u);

  EXPECT_EQ(RegisterEventSourceW(L"otherhost", L"Demo"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
  EXPECT_EQ(RegisterEventSourceW(nullptr, L""), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

  // A file that cannot be written fails the record.
  ::setenv("TALVARO_EVENT_LOG", (environment.Root() / "missing" / "events.log").c_str(), 1);
  source = RegisterEventSourceW(nullptr, L"Demo");
  EXPECT_FALSE(ReportEventW(source, EVENTLOG_INFORMATION_TYPE, 0, 0, nullptr, 1, 0, one, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  DeregisterEventSource(source);
}

}  // namespace
}  // namespace service_test
