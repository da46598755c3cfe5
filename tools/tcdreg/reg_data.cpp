#include "tools/tcdreg/reg_data.h"

#include <cstring>
#include <cwctype>
#include <vector>

#include "platform/types/wide_string.h"

namespace tcdreg {
namespace {

constexpr struct {
  DWORD type;
  const wchar_t* name;
} kTypeNames[] = {
    {REG_SZ, L"REG_SZ"},         {REG_EXPAND_SZ, L"REG_EXPAND_SZ"}, {REG_MULTI_SZ, L"REG_MULTI_SZ"},
    {REG_DWORD, L"REG_DWORD"},   {REG_QWORD, L"REG_QWORD"},         {REG_BINARY, L"REG_BINARY"},
    {REG_NONE, L"REG_NONE"},
};

// Decimal, or hex after 0x; nothing else, no sign, within `limit`.
bool ParseNumber(std::wstring_view text, std::uint64_t limit, std::uint64_t* value) {
  int base = 10;
  if (text.size() > 2 && text[0] == L'0' && (text[1] == L'x' || text[1] == L'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  if (text.empty() || text.size() > 20) return false;
  std::uint64_t result = 0;
  for (wchar_t c : text) {
    const int digit = HexValue(c);
    if (digit < 0 || digit >= base) return false;
    if (result > (limit - static_cast<std::uint64_t>(digit)) / static_cast<std::uint64_t>(base)) {
      return false;
    }
    result = result * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(digit);
  }
  *value = result;
  return true;
}

std::string LittleEndian(std::uint64_t value, std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((value >> (8 * i)) & 0xFF);
  return bytes;
}

std::uint64_t FromLittleEndian(std::string_view bytes) {
  std::uint64_t value = 0;
  for (std::size_t i = bytes.size(); i > 0; --i) {
    value = (value << 8) | static_cast<unsigned char>(bytes[i - 1]);
  }
  return value;
}

}  // namespace

int HexValue(wchar_t c) {
  if (c >= L'0' && c <= L'9') return c - L'0';
  if (c >= L'a' && c <= L'f') return c - L'a' + 10;
  if (c >= L'A' && c <= L'F') return c - L'A' + 10;
  return -1;
}

std::wstring LowerHex(std::uint64_t value) {
  static constexpr wchar_t kDigits[] = L"0123456789abcdef";
  std::wstring text;
  do {
    text.insert(text.begin(), kDigits[value & 0xF]);
    value >>= 4;
  } while (value != 0);
  return text;
}

std::optional<KeyName> ParseKeyName(std::wstring_view text) {
  const std::size_t slash = text.find(L'\\');
  const std::wstring root = platform::ToUpper(text.substr(0, slash));
  KeyName key;
  if (root == L"HKLM" || root == L"HKEY_LOCAL_MACHINE") {
    key.root = HKEY_LOCAL_MACHINE;
    key.rootName = L"HKEY_LOCAL_MACHINE";
  } else if (root == L"HKCR" || root == L"HKEY_CLASSES_ROOT") {
    key.root = HKEY_CLASSES_ROOT;
    key.rootName = L"HKEY_CLASSES_ROOT";
  } else {
    return std::nullopt;
  }
  if (slash != std::wstring_view::npos) {
    std::wstring_view sub = text.substr(slash + 1);
    while (!sub.empty() && sub.back() == L'\\') sub.remove_suffix(1);
    key.subKey = sub;
  }
  return key;
}

std::wstring TypeName(DWORD type) {
  for (const auto& entry : kTypeNames) {
    if (entry.type == type) return entry.name;
  }
  return L"0x" + LowerHex(type);
}

std::optional<DWORD> ParseTypeName(std::wstring_view name) {
  const std::wstring upper = platform::ToUpper(name);
  for (const auto& entry : kTypeNames) {
    if (upper == entry.name) return entry.type;
  }
  return std::nullopt;
}

bool IsStringType(DWORD type) {
  return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

std::string UnitBytes(std::wstring_view units) {
  return std::string(reinterpret_cast<const char*>(units.data()), units.size() * sizeof(wchar_t));
}

std::wstring BytesToUnits(std::string_view bytes) {
  std::wstring units(bytes.size() / sizeof(wchar_t), L'\0');
  if (!units.empty()) std::memcpy(units.data(), bytes.data(), units.size() * sizeof(wchar_t));
  return units;
}

std::string ToUtf16Le(std::wstring_view units) {
  std::string bytes;
  bytes.reserve(units.size() * 2);
  auto put = [&bytes](std::uint32_t unit) {
    bytes.push_back(static_cast<char>(unit & 0xFF));
    bytes.push_back(static_cast<char>((unit >> 8) & 0xFF));
  };
  for (wchar_t c : units) {
    auto code = static_cast<std::uint32_t>(c);
    if (code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) code = 0xFFFD;
    if (code >= 0x10000) {
      code -= 0x10000;
      put(0xD800 | (code >> 10));
      put(0xDC00 | (code & 0x3FF));
    } else {
      put(code);
    }
  }
  return bytes;
}

bool FromUtf16Le(std::string_view bytes, std::wstring* units) {
  if (bytes.size() % 2 != 0) return false;
  units->clear();
  units->reserve(bytes.size() / 2);
  for (std::size_t i = 0; i < bytes.size(); i += 2) {
    const std::uint32_t unit = static_cast<unsigned char>(bytes[i]) |
                               (static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8);
    if (unit >= 0xD800 && unit <= 0xDBFF) {
      if (i + 3 >= bytes.size()) return false;
      const std::uint32_t low = static_cast<unsigned char>(bytes[i + 2]) |
                                (static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i + 3])) << 8);
      if (low < 0xDC00 || low > 0xDFFF) return false;
      units->push_back(static_cast<wchar_t>(0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00)));
      i += 2;
    } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
      return false;
    } else {
      units->push_back(static_cast<wchar_t>(unit));
    }
  }
  return true;
}

std::wstring ParseCommandData(DWORD type, std::wstring_view text, std::wstring_view separator,
                              std::string* bytes) {
  switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
      *bytes = UnitBytes(std::wstring(text) + L'\0');
      return {};
    case REG_MULTI_SZ: {
      // Items end with a NUL each and the list with one more; an empty list is a single NUL.
      std::vector<std::wstring> items;
      const std::wstring_view split = separator.empty() ? std::wstring_view(L"\\0") : separator;
      for (std::size_t start = 0; !text.empty();) {
        const std::size_t end = text.find(split, start);
        if (end == std::wstring_view::npos) {
          items.emplace_back(text.substr(start));
          break;
        }
        items.emplace_back(text.substr(start, end - start));
        start = end + split.size();
      }
      std::wstring units;
      for (std::size_t i = 0; i < items.size(); ++i) {
        // An empty item would end the list early; only a trailing separator may leave one.
        if (items[i].empty() && !(i + 1 == items.size() && i > 0)) {
          return L"An empty item in REG_MULTI_SZ data is not allowed.";
        }
        if (!items[i].empty()) units += items[i] + L'\0';
      }
      units += L'\0';
      *bytes = UnitBytes(units);
      return {};
    }
    case REG_DWORD:
    case REG_QWORD: {
      const bool dword = type == REG_DWORD;
      std::uint64_t value = 0;
      if (!ParseNumber(text, dword ? 0xFFFFFFFFULL : ~0ULL, &value)) {
        return dword ? L"REG_DWORD data must be a number from 0 to 4294967295 (decimal or 0x hex)."
                     : L"REG_QWORD data must be a 64-bit unsigned number (decimal or 0x hex).";
      }
      *bytes = LittleEndian(value, dword ? 4 : 8);
      return {};
    }
    default: {
      // Hex digits, two per byte; an odd count reads as if it had a leading zero.
      bytes->clear();
      std::wstring digits(text);
      if (digits.size() % 2 != 0) digits.insert(digits.begin(), L'0');
      for (std::size_t i = 0; i < digits.size(); i += 2) {
        const int high = HexValue(digits[i]), low = HexValue(digits[i + 1]);
        if (high < 0 || low < 0) return TypeName(type) + L" data must be hexadecimal digits.";
        bytes->push_back(static_cast<char>(high * 16 + low));
      }
      return {};
    }
  }
}

std::wstring HexDigits(std::string_view bytes) {
  static constexpr wchar_t kDigits[] = L"0123456789ABCDEF";
  std::wstring text;
  text.reserve(bytes.size() * 2);
  for (char byte : bytes) {
    const auto b = static_cast<unsigned char>(byte);
    text.push_back(kDigits[b >> 4]);
    text.push_back(kDigits[b & 0xF]);
  }
  return text;
}

std::wstring FormatData(const Value& value) {
  switch (value.type) {
    case REG_SZ:
    case REG_EXPAND_SZ: {
      const std::wstring units = BytesToUnits(value.data);
      return units.substr(0, units.find(L'\0'));
    }
    case REG_MULTI_SZ: {
      std::wstring units = BytesToUnits(value.data);
      while (!units.empty() && units.back() == L'\0') units.pop_back();
      std::wstring text;
      for (wchar_t c : units) {
        if (c == L'\0') {
          text += L"\\0";
        } else {
          text.push_back(c);
        }
      }
      return text;
    }
    case REG_DWORD:
    case REG_QWORD:
      if (value.data.size() == (value.type == REG_DWORD ? 4u : 8u)) {
        return L"0x" + LowerHex(FromLittleEndian(value.data));
      }
      return HexDigits(value.data);
    default:
      return HexDigits(value.data);
  }
}

}  // namespace tcdreg
