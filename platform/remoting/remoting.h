// What programs may ask of the remoting runtime directly. Everything else goes through the
// component API: CoRegisterClassObject/CoResumeClassObjects publish classes, CoCreateInstance
// with CLSCTX_LOCAL_SERVER reaches them, and the interfaces' own methods cross the boundary.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/com/unknown.h"

namespace platform::remoting {

struct RemoteIdentity {
  std::uint64_t server = 0;  // the serving process's id
  std::uint64_t object = 0;  // the object's number there while it is exported
  friend bool operator==(const RemoteIdentity&, const RemoteIdentity&) = default;
};

// Whether `object` is a proxy of an object in another process. Any thread.
bool IsProxy(IUnknown* object);

// Whether the connection of a proxy is still up (false once its server is gone); true for an
// object of this process. Costs no call. Any thread.
bool IsConnected(IUnknown* object);

// The identity of a proxy's object as its server states it: equal for two proxies exactly when
// they reach the same object, also when they came through different processes (which Cap'n
// Proto cannot tell otherwise). E_INVALIDARG for an object of this process; transport failures
// as for any call. Component threads.
HRESULT GetRemoteIdentity(IUnknown* object, RemoteIdentity* identity);

struct RuntimeStatistics {
  bool started = false;     // the RPC thread runs
  std::size_t proxies = 0;  // remote objects held in this process
  std::size_t exports = 0;  // capabilities of our objects held by peers
  std::size_t workers = 0;  // worker threads alive
};
RuntimeStatistics Statistics();

// An object of this process that answers this interface declares that none of its methods
// blocks or makes a call to another process: calls from other processes then run on the RPC
// thread as they arrive, without the hand-off to a worker and back, which halves the cost of a
// callback. Meant for event sinks that record or queue what they are given. A method that
// makes a remote call anyway fails that call with RPC_E_CANTCALLOUT_ININPUTSYNCCALL; one that
// blocks holds up every call of the process. The first call always runs on a worker, which
// asks for the declaration once.
struct IRunsOnRpcThread : IUnknown {};

}  // namespace platform::remoting

template <>
inline constexpr IID uuidof<platform::remoting::IRunsOnRpcThread> =
    platform::MakeGuid("{2F6B9C14-7E3A-4D58-8B21-C5E0A9D7364F}");
