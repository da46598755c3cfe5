// The console of a process: standard output and error, and Ctrl-C / Ctrl-Break.
//
// Ctrl-C is SIGINT and Ctrl-Break is SIGQUIT. Once a handler is installed, both signals are
// caught for the whole process and their control is handed to a thread of its own, which calls
// the handlers, the most recently added first, until one returns TRUE. When none does, the
// default applies: Ctrl-C ignored after SetConsoleCtrlHandler(nullptr, TRUE), otherwise the
// process ends by the signal's default action (as it would without any handler).
#pragma once

#include "platform/types/error_codes.h"

inline constexpr DWORD CTRL_C_EVENT = 0;
inline constexpr DWORD CTRL_BREAK_EVENT = 1;

using PHANDLER_ROUTINE = BOOL (*)(DWORD ctrlType);

// Standard output and error are the console here: nothing to create, TRUE.
BOOL AllocConsole();

// add TRUE appends `handler` (null: Ctrl-C is ignored from now on); add FALSE removes its most
// recent entry (null: Ctrl-C is handled again), FALSE with ERROR_INVALID_PARAMETER when it is
// not installed. Any thread; handlers run on the console control thread.
BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add);
