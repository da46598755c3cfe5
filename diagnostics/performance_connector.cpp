#include "diagnostics/performance_connector.h"

#include "diagnostics/performance_logger.h"
#include "platform/automation/dispatch.h"
#include "platform/automation/variant.h"
#include "platform/com/apartment.h"
#include "platform/com/class_table.h"
#include "platform/com/com_ptr.h"
#include "platform/com/prog_id.h"

namespace Talvaro::Orbiq::Utils::PerformanceMonitoring {
namespace {

using Logging::Category;
using platform::com::ComPtr;

constexpr DWORD kAnyServer = 0x17;  // in-process server and handler, local and remote server

void LogError(const std::wstring& text) { Logger().Error(kConnectorSource, text, Category::Developer1); }

// The thread joins the multithreaded apartment for the request; it leaves only if joining
// succeeded (S_OK or S_FALSE), so a thread of another model keeps its state.
class ApartmentForRequest {
 public:
  ApartmentForRequest() : joined_(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) {}
  ~ApartmentForRequest() {
    if (joined_) CoUninitialize();
  }
  ApartmentForRequest(const ApartmentForRequest&) = delete;
  ApartmentForRequest& operator=(const ApartmentForRequest&) = delete;

 private:
  const bool joined_;
};

// FlushingLogsAsync(text, 1, out string): the arguments in reverse order, as Invoke takes them.
HRESULT CallFlush(IDispatch& monitor, DISPID flush, const std::wstring& text) {
  BSTR answer = SysAllocString(L"");
  VARIANT arguments[3];
  for (auto& argument : arguments) VariantInit(&argument);
  arguments[0].vt = VT_BSTR | VT_BYREF;
  arguments[0].pbstrVal = &answer;
  arguments[1].vt = VT_I4;
  arguments[1].lVal = 1;
  arguments[2].vt = VT_BSTR;
  arguments[2].bstrVal = SysAllocString(text.c_str());
  DISPPARAMS params{arguments, nullptr, 3, 0};
  const HRESULT result =
      monitor.Invoke(flush, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr);
  for (auto& argument : arguments) VariantClear(&argument);
  SysFreeString(answer);
  return result;
}

}  // namespace

HRESULT Connector::RequestLogFlush(const std::wstring& text) {
  ApartmentForRequest apartment;
  CLSID clsid{};
  ComPtr<IUnknown> instance;
  HRESULT result = CLSIDFromProgID(kMonitorProgId, &clsid);
  if (SUCCEEDED(result)) result = CoCreateInstance(clsid, nullptr, kAnyServer, IID_IUnknown, instance.PutVoid());
  if (FAILED(result)) {
    LogError(L"Connection to TalvaroPerformanceMonitoring service failed - CoCreateInstance returned: " +
             StatusText(result));
    return result;
  }
  ComPtr<IDispatch> monitor;
  result = instance->QueryInterface(IID_IDispatch, monitor.PutVoid());
  if (FAILED(result)) {
    LogError(L"Connection to TalvaroPerformanceMonitoring service failed - Could not query IDispatch interface");
    return result;
  }
  std::wstring name = kFlushMethodName;
  LPOLESTR names[] = {name.data()};
  DISPID flush = 0;
  result = monitor->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &flush);
  if (SUCCEEDED(result)) result = CallFlush(*monitor, flush, text);
  if (FAILED(result)) {
    LogError(L"Call to TalvaroPerformanceMonitoring service failed: " + StatusText(result));
  } else {
    Logger().Info(kConnectorSource, L"Call to TALVAROPerformanceMonitorService successfull.", Category::Developer1);
  }
  return result;
}

}  // namespace Talvaro::Orbiq::Utils::PerformanceMonitoring
