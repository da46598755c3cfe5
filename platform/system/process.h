// The running program: its command line and executable file, loaded modules, and ending it.
//
// The command line is built once from /proc/self/cmdline: the program's file name (argv[0]
// without its directory, since '/' is this system's path separator and must not read as a
// switch) followed by the arguments joined with single blanks. Arguments keep their own blanks
// unquoted: the line is for parsers that look for switches, not for splitting back into argv.
#pragma once

#include "platform/types/error_codes.h"

inline constexpr int SW_HIDE = 0;
inline constexpr int SW_SHOWNORMAL = 1;
inline constexpr int SW_SHOWDEFAULT = 10;


// The process's command line (see above); the same buffer on every call. Any thread.
LPWSTR GetCommandLineW();

// The full path of `module`'s file (null: the executable, resolved through /proc/self/exe).
// Returns the characters copied without the terminator. A path that does not fit is cut to
// size - 1 characters and terminated; the result is then `size` with ERROR_INSUFFICIENT_BUFFER.
// 0 with the last error on failure (ERROR_INVALID_HANDLE for a handle that names no module).
DWORD GetModuleFileNameW(HMODULE module, LPWSTR fileName, DWORD size);

// Null: the executable. Otherwise the module of that file name when it is already loaded into
// the process (nothing is loaded), else null with ERROR_MOD_NOT_FOUND. No reference is added.
HMODULE GetModuleHandleW(LPCWSTR moduleName);

// Ends the process at once with `exitCode`: C stdio buffers are flushed, no destructors or
// exit handlers run, other threads stop where they are.
[[noreturn]] void ExitProcess(UINT exitCode);
