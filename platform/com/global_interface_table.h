// The process's global interface table: interface pointers stored under a cookie so that any
// thread of the process can fetch them. There is one multithreaded apartment here, so a stored
// pointer is handed out as it is, with a reference added for the caller.
//
// Reached like on the original system: CoCreateInstance(CLSID_StdGlobalInterfaceTable, nullptr,
// CLSCTX_INPROC_SERVER, IID_IGlobalInterfaceTable, ...), which answers with the one instance.
#pragma once

#include "platform/com/unknown.h"

struct IGlobalInterfaceTable : IUnknown {
  virtual HRESULT RegisterInterfaceInGlobal(IUnknown* unknown, REFIID riid, DWORD* cookie) = 0;
  virtual HRESULT RevokeInterfaceFromGlobal(DWORD cookie) = 0;
  virtual HRESULT GetInterfaceFromGlobal(DWORD cookie, REFIID riid, void** result) = 0;

 protected:
  ~IGlobalInterfaceTable() = default;
};
inline constexpr IID IID_IGlobalInterfaceTable =
    platform::MakeGuid("{00000146-0000-0000-C000-000000000046}");
template <>
inline constexpr IID uuidof<IGlobalInterfaceTable> = IID_IGlobalInterfaceTable;
inline constexpr CLSID CLSID_StdGlobalInterfaceTable =
    platform::MakeGuid("{00000323-0000-0000-C000-000000000046}");

namespace platform::com {
// The class object of the table, for the class table's built-in in-process classes.
HRESULT GetGlobalInterfaceTableClassObject(REFIID riid, void** result);
}  // namespace platform::com
