// One Cap'n Proto connection: its watched byte stream, the Activator a server offers on it, and
// the exports and imports of capabilities (connection.h).
#include "platform/remoting/connection.h"

#include <kj/debug.h>

#include <utility>

#include "platform/com/class_table.h"
#include "platform/remoting/limits.h"
#include "platform/remoting/marshaling.h"
#include "platform/remoting/message_meter.h"
#include "platform/remoting/proxy.h"
#include "platform/remoting/runtime.h"

namespace platform::remoting {
namespace {

using platform::com::ComPtr;

// The connection's byte stream, watched: the moment a read reaches the end or fails (or a write
// fails), the connection counts as down, before Cap'n Proto rejects the calls that were out on
// it. Calls failing from then on can so tell "broke in flight" from "sent to a peer already gone".
// What it reads is metered (message_meter.h): a message too large or beyond the receive budget,
// or one that stays incomplete past the bound, ends the connection.
class WatchedStream final : public kj::AsyncIoStream {
 public:
  WatchedStream(kj::Own<kj::AsyncIoStream> inner, std::atomic<bool>& alive, const std::string& name)
      : inner_(kj::mv(inner)), alive_(alive), name_(name), limits_(CurrentLimits()),
        meter_(ReceiveBudget::Process()) {}

  kj::Promise<size_t> tryRead(void* buffer, size_t minBytes, size_t maxBytes) override {
    kj::Promise<size_t> reading = inner_->tryRead(buffer, minBytes, maxBytes);
    if (meter_.InMessage()) {
      reading = reading.exclusiveJoin(Runtime::Get().Io().getTimer().atTime(deadline_).then(
          [this]() -> kj::Promise<size_t> {
            return Refuse("a message stayed incomplete for " + std::to_string(limits_.partialMessageBound.count()) + " ms");
          }));
    }
    return reading.then(
        [this, buffer, minBytes](size_t read) -> kj::Promise<size_t> {
          if (auto refusal = meter_.Received(static_cast<const unsigned char*>(buffer), read, limits_.maxMessageBytes,
                                             limits_.maxReceivingBytes)) {
            return Refuse(*refusal);
          }
          if (meter_.MessagesBegun() != messagesSeen_) {
            messagesSeen_ = meter_.MessagesBegun();
            deadline_ = Runtime::Get().Io().getTimer().now() + limits_.partialMessageBound.count() * kj::MILLISECONDS;
          }
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
  kj::Promise<size_t> Refuse(const std::string& reason) {
    Down();
    Report(Severity::Warning, "the connection to " + name_ + " was ended: " + reason);
    return KJ_EXCEPTION(FAILED, "message refused", reason);
  }
  kj::Promise<void> Watch(kj::Promise<void> writing) {
    return writing.then([]() -> kj::Promise<void> { return kj::READY_NOW; },
                        [this](kj::Exception&& failure) -> kj::Promise<void> {
      Down();
      return kj::mv(failure);
    });
  }

  kj::Own<kj::AsyncIoStream> inner_;
  std::atomic<bool>& alive_;
  const std::string name_;
  const Limits limits_;
  MessageMeter meter_;
  std::uint64_t messagesSeen_ = 0;
  kj::TimePoint deadline_ = kj::origin<kj::TimePoint>();  // of the message being received
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

// ---- connections ----------------------------------------------------------------------------

std::shared_ptr<Connection> Connection::Start(kj::Own<kj::AsyncIoStream> stream, Side side, std::string name) {
  std::shared_ptr<Connection> connection(new Connection(kj::mv(stream), side, std::move(name)));
  std::weak_ptr<Connection> weak = connection;
  Runtime::Get().Tasks().add(connection->WhenDisconnected().then([weak] {
    if (auto gone = weak.lock()) Trace("connection to " + gone->Name() + " closed");
    // In a turn of its own: the disconnection is still being delivered to other waiters.
    return kj::evalLater([weak] {
      if (auto gone = weak.lock()) gone->ReleaseTransport();
    });
  }));
  return connection;
}

void Connection::ReleaseTransport() {
  alive_->store(false, std::memory_order_release);
  // Severing may drop the last reference of a capability whose release reaches a stub's
  // Forget; the set is copied first.
  const std::vector<ProxyManager*> proxies(proxies_.begin(), proxies_.end());
  for (ProxyManager* proxy : proxies) proxy->Sever();
  rpc_ = nullptr;
  network_ = nullptr;
  stream_ = nullptr;
}

Connection::Connection(kj::Own<kj::AsyncIoStream> stream, Side side, std::string name)
    : name_(std::move(name)),
      side_(side),
      stream_(kj::heap<WatchedStream>(kj::mv(stream), *alive_, name_)),
      network_(kj::heap<capnp::TwoPartyVatNetwork>(
          *stream_,
          side == Side::Client ? capnp::rpc::twoparty::Side::CLIENT : capnp::rpc::twoparty::Side::SERVER,
          [] {
            capnp::ReaderOptions options;
            options.traversalLimitInWords = CurrentLimits().maxMessageBytes / sizeof(capnp::word);
            options.nestingLimit = 64;
            return options;
          }())),
      rpc_(side == Side::Server
               ? kj::heap(capnp::makeRpcServer(*network_, kj::heap<ActivatorServer>(*this)))
               : kj::heap(capnp::makeRpcClient(*network_))),
      disconnected_(network_->onDisconnect()
                        .then([alive = alive_] { alive->store(false, std::memory_order_release); },
                              [alive = alive_](kj::Exception&&) { alive->store(false, std::memory_order_release); })
                        .fork()) {
  rpc_->setFlowLimit(kIncomingCallWindow / sizeof(capnp::word));
}

Connection::~Connection() = default;

wire::Activator::Client Connection::Activator() {
  if (!rpc_) return capnp::Capability::Client(KJ_EXCEPTION(DISCONNECTED, "the peer is gone")).castAs<wire::Activator>();
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
    case ObjectRef::Kind::Disconnected:
      // Calls through it fail on the peer's side as they would have here.
      return capnp::Capability::Client(ObjectDisconnectedFailure());
    case ObjectRef::Kind::Local: {
      // Our object (also one that came back from a peer): this connection's export of it, with
      // references of its own.
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
  if (ObjectStub* own = ObjectStub::FromHook(hook.get())) return own->Object()->Share(iid);
  return ObjectRef::MakeProxy(ProxyManager::ForCapability(kj::mv(hook), shared_from_this()), iid);
}

void Connection::Forget(IUnknown* identity, ObjectStub* stub) {
  const auto found = stubs_.find(identity);
  if (found != stubs_.end() && found->second == stub) stubs_.erase(found);
}

}  // namespace platform::remoting
