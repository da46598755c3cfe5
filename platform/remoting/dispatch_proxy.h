// Proxies of dispatch interfaces: IDispatch itself and interfaces derived from it (event
// interfaces, callback interfaces with methods of their own). The IDispatch methods go to the
// remote object's IDispatch wire interface; a derived proxy adds its own methods with Call.
//
// No type information crosses the boundary: GetTypeInfo answers E_NOTIMPL without a call.
// Arguments travel by value: writes of the callee to by-reference arguments do not come back.
#pragma once

#include "platform/automation/dispatch.h"
#include "platform/remoting/proxy.h"

namespace platform::remoting {

HRESULT RemoteGetTypeInfoCount(ProxyManager& manager, UINT* count);
HRESULT RemoteGetIDsOfNames(ProxyManager& manager, REFIID riid, LPOLESTR* names, UINT count,
                            LCID lcid, DISPID* dispIds);
HRESULT RemoteInvoke(ProxyManager& manager, DISPID dispId, REFIID riid, LCID lcid, WORD flags,
                     DISPPARAMS* params, VARIANT* result, EXCEPINFO* exception, UINT* argumentError);

template <class I>
class DispatchProxy : public InterfaceProxy<I> {
 public:
  using InterfaceProxy<I>::InterfaceProxy;

  HRESULT GetTypeInfoCount(UINT* count) override { return RemoteGetTypeInfoCount(this->manager_, count); }
  HRESULT GetTypeInfo(UINT, LCID, ITypeInfo** info) override {
    if (info != nullptr) *info = nullptr;
    return E_NOTIMPL;
  }
  HRESULT GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid, DISPID* dispIds) override {
    return RemoteGetIDsOfNames(this->manager_, riid, names, count, lcid, dispIds);
  }
  HRESULT Invoke(DISPID dispId, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params,
                 VARIANT* result, EXCEPINFO* exception, UINT* argumentError) override {
    return RemoteInvoke(this->manager_, dispId, riid, lcid, flags, params, result, exception, argumentError);
  }
};

}  // namespace platform::remoting
