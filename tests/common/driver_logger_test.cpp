#include "common/driver_logger.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "tests/external/logging/test_environment.h"

namespace {

// The logger is created once per process: this is the only test of the executable that asks
// for it, so the registry it reads is this test's own.
TEST(DriverLogger, OneLoggerPerProcessConfiguredFromTheDriverKey) {
  talvaro_test::IsolatedEnvironment env;
  const std::wstring key = L"SOFTWARE\\TALVARO\\ORBIQ\\TalvaroCommunicationDriver\\Log";
  talvaro_test::SetString(key, L"File", L"driver.log");

  std::vector<std::shared_ptr<Logging::ILogger>> seen(8);
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < seen.size(); ++i) {
    threads.emplace_back([&seen, i] { seen[i] = Talvaro::Common::GetDriverLogger(); });
  }
  for (auto& thread : threads) thread.join();
  ASSERT_NE(seen[0], nullptr);
  for (const auto& logger : seen) EXPECT_EQ(logger, seen[0]);

  // Later changes of the key are not read again.
  talvaro_test::SetString(key, L"File", L"other.log");
  Talvaro::Common::GetDriverLogger()->Info(L"TCD::CTools", L"hello", Logging::Category::Developer1);
  EXPECT_NE(talvaro_test::ReadFile(env.LogDirectory() / "driver.log").find("[TCD::CTools] [Developer1] hello"),
            std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(env.LogDirectory() / "other.log"));
}

}  // namespace
