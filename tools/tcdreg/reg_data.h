// Registry values as tcdreg handles them: key names on the command line, type names, data typed
// on the command line, and the text `query` shows. Pure functions, no registry access.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/registry/registry.h"

namespace tcdreg {

// A value as the wide registry functions hand it out: string types hold wchar_t units.
struct Value {
  std::wstring name;  // empty for the default value
  DWORD type = REG_NONE;
  std::string data;
};

// A key named on the command line or in a .reg file: a root and the path below it.
struct KeyName {
  HKEY root = nullptr;
  std::wstring rootName;  // the full form, "HKEY_LOCAL_MACHINE" or "HKEY_CLASSES_ROOT"
  std::wstring subKey;    // without leading or trailing backslashes; empty for the root itself
  std::wstring Display() const { return subKey.empty() ? rootName : rootName + L'\\' + subKey; }
};

// Accepts HKLM, HKEY_LOCAL_MACHINE, HKCR, HKEY_CLASSES_ROOT (any letter case), optionally
// followed by a backslash and a subkey path. Trailing backslashes are dropped.
std::optional<KeyName> ParseKeyName(std::wstring_view text);

// "REG_SZ" and friends; unknown types show as their number ("0x6").
std::wstring TypeName(DWORD type);
std::optional<DWORD> ParseTypeName(std::wstring_view name);
bool IsStringType(DWORD type);

// wchar_t units <-> their bytes as the registry functions take them.
std::string UnitBytes(std::wstring_view units);
std::wstring BytesToUnits(std::string_view bytes);

// UTF-16LE (surrogate pairs for characters beyond the BMP) and back; false on a lone surrogate
// or an odd byte count.
std::string ToUtf16Le(std::wstring_view units);
bool FromUtf16Le(std::string_view bytes, std::wstring* units);

// The data typed after /d for a value of `type`: text for the string types (REG_MULTI_SZ split
// at `separator`, "\0" when it is empty), decimal or 0x-hex numbers for REG_DWORD / REG_QWORD,
// hex digits for every other type. Returns an error text, empty on success.
std::wstring ParseCommandData(DWORD type, std::wstring_view text, std::wstring_view separator,
                              std::string* bytes);

// The data column of `query`: strings without their terminator, REG_MULTI_SZ items joined by
// "\0", numbers as 0x-hex, everything else as upper-case hex digits.
std::wstring FormatData(const Value& value);

// Upper-case hex digits of the bytes, no separators.
std::wstring HexDigits(std::string_view bytes);

// The value of one hex digit (either case), -1 for any other character.
int HexValue(wchar_t c);
// A number in lower-case hex digits, no prefix, no leading zeros.
std::wstring LowerHex(std::uint64_t value);

}  // namespace tcdreg
