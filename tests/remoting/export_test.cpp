// Exports of this process's objects on several connections at once: each connection's export
// holds references of its own, and CoDisconnectObject cuts every client off. Both ends of each
// connection run in this process (a socket pair), so that one test sees clients and server.
#include <unistd.h>

#include <thread>

#include "platform/com/class_table.h"
#include "platform/com/com_object.h"
#include "platform/com/disconnect.h"
#include "platform/remoting/connection.h"
#include "platform/remoting/remoting.h"
#include "platform/remoting/runtime.h"
#include "platform/remoting/values.h"
#include "tests/remoting/remoting_fixture.h"
#include "tests/remoting/test_probe.capnp.h"
#include "tests/remoting/test_probe.h"
#include "tests/remoting/test_probe_object.h"

namespace Talvaro::RemotingTest {
namespace {

using platform::com::ComPtr;
using platform::remoting::Connection;
using platform::remoting::ObjectRef;
using platform::remoting::Runtime;

// Runs `body` on the RPC thread and waits for it.
template <class Body>
void OnRpcThread(Body&& body) {
  Runtime::Get().RunSync([&]() -> kj::Promise<void> {
    body();
    return kj::READY_NOW;
  });
}

// One connection with both of its ends in this process. The ends live on the RPC thread and
// go there with the link.
class Link {
 public:
  Link() {
    OnRpcThread([this] {
      auto pipe = Runtime::Get().Io().newTwoWayPipe();
      server_ = Connection::Start(kj::mv(pipe.ends[0]), Connection::Side::Server, "test server end");
      client_ = Connection::Start(kj::mv(pipe.ends[1]), Connection::Side::Client, "test client end");
    });
  }
  ~Link() {
    OnRpcThread([this] {
      server_.reset();
      client_.reset();
    });
  }
  Link(const Link&) = delete;
  Link& operator=(const Link&) = delete;

  Connection& Server() { return *server_; }

  // The published class object of `clsid` as the client end gets it: a proxy.
  HRESULT Activate(REFCLSID clsid, ComPtr<ITestProbe>* out) {
    HRESULT hr = E_FAIL;
    ObjectRef classObject;
    Runtime::Get().RunSync([&]() -> kj::Promise<void> {
      auto request = client_->Activator().getClassObjectRequest();
      platform::remoting::WriteGuid(clsid, request.initClsid());
      platform::remoting::WriteGuid(uuidof<ITestProbe>, request.initIid());
      return request.send().then([&](capnp::Response<platform::remoting::wire::Activator::GetClassObjectResults>&& response) {
        hr = response.getHr();
        if (response.hasClassObject()) {
          classObject = ObjectRef::FromWire(response.getClassObject(), uuidof<ITestProbe>, *client_);
        }
      });
    });
    if (FAILED(hr)) return hr;
    return classObject.ToPointer(out->Put());
  }

 private:
  std::shared_ptr<Connection> server_;
  std::shared_ptr<Connection> client_;
};

ComPtr<ITestProbe> MakeProbe() {
  ComPtr<platform::com::ComObject<CTestProbe>> probe;
  EXPECT_EQ(platform::com::CreateObject(&probe), S_OK);
  return ComPtr<ITestProbe>(probe.Get());
}

class ExportTest : public RemotingFixture {};

TEST_F(ExportTest, AnObjectThatCameBackIsExportedWithReferencesOfItsOwn) {
  auto witness = MakeProbe();  // stays, to count the probes alive
  auto probe = MakeProbe();
  const ULONG alive = LiveProbes(witness.Get());
  Link first;
  Link second;
  ObjectRef outgoing;
  ASSERT_EQ(ObjectRef::FromPointer(probe.Get(), uuidof<ITestProbe>, &outgoing), S_OK);
  capnp::Capability::Client viaFirst(nullptr);
  capnp::Capability::Client viaSecond(nullptr);
  OnRpcThread([&] {
    KJ_IF_MAYBE(capability, first.Server().Export(outgoing)) { viaFirst = kj::mv(*capability); }
    // The first peer sends it back, and it goes on to the second.
    ObjectRef cameBack = first.Server().Import(viaFirst, uuidof<ITestProbe>);
    KJ_IF_MAYBE(capability, second.Server().Export(cameBack)) { viaSecond = kj::mv(*capability); }
  });

  // The first peer lets go of its export: the second's stays whole.
  OnRpcThread([&] {
    Runtime::Get().Tasks().add(viaFirst.castAs<platform::remoting::wire::Unknown>().releaseRequest().send().ignoreResult());
  });
  std::uint32_t pid = 0;
  HRESULT hr = E_FAIL;
  Runtime::Get().RunSync([&]() -> kj::Promise<void> {
    return viaSecond.castAs<wire::ITestProbe>().processIdRequest().send().then(
        [&](capnp::Response<wire::ITestProbe::ProcessIdResults>&& response) {
          hr = response.getHr();
          pid = response.getPid();
        });
  });
  EXPECT_EQ(hr, S_OK);
  EXPECT_EQ(pid, static_cast<std::uint32_t>(::getpid()));

  // Every reference the exports took is given back: dropping ours ends the probe.
  OnRpcThread([&] {
    viaFirst = nullptr;
    viaSecond = nullptr;
  });
  probe = nullptr;
  EXPECT_TRUE(WaitUntil([&] { return LiveProbes(witness.Get()) == alive - 1; }));
}

TEST_F(ExportTest, DisconnectingAnObjectCutsOffEveryClientAndLetsItGo) {
  const CLSID clsid = platform::MakeGuid("{5B0C2A7E-1F4D-4E8A-9C3B-6D2E8F1A7C40}");
  auto witness = MakeProbe();
  auto probe = MakeProbe();
  const ULONG alive = LiveProbes(witness.Get());
  DWORD cookie = 0;
  ASSERT_EQ(CoRegisterClassObject(clsid, probe.Get(), CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &cookie), S_OK);
  Link first;
  Link second;
  ComPtr<ITestProbe> one;
  ComPtr<ITestProbe> two;
  ASSERT_EQ(first.Activate(clsid, &one), S_OK);
  ASSERT_EQ(second.Activate(clsid, &two), S_OK);
  ASSERT_TRUE(platform::remoting::IsProxy(one.Get()));
  ULONG pid = 0;
  ASSERT_EQ(one->ProcessId(&pid), S_OK);

  // Nothing to cut for what was never exported or lives elsewhere.
  EXPECT_EQ(CoDisconnectObject(nullptr, 0), E_INVALIDARG);
  EXPECT_EQ(CoDisconnectObject(witness.Get(), 0), S_OK);
  EXPECT_EQ(CoDisconnectObject(one.Get(), 0), S_OK);
  EXPECT_EQ(one->ProcessId(&pid), S_OK);

  // A call already running when the object is disconnected finishes.
  std::thread running([&] { EXPECT_EQ(two->Block(500), S_OK); });
  EXPECT_TRUE(WaitUntil([&] {
    ULONG blocked = 0;
    probe->BlockedCalls(&blocked);
    return blocked == 1;
  }));
  EXPECT_EQ(CoDisconnectObject(probe.Get(), 0), S_OK);
  running.join();

  for (ITestProbe* client : {one.Get(), two.Get()}) {
    EXPECT_EQ(client->ProcessId(&pid), RPC_E_DISCONNECTED);
    ComPtr<IDispatch> dispatch;
    EXPECT_EQ(client->QueryInterface(IID_IDispatch, dispatch.PutVoid()), RPC_E_DISCONNECTED);
  }
  EXPECT_TRUE(platform::remoting::IsConnected(one.Get())) << "the connection itself stays";

  // Handed out again, it is exported afresh.
  ComPtr<ITestProbe> again;
  ASSERT_EQ(first.Activate(clsid, &again), S_OK);
  EXPECT_EQ(again->ProcessId(&pid), S_OK);

  // Cut off again, the clients' proxies hold nothing of it: without the class and our
  // reference the probe goes, though every proxy is still held.
  EXPECT_EQ(CoDisconnectObject(probe.Get(), 0), S_OK);
  EXPECT_EQ(again->ProcessId(&pid), RPC_E_DISCONNECTED);
  EXPECT_EQ(CoRevokeClassObject(cookie), S_OK);
  probe = nullptr;
  EXPECT_TRUE(WaitUntil([&] { return LiveProbes(witness.Get()) == alive - 1; }));
}

}  // namespace
}  // namespace Talvaro::RemotingTest
