#include "platform/system/char_case.h"

#include <cstdint>

#include "platform/types/wide_string.h"

LPWSTR CharUpperW(LPWSTR text) {
  const auto bits = reinterpret_cast<std::uintptr_t>(text);
  if ((bits >> 16) == 0) {
    const wchar_t upper = platform::ToUpperChar(static_cast<wchar_t>(bits));
    return reinterpret_cast<LPWSTR>(static_cast<std::uintptr_t>(upper & 0xFFFF));
  }
  for (wchar_t* c = text; *c != L'\0'; ++c) *c = platform::ToUpperChar(*c);
  return text;
}
