#include "objects/driver_factory.h"

#include "driver/communication_driver.h"
#include "external/hardware/xrb_proxy.h"
#include "objects/observer_singleton.h"
#include "platform/com/com_object.h"

namespace Talvaro::Objects {

using platform::com::ComObject;
using platform::com::ComPtr;

HRESULT CTalvaroCommunicationDriverFactory::FinalConstruct() {
  CXRBProxy* proxy = CXRBProxy::GetInstance();
  if (proxy->Initialize() >= 0) proxy->Start();
  return S_OK;
}

void CTalvaroCommunicationDriverFactory::FinalRelease() {
  CObserverSingleton::GetInstance();
  CObserverSingleton::ReleaseAll();
  CXRBProxy* proxy = CXRBProxy::GetInstance();
  proxy->Finish();
  proxy->Shutdown();
}

HRESULT CTalvaroCommunicationDriverFactory::CreateDriver(BSTR logicalName, BSTR applicationName,
                                                         BSTR openArgument, BSTR channelBaseName,
                                                         BSTR clientNamespaceName,
                                                         ICommunicationDriver** driver) {
  if (driver == nullptr) return E_POINTER;
  *driver = nullptr;
  ComPtr<ComObject<Driver::CCommunicationDriver>> object;
  HRESULT hr = platform::com::CreateObject(&object);
  if (FAILED(hr)) return hr;
  hr = object->QueryInterface(uuidof<ICommunicationDriver>, reinterpret_cast<void**>(driver));
  if (FAILED(hr)) return hr;

  using platform::automation::BstrView;
  ComPtr<Driver::IObserverNotification> observer(CObserverSingleton::GetInstance());
  // A failed initialisation reaches the caller with the driver still handed out (detached).
  return object->Initialize(std::wstring(BstrView(logicalName)), std::wstring(BstrView(applicationName)),
                            std::wstring(BstrView(openArgument)), std::wstring(BstrView(channelBaseName)),
                            std::wstring(BstrView(clientNamespaceName)), std::move(observer));
}

HRESULT CTalvaroCommunicationDriverFactory::GetRegObserver(IRegObserver** observer) {
  if (observer == nullptr) return E_POINTER;
  const auto instance = CObserverSingleton::GetInstance();
  if (!instance) {
    *observer = nullptr;
    return E_OUTOFMEMORY;
  }
  return instance->QueryInterface(uuidof<IRegObserver>, reinterpret_cast<void**>(observer));
}

HRESULT CTalvaroCommunicationDriverFactory::InterfaceSupportsErrorInfo(REFIID riid) {
  return riid == uuidof<ITalvaroCommunicationDriverFactory> ? S_OK : S_FALSE;
}

}  // namespace Talvaro::Objects
