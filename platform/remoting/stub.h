// The server side of an exported object.
//
// An ExportedObject holds the references that an exported capability keeps: the object's
// identity and each interface pointer that was handed out or asked for. Calls on the capability
// become StubCalls: the marshaler of the interface reads the parameters into plain values on the
// RPC thread, StubCall::OnWorker runs the object's method on a worker (on the RPC thread itself
// for an object that declared IRunsOnRpcThread) and the reply (again plain values) is written
// into the results back on the RPC thread. An ObjectStub is the capability
// itself: one per exported object and connection, living on the RPC thread. Each export holds
// references of its own: a peer's release or a disconnection ends only its own.
#pragma once

#include <capnp/any.h>
#include <capnp/capability.h>
#include <kj/exception.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/com/com_ptr.h"
#include "platform/remoting/move_only_function.h"
#include "platform/remoting/object_ref.h"

namespace platform::remoting {

class Connection;

class ExportedObject {
 public:
  // The references taken out of an export (Disconnect). Destroyed on a component thread they
  // are released there, on the RPC thread each Release goes to a worker; the server locks the
  // peer still held are given back first.
  class References {
   public:
    References() = default;
    References(References&& other) noexcept
        : identity_(std::move(other.identity_)),
          interfaces_(std::move(other.interfaces_)),
          serverLocks_(std::exchange(other.serverLocks_, 0)) {}
    References& operator=(References&&) = delete;
    ~References();

   private:
    friend class ExportedObject;
    HeldInterface identity_;
    std::vector<std::pair<IID, HeldInterface>> interfaces_;
    long serverLocks_ = 0;
  };

  explicit ExportedObject(HeldInterface identity) : identity_(std::move(identity)) {}
  ~ExportedObject();
  ExportedObject(const ExportedObject&) = delete;
  ExportedObject& operator=(const ExportedObject&) = delete;

  // The identity pointer, for table keys (the object stays alive while it is held).
  IUnknown* Identity() const { return identity_.Get(); }

  // Component thread. The `iid` interface with a reference for the caller: a kept one, or the
  // identity's QueryInterface (then kept). CO_E_OBJNOTCONNECTED once dropped.
  HRESULT Get(const IID& iid, platform::com::ComPtr<IUnknown>* out);
  // Any thread. Keeps `pointer` as the `iid` interface, taking it from the caller, unless one
  // is kept already (then `pointer` stays with the caller).
  void Hold(const IID& iid, HeldInterface& pointer);
  // RPC thread. Our object came back through this export's capability: a ref with references
  // of its own (the kept `iid` interface, else the identity), or a disconnected ref once dropped.
  ObjectRef Share(const IID& iid);
  // Any thread. Gives every reference back (the peer released its capability).
  void Drop();
  // Any thread. The object's own process cut its clients off (CoDisconnectObject): hands every
  // reference to the caller, who releases them where it chooses.
  References Disconnect();
  // Any thread. Whether Disconnect ended this export (rather than the peer's release).
  bool Disconnected();

  // Whether calls may run on the RPC thread (IRunsOnRpcThread): unknown until a worker asked
  // once (LearnWhereCallsRun). Any thread.
  bool CallsRunOnRpcThread() const { return callsOnRpcThread_.load(std::memory_order_acquire) == 1; }
  // Component thread: asks the object for the declaration, once.
  void LearnWhereCallsRun();

  // Component thread. IClassFactory::LockServer on behalf of the peer, counted: locks the peer
  // still holds when the export goes are given back then.
  HRESULT CountServerLock(IClassFactory* factory, bool lock);

 private:
  enum class State { Live, Released, Disconnected };

  References TakeAll(State reason);
  // Unlocks what the peer left locked; on a worker when called on the RPC thread.
  static void GiveBackServerLocks(HeldInterface identity, long count);

  std::mutex mutex_;
  HeldInterface identity_;                                // guarded by mutex_
  std::vector<std::pair<IID, HeldInterface>> interfaces_;  // guarded by mutex_
  State state_ = State::Live;                             // guarded by mutex_
  long serverLocks_ = 0;                                  // guarded by mutex_
  std::atomic<int> callsOnRpcThread_{-1};                 // -1 unknown, 0 no, 1 yes
};

// The failure that a call on a disconnected export answers (a FAILED exception with this text,
// so that clients in any language can tell it); a proxy turns it into RPC_E_DISCONNECTED.
kj::Exception ObjectDisconnectedFailure();
bool IsObjectDisconnected(const kj::Exception& failure);

class StubCall {
 public:
  using Context = capnp::CallContext<capnp::AnyPointer, capnp::AnyPointer>;
  template <class Results>
  using Reply = MoveOnlyFunction<void(typename Results::Builder, WireContext&)>;

  StubCall(Context context, std::shared_ptr<ExportedObject> object, const IID& iid,
           std::shared_ptr<Connection> connection, capnp::Capability::Client self);

  // RPC thread.
  template <class Params>
  typename Params::Reader ParamsAs() {
    return context_.getParams().getAs<Params>();
  }
  WireContext& Wire();
  Context RawContext() const { return context_; }
  capnp::Capability::Client Self() { return self_; }
  const std::shared_ptr<ExportedObject>& Object() const { return object_; }
  const IID& Iid() const { return iid_; }

  // Runs `invoke(I* target)` on a worker (its captures travel there and die there) and then the
  // Reply<Results> it returns on the RPC thread, which fills the results. An exception from the
  // object answers hr = RPC_E_SERVERFAULT; an object without the interface fails the call
  // ("unimplemented"), a released one too ("failed").
  template <class I, class Results, class Invoke>
  kj::Promise<void> OnWorker(Invoke&& invoke) {
    return Dispatch(
        [invoke = std::forward<Invoke>(invoke)](IUnknown* target) mutable -> ErasedReply {
          Reply<Results> reply = invoke(reinterpret_cast<I*>(target));
          return [reply = std::move(reply)](capnp::AnyPointer::Builder results,
                                            WireContext& context) mutable {
            reply(results.initAs<Results>(), context);
          };
        },
        [](capnp::AnyPointer::Builder results, HRESULT hr) { results.initAs<Results>().setHr(hr); });
  }

 private:
  using ErasedReply = MoveOnlyFunction<void(capnp::AnyPointer::Builder, WireContext&)>;
  struct Outcome {
    ErasedReply reply;
    HRESULT unreachable = S_OK;  // the object could not be reached for this interface
    bool threw = false;
  };
  // On a worker, or on the RPC thread for an object whose calls run there.
  kj::Promise<void> Dispatch(MoveOnlyFunction<ErasedReply(IUnknown*)> invoke,
                             void (*fault)(capnp::AnyPointer::Builder, HRESULT));
  // The object's method, wherever the call runs.
  static void Run(Outcome& outcome, ExportedObject& object, const IID& iid,
                  MoveOnlyFunction<ErasedReply(IUnknown*)>& invoke);
  // RPC thread: the results, or the failure, of a call that ran.
  static void Answer(Outcome& outcome, Context context, ExportedObject& object, WireContext& connection,
                     void (*fault)(capnp::AnyPointer::Builder, HRESULT));

  Context context_;
  std::shared_ptr<ExportedObject> object_;
  IID iid_;
  std::shared_ptr<Connection> connection_;
  capnp::Capability::Client self_;
};

// A call of a method number the interface does not have.
kj::Promise<void> UnknownMethod(std::uint16_t methodId);

// RPC thread. Runs `work` on a worker, then `then` back on the RPC thread; the promise settles
// when `then` has run (or failed). `work` and its captures are destroyed on the worker, `then`
// on the RPC thread.
kj::Promise<void> OnWorkerThen(Task work, Task then);

// One of our objects as a capability on one connection.
class ObjectStub final : public capnp::Capability::Server {
 public:
  ObjectStub(std::weak_ptr<Connection> connection, std::shared_ptr<ExportedObject> object);
  ~ObjectStub();

  DispatchCallResult dispatchCall(std::uint64_t interfaceId, std::uint16_t methodId,
                                  capnp::CallContext<capnp::AnyPointer, capnp::AnyPointer> context) override;

  capnp::Capability::Client Self() { return thisCap(); }
  const std::shared_ptr<ExportedObject>& Object() const { return object_; }
  // Called once the capability exists: registers it as ours, so that it is recognised when the
  // peer sends it back.
  void Registered(const capnp::ClientHook* hook);
  // The object's number for the identity method.
  std::uint64_t Number() const { return number_; }

  // RPC thread. The live stub whose capability has `hook`, or null: our own object coming back.
  static ObjectStub* FromHook(const capnp::ClientHook* hook);
  // RPC thread. Ends every live export of the object `identity` on every connection; their
  // references are appended to `taken`. Later calls on those capabilities fail with
  // ObjectDisconnectedFailure; the peers' proxies stay until they drop them.
  static void DisconnectAll(IUnknown* identity, std::vector<ExportedObject::References>& taken);
  // Exported capabilities alive in this process, for diagnostics and tests.
  static std::size_t LiveCount();

 private:
  enum class State { Live, Released, Disconnected };

  kj::Promise<void> ServeUnknown(StubCall& call, std::uint16_t methodId);
  void Release();
  // Leaves the connection's table and gives the identity's number back; once only.
  void Retire(State reason);

  std::weak_ptr<Connection> connection_;
  std::shared_ptr<ExportedObject> object_;
  IUnknown* const identity_;  // a table key only once retired: the object may be gone
  std::uint64_t number_;
  const capnp::ClientHook* hook_ = nullptr;
  State state_ = State::Live;
};

}  // namespace platform::remoting
