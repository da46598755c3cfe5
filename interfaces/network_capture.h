// The network capture service's interfaces: the server configures a continuous capture (dump
// files in a folder) or a flush-on-demand capture (the newest packets kept in memory) and starts
// it; it stops only the continuous one. Both classes live in the capture service, a local server.
// A failing method leaves error information (GetErrorInfo) saying what went wrong; it crosses the
// process boundary with the status.
#pragma once

#include "interfaces/marshalers.h"
#include "platform/automation/bstr.h"
#include "platform/com/unknown.h"

inline constexpr CLSID CLSID_ContinuousCapture = platform::MakeGuid("{75B2C210-9AD3-4DC8-97B4-E366F9A74644}");
inline constexpr CLSID CLSID_OnDemandCapture = platform::MakeGuid("{96B0E6BE-A24C-4F85-B460-F480949DFFEA}");

// Positions 3 to 5 belong to methods that the server never calls: the service answers them
// E_NOTIMPL and they do not cross the process boundary (a proxy answers them itself).
struct IContinuousCapture : IUnknown {
  virtual HRESULT ReservedMethod3() = 0;
  virtual HRESULT ReservedMethod4() = 0;
  virtual HRESULT ReservedMethod5() = 0;
  // Captures on the network `network`, through `filter`, into files of at most `fileSize` bytes
  // in `destinationFolder`, keeping `dumpCount` files of at most `retentionDays` days.
  virtual HRESULT StartCapture(BSTR network, BSTR filter, ULONG fileSize, LONG dumpCount, BSTR destinationFolder,
                               LONG retentionDays) = 0;
  virtual HRESULT StopCapture() = 0;

 protected:
  ~IContinuousCapture() = default;
};
template <>
inline constexpr IID uuidof<IContinuousCapture> = platform::MakeGuid("{887E7A08-51AD-44EE-9CC1-BAD1F80305F2}");

struct IOnDemandCapture : IUnknown {
  virtual HRESULT ReservedMethod3() = 0;
  virtual HRESULT ReservedMethod4() = 0;
  virtual HRESULT ReservedMethod5() = 0;
  // Keeps the newest packets of the network `network`, up to `bufferSize` bytes, in memory.
  virtual HRESULT StartCapture(BSTR network, ULONG bufferSize) = 0;

 protected:
  ~IOnDemandCapture() = default;
};
template <>
inline constexpr IID uuidof<IOnDemandCapture> = platform::MakeGuid("{B1BDCD7F-1FEC-4EC0-B6E8-74EB634E87FF}");
