// Message boxes. A server has no desktop: the box is written to standard error (caption, a line
// feed, the text, a line feed) and answered at once with its only button.
#pragma once

#include "platform/types/error_codes.h"

inline constexpr UINT MB_OK = 0x00000000;
inline constexpr UINT MB_ICONERROR = 0x00000010;
inline constexpr UINT MB_ICONWARNING = 0x00000030;
inline constexpr UINT MB_ICONINFORMATION = 0x00000040;
inline constexpr UINT MB_TYPEMASK = 0x0000000F;

inline constexpr int IDOK = 1;

// IDOK for a box with the OK button only (icons and other flags are accepted and ignored);
// 0 with ERROR_NOT_SUPPORTED for other button sets, which would need an answer from a person.
int MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type);
