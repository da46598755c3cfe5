// The driver object's client-visible interfaces: one driver object per XRB unit and client.
//
// Hardware results never become status codes: every operation that reaches the hardware
// reports its E_ORBIQLIB_Result through a `result` out-parameter, and the returned HRESULT
// only says whether the call itself was well formed.
#pragma once

#include "interfaces/marshalers.h"
#include "platform/automation/dispatch.h"
#include "platform/automation/safearray.h"
#include "platform/automation/stream.h"
#include "platform/com/unknown.h"

inline constexpr CLSID CLSID_CommunicationDriver =
    platform::MakeGuid("{B94F6646-C3EF-4069-B692-C694A65C2D7F}");

// Identifies a driver object; no operations of its own.
struct ICommunicationDriver : IUnknown {
 protected:
  ~ICommunicationDriver() = default;
};
template <>
inline constexpr IID uuidof<ICommunicationDriver> =
    platform::MakeGuid("{B843AFB5-F8AF-4E65-914E-0FB0A1D5152D}");

struct IDataTransfer : IUnknown {
  // Sends the bytes of a one-dimensional array to the unit; `value` goes to the hardware
  // unchanged. S_FALSE for an array of another shape or inaccessible data.
  virtual HRESULT Write(SAFEARRAY* data, LONG value, LONG* result) = 0;

 protected:
  ~IDataTransfer() = default;
};
template <>
inline constexpr IID uuidof<IDataTransfer> = platform::MakeGuid("{958BA1F7-6848-47F1-8707-E1D78672C446}");

struct IAvailability : IUnknown {
  // The unit's availability, 0 or 1; S_FALSE when the hardware answered anything else.
  virtual HRESULT GetAvailability(LONG* state) = 0;

 protected:
  ~IAvailability() = default;
};
template <>
inline constexpr IID uuidof<IAvailability> = platform::MakeGuid("{51947443-D287-4752-B33F-5D1765BEEF55}");

// Restriction modes 0, 1 and 2 pass to the hardware unchanged; any other value passes as 3.
struct IRestriction : IUnknown {
  // `callback` holds the client's marshaled IRestrictionCallback.
  virtual HRESULT RegisterRestriction(ULONG mode, IStream* callback, LONG* result) = 0;
  virtual HRESULT SetRestrictionMode(ULONG mode, LONG* result) = 0;
  virtual HRESULT UnregisterRestriction(LONG* result) = 0;
  virtual HRESULT GetRestrictionMode(ULONG* mode, LONG* result) = 0;
  virtual HRESULT IsRestrictionRegistered(VARIANT_BOOL* registered, LONG* result) = 0;

 protected:
  ~IRestriction() = default;
};
template <>
inline constexpr IID uuidof<IRestriction> = platform::MakeGuid("{2CBD1FAC-4547-4D17-9810-0049B6C2AA79}");

// Implemented by the client that judges restriction questions of the hardware.
struct IRestrictionCallback : IUnknown {
  // `data` is a byte array; the verdict goes to the hardware unchanged (0: not restricted).
  virtual HRESULT IsRestricted(SAFEARRAY* data, LONG* verdict) = 0;

 protected:
  ~IRestrictionCallback() = default;
};
template <>
inline constexpr IID uuidof<IRestrictionCallback> =
    platform::MakeGuid("{F06BD5D3-47B1-408A-BF24-C6C4DD1978EB}");

// The outgoing dispatch interface. Events are invoked as methods with positional arguments.
struct ICommunicationDriverEvents : IDispatch {
 protected:
  ~ICommunicationDriverEvents() = default;
};
template <>
inline constexpr IID uuidof<ICommunicationDriverEvents> =
    platform::MakeGuid("{1AE26C38-E4F9-4530-998B-E7F8228B0198}");

// DISPIDs of ICommunicationDriverEvents.
enum CommunicationDriverEvent : DISPID {
  DISPID_OnLiveliness = 1,    // no arguments
  DISPID_OnStateChanged = 2,  // VT_UI4 availability state, 0 or 1
  DISPID_OnData = 3,          // VT_ARRAY | VT_UI1 copy of the data block
  DISPID_OnError = 4,         // VT_UI4 E_ORBIQLIB_Result code
};
