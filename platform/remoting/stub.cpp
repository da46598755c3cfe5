// Our objects as capabilities: the references an export holds, the calls on it (run on workers,
// or on the RPC thread for objects that declared it), and the stub that serves it on one
// connection (stub.h).
#include "platform/remoting/stub.h"

#include <kj/debug.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/com/disconnect.h"
#include "platform/remoting/connection.h"
#include "platform/remoting/errors.h"
#include "platform/remoting/marshaling.h"
#include "platform/remoting/proxy.h"
#include "platform/remoting/remoting.h"
#include "platform/remoting/runtime.h"

namespace platform::remoting {
namespace {

using platform::com::ComPtr;

// Our exports as the RPC thread knows them. RPC thread only.
struct ExportTables {
  // Every live stub by its capability's hook: our own objects coming back are found here.
  std::unordered_map<const capnp::ClientHook*, ObjectStub*> stubsByHook;
  // The number of each exported identity and how many stubs export it.
  std::unordered_map<IUnknown*, std::pair<std::uint64_t, std::size_t>> numbers;
  std::uint64_t nextNumber = 1;
};

ExportTables& Exports() {
  static auto* tables = new ExportTables;  // lives until exit, like the RPC thread
  return *tables;
}

std::atomic<std::size_t> liveStubs{0};

constexpr const char* kObjectDisconnectedText = "object disconnected by its server";

std::uint64_t AcquireNumber(IUnknown* identity) {
  auto& tables = Exports();
  auto [entry, added] = tables.numbers.try_emplace(identity, 0, 0);
  if (added) entry->second.first = tables.nextNumber++;
  ++entry->second.second;
  return entry->second.first;
}

void ReleaseNumber(IUnknown* identity) {
  auto& numbers = Exports().numbers;
  const auto entry = numbers.find(identity);
  if (entry != numbers.end() && --entry->second.second == 0) numbers.erase(entry);
}

}  // namespace

// ---- exported objects -----------------------------------------------------------------------

HRESULT ExportedObject::Get(const IID& iid, ComPtr<IUnknown>* out) {
  *out = nullptr;
  ComPtr<IUnknown> identity;
  {
    std::lock_guard lock(mutex_);
    if (state_ != State::Live) return CO_E_OBJNOTCONNECTED;
    if (iid == IID_IUnknown) {
      *out = ComPtr<IUnknown>(identity_.Get());
      return S_OK;
    }
    for (const auto& [kept, pointer] : interfaces_) {
      if (kept == iid) {
        *out = ComPtr<IUnknown>(pointer.Get());
        return S_OK;
      }
    }
    identity = ComPtr<IUnknown>(identity_.Get());
  }
  ComPtr<IUnknown> asked;
  const HRESULT hr = identity->QueryInterface(iid, asked.PutVoid());
  if (FAILED(hr)) return hr;
  HeldInterface kept(asked.Get());
  Hold(iid, kept);
  *out = std::move(asked);
  return S_OK;
}

void ExportedObject::Hold(const IID& iid, HeldInterface& pointer) {
  if (!pointer || iid == IID_IUnknown) return;
  std::lock_guard lock(mutex_);
  if (state_ != State::Live) return;
  for (const auto& entry : interfaces_) {
    if (entry.first == iid) return;
  }
  interfaces_.emplace_back(iid, std::move(pointer));
}

ObjectRef ExportedObject::Share(const IID& iid) {
  std::lock_guard lock(mutex_);
  if (state_ != State::Live) return ObjectRef::MakeDisconnected(iid);
  for (const auto& [kept, pointer] : interfaces_) {
    if (kept == iid) return ObjectRef::MakeLocal(HeldInterface(pointer.Get()), HeldInterface(identity_.Get()), iid);
  }
  // Not asked for through this export yet: whoever uses the ref asks the identity.
  return ObjectRef::MakeLocal(HeldInterface(identity_.Get()), HeldInterface(identity_.Get()), IID_IUnknown);
}

ExportedObject::~ExportedObject() {
  if (serverLocks_ > 0) GiveBackServerLocks(std::move(identity_), serverLocks_);
}

ExportedObject::References ExportedObject::TakeAll(State reason) {
  References taken;
  std::lock_guard lock(mutex_);
  if (state_ != State::Live) return taken;
  state_ = reason;
  taken.identity_ = std::move(identity_);
  taken.interfaces_.swap(interfaces_);
  taken.serverLocks_ = std::exchange(serverLocks_, 0);
  return taken;
}

void ExportedObject::Drop() {
  // Released here, outside the lock (a final release runs object code).
  TakeAll(State::Released);
}

ExportedObject::References ExportedObject::Disconnect() { return TakeAll(State::Disconnected); }

void ExportedObject::LearnWhereCallsRun() {
  if (callsOnRpcThread_.load(std::memory_order_acquire) != -1) return;
  ComPtr<IUnknown> identity;
  {
    std::lock_guard lock(mutex_);
    if (state_ != State::Live) return;
    identity = ComPtr<IUnknown>(identity_.Get());
  }
  ComPtr<IUnknown> declared;
  // A proxy never qualifies: its calls go to yet another process.
  const bool yes = ProxyManager::FromIdentity(identity.Get()) == nullptr &&
                   SUCCEEDED(identity->QueryInterface(uuidof<IRunsOnRpcThread>, declared.PutVoid()));
  callsOnRpcThread_.store(yes ? 1 : 0, std::memory_order_release);
}

bool ExportedObject::Disconnected() {
  std::lock_guard lock(mutex_);
  return state_ == State::Disconnected;
}

ExportedObject::References::~References() {
  if (serverLocks_ > 0) GiveBackServerLocks(std::move(identity_), serverLocks_);
}

HRESULT ExportedObject::CountServerLock(IClassFactory* factory, bool lock) {
  if (lock) {
    const HRESULT hr = factory->LockServer(TRUE);
    if (FAILED(hr)) return hr;
    {
      std::lock_guard guard(mutex_);
      if (state_ == State::Live) {
        ++serverLocks_;
        return hr;
      }
    }
    factory->LockServer(FALSE);  // the peer let go meanwhile
    return CO_E_OBJNOTCONNECTED;
  }
  {
    std::lock_guard guard(mutex_);
    if (state_ != State::Live) return CO_E_OBJNOTCONNECTED;
    if (serverLocks_ == 0) return S_OK;  // never more unlocks than this peer's locks
    --serverLocks_;
  }
  return factory->LockServer(FALSE);
}

void ExportedObject::GiveBackServerLocks(HeldInterface identity, long count) {
  auto unlock = [identity = std::move(identity), count]() {
    ComPtr<IClassFactory> factory;
    if (identity && SUCCEEDED(identity.Get()->QueryInterface(IID_IClassFactory, factory.PutVoid()))) {
      for (long i = 0; i < count; ++i) factory->LockServer(FALSE);
    }
  };
  if (Runtime::OnRpcThread()) {
    Runtime::Get().Workers().Submit(std::move(unlock));
  } else {
    unlock();
  }
}

// ---- calls on exported objects ------------------------------------------------------------

kj::Promise<void> OnWorkerThen(Task work, Task then) {
  auto done = kj::newPromiseAndCrossThreadFulfiller<void>();
  auto handOff = std::make_shared<int>(0);
  Runtime::Get().Workers().Submit(
      [work = std::move(work), fulfiller = kj::mv(done.fulfiller), handOff]() mutable {
        try {
          work();
        } catch (...) {
          // `work` reports its own failures; the reply still has to go out.
        }
        work = Task();  // its captures die on this thread
        HappensBefore(handOff.get());
        fulfiller->fulfill();
      });
  return done.promise.then([then = std::move(then), handOff]() mutable {
    HappensAfter(handOff.get());
    then();
  });
}

kj::Promise<void> UnknownMethod(std::uint16_t methodId) {
  return KJ_EXCEPTION(UNIMPLEMENTED, "no such method in this interface", methodId);
}

StubCall::StubCall(Context context, std::shared_ptr<ExportedObject> object, const IID& iid,
                   std::shared_ptr<Connection> connection, capnp::Capability::Client self)
    : context_(context),
      object_(std::move(object)),
      iid_(iid),
      connection_(std::move(connection)),
      self_(kj::mv(self)) {}

WireContext& StubCall::Wire() { return *connection_; }

kj::Promise<void> StubCall::Dispatch(MoveOnlyFunction<ErasedReply(IUnknown*)> invoke,
                                     void (*fault)(capnp::AnyPointer::Builder, HRESULT)) {
  auto outcome = std::make_shared<Outcome>();
  // At exit, object code runs nowhere any more: the workers no longer start calls.
  if (object_->CallsRunOnRpcThread() && !Runtime::Get().Quiescing()) {
    Run(*outcome, *object_, iid_, invoke);
    Answer(*outcome, context_, *object_, *connection_, fault);
    return kj::READY_NOW;
  }
  return OnWorkerThen(
      [outcome, object = object_, iid = iid_, invoke = std::move(invoke)]() mutable {
        object->LearnWhereCallsRun();
        Run(*outcome, *object, iid, invoke);
      },
      [outcome, context = context_, object = object_, connection = connection_, fault]() mutable {
        Answer(*outcome, context, *object, *connection, fault);
      });
}

void StubCall::Run(Outcome& outcome, ExportedObject& object, const IID& iid,
                   MoveOnlyFunction<ErasedReply(IUnknown*)>& invoke) {
  ComPtr<IUnknown> target;
  const HRESULT hr = object.Get(iid, &target);
  if (FAILED(hr)) {
    outcome.unreachable = hr;
    return;
  }
  try {
    outcome.reply = invoke(target.Get());
  } catch (...) {
    outcome.threw = true;
  }
}

void StubCall::Answer(Outcome& outcome, Context context, ExportedObject& object, WireContext& connection,
                      void (*fault)(capnp::AnyPointer::Builder, HRESULT)) {
  if (outcome.unreachable == E_NOINTERFACE) {
    kj::throwFatalException(KJ_EXCEPTION(UNIMPLEMENTED, "the object does not have this interface"));
  }
  if (FAILED(outcome.unreachable)) {
    if (object.Disconnected()) kj::throwFatalException(ObjectDisconnectedFailure());
    kj::throwFatalException(KJ_EXCEPTION(FAILED, "the object is no longer connected"));
  }
  auto results = context.getResults();
  if (outcome.threw || !outcome.reply) {
    fault(results, RPC_E_SERVERFAULT);
    return;
  }
  outcome.reply(results, connection);
}

// ---- stubs ----------------------------------------------------------------------------------

ObjectStub::ObjectStub(std::weak_ptr<Connection> connection, std::shared_ptr<ExportedObject> object)
    : connection_(std::move(connection)),
      object_(std::move(object)),
      identity_(object_->Identity()),
      number_(AcquireNumber(identity_)) {
  liveStubs.fetch_add(1, std::memory_order_relaxed);
}

ObjectStub::~ObjectStub() {
  if (hook_ != nullptr) Exports().stubsByHook.erase(hook_);
  Retire(State::Released);
  // The references go to a worker (HeldInterface), whoever drops the object last.
  object_.reset();
  liveStubs.fetch_sub(1, std::memory_order_relaxed);
}

void ObjectStub::Registered(const capnp::ClientHook* hook) {
  hook_ = hook;
  Exports().stubsByHook[hook] = this;
}

void ObjectStub::Retire(State reason) {
  if (state_ != State::Live) return;
  state_ = reason;
  if (auto connection = connection_.lock()) connection->Forget(identity_, this);
  ReleaseNumber(identity_);
}

void ObjectStub::Release() {
  if (state_ != State::Live) return;
  Retire(State::Released);
  object_->Drop();
}

void ObjectStub::DisconnectAll(IUnknown* identity, std::vector<ExportedObject::References>& taken) {
  std::vector<ObjectStub*> live;
  for (const auto& [hook, stub] : Exports().stubsByHook) {
    // A retired stub's identity may name another object by now; only live ones hold theirs.
    if (stub->state_ == State::Live && stub->identity_ == identity) live.push_back(stub);
  }
  for (ObjectStub* stub : live) {
    stub->Retire(State::Disconnected);
    taken.push_back(stub->object_->Disconnect());
  }
}

kj::Exception ObjectDisconnectedFailure() {
  return kj::Exception(kj::Exception::Type::FAILED, __FILE__, __LINE__, kj::heapString(kObjectDisconnectedText));
}

bool IsObjectDisconnected(const kj::Exception& failure) {
  // A peer's failure arrives as "remote exception: <text>".
  return failure.getDescription().endsWith(kObjectDisconnectedText);
}

ObjectStub::DispatchCallResult ObjectStub::dispatchCall(
    std::uint64_t interfaceId, std::uint16_t methodId,
    capnp::CallContext<capnp::AnyPointer, capnp::AnyPointer> context) {
  Runtime::Get().NoteActivity();
  auto connection = connection_.lock();
  if (!connection) kj::throwFatalException(KJ_EXCEPTION(DISCONNECTED, "connection closed"));
  if (state_ == State::Disconnected) kj::throwFatalException(ObjectDisconnectedFailure());
  if (state_ == State::Released) kj::throwFatalException(KJ_EXCEPTION(FAILED, "object released by its client"));
  context.allowCancellation();
  if (interfaceId == capnp::typeId<wire::Unknown>()) {
    StubCall call(context, object_, IID_IUnknown, connection, thisCap());
    return {ServeUnknown(call, methodId), false};
  }
  const InterfaceMarshaler* marshaler = FindMarshalerForWire(interfaceId);
  if (marshaler == nullptr) return internalUnimplemented("component object", interfaceId);
  StubCall call(context, object_, marshaler->iid, connection, thisCap());
  return {marshaler->serve(call, methodId), false};
}

kj::Promise<void> ObjectStub::ServeUnknown(StubCall& call, std::uint16_t methodId) {
  switch (methodId) {
    case 0: {  // queryInterface
      const IID iid = ReadGuid(call.ParamsAs<wire::Unknown::QueryInterfaceParams>().getIid());
      auto hr = std::make_shared<HRESULT>(S_OK);
      return OnWorkerThen(
          [hr, object = call.Object(), iid] {
            ComPtr<IUnknown> pointer;
            *hr = object->Get(iid, &pointer);  // kept by the export from now on
          },
          [hr, context = call.RawContext(), self = call.Self()]() mutable {
            auto results = context.getResults().initAs<wire::Unknown::QueryInterfaceResults>();
            results.setHr(*hr);
            // The answer is this same capability: one capability is the whole object.
            if (*hr == S_OK) results.setObject(self.castAs<wire::Unknown>());
          });
    }
    case 1:  // release
      Release();
      return kj::READY_NOW;
    case 2: {  // identity
      auto results = call.RawContext().getResults().initAs<wire::Unknown::IdentityResults>();
      results.setServer(static_cast<std::uint64_t>(::getpid()));
      results.setObject(number_);
      return kj::READY_NOW;
    }
    default:
      return UnknownMethod(methodId);
  }
}

ObjectStub* ObjectStub::FromHook(const capnp::ClientHook* hook) {
  const auto& own = Exports().stubsByHook;
  const auto found = own.find(hook);
  return found != own.end() ? found->second : nullptr;
}

std::size_t ObjectStub::LiveCount() { return liveStubs.load(std::memory_order_relaxed); }

}  // namespace platform::remoting

HRESULT CoDisconnectObject(IUnknown* unknown, DWORD /*reserved*/) {
  using namespace platform::remoting;
  if (unknown == nullptr) return E_INVALIDARG;
  Runtime* const runtime = Runtime::IfStarted();
  if (runtime == nullptr) return S_OK;  // nothing ever crossed the boundary
  if (Runtime::OnRpcThread()) return RPC_E_CANTCALLOUT_ININPUTSYNCCALL_HR;
  platform::com::ComPtr<IUnknown> identity;
  const HRESULT hr = unknown->QueryInterface(IID_IUnknown, identity.PutVoid());
  if (FAILED(hr)) return hr;
  if (ProxyManager::FromIdentity(identity.Get()) != nullptr) return S_OK;
  // Filled on the RPC thread, released here when it goes: the caller learns that the object
  // is free of its clients by the time this returns.
  std::vector<ExportedObject::References> taken;
  try {
    runtime->RunSync([&]() -> kj::Promise<void> {
      ObjectStub::DisconnectAll(identity.Get(), taken);
      return kj::READY_NOW;
    });
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (const kj::Exception& failure) {
    Trace("disconnect failed: " + std::string(failure.getDescription().cStr()));
    return E_UNEXPECTED;
  }
  if (!taken.empty()) Trace("disconnected " + std::to_string(taken.size()) + " export(s) of an object");
  return S_OK;
}
