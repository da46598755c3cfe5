// Threads of the process: creation with a waitable handle, the exit code, identities, Sleep.
#pragma once

#include <cstddef>

#include "platform/kernel/handle.h"

using SIZE_T = std::size_t;
using LPTHREAD_START_ROUTINE = DWORD (*)(LPVOID parameter);

inline constexpr DWORD STILL_ACTIVE = 259;
inline constexpr DWORD CREATE_SUSPENDED = 0x00000004;
inline constexpr DWORD STACK_SIZE_PARAM_IS_A_RESERVATION = 0x00010000;

// Starts `start(parameter)` on a new thread. The handle is signalled when the thread has ended
// (its message queue already gone), and GetExitCodeThread then gives start's return value.
// `stackSize` 0 = the default; other values are rounded up to the system minimum and the page
// size. `flags`: 0 or STACK_SIZE_PARAM_IS_A_RESERVATION; CREATE_SUSPENDED is refused with
// ERROR_INVALID_PARAMETER (there is no ResumeThread). `threadId`, when not null, receives the
// new thread's GetCurrentThreadId. Security attributes are ignored. Any thread.
HANDLE CreateThread(LPSECURITY_ATTRIBUTES security, SIZE_T stackSize, LPTHREAD_START_ROUTINE start,
                    LPVOID parameter, DWORD flags, LPDWORD threadId);

// STILL_ACTIVE while the thread runs, then its exit code.
BOOL GetExitCodeThread(HANDLE thread, LPDWORD exitCode);

// The kernel's thread id (gettid) and process id; unique among living threads / processes.
DWORD GetCurrentThreadId();
DWORD GetCurrentProcessId();

// Suspends the calling thread; 0 yields the processor, INFINITE never returns.
void Sleep(DWORD milliseconds);
