// IUnknown and the interface-identifier lookup that every interface declaration feeds.
//
// Interfaces are abstract classes whose virtual functions stand in the documented table order;
// they have no virtual destructor, so that slot positions match the published layout. Objects
// are destroyed by their own Release through the concrete class (see com_object.h).
#pragma once

#include "platform/types/error_codes.h"
#include "platform/types/guid.h"

// uuidof<I> is the identifier of interface I. Each interface header specialises it right after
// the declaration; using an interface that did not is a compile error, never the base's IID.
template <class Interface>
inline constexpr IID uuidof = Interface::interface_identifier_not_declared;

struct IUnknown {
  virtual HRESULT QueryInterface(REFIID riid, void** object) = 0;
  virtual ULONG AddRef() = 0;
  virtual ULONG Release() = 0;

 protected:
  ~IUnknown() = default;
};
inline constexpr IID IID_IUnknown = platform::MakeGuid("{00000000-0000-0000-C000-000000000046}");
template <>
inline constexpr IID uuidof<IUnknown> = IID_IUnknown;

using LPUNKNOWN = IUnknown*;

struct IClassFactory : IUnknown {
  virtual HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** object) = 0;
  virtual HRESULT LockServer(BOOL lock) = 0;

 protected:
  ~IClassFactory() = default;
};
inline constexpr IID IID_IClassFactory =
    platform::MakeGuid("{00000001-0000-0000-C000-000000000046}");
template <>
inline constexpr IID uuidof<IClassFactory> = IID_IClassFactory;
