// FormatMessageW for the system texts of the codes this system produces: Win32 error codes,
// their HRESULT_FROM_WIN32 forms, and the component-model HRESULTs. Texts end in "\r\n" like
// the original system's. Only FORMAT_MESSAGE_FROM_SYSTEM is a source here; insert sequences
// do not occur in these texts, so IGNORE_INSERTS changes nothing.
#pragma once

#include <cstdarg>
#include <string>

#include "platform/types/windows_types.h"

using HLOCAL = void*;

inline constexpr DWORD FORMAT_MESSAGE_ALLOCATE_BUFFER = 0x00000100;
inline constexpr DWORD FORMAT_MESSAGE_IGNORE_INSERTS = 0x00000200;
inline constexpr DWORD FORMAT_MESSAGE_FROM_STRING = 0x00000400;
inline constexpr DWORD FORMAT_MESSAGE_FROM_HMODULE = 0x00000800;
inline constexpr DWORD FORMAT_MESSAGE_FROM_SYSTEM = 0x00001000;
inline constexpr DWORD FORMAT_MESSAGE_ARGUMENT_ARRAY = 0x00002000;
inline constexpr DWORD FORMAT_MESSAGE_MAX_WIDTH_MASK = 0x000000FF;
inline constexpr DWORD ERROR_MR_MID_NOT_FOUND = 317;

// Returns the characters written without the terminator, or 0 with the last error set:
// ERROR_MR_MID_NOT_FOUND for an unknown code, ERROR_INSUFFICIENT_BUFFER for a short buffer,
// ERROR_INVALID_PARAMETER for another source than the system. With ALLOCATE_BUFFER, `buffer` is
// really an LPWSTR* that receives a block the caller frees with LocalFree.
DWORD FormatMessageW(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId, LPWSTR buffer,
                     DWORD size, va_list* arguments);
HLOCAL LocalFree(HLOCAL memory);

namespace platform::system {
// The system text of a code without its line end, or empty when it has none.
std::wstring SystemMessage(DWORD code);
}  // namespace platform::system
