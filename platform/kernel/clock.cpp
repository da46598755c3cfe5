#include "platform/kernel/clock.h"

#include <time.h>

#include <atomic>
#include <limits>

#include "platform/system/last_error.h"

namespace {

constexpr std::int64_t kNanosecondsPerSecond = 1'000'000'000;
// 100 ns ticks between 1601-01-01 and 1970-01-01.
constexpr std::int64_t kUnixEpochInFileTime = 116'444'736'000'000'000;

std::int64_t Nanoseconds(clockid_t clock) {
  timespec now{};
  ::clock_gettime(clock, &now);
  return static_cast<std::int64_t>(now.tv_sec) * kNanosecondsPerSecond + now.tv_nsec;
}

// Days since 1970-01-01 to a proleptic Gregorian date (H. Hinnant's civil_from_days).
void CivilFromDays(std::int64_t days, std::int64_t& year, unsigned& month, unsigned& day) {
  days += 719468;
  const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const auto dayOfEra = static_cast<unsigned>(days - era * 146097);
  const unsigned yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const unsigned monthIndex = (5 * dayOfYear + 2) / 153;
  day = dayOfYear - (153 * monthIndex + 2) / 5 + 1;
  month = monthIndex < 10 ? monthIndex + 3 : monthIndex - 9;
  year = static_cast<std::int64_t>(yearOfEra) + era * 400 + (month <= 2 ? 1 : 0);
}

// 100 ns ticks since 1601 to calendar fields (UTC).
SYSTEMTIME SystemTimeFromTicks(std::uint64_t ticks) {
  constexpr std::uint64_t kTicksPerMillisecond = 10'000;
  constexpr std::uint64_t kTicksPerDay = 864'000'000'000;
  const std::uint64_t dayTicks = ticks % kTicksPerDay;
  // 1601-01-01 is 134774 days before 1970-01-01, and was a Monday.
  const auto days = static_cast<std::int64_t>(ticks / kTicksPerDay);
  std::int64_t year = 0;
  unsigned month = 0;
  unsigned day = 0;
  CivilFromDays(days - 134774, year, month, day);
  const std::uint64_t milliseconds = dayTicks / kTicksPerMillisecond;
  SYSTEMTIME time{};
  time.wYear = static_cast<WORD>(year);
  time.wMonth = static_cast<WORD>(month);
  time.wDayOfWeek = static_cast<WORD>((days + 1) % 7);
  time.wDay = static_cast<WORD>(day);
  time.wHour = static_cast<WORD>(milliseconds / 3'600'000);
  time.wMinute = static_cast<WORD>(milliseconds / 60'000 % 60);
  time.wSecond = static_cast<WORD>(milliseconds / 1000 % 60);
  time.wMilliseconds = static_cast<WORD>(milliseconds % 1000);
  return time;
}

// Monotonic nanoseconds at the program's start for crt::clock: set by the first of this file's
// static initialisation and the first crt::clock call (which may run in another file's static
// initialiser before this one).
std::atomic<std::int64_t> processStart{0};

std::int64_t ProcessStart() {
  std::int64_t start = processStart.load(std::memory_order_acquire);
  if (start == 0) {
    std::int64_t expected = 0;
    const std::int64_t now = Nanoseconds(CLOCK_MONOTONIC);
    start = processStart.compare_exchange_strong(expected, now) ? now : expected;
  }
  return start;
}

[[maybe_unused]] const std::int64_t startAtLoad = ProcessStart();

}  // namespace

BOOL QueryPerformanceCounter(LARGE_INTEGER* count) {
  if (count == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  count->QuadPart = Nanoseconds(CLOCK_MONOTONIC);
  return TRUE;
}

BOOL QueryPerformanceFrequency(LARGE_INTEGER* frequency) {
  if (frequency == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  frequency->QuadPart = kNanosecondsPerSecond;
  return TRUE;
}

ULONGLONG GetTickCount64() { return static_cast<ULONGLONG>(Nanoseconds(CLOCK_MONOTONIC) / 1'000'000); }

DWORD GetTickCount() { return static_cast<DWORD>(GetTickCount64()); }

void GetSystemTimeAsFileTime(FILETIME* time) {
  const auto ticks =
      static_cast<std::uint64_t>(Nanoseconds(CLOCK_REALTIME) / 100 + kUnixEpochInFileTime);
  time->dwLowDateTime = static_cast<DWORD>(ticks);
  time->dwHighDateTime = static_cast<DWORD>(ticks >> 32);
}

void GetSystemTime(SYSTEMTIME* time) {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  FileTimeToSystemTime(&now, time);
}

void GetLocalTime(SYSTEMTIME* time) {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  tm local{};
  ::localtime_r(&now.tv_sec, &local);
  time->wYear = static_cast<WORD>(local.tm_year + 1900);
  time->wMonth = static_cast<WORD>(local.tm_mon + 1);
  time->wDayOfWeek = static_cast<WORD>(local.tm_wday);
  time->wDay = static_cast<WORD>(local.tm_mday);
  time->wHour = static_cast<WORD>(local.tm_hour);
  time->wMinute = static_cast<WORD>(local.tm_min);
  // A leap second (tm_sec 60) is shown as the last second of the minute, as on the original.
  time->wSecond = static_cast<WORD>(local.tm_sec > 59 ? 59 : local.tm_sec);
  time->wMilliseconds = static_cast<WORD>(now.tv_nsec / 1'000'000);
}

BOOL FileTimeToSystemTime(const FILETIME* fileTime, SYSTEMTIME* systemTime) {
  if (fileTime == nullptr || systemTime == nullptr || (fileTime->dwHighDateTime & 0x80000000u) != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const std::uint64_t ticks =
      (static_cast<std::uint64_t>(fileTime->dwHighDateTime) << 32) | fileTime->dwLowDateTime;
  *systemTime = SystemTimeFromTicks(ticks);
  return TRUE;
}

BOOL FileTimeToLocalFileTime(const FILETIME* fileTime, FILETIME* localFileTime) {
  if (fileTime == nullptr || localFileTime == nullptr || (fileTime->dwHighDateTime & 0x80000000u) != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const std::uint64_t ticks =
      (static_cast<std::uint64_t>(fileTime->dwHighDateTime) << 32) | fileTime->dwLowDateTime;
  const auto seconds = static_cast<time_t>(static_cast<std::int64_t>(ticks / 10'000'000) -
                                           static_cast<std::int64_t>(kUnixEpochInFileTime / 10'000'000));
  tm local{};
  ::localtime_r(&seconds, &local);
  const std::uint64_t shifted = ticks + static_cast<std::uint64_t>(static_cast<std::int64_t>(local.tm_gmtoff) * 10'000'000);
  localFileTime->dwLowDateTime = static_cast<DWORD>(shifted);
  localFileTime->dwHighDateTime = static_cast<DWORD>(shifted >> 32);
  return TRUE;
}

namespace crt {

clock_t clock() {
  const std::int64_t elapsed = (Nanoseconds(CLOCK_MONOTONIC) - ProcessStart()) / 1'000'000;
  return elapsed > std::numeric_limits<clock_t>::max() ? static_cast<clock_t>(-1)
                                                       : static_cast<clock_t>(elapsed);
}

}  // namespace crt
