// The driver factory, the first object a client creates, and its debug interface.
#pragma once

#include "interfaces/communication_driver.h"
#include "interfaces/registration_observer.h"

inline constexpr CLSID CLSID_TalvaroCommunicationDriverFactory =
    platform::MakeGuid("{1C84D1BC-573F-490C-ADF2-0269F5A6AFDC}");

struct ITalvaroCommunicationDriverFactory : IUnknown {
  // A new driver object for the unit, attached when the returned value is 0; otherwise the
  // driver's initialisation failure (-1050, -1100, -1200) or a creation failure.
  virtual HRESULT CreateDriver(BSTR logicalName, BSTR applicationName, BSTR openArgument,
                               BSTR channelBaseName, BSTR clientNamespaceName,
                               ICommunicationDriver** driver) = 0;
  virtual HRESULT GetRegObserver(IRegObserver** observer) = 0;

 protected:
  ~ITalvaroCommunicationDriverFactory() = default;
};
template <>
inline constexpr IID uuidof<ITalvaroCommunicationDriverFactory> =
    platform::MakeGuid("{F70C7624-74AB-40ED-8C01-14A83F5AE34E}");

// Lists the XRB units the hardware proxy sees. Arrays are one-dimensional string arrays with
// lower bound 0; a logical name is matched exactly (case-sensitive).
struct IDebug : IUnknown {
  virtual HRESULT GetXRBNames(SAFEARRAY** names) = 0;
  virtual HRESULT GetXRBSubItemNames(BSTR logicalName, SAFEARRAY** names) = 0;
  virtual HRESULT GetXRBInfo(BSTR logicalName, SAFEARRAY** lines) = 0;

 protected:
  ~IDebug() = default;
};
template <>
inline constexpr IID uuidof<IDebug> = platform::MakeGuid("{2731E30C-4CBC-4D7C-826A-31AECFF177DD}");
