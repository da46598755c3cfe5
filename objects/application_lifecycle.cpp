#include "objects/application_lifecycle.h"

#include <string>

#include "external/hardware/xrb_proxy.h"

namespace Talvaro::Objects {
namespace {

HRESULT MapResult(E_ORBIQLIB_Result result) { return result == ORBIQLIB_SUCCESS ? S_OK : E_FAIL; }

// The proxy's own driver; null while the proxy is down, which answers like a failed command.
ICommDriver* ProxyDriver() { return CXRBProxy::GetInstance()->GetDriver(); }

std::wstring Text(BSTR text) { return std::wstring(platform::automation::BstrView(text)); }

}  // namespace

HRESULT CTalvaroCommunicationDriverGApp::SendGenericCommand(BSTR command) {
  ICommDriver* driver = ProxyDriver();
  const std::wstring text = Text(command);
  return driver != nullptr ? MapResult(driver->GenericCommand(text)) : E_FAIL;
}

HRESULT CTalvaroCommunicationDriverGApp::Create(BSTR firstText, BSTR secondText) {
  return SendApplicationCommand(firstText, secondText, APPL_CMD_CREATE);
}

HRESULT CTalvaroCommunicationDriverGApp::Activate(BSTR firstText, BSTR secondText) {
  return SendApplicationCommand(firstText, secondText, APPL_CMD_ACTIVATE);
}

HRESULT CTalvaroCommunicationDriverGApp::Shutdown(BSTR firstText, BSTR secondText) {
  return SendApplicationCommand(firstText, secondText, APPL_CMD_SHUTDOWN);
}

HRESULT CTalvaroCommunicationDriverGApp::SendApplicationCommand(BSTR firstText, BSTR secondText,
                                                                ApplicationCommandCode code) {
  ICommDriver* driver = ProxyDriver();
  const std::wstring first = Text(firstText);
  const std::wstring second = Text(secondText);
  return driver != nullptr ? MapResult(driver->ApplicationCommand(first, second, code)) : E_FAIL;
}

}  // namespace Talvaro::Objects
