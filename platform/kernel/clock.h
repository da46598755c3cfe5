// Clocks: the performance counter and tick counts (CLOCK_MONOTONIC), system and local time
// (CLOCK_REALTIME), and the original C runtime's clock() as crt::clock().
#pragma once

#include <cstdint>

#include "platform/types/error_codes.h"

// Nanoseconds of CLOCK_MONOTONIC; the frequency is therefore always 1 000 000 000. TRUE, or
// FALSE with ERROR_INVALID_PARAMETER for a null pointer.
BOOL QueryPerformanceCounter(LARGE_INTEGER* count);
BOOL QueryPerformanceFrequency(LARGE_INTEGER* frequency);

// Milliseconds of CLOCK_MONOTONIC (time since boot); the 32-bit value wraps after 49.7 days.
DWORD GetTickCount();
ULONGLONG GetTickCount64();

// CLOCK_REALTIME as 100 ns ticks since 1601-01-01 UTC.
void GetSystemTimeAsFileTime(FILETIME* time);

// The current time, UTC / in the process's local time zone (TZ), to the millisecond.
void GetSystemTime(SYSTEMTIME* time);
void GetLocalTime(SYSTEMTIME* time);

// Calendar fields (with day of week) of a FILETIME. FALSE with ERROR_INVALID_PARAMETER for null
// pointers or a value of 0x8000000000000000 or more.
BOOL FileTimeToSystemTime(const FILETIME* fileTime, SYSTEMTIME* systemTime);

// A UTC FILETIME shifted by the process's local time zone (TZ) offset at that instant. FALSE with
// ERROR_INVALID_PARAMETER for null pointers or values FileTimeToSystemTime refuses.
BOOL FileTimeToLocalFileTime(const FILETIME* fileTime, FILETIME* localFileTime);

// The original system's C runtime clock: milliseconds of wall time since the process started,
// not the processor time that the C library's ::clock measures. Call it as crt::clock().
// CLOCKS_PER_SEC cannot be re-declared here (it is a macro of <time.h>), hence ClocksPerSec.
namespace crt {

using clock_t = std::int32_t;
inline constexpr clock_t ClocksPerSec = 1000;

// Milliseconds since the program's static initialisation (or since the first call, if that
// came earlier); (clock_t)-1 once the value no longer fits, after about 24.8 days, as the
// original does.
clock_t clock();

}  // namespace crt
