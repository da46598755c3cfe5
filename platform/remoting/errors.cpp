#include "platform/remoting/errors.h"

namespace platform::remoting {

namespace {

// Cap'n Proto marks exceptions that the peer sent back, as opposed to those raised here.
bool CameFromPeer(const kj::Exception& failure) {
  return failure.getDescription().startsWith("remote exception:");
}

}  // namespace

HRESULT HresultFromTransport(const kj::Exception& failure, bool connectedWhenIssued, bool connectedNow) {
  switch (failure.getType()) {
    case kj::Exception::Type::DISCONNECTED:
      // The peer reports that the object's own process is gone (it forwarded our call), or our
      // connection was down before we called: the server is unavailable. Our connection broke
      // while the call was out: it may or may not have run.
      if (CameFromPeer(failure) || !connectedWhenIssued) return RPC_S_SERVER_UNAVAILABLE_HR;
      return connectedNow ? RPC_S_SERVER_UNAVAILABLE_HR : RPC_S_CALL_FAILED_HR;
    case kj::Exception::Type::OVERLOADED:
      return RPC_S_SERVER_TOO_BUSY_HR;
    case kj::Exception::Type::UNIMPLEMENTED:
      // The object lacks the interface (or the method): nothing ran.
      return E_NOINTERFACE;
    case kj::Exception::Type::FAILED:
    default:
      // The peer refused the call before it reached the object (malformed, released object).
      return RPC_S_CALL_FAILED_DNE_HR;
  }
}

}  // namespace platform::remoting
