// wire_seeds: writes the wire fuzzer's seed inputs, one file per client session.
//
//   wire_seeds <directory>
//
// A session is what a client sends: Cap'n Proto RPC messages in stream framing. Each reaches the
// server's objects through promise pipelining alone (a call targets the answer of an earlier
// question, never an export number the server handed out), so it means the same to any fresh
// connection, however the answers interleave. Capabilities the client offers (event sinks,
// watchers, restriction callbacks) are exports of its own that it never serves.
#include <capnp/capability.h>
#include <capnp/message.h>
#include <capnp/rpc.capnp.h>
#include <capnp/serialize.h>
#include <kj/async.h>
#include <kj/io.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "interfaces/application_lifecycle.h"
#include "interfaces/communication_driver.h"
#include "interfaces/driver_factory.h"
#include "interfaces/registration_observer.h"
#include "interfaces/talvaro.capnp.h"
#include "platform/com/connection_interfaces.h"
#include "platform/remoting/values.h"

namespace {

namespace wire = platform::remoting::wire;
namespace talvaro = Talvaro::Interfaces::wire;
using platform::remoting::WriteGuid;

// The capability a call goes to: the answer of `question`, or the capability in the first
// pointer field of its results (every method here returns its capability first).
struct Target {
  std::uint32_t question;
  bool resultsCapability;
};

class Session {
 public:
  // Question 0: the server's Activator.
  Target Bootstrap() {
    capnp::MallocMessageBuilder message;
    const auto question = nextQuestion_++;
    message.initRoot<capnp::rpc::Message>().initBootstrap().setQuestionId(question);
    capnp::writeMessage(out_, message);
    return {question, false};
  }

  // Calls method `method` of `Interface` on `target`; `fill(params, session)` writes the
  // arguments. Returns the capability the call answers with.
  template <class Interface, class Params, class Fill>
  Target Call(Target target, std::uint16_t method, Fill&& fill) {
    capnp::MallocMessageBuilder message;
    auto call = message.initRoot<capnp::rpc::Message>().initCall();
    const auto question = nextQuestion_++;
    call.setQuestionId(question);
    auto promised = call.initTarget().initPromisedAnswer();
    promised.setQuestionId(target.question);
    if (target.resultsCapability) promised.initTransform(1)[0].setGetPointerField(0);
    call.setInterfaceId(capnp::typeId<Interface>());
    call.setMethodId(method);
    auto payload = call.initParams();
    capnp::BuilderCapabilityTable offered;
    fill(offered.imbue(payload.getContent()).template initAs<Params>(), *this);
    // Each capability the arguments hold is one the client hosts.
    auto descriptors = payload.initCapTable(static_cast<unsigned>(offered.getTable().size()));
    for (auto descriptor : descriptors) descriptor.setSenderHosted(nextExport_++);
    capnp::writeMessage(out_, message);
    return {question, true};
  }

  // A capability of the client's own for an argument.
  capnp::Capability::Client Offer() {
    return capnp::Capability::Client(KJ_EXCEPTION(FAILED, "the client's own object; never called here"));
  }

  void Finish(Target answered) {
    capnp::MallocMessageBuilder message;
    message.initRoot<capnp::rpc::Message>().initFinish().setQuestionId(answered.question);
    capnp::writeMessage(out_, message);
  }

  void Abort(const char* reason) {
    capnp::MallocMessageBuilder message;
    message.initRoot<capnp::rpc::Message>().initAbort().setReason(reason);
    capnp::writeMessage(out_, message);
  }

  kj::ArrayPtr<const kj::byte> Bytes() { return out_.getArray(); }

 private:
  kj::VectorOutputStream out_;
  std::uint32_t nextQuestion_ = 0;
  std::uint32_t nextExport_ = 1;
};

// ---- the objects a client reaches --------------------------------------------------------------

Target ClassObject(Session& session, const CLSID& clsid) {
  return session.Call<wire::Activator, wire::Activator::GetClassObjectParams>(
      session.Bootstrap(), 0, [&](auto params, Session&) {
        WriteGuid(clsid, params.initClsid());
        WriteGuid(IID_IClassFactory, params.initIid());
      });
}

Target Instance(Session& session, const CLSID& clsid, const IID& iid) {
  return session.Call<wire::IClassFactory, wire::IClassFactory::CreateInstanceParams>(
      ClassObject(session, clsid), 0, [&](auto params, Session&) { WriteGuid(iid, params.initIid()); });
}

Target QueryInterface(Session& session, Target object, const IID& iid) {
  return session.Call<wire::Unknown, wire::Unknown::QueryInterfaceParams>(
      object, 0, [&](auto params, Session&) { WriteGuid(iid, params.initIid()); });
}

Target Driver(Session& session, const char* unit) {
  const Target factory = Instance(session, CLSID_TalvaroCommunicationDriverFactory,
                                  uuidof<ITalvaroCommunicationDriverFactory>);
  return session.Call<talvaro::ITalvaroCommunicationDriverFactory,
                      talvaro::ITalvaroCommunicationDriverFactory::CreateDriverParams>(
      factory, 0, [&](auto params, Session&) {
        params.setLogicalName(unit);
        params.setApplicationName("wire_seeds");
      });
}

template <class Fill>
void Write(Session& session, Target transfer, std::int32_t value, Fill&& shape) {
  session.Call<talvaro::IDataTransfer, talvaro::IDataTransfer::WriteParams>(
      transfer, 0, [&](auto params, Session&) {
        params.setValue(value);
        shape(params.initData());
      });
}

void Bounds(wire::SafeArray::Builder array, std::initializer_list<std::uint32_t> counts) {
  auto bounds = array.initBounds(static_cast<unsigned>(counts.size()));
  unsigned dimension = 0;
  for (const auto count : counts) bounds[dimension++].setCount(count);
}

// ---- the sessions ------------------------------------------------------------------------------

void DriverWrites(Session& session) {
  const Target transfer = QueryInterface(session, Driver(session, "XRB_1"), uuidof<IDataTransfer>);
  Write(session, transfer, 7, [](wire::SafeArray::Builder data) {
    data.setElementType(17);  // VT_UI1
    Bounds(data, {3});
    const kj::byte bytes[] = {0x01, 0x02, 0xff};
    data.setBytes(kj::arrayPtr(bytes, sizeof bytes));
  });
  Write(session, transfer, 0, [](wire::SafeArray::Builder data) {
    data.setElementType(17);
    Bounds(data, {2, 2});
    const kj::byte bytes[] = {1, 2, 3, 4};
    data.setBytes(kj::arrayPtr(bytes, sizeof bytes));
  });
  Write(session, transfer, -1, [](wire::SafeArray::Builder data) {
    data.setElementType(8);  // VT_BSTR
    Bounds(data, {2});
    auto texts = data.initTexts(2);
    texts.set(0, "first");
    texts.set(1, "second");
  });
  Write(session, transfer, 1, [](wire::SafeArray::Builder data) {
    data.setElementType(12);  // VT_VARIANT
    Bounds(data, {1});
    auto element = data.initVariants(1)[0];
    element.setType(19);  // VT_UI4
    element.setUnsigned(42);
  });
}

void DriverStateAndRestriction(Session& session) {
  const Target driver = Driver(session, "XRB_2");
  session.Call<talvaro::IAvailability, talvaro::IAvailability::GetAvailabilityParams>(
      QueryInterface(session, driver, uuidof<IAvailability>), 0, [](auto, Session&) {});
  const Target restriction = QueryInterface(session, driver, uuidof<IRestriction>);
  using R = talvaro::IRestriction;
  session.Call<R, R::SetRestrictionModeParams>(restriction, 1, [](auto params, Session&) { params.setMode(7); });
  session.Call<R, R::GetRestrictionModeParams>(restriction, 3, [](auto, Session&) {});
  session.Call<R, R::RegisterRestrictionParams>(restriction, 0, [](auto params, Session& self) {
    params.setMode(1);
    // A marshaled interface packet ("TMI1", the IID, the attachment key) and its attachment.
    auto stream = params.initCallback();
    kj::byte packet[4 + sizeof(IID) + sizeof(std::uint64_t)] = {'T', 'M', 'I', '1'};
    const std::uint64_t key = 1;
    std::memcpy(packet + 4, &uuidof<IRestrictionCallback>, sizeof(IID));
    std::memcpy(packet + 4 + sizeof(IID), &key, sizeof key);
    stream.setBytes(kj::arrayPtr(packet, sizeof packet));
    auto attachment = stream.initAttachments(1)[0];
    attachment.setKey(key);
    WriteGuid(uuidof<IRestrictionCallback>, attachment.initIid());
    attachment.setObject(self.Offer().castAs<wire::Unknown>());
  });
  session.Call<R, R::IsRestrictionRegisteredParams>(restriction, 4, [](auto, Session&) {});
  session.Call<R, R::UnregisterRestrictionParams>(restriction, 2, [](auto, Session&) {});
}

void DriverEvents(Session& session) {
  const Target container = QueryInterface(session, Driver(session, "XRB_1"), IID_IConnectionPointContainer);
  const Target point = session.Call<wire::IConnectionPointContainer, wire::IConnectionPointContainer::FindConnectionPointParams>(
      container, 1, [](auto params, Session&) { WriteGuid(uuidof<ICommunicationDriverEvents>, params.initIid()); });
  const Target advised = session.Call<wire::IConnectionPoint, wire::IConnectionPoint::AdviseParams>(
      point, 2, [](auto params, Session& self) { params.setSink(self.Offer().castAs<wire::Unknown>()); });
  session.Call<wire::IConnectionPoint, wire::IConnectionPoint::EnumConnectionsParams>(point, 4, [](auto, Session&) {});
  session.Call<wire::IConnectionPoint, wire::IConnectionPoint::UnadviseParams>(
      point, 3, [](auto params, Session&) { params.setCookie(1); });
  session.Finish(advised);
}

void ObserverWatchers(Session& session) {
  const Target factory = Instance(session, CLSID_TalvaroCommunicationDriverFactory,
                                  uuidof<ITalvaroCommunicationDriverFactory>);
  using F = talvaro::ITalvaroCommunicationDriverFactory;
  const Target observer = session.Call<F, F::GetRegObserverParams>(factory, 1, [](auto, Session&) {});
  using O = talvaro::IRegObserver;
  session.Call<O, O::RegisterParams>(observer, 0, [](auto params, Session& self) {
    params.setCallback(self.Offer().castAs<talvaro::IRegObserverCallback>());
  });
  session.Call<O, O::UnregisterParams>(observer, 1, [](auto params, Session& self) {
    params.setCallback(self.Offer().castAs<talvaro::IRegObserverCallback>());
  });
}

void DebugListing(Session& session) {
  const Target debug = QueryInterface(
      session, Instance(session, CLSID_TalvaroCommunicationDriverFactory, uuidof<ITalvaroCommunicationDriverFactory>),
      uuidof<IDebug>);
  using D = talvaro::IDebug;
  session.Call<D, D::GetXRBNamesParams>(debug, 0, [](auto, Session&) {});
  session.Call<D, D::GetXRBSubItemNamesParams>(debug, 1, [](auto params, Session&) { params.setLogicalName("XRB_1"); });
  session.Call<D, D::GetXRBInfoParams>(debug, 2, [](auto params, Session&) { params.setLogicalName("XRB_2"); });
}

void LifecycleAndGeneric(Session& session) {
  const Target lifecycle = Instance(session, CLSID_TalvaroCommunicationDriverGApp, uuidof<IXRBApplicationLifecycle>);
  using L = talvaro::IXRBApplicationLifecycle;
  session.Call<L, L::CreateParams>(lifecycle, 0, [](auto params, Session&) {
    params.setFirstText("first");
    params.setSecondText("second");
  });
  session.Call<L, L::ShutdownParams>(lifecycle, 2, [](auto, Session&) {});
  using G = talvaro::IXRBGeneric;
  session.Call<G, G::SendGenericCommandParams>(QueryInterface(session, lifecycle, uuidof<IXRBGeneric>), 0,
                                               [](auto params, Session&) { params.setCommand("data XRB_1 cafe"); });
}

void IdentityAndRelease(Session& session) {
  const Target observer = Instance(session, CLSID_ObserverSingleton, uuidof<IRegObserver>);
  session.Call<wire::Unknown, wire::Unknown::IdentityParams>(observer, 2, [](auto, Session&) {});
  QueryInterface(session, observer, uuidof<IDataTransfer>);  // E_NOINTERFACE
  session.Call<wire::Unknown, wire::Unknown::ReleaseParams>(observer, 1, [](auto, Session&) {});
  session.Call<wire::Unknown, wire::Unknown::IdentityParams>(observer, 2, [](auto, Session&) {});
  session.Abort("the client is leaving");
}

void UnknownClass(Session& session) {
  Instance(session, GUID{0x12345678, 0x1234, 0x1234, {1, 2, 3, 4, 5, 6, 7, 8}}, IID_IUnknown);
  Instance(session, CLSID_CommunicationDriver, uuidof<ICommunicationDriver>);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 || std::strcmp(argv[1], "--help") == 0) {
    std::fprintf(argc == 2 ? stdout : stderr, "usage: %s <directory>\n  writes the wire fuzzer's seed sessions there\n",
                 argv[0]);
    return argc == 2 ? 0 : 2;
  }
  kj::EventLoop loop;  // the placeholder capabilities want one
  kj::WaitScope waitScope(loop);
  const std::filesystem::path directory = argv[1];
  std::error_code error;
  std::filesystem::create_directories(directory, error);
  const std::pair<const char*, void (*)(Session&)> sessions[] = {
      {"driver-writes", DriverWrites},
      {"driver-state-and-restriction", DriverStateAndRestriction},
      {"driver-events", DriverEvents},
      {"observer-watchers", ObserverWatchers},
      {"debug-listing", DebugListing},
      {"lifecycle-and-generic", LifecycleAndGeneric},
      {"identity-and-release", IdentityAndRelease},
      {"unknown-class", UnknownClass},
  };
  for (const auto& [name, build] : sessions) {
    Session session;
    build(session);
    const auto bytes = session.Bytes();
    std::ofstream file(directory / name, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(bytes.begin()), static_cast<std::streamsize>(bytes.size()));
    if (!file.flush()) {
      std::fprintf(stderr, "wire_seeds: cannot write %s\n", (directory / name).c_str());
      return 1;
    }
  }
  std::printf("wire_seeds: %zu sessions in %s\n", std::size(sessions), directory.c_str());
  return 0;
}
