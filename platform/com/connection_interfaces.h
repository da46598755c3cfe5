// The connection-point interfaces through which clients subscribe to an object's events.
#pragma once

#include "platform/com/unknown.h"

struct IConnectionPoint;
struct IConnectionPointContainer;

struct CONNECTDATA {
  IUnknown* pUnk;  // the sink, with a reference the receiver releases
  DWORD dwCookie;
};

struct IEnumConnections : IUnknown {
  virtual HRESULT Next(ULONG count, CONNECTDATA* items, ULONG* fetched) = 0;
  virtual HRESULT Skip(ULONG count) = 0;
  virtual HRESULT Reset() = 0;
  virtual HRESULT Clone(IEnumConnections** result) = 0;

 protected:
  ~IEnumConnections() = default;
};
inline constexpr IID IID_IEnumConnections =
    platform::MakeGuid("{B196B287-BAB4-101A-B69C-00AA00341D07}");
template <>
inline constexpr IID uuidof<IEnumConnections> = IID_IEnumConnections;

struct IEnumConnectionPoints : IUnknown {
  virtual HRESULT Next(ULONG count, IConnectionPoint** items, ULONG* fetched) = 0;
  virtual HRESULT Skip(ULONG count) = 0;
  virtual HRESULT Reset() = 0;
  virtual HRESULT Clone(IEnumConnectionPoints** result) = 0;

 protected:
  ~IEnumConnectionPoints() = default;
};
inline constexpr IID IID_IEnumConnectionPoints =
    platform::MakeGuid("{B196B285-BAB4-101A-B69C-00AA00341D07}");
template <>
inline constexpr IID uuidof<IEnumConnectionPoints> = IID_IEnumConnectionPoints;

struct IConnectionPoint : IUnknown {
  virtual HRESULT GetConnectionInterface(IID* iid) = 0;
  virtual HRESULT GetConnectionPointContainer(IConnectionPointContainer** result) = 0;
  virtual HRESULT Advise(IUnknown* sink, DWORD* cookie) = 0;
  virtual HRESULT Unadvise(DWORD cookie) = 0;
  virtual HRESULT EnumConnections(IEnumConnections** result) = 0;

 protected:
  ~IConnectionPoint() = default;
};
inline constexpr IID IID_IConnectionPoint =
    platform::MakeGuid("{B196B286-BAB4-101A-B69C-00AA00341D07}");
template <>
inline constexpr IID uuidof<IConnectionPoint> = IID_IConnectionPoint;

struct IConnectionPointContainer : IUnknown {
  virtual HRESULT EnumConnectionPoints(IEnumConnectionPoints** result) = 0;
  virtual HRESULT FindConnectionPoint(REFIID riid, IConnectionPoint** result) = 0;

 protected:
  ~IConnectionPointContainer() = default;
};
inline constexpr IID IID_IConnectionPointContainer =
    platform::MakeGuid("{B196B284-BAB4-101A-B69C-00AA00341D07}");
template <>
inline constexpr IID uuidof<IConnectionPointContainer> = IID_IConnectionPointContainer;
