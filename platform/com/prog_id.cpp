#include "platform/com/prog_id.h"

#include <array>
#include <string>

#include "platform/registry/registry.h"

HRESULT CLSIDFromProgID(const wchar_t* progId, CLSID* clsid) {
  if (progId == nullptr || clsid == nullptr) return E_INVALIDARG;
  *clsid = CLSID_NULL;
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, (std::wstring(progId) + L"\\CLSID").c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return CO_E_CLASSSTRING;
  }
  std::array<wchar_t, 64> text{};  // "{...}" is 38 characters
  DWORD size = sizeof text - sizeof(wchar_t);
  DWORD type = 0;
  const LSTATUS status = RegQueryValueExW(key, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(text.data()), &size);
  RegCloseKey(key);
  if (status != ERROR_SUCCESS || type != REG_SZ) return CO_E_CLASSSTRING;
  const auto parsed = platform::ParseGuid(std::wstring_view(text.data()));
  if (!parsed) return CO_E_CLASSSTRING;
  *clsid = *parsed;
  return S_OK;
}
