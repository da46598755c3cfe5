// Thread message queues: the run loop's GetMessageW / PostThreadMessageW / WM_QUIT. No windows
// exist in this system, so every message is a thread message (hwnd null) and dispatching is a
// no-op.
#pragma once

#include <cstdint>

#include "platform/types/error_codes.h"

using LRESULT = std::intptr_t;

inline constexpr UINT WM_NULL = 0x0000;
inline constexpr UINT WM_QUIT = 0x0012;
inline constexpr UINT WM_USER = 0x0400;
inline constexpr UINT WM_APP = 0x8000;

inline constexpr UINT PM_NOREMOVE = 0x0000;
inline constexpr UINT PM_REMOVE = 0x0001;
inline constexpr UINT PM_NOYIELD = 0x0002;

struct MSG {
  HWND hwnd;
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
  DWORD time;  // GetTickCount when the message was posted
};
using LPMSG = MSG*;

// Appends a message to the queue of thread `threadId`. FALSE with ERROR_INVALID_THREAD_ID when
// that thread has no queue (it never called GetMessageW / PeekMessageW, or it has ended). Any
// thread.
BOOL PostThreadMessageW(DWORD threadId, UINT message, WPARAM wParam, LPARAM lParam);

// Makes the calling thread's next GetMessageW return WM_QUIT (wParam = exitCode) once no other
// message is waiting. Creates the queue if the thread has none.
void PostQuitMessage(int exitCode);

// Blocks until a message in [filterMin, filterMax] (both 0: any; WM_QUIT always) is in the
// calling thread's queue and removes it: 0 for WM_QUIT, -1 with ERROR_INVALID_PARAMETER for a
// null `msg` or a window handle other than null or (HWND)-1, otherwise non-zero. The first call
// of a thread (this or PeekMessageW) creates its queue; the queue goes when the thread ends.
BOOL GetMessageW(LPMSG msg, HWND hwnd, UINT filterMin, UINT filterMax);

// GetMessageW without blocking: TRUE and the message when one matches (PM_REMOVE takes it out
// of the queue, PM_NOREMOVE leaves it), FALSE otherwise.
BOOL PeekMessageW(LPMSG msg, HWND hwnd, UINT filterMin, UINT filterMax, UINT removeMessage);

// No keyboard messages exist: nothing to translate, FALSE.
BOOL TranslateMessage(const MSG* msg);

// No window procedures exist: nothing to call, 0.
LRESULT DispatchMessageW(const MSG* msg);

namespace platform::kernel {

// Removes the calling thread's queue now (later posts fail); CreateThread's threads call it
// before their handle is signalled. Other threads lose their queue when they end.
void DropMessageQueueOfCurrentThread();

}  // namespace platform::kernel
