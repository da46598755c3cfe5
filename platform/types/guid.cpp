#include "platform/types/guid.h"

#include <cstdio>
#include <cwchar>

#include "platform/types/error_codes.h"

namespace platform {

std::string FormatGuidNarrow(const GUID& g) {
  char buffer[39];
  std::snprintf(buffer, sizeof buffer, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1,
                g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4],
                g.Data4[5], g.Data4[6], g.Data4[7]);
  return buffer;
}

std::wstring FormatGuid(const GUID& g) {
  const std::string narrow = FormatGuidNarrow(g);
  return std::wstring(narrow.begin(), narrow.end());
}

std::size_t GuidHash::operator()(const GUID& g) const noexcept {
  std::size_t h = g.Data1;
  h = h * 31 + g.Data2;
  h = h * 31 + g.Data3;
  for (BYTE b : g.Data4) h = h * 31 + b;
  return h;
}

}  // namespace platform

int StringFromGUID2(REFGUID guid, LPWSTR buffer, int capacity) {
  if (buffer == nullptr || capacity < 39) return 0;
  const std::wstring text = platform::FormatGuid(guid);
  std::wmemcpy(buffer, text.c_str(), text.size() + 1);
  return static_cast<int>(text.size() + 1);
}

namespace {
constexpr HRESULT CO_E_CLASSSTRING = MakeHresult(0x800401F3);

HRESULT ParseBraced(LPCWSTR text, GUID* out, HRESULT malformed) {
  if (out == nullptr) return E_INVALIDARG;
  if (text == nullptr) return malformed;
  const std::wstring_view view(text);
  const auto parsed = platform::ParseGuid(view);
  if (view.size() != 38 || !parsed) return malformed;
  *out = *parsed;
  return S_OK;
}
}  // namespace

HRESULT CLSIDFromString(LPCWSTR text, CLSID* clsid) {
  return ParseBraced(text, clsid, CO_E_CLASSSTRING);
}

HRESULT IIDFromString(LPCWSTR text, IID* iid) { return ParseBraced(text, iid, E_INVALIDARG); }
