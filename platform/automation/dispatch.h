// IDispatch and its argument block: how events reach client sinks (Invoke by DISPID).
#pragma once

#include "platform/automation/variant.h"
#include "platform/com/unknown.h"

// Positional arguments stand in rgvarg last first: rgvarg[cArgs - 1] is the first argument.
// Named arguments (rgdispidNamedArgs) come first in rgvarg, matching their DISPIDs.
struct DISPPARAMS {
  VARIANTARG* rgvarg;
  DISPID* rgdispidNamedArgs;
  UINT cArgs;
  UINT cNamedArgs;
};

struct EXCEPINFO {
  WORD wCode;
  WORD wReserved;
  BSTR bstrSource;
  BSTR bstrDescription;
  BSTR bstrHelpFile;
  DWORD dwHelpContext;
  PVOID pvReserved;
  HRESULT (*pfnDeferredFillIn)(EXCEPINFO*);
  SCODE scode;
};
using LPEXCEPINFO = EXCEPINFO*;

inline constexpr WORD DISPATCH_METHOD = 0x1;
inline constexpr WORD DISPATCH_PROPERTYGET = 0x2;
inline constexpr WORD DISPATCH_PROPERTYPUT = 0x4;
inline constexpr WORD DISPATCH_PROPERTYPUTREF = 0x8;

inline constexpr DISPID DISPID_VALUE = 0;
inline constexpr DISPID DISPID_UNKNOWN = -1;
inline constexpr DISPID DISPID_PROPERTYPUT = -3;

inline constexpr LCID LOCALE_SYSTEM_DEFAULT = 0x0800;
inline constexpr LCID LOCALE_USER_DEFAULT = 0x0400;

// Type information is not part of this runtime: dispatch objects answer 0 from
// GetTypeInfoCount and E_NOTIMPL from GetTypeInfo, so the interface is only ever named.
struct ITypeInfo;

struct IDispatch : IUnknown {
  virtual HRESULT GetTypeInfoCount(UINT* pctinfo) = 0;
  virtual HRESULT GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) = 0;
  virtual HRESULT GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid,
                                DISPID* rgDispId) = 0;
  virtual HRESULT Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags,
                         DISPPARAMS* pDispParams, VARIANT* pVarResult, EXCEPINFO* pExcepInfo,
                         UINT* puArgErr) = 0;

 protected:
  ~IDispatch() = default;
};
inline constexpr IID IID_IDispatch = platform::MakeGuid("{00020400-0000-0000-C000-000000000046}");
template <>
inline constexpr IID uuidof<IDispatch> = IID_IDispatch;
using LPDISPATCH = IDispatch*;

namespace platform::automation {

// The positional argument `index` (0 = first in call order), or null when there are fewer.
inline VARIANTARG* PositionalArgument(const DISPPARAMS& params, UINT index) noexcept {
  const UINT positional = params.cArgs - params.cNamedArgs;
  if (params.rgvarg == nullptr || params.cNamedArgs > params.cArgs || index >= positional) {
    return nullptr;
  }
  return &params.rgvarg[params.cArgs - 1 - index];
}

}  // namespace platform::automation
