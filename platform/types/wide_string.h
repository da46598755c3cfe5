// Conversions between the in-memory wide strings (UTF-32) and UTF-8 at every boundary, and the
// locale-independent letter-case rules shared by the registry and the command-line parser.
#pragma once

#include <string>
#include <string_view>

namespace platform {

// UTF-8 of a wide string. Code units that are no Unicode scalar value (surrogates, values above
// U+10FFFF) become U+FFFD; conversion never fails.
std::string ToUtf8(std::wstring_view text);

// Wide string of UTF-8 text. Each malformed or truncated sequence becomes one U+FFFD; embedded
// NULs are kept; conversion never fails.
std::wstring FromUtf8(std::string_view text);

// Upper case of one character / a whole string by the Unicode simple mappings, independent of
// the process locale (the same answer in every process).
wchar_t ToUpperChar(wchar_t c);
std::wstring ToUpper(std::wstring_view text);

// Case-insensitive equality by ToUpperChar.
bool EqualsIgnoreCase(std::wstring_view a, std::wstring_view b);

}  // namespace platform
