// Clocks and critical sections.
#include <gtest/gtest.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>

#include "platform/kernel/clock.h"
#include "platform/kernel/critical_section.h"
#include "platform/kernel/synch.h"
#include "platform/system/last_error.h"

namespace {

constexpr std::uint64_t kUnixEpochTicks = 116'444'736'000'000'000ull;

FILETIME FileTimeOf(std::uint64_t ticks) {
  return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

std::uint64_t TicksOf(const FILETIME& time) {
  return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

// Seconds since 1970 of calendar fields taken as UTC.
std::int64_t SecondsOf(const SYSTEMTIME& time) {
  tm fields{};
  fields.tm_year = time.wYear - 1900;
  fields.tm_mon = time.wMonth - 1;
  fields.tm_mday = time.wDay;
  fields.tm_hour = time.wHour;
  fields.tm_min = time.wMinute;
  fields.tm_sec = time.wSecond;
  return ::timegm(&fields);
}

TEST(Clocks, CountersAreTheMonotonicClockInTheirDocumentedUnits) {
  LARGE_INTEGER frequency{};
  ASSERT_TRUE(QueryPerformanceFrequency(&frequency));
  EXPECT_EQ(frequency.QuadPart, 1'000'000'000);
  EXPECT_FALSE(QueryPerformanceCounter(nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

  // The counter is CLOCK_MONOTONIC in nanoseconds; tick counts are the same clock in ms.
  timespec before{};
  timespec after{};
  LARGE_INTEGER counter{};
  ::clock_gettime(CLOCK_MONOTONIC, &before);
  QueryPerformanceCounter(&counter);
  const DWORD tick = GetTickCount();
  const ULONGLONG tick64 = GetTickCount64();
  ::clock_gettime(CLOCK_MONOTONIC, &after);
  EXPECT_GE(counter.QuadPart, before.tv_sec * 1'000'000'000LL + before.tv_nsec);
  EXPECT_LE(counter.QuadPart, after.tv_sec * 1'000'000'000LL + after.tv_nsec);
  EXPECT_LE(static_cast<ULONGLONG>(before.tv_sec) * 1000 + before.tv_nsec / 1'000'000, tick64);
  EXPECT_LE(tick64, static_cast<ULONGLONG>(after.tv_sec) * 1000 + after.tv_nsec / 1'000'000);
  EXPECT_LE(static_cast<DWORD>(tick64 - tick), 1u) << "GetTickCount is the low half";
}

// Year, month, day of week, day, hour, minute, second, millisecond.
std::array<int, 8> Fields(const SYSTEMTIME& t) {
  return {t.wYear, t.wMonth, t.wDayOfWeek, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds};
}

TEST(Clocks, FileTimeConvertsToCalendarFields) {
  SYSTEMTIME time{};
  FILETIME origin = FileTimeOf(0);
  ASSERT_TRUE(FileTimeToSystemTime(&origin, &time));
  EXPECT_EQ(Fields(time), (std::array<int, 8>{1601, 1, 1, 1, 0, 0, 0, 0})) << "a Monday";
  // 2024-02-29 23:59:58.789 UTC, a Thursday: 1709251198.789 s after 1970.
  FILETIME leapDay = FileTimeOf(kUnixEpochTicks + 17'092'511'987'890'000ull);
  ASSERT_TRUE(FileTimeToSystemTime(&leapDay, &time));
  EXPECT_EQ(Fields(time), (std::array<int, 8>{2024, 2, 4, 29, 23, 59, 58, 789}));

  FILETIME tooLarge{0, 0x80000000u};
  EXPECT_FALSE(FileTimeToSystemTime(&tooLarge, &time));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST(Clocks, SystemAndLocalTimeFollowTheRealtimeClockAndTimeZone) {
  FILETIME now{};
  GetSystemTimeAsFileTime(&now);
  const auto unixSeconds = static_cast<std::int64_t>((TicksOf(now) - kUnixEpochTicks) / 10'000'000);
  EXPECT_LE(std::llabs(unixSeconds - ::time(nullptr)), 2);

  SYSTEMTIME utc{};
  GetSystemTime(&utc);
  EXPECT_LE(std::llabs(SecondsOf(utc) - ::time(nullptr)), 2);

  const char* oldZone = std::getenv("TZ");
  const std::string saved = oldZone != nullptr ? oldZone : "";
  ::setenv("TZ", "TST-3", 1);  // three hours east of UTC, no daylight saving
  ::tzset();
  SYSTEMTIME local{};
  GetLocalTime(&local);
  GetSystemTime(&utc);
  FILETIME shifted{};
  const BOOL converted = FileTimeToLocalFileTime(&now, &shifted);
  oldZone != nullptr ? ::setenv("TZ", saved.c_str(), 1) : ::unsetenv("TZ");
  ::tzset();
  EXPECT_LE(std::llabs(SecondsOf(local) - SecondsOf(utc) - 3 * 3600), 2);
  ASSERT_TRUE(converted);
  EXPECT_EQ(TicksOf(shifted) - TicksOf(now), 3ull * 3600 * 10'000'000) << "a stored UTC time shown as local";
  const FILETIME beyond{0, 0x80000000u};
  EXPECT_FALSE(FileTimeToLocalFileTime(&beyond, &shifted));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

// Seconds since this process started, by the kernel's account (/proc/self/stat, field 22).
double ProcessAgeSeconds() {
  std::ifstream statFile("/proc/self/stat");
  std::string text((std::istreambuf_iterator<char>(statFile)), std::istreambuf_iterator<char>());
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string field;
  for (int i = 3; i <= 22; ++i) fields >> field;
  const double started = std::stod(field) / static_cast<double>(::sysconf(_SC_CLK_TCK));
  timespec boot{};
  ::clock_gettime(CLOCK_BOOTTIME, &boot);
  return static_cast<double>(boot.tv_sec) + boot.tv_nsec / 1e9 - started;
}

TEST(Clocks, CrtClockCountsWallMillisecondsFromProcessStart) {
  static_assert(crt::ClocksPerSec == 1000);
  const crt::clock_t sinceStart = crt::clock();
  const double age = ProcessAgeSeconds();
  EXPECT_GE(sinceStart, 0);
  // The start is taken during static initialisation, shortly after exec.
  EXPECT_NEAR(sinceStart / 1000.0, age, 2.0);

  // Wall time, not processor time: a blocked wait advances it.
  const HANDLE never = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  const crt::clock_t before = crt::clock();
  WaitForSingleObject(never, 200);
  EXPECT_GE(crt::clock() - before, 200);
  CloseHandle(never);
}

TEST(CriticalSections, AreRecursiveAndExclusive) {
  platform::kernel::CriticalSection section;
  section.Lock();
  EXPECT_TRUE(section.TryLock()) << "the owner enters again";
  std::thread([&] { EXPECT_FALSE(section.TryLock()) << "another thread must not enter"; }).join();
  section.Unlock();
  std::thread([&] { EXPECT_FALSE(section.TryLock()) << "still held once"; }).join();
  section.Unlock();
  std::thread([&] {
    EXPECT_TRUE(section.TryLock());
    section.Unlock();
  }).join();

  // The standard lock adaptors and the guard over a raw section hold it for their scope only.
  CRITICAL_SECTION raw;
  InitializeCriticalSection(&raw);
  {
    std::lock_guard guard(section);
    platform::kernel::CriticalSectionGuard inner(raw);
    std::thread([&] {
      EXPECT_FALSE(section.TryLock());
      EXPECT_FALSE(TryEnterCriticalSection(&raw));
    }).join();
  }
  std::thread([&] {
    EXPECT_TRUE(TryEnterCriticalSection(&raw));
    LeaveCriticalSection(&raw);
    EXPECT_TRUE(section.TryLock());
    section.Unlock();
  }).join();
  DeleteCriticalSection(&raw);
}

}  // namespace
