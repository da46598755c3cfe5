// The performance monitor class that tcdperfmon serves: an IDispatch with one method,
// FlushingLogsAsync(text, integer, out string). Each call keeps the logs around a stall in a
// new flush folder and answers its path in the out string.
//
// Threads: calls come on the remoting runtime's workers, several at once; flushes are
// serialised by the store's lock, so two requests never write one folder.
#pragma once

#include <memory>
#include <mutex>

#include "platform/automation/dispatch.h"
#include "platform/com/com_object.h"
#include "platform/com/interface_table.h"
#include "tools/tcdperfmon/flush_store.h"

namespace Talvaro::PerformanceMonitorService {

inline constexpr CLSID CLSID_PerformanceMonitor = platform::MakeGuid("{6A3E2C41-8B0D-4F6E-9C27-5D1B7E0A94F3}");
inline constexpr DISPID kFlushingLogsAsync = 1;

// Set once by main before the class is published; read by every call.
void UseFlushStore(std::shared_ptr<const FlushStore> store);

class CPerformanceMonitor : public platform::com::ObjectRoot, public IDispatch {
 public:
  using Interfaces = platform::com::InterfaceTable<CPerformanceMonitor, IDispatch>;

  HRESULT GetTypeInfoCount(UINT* count) override;
  HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  // "FlushingLogsAsync" in any letter case; every other name DISP_E_UNKNOWNNAME (DISPID_UNKNOWN).
  HRESULT GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid, DISPID* ids) override;
  // DISP_E_MEMBERNOTFOUND for another member or no method call, DISP_E_NONAMEDARGS,
  // DISP_E_BADPARAMCOUNT unless three arguments, DISP_E_TYPEMISMATCH (with the argument's index)
  // unless a string, a 32-bit integer and a string by reference; a folder that cannot be written
  // gives HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED) or (ERROR_CANTWRITE), with an Error record.
  HRESULT Invoke(DISPID member, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params, VARIANT* result,
                 EXCEPINFO* exception, UINT* argumentError) override;
};

}  // namespace Talvaro::PerformanceMonitorService
