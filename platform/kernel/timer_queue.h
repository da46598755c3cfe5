// The process's default timer queue. One timer thread keeps the schedule; due callbacks run on
// a pool of worker threads that grows while all workers are busy (up to a cap) and shrinks when
// workers stay idle, so a slow callback never delays another timer, and a periodic timer whose
// callback still runs may start it again on another worker.
#pragma once

#include "platform/kernel/handle.h"

using WAITORTIMERCALLBACK = void (*)(PVOID parameter, BOOLEAN timerOrWaitFired);

inline constexpr ULONG WT_EXECUTEDEFAULT = 0x00000000;
inline constexpr ULONG WT_EXECUTELONGFUNCTION = 0x00000010;
inline constexpr ULONG WT_EXECUTEONLYONCE = 0x00000008;

// Schedules `callback(parameter, TRUE)` after `dueTime` ms and then every `period` ms (0: once).
// `timerQueue` must be null (the default queue; no other queues exist). Flags: any combination
// of WT_EXECUTEDEFAULT, WT_EXECUTELONGFUNCTION (every callback runs on a pool thread anyway) and
// WT_EXECUTEONLYONCE (ignores the period); others are refused with ERROR_INVALID_PARAMETER.
// The handle is not closed with CloseHandle but ended with DeleteTimerQueueTimer, also after a
// one-shot timer has fired. Any thread.
BOOL CreateTimerQueueTimer(HANDLE* newTimer, HANDLE timerQueue, WAITORTIMERCALLBACK callback,
                           PVOID parameter, DWORD dueTime, DWORD period, ULONG flags);

// Ends a timer: once this returns, no new callback of it starts. `completionEvent`:
// - INVALID_HANDLE_VALUE: waits until running callbacks of the timer have ended, then TRUE.
//   Called from inside one of the timer's own callbacks it cannot wait for itself: it returns
//   FALSE with ERROR_IO_PENDING at once instead of deadlocking.
// - null: does not wait; FALSE with ERROR_IO_PENDING when a callback is still running.
// - an event: set once no callback of the timer runs any more (at once if none runs now);
//   FALSE with ERROR_IO_PENDING when that is later.
// In every case the timer is deleted (ERROR_IO_PENDING needs no retry). FALSE with
// ERROR_INVALID_PARAMETER for a non-null `timerQueue`, ERROR_INVALID_HANDLE for a handle that
// names no timer (or an already deleted one) or a completion handle that names no event.
BOOL DeleteTimerQueueTimer(HANDLE timerQueue, HANDLE timer, HANDLE completionEvent);

namespace platform::kernel {

// Most callbacks that run at once; further due callbacks wait for a free worker.
inline constexpr unsigned kTimerQueueWorkerLimit = 32;

}  // namespace platform::kernel
