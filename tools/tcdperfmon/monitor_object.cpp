#include "tools/tcdperfmon/monitor_object.h"

#include <signal.h>
#include <strings.h>

#include "external/logging/logger.h"
#include "interfaces/network_capture.h"
#include "platform/remoting/endpoints.h"
#include "platform/types/wide_string.h"
#include "tools/local_server/local_server.h"

namespace Talvaro::PerformanceMonitorService {
namespace {

std::mutex storeLock;                        // serialises the flushes
std::shared_ptr<const FlushStore> theStore;  // written once before publishing

Logging::ILogger& Log() {
  static auto* logger = new std::shared_ptr<Logging::ILogger>(Logging::LoggerFactory::CreateInfraLoggerFromRegistry(
      L"PerformanceMonitorService", L"HKEY_LOCAL_MACHINE\\SOFTWARE\\TALVARO\\ORBIQ\\PerformanceMonitorService\\Log"));
  return **logger;
}

// DISP_E_TYPEMISMATCH naming the argument (rgvarg index) that is wrong.
HRESULT Mismatch(UINT index, UINT* argumentError) {
  if (argumentError != nullptr) *argumentError = index;
  return DISP_E_TYPEMISMATCH;
}

// A running capture service writes its on-demand captures too, so that a stall keeps the
// packets around it (tools/tcdcapture).
void AskCaptureServiceToFlush() {
  const auto endpoint = platform::remoting::ReadClassFile(CLSID_OnDemandCapture);
  if (endpoint && Talvaro::Tools::RunsProgram(endpoint->pid, "tcdcapture") && ::kill(endpoint->pid, SIGUSR1) == 0) {
    Log().Info(L"tcdperfmon", L"Asked the capture service to flush", Logging::Category::Developer1);
  }
}

}  // namespace

void UseFlushStore(std::shared_ptr<const FlushStore> store) { theStore = std::move(store); }

HRESULT CPerformanceMonitor::GetTypeInfoCount(UINT* count) {
  if (count == nullptr) return E_INVALIDARG;
  *count = 0;
  return S_OK;
}

HRESULT CPerformanceMonitor::GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) {
  if (names == nullptr || ids == nullptr) return E_INVALIDARG;
  HRESULT result = S_OK;
  for (UINT i = 0; i < count; ++i) {
    const bool known = names[i] != nullptr &&
                       ::strcasecmp(platform::ToUtf8(names[i]).c_str(), "FlushingLogsAsync") == 0 && i == 0;
    ids[i] = known ? kFlushingLogsAsync : DISPID_UNKNOWN;
    if (!known) result = DISP_E_UNKNOWNNAME;
  }
  return result;
}

HRESULT CPerformanceMonitor::Invoke(DISPID member, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT*, EXCEPINFO*,
                                    UINT* argumentError) {
  if (member != kFlushingLogsAsync || (flags & DISPATCH_METHOD) == 0) return DISP_E_MEMBERNOTFOUND;
  if (params == nullptr) return E_INVALIDARG;
  if (params->cNamedArgs != 0) return DISP_E_NONAMEDARGS;
  if (params->cArgs != 3 || params->rgvarg == nullptr) return DISP_E_BADPARAMCOUNT;
  // rgvarg holds the arguments last first: the out string, the integer, the text.
  const VARIANT& text = params->rgvarg[2];
  if (text.vt != VT_BSTR) return Mismatch(2, argumentError);
  if (params->rgvarg[1].vt != VT_I4) return Mismatch(1, argumentError);
  const VARIANT& answer = params->rgvarg[0];
  if (answer.vt != (VT_BSTR | VT_BYREF) || answer.pbstrVal == nullptr) return Mismatch(0, argumentError);
  const std::wstring request = text.bstrVal != nullptr ? std::wstring(text.bstrVal, SysStringLen(text.bstrVal)) : L"";
  std::error_code error;
  std::filesystem::path folder;
  {
    std::lock_guard lock(storeLock);
    if (theStore == nullptr) return E_UNEXPECTED;
    folder = theStore->Flush(request, error);
  }
  if (error) {
    Log().Error(L"tcdperfmon", L"Flushing the logs failed: " + platform::FromUtf8(error.message()),
                Logging::Category::Developer1);
    const bool denied = error == std::errc::permission_denied || error == std::errc::operation_not_permitted;
    return HRESULT_FROM_WIN32(denied ? ERROR_ACCESS_DENIED : ERROR_CANTWRITE);
  }
  Log().Info(L"tcdperfmon", L"Flushed the logs into " + folder.wstring() + L": " + request,
             Logging::Category::Developer1);
  AskCaptureServiceToFlush();
  BSTR path = SysAllocString(folder.wstring().c_str());
  if (path == nullptr) return E_OUTOFMEMORY;
  SysFreeString(*answer.pbstrVal);
  *answer.pbstrVal = path;
  return S_OK;
}

}  // namespace Talvaro::PerformanceMonitorService
