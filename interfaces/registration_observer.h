// The registration observer: watchers see every data block and every write of every driver.
#pragma once

#include "interfaces/marshalers.h"
#include "platform/automation/dispatch.h"
#include "platform/com/unknown.h"

inline constexpr CLSID CLSID_ObserverSingleton =
    platform::MakeGuid("{95F7797C-75B3-4E83-8556-E6B0C4E46BEE}");

// Implemented by watchers. The server calls only OnNotify, the first entry after IDispatch's
// (table position 7); the words are the big-endian values of bytes 0-3, 4-7 and 8-11 of the
// block, the third plus every later byte.
struct IRegObserverCallback : IDispatch {
  virtual HRESULT OnNotify(ULONG firstWord, ULONG secondWord, ULONG thirdWord, ULONG byteCount,
                           ULONG value) = 0;

 protected:
  ~IRegObserverCallback() = default;
};
template <>
inline constexpr IID uuidof<IRegObserverCallback> =
    platform::MakeGuid("{CDBB95EB-3923-4369-99C8-8D8A0E5D4209}");

struct IRegObserver : IUnknown {
  // Both always succeed; a null callback is ignored, a callback is registered once.
  virtual HRESULT Register(IRegObserverCallback* callback) = 0;
  virtual HRESULT Unregister(IRegObserverCallback* callback) = 0;

 protected:
  ~IRegObserver() = default;
};
template <>
inline constexpr IID uuidof<IRegObserver> = platform::MakeGuid("{D88CA1C5-CCC7-4396-BEE1-B93040DB5E12}");
