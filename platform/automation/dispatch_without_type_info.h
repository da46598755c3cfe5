// The part of IDispatch that every event sink and callback object of this runtime answers alike:
// no type information, no names (callers use DISPIDs). A sink derives from
// WithoutTypeInfo<ItsEventInterface> and implements Invoke alone.
#pragma once

#include "platform/automation/dispatch.h"

namespace platform::automation {

template <class Interface>
class WithoutTypeInfo : public Interface {
 public:
  HRESULT GetTypeInfoCount(UINT* count) override {
    if (count == nullptr) return E_POINTER;
    *count = 0;
    return S_OK;
  }
  HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
};

}  // namespace platform::automation
