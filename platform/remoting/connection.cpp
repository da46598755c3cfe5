#include "platform/remoting/connection.h"

#include <kj/debug.h>
#include <unistd.h>

#include <utility>

#include "platform/com/class_table.h"
#include "platform/remoting/errors.h"
#include "platform/remoting/marshaling.h"
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

// The identity table of proxies: one manager per remote object (resolved import hook). Any
// thread; a manager's count goes from 1 to 0 only under the mutex, where its entry goes too.
struct ProxyTable {
  std::mutex mutex;
  std::unordered_map<const capnp::ClientHook*, ProxyManager*> managers;  // guarded by mutex
};

ProxyTable& Proxies() {
  static auto* table = new ProxyTable;
  return *table;
}

std::atomic<std::size_t> liveProxies{0};

// The connection's byte stream, watched: the moment a read reaches the end or fails (or a write
// fails), the connection counts as down, before Cap'n Proto rejects the calls that were out on
// it. Calls failing from then on can so tell "broke in flight" from "sent to a peer already gone".
class WatchedStream final : public kj::AsyncIoStream {
 public:
  WatchedStream(kj::Own<kj::AsyncIoStream> inner, std::atomic<bool>& alive) : inner_(kj::mv(inner)), alive_(alive) {}

  kj::Promise<size_t> tryRead(void* buffer, size_t minBytes, size_t maxBytes) override {
    return inner_->tryRead(buffer, minBytes, maxBytes)
        .then(
            [this, minBytes](size_t read) -> kj::Promise<size_t> {
              if (read < minBytes) Down();
              return read;
            },
            [this](kj::Exception&& failure) -> kj::Promise<size_t> {
              Down();
              return kj::mv(failure);
            });
  }
  kj::Promise<void> write(const void* buffer, size_t size) override {
    return Watch(inner_->write(buffer, size));
  }
  kj::Promise<void> write(kj::ArrayPtr<const kj::ArrayPtr<const kj::byte>> pieces) override {
    return Watch(inner_->write(pieces));
  }
  kj::Promise<void> whenWriteDisconnected() override { return inner_->whenWriteDisconnected(); }
  void shutdownWrite() override { inner_->shutdownWrite(); }
  void abortRead() override { inner_->abortRead(); }
  void getsockopt(int level, int option, void* value, kj::uint* length) override {
    inner_->getsockopt(level, option, value, length);
  }
  void setsockopt(int level, int option, const void* value, kj::uint length) override {
    inner_->setsockopt(level, option, value, length);
  }
  void getsockname(struct sockaddr* address, kj::uint* length) override { inner_->getsockname(address, length); }
  void getpeername(struct sockaddr* address, kj::uint* length) override { inner_->getpeername(address, length); }
  kj::Maybe<int> getFd() const override { return inner_->getFd(); }

 private:
  void Down() { alive_.store(false, std::memory_order_release); }
  kj::Promise<void> Watch(kj::Promise<void> writing) {
    return writing.then([]() -> kj::Promise<void> { return kj::READY_NOW; },
                        [this](kj::Exception&& failure) -> kj::Promise<void> {
      Down();
      return kj::mv(failure);
    });
  }

  kj::Own<kj::AsyncIoStream> inner_;
  std::atomic<bool>& alive_;
};

// The bootstrap capability of a server connection: class objects of the classes this process
// publishes.
class ActivatorServer final : public wire::Activator::Server {
 public:
  explicit ActivatorServer(Connection& connection) : connection_(connection) {}

 protected:
  kj::Promise<void> getClassObject(GetClassObjectContext context) override {
    context.allowCancellation();
    const auto params = context.getParams();
    const CLSID clsid = ReadGuid(params.getClsid());
    const IID iid = ReadGuid(params.getIid());
    struct Outcome {
      HRESULT hr = S_OK;
      ObjectRef classObject;
    };
    auto outcome = std::make_shared<Outcome>();
    return OnWorkerThen(
        [outcome, clsid, iid] {
          ComPtr<IUnknown> classObject;
          outcome->hr = platform::com::GetPublishedClassObject(clsid, iid, classObject.PutVoid());
          if (SUCCEEDED(outcome->hr)) {
            outcome->hr = ObjectRef::FromPointer(classObject.Get(), iid, &outcome->classObject);
          }
        },
        [outcome, context, connection = connection_.shared_from_this()]() mutable {
          auto results = context.getResults();
          results.setHr(outcome->hr);
          KJ_IF_MAYBE(capability, outcome->classObject.ToWire(*connection)) {
            results.setClassObject(capability->castAs<wire::Unknown>());
          }
        });
  }

 private:
  Connection& connection_;  // owns us through its RPC system
};

}  // namespace

// ---- references ---------------------------------------------------------------------------

void HeldInterface::Reset() {
  IUnknown* const pointer = std::exchange(pointer_, nullptr);
  if (pointer == nullptr) return;
  if (Runtime::OnRpcThread()) {
    Runtime::Get().Workers().Submit([pointer] { pointer->Release(); });
  } else {
    pointer->Release();
  }
}

ObjectRef::~ObjectRef() = default;

HRESULT ObjectRef::FromPointer(IUnknown* pointer, const IID& iid, ObjectRef* out) {
  *out = ObjectRef();
  if (pointer == nullptr) return S_OK;
  ComPtr<IUnknown> identity;
  const HRESULT hr = pointer->QueryInterface(IID_IUnknown, identity.PutVoid());
  if (FAILED(hr)) return hr;
  if (ProxyManager::FromIdentity(identity.Get()) != nullptr) {
    *out = MakeProxy(std::move(identity), iid);
  } else {
    *out = MakeLocal(HeldInterface(pointer), HeldInterface::Adopt(identity.Detach()), iid);
  }
  return S_OK;
}

HRESULT ObjectRef::ToPointer(const IID& iid, void** out) const {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  switch (kind_) {
    case Kind::Null:
      return S_OK;
    case Kind::Local:
      return pointer_.Get()->QueryInterface(iid, out);
    case Kind::Proxy:
      return Proxy().GetInterface(iid, out);
    case Kind::Exported: {
      ComPtr<IUnknown> pointer;
      const HRESULT hr = exported_->Get(iid, &pointer);
      *out = pointer.Detach();
      return hr;
    }
  }
  return E_UNEXPECTED;
}

ObjectRef ObjectRef::MakeLocal(HeldInterface pointer, HeldInterface identity, const IID& iid) {
  ObjectRef ref;
  ref.kind_ = Kind::Local;
  ref.iid_ = iid;
  ref.pointer_ = std::move(pointer);
  ref.identity_ = std::move(identity);
  return ref;
}

ObjectRef ObjectRef::MakeProxy(ComPtr<IUnknown> manager, const IID& iid) {
  ObjectRef ref;
  ref.kind_ = Kind::Proxy;
  ref.iid_ = iid;
  ref.proxy_ = std::move(manager);
  return ref;
}

ObjectRef ObjectRef::MakeExported(std::shared_ptr<ExportedObject> object, const IID& iid) {
  ObjectRef ref;
  ref.kind_ = Kind::Exported;
  ref.iid_ = iid;
  ref.exported_ = std::move(object);
  return ref;
}

ProxyManager& ObjectRef::Proxy() const { return *ProxyManager::FromIdentity(proxy_.Get()); }

// ---- exported objects -----------------------------------------------------------------------

HRESULT ExportedObject::Get(const IID& iid, ComPtr<IUnknown>* out) {
  *out = nullptr;
  ComPtr<IUnknown> identity;
  {
    std::lock_guard lock(mutex_);
    if (dropped_) return CO_E_OBJNOTCONNECTED;
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
  if (dropped_) return;
  for (const auto& entry : interfaces_) {
    if (entry.first == iid) return;
  }
  interfaces_.emplace_back(iid, std::move(pointer));
}

ExportedObject::~ExportedObject() {
  if (serverLocks_ > 0) GiveBackServerLocks(std::move(identity_), serverLocks_);
}

void ExportedObject::Drop() {
  HeldInterface identity;
  std::vector<std::pair<IID, HeldInterface>> interfaces;
  long locks = 0;
  {
    std::lock_guard lock(mutex_);
    dropped_ = true;
    identity = std::move(identity_);
    interfaces.swap(interfaces_);
    locks = std::exchange(serverLocks_, 0);
  }
  if (locks > 0) GiveBackServerLocks(std::move(identity), locks);
  // The rest is released here, outside the lock (a final release runs object code).
}

HRESULT ExportedObject::CountServerLock(IClassFactory* factory, bool lock) {
  if (lock) {
    const HRESULT hr = factory->LockServer(TRUE);
    if (FAILED(hr)) return hr;
    {
      std::lock_guard guard(mutex_);
      if (!dropped_) {
        ++serverLocks_;
        return hr;
      }
    }
    factory->LockServer(FALSE);  // the peer let go meanwhile
    return CO_E_OBJNOTCONNECTED;
  }
  {
    std::lock_guard guard(mutex_);
    if (dropped_) return CO_E_OBJNOTCONNECTED;
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
  struct Outcome {
    ErasedReply reply;
    HRESULT unreachable = S_OK;  // the object could not be reached for this interface
    bool threw = false;
  };
  auto outcome = std::make_shared<Outcome>();
  return OnWorkerThen(
      [outcome, object = object_, iid = iid_, invoke = std::move(invoke)]() mutable {
        ComPtr<IUnknown> target;
        const HRESULT hr = object->Get(iid, &target);
        if (FAILED(hr)) {
          outcome->unreachable = hr;
          return;
        }
        try {
          outcome->reply = invoke(target.Get());
        } catch (...) {
          outcome->threw = true;
        }
      },
      [outcome, context = context_, connection = connection_, fault]() mutable {
        if (outcome->unreachable == E_NOINTERFACE) {
          kj::throwFatalException(KJ_EXCEPTION(UNIMPLEMENTED, "the object does not have this interface"));
        }
        if (FAILED(outcome->unreachable)) {
          kj::throwFatalException(KJ_EXCEPTION(FAILED, "the object is no longer connected"));
        }
        auto results = context.getResults();
        if (outcome->threw || !outcome->reply) {
          fault(results, RPC_E_SERVERFAULT);
          return;
        }
        outcome->reply(results, *connection);
      });
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
  if (!released_) {
    if (auto connection = connection_.lock()) connection->Forget(identity_, this);
    ReleaseNumber(identity_);
  }
  // The references go to a worker (HeldInterface), whoever drops the object last.
  object_.reset();
  liveStubs.fetch_sub(1, std::memory_order_relaxed);
}

void ObjectStub::Registered(const capnp::ClientHook* hook) {
  hook_ = hook;
  Exports().stubsByHook[hook] = this;
}

void ObjectStub::Release() {
  if (released_) return;
  released_ = true;
  if (auto connection = connection_.lock()) connection->Forget(identity_, this);
  ReleaseNumber(identity_);
  object_->Drop();
}

ObjectStub::DispatchCallResult ObjectStub::dispatchCall(
    std::uint64_t interfaceId, std::uint16_t methodId,
    capnp::CallContext<capnp::AnyPointer, capnp::AnyPointer> context) {
  auto connection = connection_.lock();
  if (!connection) kj::throwFatalException(KJ_EXCEPTION(DISCONNECTED, "connection closed"));
  if (released_) kj::throwFatalException(KJ_EXCEPTION(FAILED, "object released by its client"));
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

// ---- connections ----------------------------------------------------------------------------

std::shared_ptr<Connection> Connection::Start(kj::Own<kj::AsyncIoStream> stream, Side side, std::string name) {
  std::shared_ptr<Connection> connection(new Connection(kj::mv(stream), side, std::move(name)));
  std::weak_ptr<Connection> weak = connection;
  Runtime::Get().Tasks().add(connection->WhenDisconnected().then([weak] {
    if (auto gone = weak.lock()) Trace("connection to " + gone->Name() + " closed");
  }));
  return connection;
}

Connection::Connection(kj::Own<kj::AsyncIoStream> stream, Side side, std::string name)
    : name_(std::move(name)),
      side_(side),
      stream_(kj::heap<WatchedStream>(kj::mv(stream), alive_)),
      network_(kj::heap<capnp::TwoPartyVatNetwork>(
          *stream_,
          side == Side::Client ? capnp::rpc::twoparty::Side::CLIENT : capnp::rpc::twoparty::Side::SERVER,
          [] {
            capnp::ReaderOptions options;
            options.traversalLimitInWords = kMaxMessageWords;
            options.nestingLimit = 64;
            return options;
          }())),
      rpc_(side == Side::Server
               ? kj::heap(capnp::makeRpcServer(*network_, kj::heap<ActivatorServer>(*this)))
               : kj::heap(capnp::makeRpcClient(*network_))),
      disconnected_(network_->onDisconnect()
                        .then([this] { alive_.store(false, std::memory_order_release); },
                              [this](kj::Exception&&) { alive_.store(false, std::memory_order_release); })
                        .fork()) {
  rpc_->setFlowLimit(kIncomingCallWindow / sizeof(capnp::word));
}

Connection::~Connection() = default;

wire::Activator::Client Connection::Activator() {
  capnp::word scratch[4]{};
  capnp::MallocMessageBuilder message(scratch);
  auto vat = message.getRoot<capnp::rpc::twoparty::VatId>();
  vat.setSide(capnp::rpc::twoparty::Side::SERVER);
  return rpc_->bootstrap(vat).castAs<wire::Activator>();
}

kj::Maybe<capnp::Capability::Client> Connection::Export(ObjectRef& object) {
  switch (object.GetKind()) {
    case ObjectRef::Kind::Null:
      return nullptr;
    case ObjectRef::Kind::Proxy:
      // A proxy goes out as the capability it stands for: back to its own server, that server
      // recognises its object; to anybody else, Cap'n Proto forwards the calls.
      return object.Proxy().Capability();
    case ObjectRef::Kind::Exported: {
      const auto& exported = object.Exported();
      const auto found = stubs_.find(exported->Identity());
      if (found != stubs_.end()) return found->second->Self();
      return ExportStub(exported);
    }
    case ObjectRef::Kind::Local: {
      IUnknown* const identity = object.LocalIdentity().Get();
      const auto found = stubs_.find(identity);
      if (found != stubs_.end()) {
        found->second->Object()->Hold(object.Iid(), object.LocalPointer());
        return found->second->Self();
      }
      auto exported = std::make_shared<ExportedObject>(std::move(object.LocalIdentity()));
      exported->Hold(object.Iid(), object.LocalPointer());
      return ExportStub(std::move(exported));
    }
  }
  return nullptr;
}

capnp::Capability::Client Connection::ExportStub(std::shared_ptr<ExportedObject> object) {
  IUnknown* const identity = object->Identity();
  auto stub = kj::heap<ObjectStub>(weak_from_this(), std::move(object));
  ObjectStub* const raw = stub.get();
  capnp::Capability::Client capability(kj::mv(stub));
  raw->Registered(capnp::ClientHook::from(capnp::Capability::Client(capability)).get());
  stubs_[identity] = raw;
  return capability;
}

ObjectRef Connection::Import(capnp::Capability::Client capability, const IID& iid) {
  kj::Own<capnp::ClientHook> hook = capnp::ClientHook::from(kj::mv(capability));
  for (;;) {
    KJ_IF_MAYBE(resolved, hook->getResolved()) {
      hook = resolved->addRef();
    } else {
      break;
    }
  }
  if (hook->isNull()) return ObjectRef();
  const auto& own = Exports().stubsByHook;
  const auto found = own.find(hook.get());
  if (found != own.end()) return ObjectRef::MakeExported(found->second->Object(), iid);
  return ObjectRef::MakeProxy(ProxyManager::ForCapability(kj::mv(hook), shared_from_this()), iid);
}

void Connection::Forget(IUnknown* identity, ObjectStub* stub) {
  const auto found = stubs_.find(identity);
  if (found != stubs_.end() && found->second == stub) stubs_.erase(found);
}

std::size_t Connection::LiveStubCount() { return liveStubs.load(std::memory_order_relaxed); }

// ---- proxies --------------------------------------------------------------------------------

ComPtr<IUnknown> ProxyManager::ForCapability(kj::Own<capnp::ClientHook> hook,
                                             const std::shared_ptr<Connection>& connection) {
  auto& table = Proxies();
  std::lock_guard lock(table.mutex);
  const auto found = table.managers.find(hook.get());
  if (found != table.managers.end()) {
    found->second->references_.fetch_add(1, std::memory_order_relaxed);
    return ComPtr<IUnknown>::Adopt(found->second);
  }
  auto* manager = new ProxyManager(kj::mv(hook), connection);
  table.managers.emplace(manager->key_, manager);
  return ComPtr<IUnknown>::Adopt(manager);
}

ProxyManager* ProxyManager::FromIdentity(IUnknown* identity) { return dynamic_cast<ProxyManager*>(identity); }

std::size_t ProxyManager::LiveCount() { return liveProxies.load(std::memory_order_relaxed); }

ProxyManager::ProxyManager(kj::Own<capnp::ClientHook> hook, std::shared_ptr<Connection> connection)
    : key_(hook.get()), connection_(std::move(connection)), capability_(kj::mv(hook)) {
  liveProxies.fetch_add(1, std::memory_order_relaxed);
}

ProxyManager::~ProxyManager() { liveProxies.fetch_sub(1, std::memory_order_relaxed); }

ULONG ProxyManager::AddRef() { return references_.fetch_add(1, std::memory_order_relaxed) + 1; }

ULONG ProxyManager::Release() {
  ULONG current = references_.load(std::memory_order_relaxed);
  while (current > 1) {
    if (references_.compare_exchange_weak(current, current - 1, std::memory_order_acq_rel)) {
      return current - 1;
    }
  }
  {
    // Possibly the last reference: decide under the table's lock, where a lookup could revive us.
    auto& table = Proxies();
    std::lock_guard lock(table.mutex);
    const ULONG left = references_.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (left != 0) return left;
    table.managers.erase(key_);
  }
  Dispose();
  return 0;
}

void ProxyManager::Dispose() {
  // The capability belongs to the RPC thread.
  if (Runtime::OnRpcThread()) {
    delete this;
  } else {
    Runtime::Get().Post([this] { delete this; });
  }
}

HRESULT ProxyManager::QueryInterface(REFIID riid, void** result) {
  if (result == nullptr) return E_POINTER;
  *result = nullptr;
  if (riid == IID_IUnknown) {
    AddRef();
    *result = static_cast<IUnknown*>(this);
    return S_OK;
  }
  const InterfaceMarshaler* marshaler = FindMarshaler(riid);
  if (marshaler == nullptr) return E_NOINTERFACE;  // nothing could carry its calls
  {
    std::lock_guard lock(facetsMutex_);
    for (const auto& [iid, facet] : facets_) {
      if (iid == riid) {
        AddRef();
        *result = facet->Interface();
        return S_OK;
      }
    }
  }
  HRESULT answer = S_OK;
  const HRESULT transport = Invoke([&](capnp::Capability::Client& capability, WireContext&) {
    auto request = capability.castAs<wire::Unknown>().queryInterfaceRequest();
    WriteGuid(riid, request.initIid());
    return request.send().then([&answer](capnp::Response<wire::Unknown::QueryInterfaceResults>&& response) {
      answer = response.getHr();
    });
  });
  if (FAILED(transport)) return transport;
  if (answer != S_OK) return FAILED(answer) ? answer : E_NOINTERFACE;
  return Facet(*marshaler, result);
}

HRESULT ProxyManager::GetInterface(const IID& iid, void** result) {
  if (result == nullptr) return E_POINTER;
  *result = nullptr;
  if (iid == IID_IUnknown) {
    AddRef();
    *result = static_cast<IUnknown*>(this);
    return S_OK;
  }
  const InterfaceMarshaler* marshaler = FindMarshaler(iid);
  if (marshaler == nullptr) return E_NOINTERFACE;
  return Facet(*marshaler, result);
}

HRESULT ProxyManager::Facet(const InterfaceMarshaler& marshaler, void** result) {
  std::lock_guard lock(facetsMutex_);
  IUnknown* facet = nullptr;
  for (const auto& [iid, existing] : facets_) {
    if (iid == marshaler.iid) facet = existing->Interface();
  }
  if (facet == nullptr) {
    try {
      facets_.emplace_back(marshaler.iid, marshaler.makeProxy(*this));
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    }
    facet = facets_.back().second->Interface();
  }
  AddRef();
  *result = facet;
  return S_OK;
}

HRESULT ProxyManager::Invoke(Send send) {
  if (Runtime::OnRpcThread()) return RPC_E_CANTCALLOUT_ININPUTSYNCCALL_HR;
  bool connectedWhenIssued = false;
  try {
    Runtime::Get().RunSync([&]() -> kj::Promise<void> {
      connectedWhenIssued = connection_->Alive();
      if (!connectedWhenIssued) return KJ_EXCEPTION(DISCONNECTED, "the peer is gone");
      return send(capability_, *connection_);
    });
    return S_OK;
  } catch (const kj::Exception& failure) {
    Trace("call failed: " + std::string(failure.getDescription().cStr()));
    return HresultFromTransport(failure, connectedWhenIssued, connection_->Alive());
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (const std::exception& failure) {
    Trace(std::string("call failed: ") + failure.what());
    return E_UNEXPECTED;
  }
}

}  // namespace platform::remoting
