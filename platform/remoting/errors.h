// What a failed remote call means to a component caller.
#pragma once

#include <kj/exception.h>

#include "platform/types/error_codes.h"

namespace platform::remoting {

// A proxy called on the RPC thread (the runtime never does so itself).
inline constexpr HRESULT RPC_E_CANTCALLOUT_ININPUTSYNCCALL_HR = static_cast<HRESULT>(0x8001010D);

// The HRESULT of a call that failed in transport. `connectedWhenIssued`: the connection to the
// peer was up when the call was sent; `connectedNow`: it still is. A disconnection that the peer
// reports comes from a process further on (the object's own process is gone).
HRESULT HresultFromTransport(const kj::Exception& failure, bool connectedWhenIssued, bool connectedNow);

}  // namespace platform::remoting
