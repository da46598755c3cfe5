// Programmatic identifiers: the readable names under HKEY_CLASSES_ROOT that stand for a class,
// "<ProgID>\CLSID" holding the class identifier in registry form.
#pragma once

#include "platform/types/error_codes.h"
#include "platform/types/guid.h"

inline constexpr HRESULT CO_E_CLASSSTRING = MakeHresult(0x800401F3);

// The class identifier registered for `progId`. E_INVALIDARG for null arguments,
// CO_E_CLASSSTRING when the ProgID has no readable CLSID value or it is not a class identifier
// (`clsid` is then CLSID_NULL). Any thread; reads the registry each time.
HRESULT CLSIDFromProgID(const wchar_t* progId, CLSID* clsid);
