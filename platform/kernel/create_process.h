// Starting programs: CreateProcessW, the process object it hands out, GetExitCodeProcess.
//
// The command line is split into arguments by the rules of the C runtime's command-line parser
// (SplitArguments); the first is the program. Without an application name the program is
// searched along PATH unless it contains a '/'. The new process runs the program with
// posix_spawn: it exists (and CreateProcessW returns TRUE) only once the program could be
// executed, so a missing or non-executable program is a failure with its last error.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/kernel/handle.h"

inline constexpr DWORD CREATE_UNICODE_ENVIRONMENT = 0x00000400;
inline constexpr DWORD CREATE_NO_WINDOW = 0x08000000;
inline constexpr DWORD STILL_ACTIVE = 259;
inline constexpr DWORD ERROR_BAD_EXE_FORMAT = 193;  // executable, but not a program the system runs

// Only `cb` is examined (no standard handles, no window settings on this system).
struct STARTUPINFOW {
  DWORD cb;
  LPWSTR lpReserved;
  LPWSTR lpDesktop;
  LPWSTR lpTitle;
  DWORD dwX, dwY, dwXSize, dwYSize, dwXCountChars, dwYCountChars, dwFillAttribute;
  DWORD dwFlags;
  WORD wShowWindow;
  WORD cbReserved2;
  BYTE* lpReserved2;
  HANDLE hStdInput;
  HANDLE hStdOutput;
  HANDLE hStdError;
};
using LPSTARTUPINFOW = STARTUPINFOW*;

struct PROCESS_INFORMATION {
  HANDLE hProcess;
  HANDLE hThread;
  DWORD dwProcessId;
  DWORD dwThreadId;
};
using LPPROCESS_INFORMATION = PROCESS_INFORMATION*;

// Starts the program. `applicationName`: the program's path, taken as it is (null: the first
// argument of the command line, searched along PATH). `commandLine` is not modified.
// `inheritHandles` FALSE: the child gets standard input, output and error and no other
// descriptor; TRUE: also every descriptor not marked close-on-exec. `environment` null: the
// caller's; otherwise a block of "NAME=value" strings ending in an empty one, of wchar_t with
// CREATE_UNICODE_ENVIRONMENT, of UTF-8 bytes without. `currentDirectory` null: the caller's.
// Creation flags other than CREATE_NO_WINDOW (no windows here, so without effect) and
// CREATE_UNICODE_ENVIRONMENT are refused with ERROR_INVALID_PARAMETER; security attributes are
// ignored. `startupInfo` and `processInformation` must not be null.
//
// hProcess and hThread name the same process object: signalled, for waits, once the process has
// ended. Close both. dwThreadId is the id of its first thread, which is the process id here.
// FALSE with the last error (ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED, ERROR_BAD_EXE_FORMAT,
// ERROR_DIRECTORY for a current directory that does not exist, ...) on failure. Any thread.
BOOL CreateProcessW(LPCWSTR applicationName, LPWSTR commandLine, LPSECURITY_ATTRIBUTES processAttributes,
                    LPSECURITY_ATTRIBUTES threadAttributes, BOOL inheritHandles, DWORD creationFlags,
                    LPVOID environment, LPCWSTR currentDirectory, LPSTARTUPINFOW startupInfo,
                    LPPROCESS_INFORMATION processInformation);

// STILL_ACTIVE while the process runs; then its exit status, or 128 + the signal that ended it.
BOOL GetExitCodeProcess(HANDLE process, LPDWORD exitCode);

namespace platform::kernel {

// The C runtime's rules: blanks and tabs separate arguments outside double quotes; a double
// quote toggles quoting (two in a row inside quotes give one literal quote); 2n backslashes
// before a quote give n backslashes, 2n+1 give n and a literal quote; other backslashes are
// literal.
std::vector<std::wstring> SplitArguments(std::wstring_view commandLine);

}  // namespace platform::kernel
