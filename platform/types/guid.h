// GUID / IID / CLSID: compile-time parsing of the registry form, formatting and lookup keys.
#pragma once

#include <array>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/types/windows_types.h"

struct GUID {
  DWORD Data1;
  WORD Data2;
  WORD Data3;
  BYTE Data4[8];

  friend constexpr bool operator==(const GUID& a, const GUID& b) noexcept {
    if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
    for (std::size_t i = 0; i < 8; ++i) {
      if (a.Data4[i] != b.Data4[i]) return false;
    }
    return true;
  }
};

using IID = GUID;
using CLSID = GUID;
using REFGUID = const GUID&;
using REFIID = const IID&;
using REFCLSID = const CLSID&;

namespace platform {

namespace guid_detail {
constexpr int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

template <class CharT>
constexpr std::optional<GUID> Parse(std::basic_string_view<CharT> text) {
  if (text.size() == 38) {
    if (text.front() != CharT('{') || text.back() != CharT('}')) return std::nullopt;
    text = text.substr(1, 36);
  }
  if (text.size() != 36) return std::nullopt;
  // Digit positions of the 8-4-4-4-12 form; dashes at 8, 13, 18, 23.
  constexpr std::array<std::size_t, 4> dashes{8, 13, 18, 23};
  std::array<BYTE, 16> bytes{};
  std::size_t nibble = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const bool isDash = i == dashes[0] || i == dashes[1] || i == dashes[2] || i == dashes[3];
    const auto c = text[i];
    if (isDash) {
      if (c != CharT('-')) return std::nullopt;
      continue;
    }
    if (c < 0 || c > 0x7F) return std::nullopt;
    const int v = HexValue(static_cast<char>(c));
    if (v < 0) return std::nullopt;
    bytes[nibble / 2] = static_cast<BYTE>(bytes[nibble / 2] | (nibble % 2 == 0 ? v << 4 : v));
    ++nibble;
  }
  GUID g{};
  g.Data1 = (DWORD{bytes[0]} << 24) | (DWORD{bytes[1]} << 16) | (DWORD{bytes[2]} << 8) | bytes[3];
  g.Data2 = static_cast<WORD>((bytes[4] << 8) | bytes[5]);
  g.Data3 = static_cast<WORD>((bytes[6] << 8) | bytes[7]);
  for (std::size_t i = 0; i < 8; ++i) g.Data4[i] = bytes[8 + i];
  return g;
}
}  // namespace guid_detail

// Parses "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" (braces optional, any letter case).
constexpr std::optional<GUID> ParseGuid(std::string_view text) {
  return guid_detail::Parse<char>(text);
}
constexpr std::optional<GUID> ParseGuid(std::wstring_view text) {
  return guid_detail::Parse<wchar_t>(text);
}

// A GUID literal checked at compile time: MakeGuid("{...}") fails to compile when malformed.
consteval GUID MakeGuid(std::string_view text) {
  const auto parsed = ParseGuid(text);
  if (!parsed) throw "malformed GUID literal";
  return *parsed;
}

// Registry form, upper case with braces: "{1C84D1BC-573F-490C-ADF2-0269F5A6AFDC}".
std::wstring FormatGuid(const GUID& guid);
std::string FormatGuidNarrow(const GUID& guid);

struct GuidHash {
  std::size_t operator()(const GUID& g) const noexcept;
};

}  // namespace platform

inline constexpr GUID GUID_NULL{};
inline constexpr IID IID_NULL{};
inline constexpr CLSID CLSID_NULL{};

constexpr bool IsEqualGUID(REFGUID a, REFGUID b) noexcept { return a == b; }
constexpr bool IsEqualIID(REFIID a, REFIID b) noexcept { return a == b; }
constexpr bool IsEqualCLSID(REFCLSID a, REFCLSID b) noexcept { return a == b; }

// Win32 conversions. StringFromGUID2 writes 39 characters with the terminator and returns
// that count, or 0 when the buffer is smaller. CLSIDFromString/IIDFromString accept the braced
// form only and return CO_E_CLASSSTRING / E_INVALIDARG for anything else.
int StringFromGUID2(REFGUID guid, LPWSTR buffer, int capacity);
HRESULT CLSIDFromString(LPCWSTR text, CLSID* clsid);
HRESULT IIDFromString(LPCWSTR text, IID* iid);
