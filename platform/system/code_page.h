// MultiByteToWideChar: narrow texts to wide strings. Byte strings here are UTF-8, so the ANSI
// code page (CP_ACP) is UTF-8 as CP_UTF8 is; other code pages are not supported.
#pragma once

#include "platform/types/windows_types.h"

inline constexpr UINT CP_ACP = 0;
inline constexpr UINT CP_UTF8 = 65001;
inline constexpr DWORD MB_PRECOMPOSED = 0x00000001;
inline constexpr DWORD MB_USEGLYPHCHARS = 0x00000004;
inline constexpr DWORD MB_ERR_INVALID_CHARS = 0x00000008;

// Converts `byteCount` bytes of `multiByte` (-1: up to and with its terminating NUL) into `wide`
// of `wideCount` characters; with `wideCount` 0 only counts. Returns the characters written (or
// needed), 0 on failure with the last error: ERROR_INVALID_PARAMETER (null text, bad counts,
// an unsupported code page), ERROR_INVALID_FLAGS (for CP_UTF8 any flag but MB_ERR_INVALID_CHARS;
// for CP_ACP also MB_PRECOMPOSED and MB_USEGLYPHCHARS are taken, composite forms are not),
// ERROR_INSUFFICIENT_BUFFER, ERROR_NO_UNICODE_TRANSLATION (malformed UTF-8 with
// MB_ERR_INVALID_CHARS; without it each malformed sequence becomes U+FFFD).
int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR multiByte, int byteCount, LPWSTR wide, int wideCount);
