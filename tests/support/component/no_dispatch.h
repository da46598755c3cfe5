// IDispatch stubs for test sinks.
#pragma once

#include "platform/automation/dispatch.h"
#include "platform/types/error_codes.h"

namespace Talvaro::Testing {

// IDispatch answered with E_NOTIMPL throughout, for sinks the code under test reaches only
// through the interface's own entries.
template <typename Interface>
class NoDispatch : public Interface {
 public:
  HRESULT GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
  HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  HRESULT Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
    return E_NOTIMPL;
  }
};

}  // namespace Talvaro::Testing
