// CTalvaroCommunicationDriverFactory: the object clients create first. One per server process
// (a singleton class object); its creation brings the hardware proxy up and its destruction
// takes it down, so the hardware communication lives as long as the factory does.
//
// Every CreateDriver makes a new driver object; sharing a unit among drivers happens in the
// hardware proxy. The IDebug methods list and describe the units the proxy sees.
//
// Threads: any call thread, concurrently; no lock of its own. Each IDebug call works on its own
// scanner and list.
#pragma once

#include "interfaces/driver_factory.h"
#include "platform/com/error_info.h"
#include "platform/com/interface_table.h"
#include "platform/com/object_root.h"

namespace Talvaro::Objects {

class CTalvaroCommunicationDriverFactory : public platform::com::ObjectRoot,
                                           public ITalvaroCommunicationDriverFactory,
                                           public IDebug,
                                           public ISupportErrorInfo {
 public:
  using Interfaces = platform::com::InterfaceTable<CTalvaroCommunicationDriverFactory,
                                                   ITalvaroCommunicationDriverFactory, IDebug,
                                                   ISupportErrorInfo>;

  // Initializes the hardware proxy and starts it when that did not fail; the factory is made
  // whatever the results.
  HRESULT FinalConstruct();
  // Releases the watchers and the observer instance, then finishes and shuts down the proxy.
  void FinalRelease();

  // ITalvaroCommunicationDriverFactory
  HRESULT CreateDriver(BSTR logicalName, BSTR applicationName, BSTR openArgument,
                       BSTR channelBaseName, BSTR clientNamespaceName,
                       ICommunicationDriver** driver) override;
  HRESULT GetRegObserver(IRegObserver** observer) override;

  // IDebug (unit_listing.cpp): S_OK, E_POINTER, E_FAIL (no scanner or a failed scan),
  // E_INVALIDARG (no unit of that name), E_OUTOFMEMORY.
  HRESULT GetXRBNames(SAFEARRAY** names) override;
  HRESULT GetXRBSubItemNames(BSTR logicalName, SAFEARRAY** names) override;
  HRESULT GetXRBInfo(BSTR logicalName, SAFEARRAY** lines) override;

  // ISupportErrorInfo: S_OK only for ITalvaroCommunicationDriverFactory.
  HRESULT InterfaceSupportsErrorInfo(REFIID riid) override;
};

}  // namespace Talvaro::Objects
