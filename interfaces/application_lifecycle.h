// The application lifecycle object: application commands for the hardware proxy's own driver.
// Every method answers S_OK when the hardware result is 0 and E_FAIL otherwise.
#pragma once

#include "interfaces/marshalers.h"
#include "platform/automation/bstr.h"
#include "platform/com/unknown.h"

inline constexpr CLSID CLSID_TalvaroCommunicationDriverGApp =
    platform::MakeGuid("{CC7E9B5E-49E9-4143-BCFA-F2B794FF011A}");

struct IXRBGeneric : IUnknown {
  virtual HRESULT SendGenericCommand(BSTR command) = 0;

 protected:
  ~IXRBGeneric() = default;
};
template <>
inline constexpr IID uuidof<IXRBGeneric> = platform::MakeGuid("{7EB819DA-D4A8-466C-9C8A-DD0721D5E70D}");

struct IXRBApplicationLifecycle : IUnknown {
  virtual HRESULT Create(BSTR firstText, BSTR secondText) = 0;
  virtual HRESULT Activate(BSTR firstText, BSTR secondText) = 0;
  virtual HRESULT Shutdown(BSTR firstText, BSTR secondText) = 0;

 protected:
  ~IXRBApplicationLifecycle() = default;
};
template <>
inline constexpr IID uuidof<IXRBApplicationLifecycle> =
    platform::MakeGuid("{50BB0603-31D1-4284-8096-3B51B8CE8E27}");
