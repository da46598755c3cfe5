#include "platform/remoting/errors.h"

namespace platform::remoting {

HRESULT HresultFromTransport(const kj::Exception& failure, bool connectedWhenIssued, bool connectedNow) {
  switch (failure.getType()) {
    case kj::Exception::Type::DISCONNECTED:
      // Gone before we called, or gone behind a live connection: the server is unavailable.
      // Our own connection broke while the call was out: it may or may not have run.
      return connectedWhenIssued && !connectedNow ? RPC_S_CALL_FAILED_HR : RPC_S_SERVER_UNAVAILABLE_HR;
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
