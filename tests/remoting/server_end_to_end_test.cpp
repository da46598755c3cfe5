// The real server (TalvaroCommunicationDriver, registered with /RegServer and running as a local
// server) with real client processes: the driver factory, IDebug and the lifecycle object from a
// client; one factory for all clients; clients that die; a restriction callback marshaled in a
// stream; activation of unregistered classes and of a server that is not running yet; hostile
// input on its socket.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <tuple>

#include "interfaces/application_lifecycle.h"
#include "interfaces/driver_factory.h"
#include "platform/automation/safearray.h"
#include "platform/com/com_object.h"
#include "platform/com/connection_interfaces.h"
#include "platform/com/error_info.h"
#include "platform/com/interface_table.h"
#include "platform/com/marshal.h"
#include "platform/remoting/endpoints.h"
#include "platform/remoting/errors.h"
#include "platform/remoting/remoting.h"
#include "platform/remoting/runtime.h"
#include "platform/types/wide_string.h"
#include "tests/remoting/hostile_streams.h"
#include "tests/remoting/remoting_fixture.h"
#include "tests/remoting/test_probe.h"

namespace Talvaro::RemotingTest {
namespace {

using platform::automation::Bstr;
using platform::automation::SafeArray;
using platform::com::ComPtr;

// A client's judge of restriction questions: records what it was asked, answers a set verdict.
class CJudge : public platform::com::ObjectRoot, public IRestrictionCallback {
 public:
  using Interfaces = platform::com::InterfaceTable<CJudge, IRestrictionCallback>;

  HRESULT IsRestricted(SAFEARRAY* data, LONG* verdict) override {
    std::vector<std::uint8_t> bytes;
    platform::automation::ReadByteArray(data, &bytes);
    std::lock_guard lock(mutex_);
    questions_.push_back(bytes);
    *verdict = verdict_;
    return S_OK;
  }
  void SetVerdict(LONG verdict) {
    std::lock_guard lock(mutex_);
    verdict_ = verdict;
  }
  std::vector<std::vector<std::uint8_t>> Questions() {
    std::lock_guard lock(mutex_);
    return questions_;
  }

 private:
  std::mutex mutex_;
  std::vector<std::vector<std::uint8_t>> questions_;  // guarded by mutex_
  LONG verdict_ = 0;                                  // guarded by mutex_
};

// A stream that holds `judge` marshaled as IRestrictionCallback, as RegisterRestriction takes it.
ComPtr<IStream> Marshaled(CJudge* judge) {
  ComPtr<IStream> stream;
  EXPECT_EQ(CreateStreamOnHGlobal(nullptr, TRUE, stream.Put()), S_OK);
  EXPECT_EQ(CoMarshalInterface(stream.Get(), uuidof<IRestrictionCallback>, static_cast<IRestrictionCallback*>(judge),
                               MSHCTX_LOCAL, nullptr, MSHLFLAGS_NORMAL),
            S_OK);
  return stream;
}

// A sink that declares that its calls may run on the RPC thread; notes where each event ran and,
// for data events, what a remote call made from there answered.
class CRpcThreadSink : public platform::com::ObjectRoot,
                       public ICommunicationDriverEvents,
                       public platform::remoting::IRunsOnRpcThread {
 public:
  using Interfaces = platform::com::InterfaceTable<CRpcThreadSink, ICommunicationDriverEvents,
                                                   platform::com::Expose<IDispatch, ICommunicationDriverEvents>,
                                                   platform::remoting::IRunsOnRpcThread>;
  struct Call {
    DISPID dispid;
    bool onRpcThread;
    HRESULT nested;  // data events only
  };
  HRESULT GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
  HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  HRESULT Invoke(DISPID dispid, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
    LONG state = 0;
    const HRESULT nested = dispid == DISPID_OnData ? availability->GetAvailability(&state) : S_OK;
    std::lock_guard lock(mutex);
    calls.push_back({dispid, platform::remoting::Runtime::OnRpcThread(), nested});
    return S_OK;
  }
  std::size_t DataEvents() {
    std::lock_guard lock(mutex);
    return std::count_if(calls.begin(), calls.end(), [](const Call& call) { return call.dispid == DISPID_OnData; });
  }
  ComPtr<IAvailability> availability;  // set before the sink is handed out
  std::mutex mutex;
  std::vector<Call> calls;  // guarded by mutex
};

using ServerEndToEnd = ServerFixture;

TEST_F(ServerEndToEnd, ADeclaredSinkTakesEventsOnTheRpcThreadFromTheSecondOnAndCannotCallOut) {
  StartServer();
  ASSERT_EQ(Command(L"period * 0"), S_OK);
  auto factory = Factory();
  auto driver = Driver(factory.Get(), L"XRB_1");
  ASSERT_TRUE(driver);
  ComPtr<platform::com::ComObject<CRpcThreadSink>> sink;
  ASSERT_EQ(platform::com::CreateObject(&sink), S_OK);
  ASSERT_EQ(driver.As(&sink->availability), S_OK);
  auto point = Subscribe(driver.Get(), static_cast<ICommunicationDriverEvents*>(sink.Get()));
  ASSERT_TRUE(point);
  for (std::size_t i = 1; i <= 3; ++i) {
    ASSERT_EQ(Command(L"data XRB_1 01"), S_OK);
    ASSERT_TRUE(WaitUntil([&] { return sink->DataEvents() == i; })) << i;
  }
  std::lock_guard lock(sink->mutex);
  // The first call of any kind (a liveliness event may come first) asks on a worker, where a
  // data event may call out; every later one runs on the RPC thread, where it cannot.
  ASSERT_GE(sink->calls.size(), 3u);
  for (std::size_t i = 0; i < sink->calls.size(); ++i) {
    const auto& call = sink->calls[i];
    EXPECT_EQ(call.onRpcThread, i > 0) << i;
    if (call.dispid == DISPID_OnData) {
      EXPECT_EQ(call.nested, i == 0 ? S_OK : platform::remoting::RPC_E_CANTCALLOUT_ININPUTSYNCCALL_HR) << i;
    }
  }
  sink->availability = nullptr;
}

TEST_F(ServerEndToEnd, AClientUsesTheFactoryItsDebugInterfaceAndTheLifecycleObject) {
  StartServer();
  auto factory = Factory();
  ASSERT_TRUE(factory);
  ComPtr<IDebug> debug;
  ASSERT_EQ(factory.As(&debug), S_OK);
  SafeArray names;
  ASSERT_EQ(debug->GetXRBNames(names.Put()), S_OK);
  std::vector<std::wstring> strings;
  ASSERT_EQ(platform::automation::ReadStringArray(names.Get(), &strings), S_OK);
  EXPECT_EQ(strings, (std::vector<std::wstring>{L"XRB_1", L"XRB_2"}));
  // The other IDebug calls' results: tcdctl's info and subitems.
  Bstr wrongCase(L"xrb_1");
  SafeArray untouched;
  EXPECT_EQ(debug->GetXRBInfo(wrongCase.Get(), untouched.Put()), E_INVALIDARG);
  EXPECT_FALSE(untouched);

  ComPtr<ISupportErrorInfo> errorInfo;
  ASSERT_EQ(factory.As(&errorInfo), S_OK);
  EXPECT_EQ(errorInfo->InterfaceSupportsErrorInfo(uuidof<ITalvaroCommunicationDriverFactory>), S_OK);
  EXPECT_EQ(errorInfo->InterfaceSupportsErrorInfo(uuidof<IDebug>), S_FALSE);

  ComPtr<IXRBApplicationLifecycle> lifecycle;
  ASSERT_EQ(Create(CLSID_TalvaroCommunicationDriverGApp, &lifecycle), S_OK);
  Bstr first(L"first");
  Bstr second(L"second");
  EXPECT_EQ(lifecycle->Create(first.Get(), second.Get()), S_OK);
  EXPECT_EQ(Command(L"app-result -15"), S_OK);
  EXPECT_EQ(lifecycle->Activate(first.Get(), second.Get()), E_FAIL);
  EXPECT_EQ(lifecycle->Shutdown(first.Get(), second.Get()), S_OK);
  EXPECT_EQ(Command(L"no-such-command"), E_FAIL);
}

TEST_F(ServerEndToEnd, EveryClientGetsTheOneFactory) {
  StartServer();
  auto factory = Factory();
  platform::remoting::RemoteIdentity mine;
  ASSERT_EQ(platform::remoting::GetRemoteIdentity(factory.Get(), &mine), S_OK);
  ChildProcess other(PEER_BINARY, {"identity"});
  const auto line = other.ReadLine();
  ASSERT_TRUE(line);
  EXPECT_EQ(*line, std::to_string(mine.server) + " " + std::to_string(mine.object));
  EXPECT_EQ(mine.server, static_cast<std::uint64_t>(server_->Pid()));
}

TEST_F(ServerEndToEnd, AClientKilledWithItsDriverObjectLeavesNoDriverBehind) {
  StartServer();
  ChildProcess client(PEER_BINARY, {"driver", "XRB_1"});
  ASSERT_EQ(client.ReadLine(), "ready") << client.Errors();
  EXPECT_FALSE(LogShows("Performing cleaup"));
  client.Signal(SIGKILL);
  EXPECT_TRUE(WaitUntil([&] { return LogShows("Performing cleaup"); })) << ServerLog() << server_->Errors();
}

TEST_F(ServerEndToEnd, ASubscriberInADeadProcessIsRevokedByTheDriver) {
  StartServer();
  // The subscriber lives in a third process; this client holds the driver and subscribes it.
  auto peer = StartPeer();
  ComPtr<ITestProbe> sink;
  ASSERT_EQ(Create(CLSID_TestProbe, &sink), S_OK);
  auto factory = Factory();
  auto driver = Driver(factory.Get(), L"XRB_1");
  auto point = Subscribe(driver.Get(), sink.Get());
  ASSERT_TRUE(point);

  ASSERT_EQ(Command(L"data XRB_1 01 02"), S_OK);
  EXPECT_TRUE(WaitUntil([&] {
    ULONG events = 0;
    return SUCCEEDED(sink->EventsReceived(&events)) && events > 0;
  }));

  peer->Signal(SIGKILL);
  ASSERT_TRUE(peer->Wait());
  ASSERT_EQ(Command(L"data XRB_1 03 04"), S_OK);
  EXPECT_TRUE(WaitUntil([&] { return LogShows("RPC Call failed or server is unavailable."); })) << ServerLog();

  EXPECT_EQ(Subscribers(point.Get()), 0u) << "revoked";
}

TEST_F(ServerEndToEnd, ARestrictionCallbackMarshaledIntoAStreamIsAskedByTheHardware) {
  StartServer();
  auto factory = Factory();
  auto driver = Driver(factory.Get(), L"XRB_1");
  ComPtr<IRestriction> restriction;
  ASSERT_EQ(driver.As(&restriction), S_OK);
  ComPtr<platform::com::ComObject<CJudge>> judge;
  ASSERT_EQ(platform::com::CreateObject(&judge), S_OK);

  LONG result = -1;
  ASSERT_EQ(restriction->RegisterRestriction(1, Marshaled(judge.Get()).Get(), &result), S_OK);
  EXPECT_EQ(result, 0);
  VARIANT_BOOL registered = VARIANT_FALSE;
  ASSERT_EQ(restriction->IsRestrictionRegistered(&registered, &result), S_OK);
  EXPECT_EQ(registered, VARIANT_TRUE);

  // A question of the unit reaches this process's callback.
  ASSERT_EQ(Command(L"restrict XRB_1 C0DE"), S_OK);
  EXPECT_TRUE(WaitUntil([&] { return !judge->Questions().empty(); }));
  EXPECT_EQ(judge->Questions().at(0), (std::vector<std::uint8_t>{0xC0, 0xDE}));

  // A write is judged too, while this client waits in Write: a refusal comes back as -12.
  judge->SetVerdict(1);
  ComPtr<IDataTransfer> transfer;
  ASSERT_EQ(driver.As(&transfer), S_OK);
  SafeArray bytes;
  const std::uint8_t data[] = {0xAB, 0xCD};
  ASSERT_EQ(platform::automation::CreateByteArray(data, &bytes), S_OK);
  ASSERT_EQ(transfer->Write(bytes.Get(), 0, &result), S_OK);
  EXPECT_EQ(result, -12);
  EXPECT_EQ(judge->Questions().back(), (std::vector<std::uint8_t>{0xAB, 0xCD}));
}

// What a refused call leaves alone stays as this process had it, and Write's checks come in the
// object's order whatever crosses the wire.
TEST_F(ServerEndToEnd, RefusedCallsLeaveTheCallersOutParametersAsTheyWere) {
  StartServer();
  auto factory = Factory();
  ComPtr<platform::com::ComObject<CJudge>> judge;
  ASSERT_EQ(platform::com::CreateObject(&judge), S_OK);
  SafeArray bytes;
  const std::uint8_t data[] = {0x01, 0x02};
  ASSERT_EQ(platform::automation::CreateByteArray(data, &bytes), S_OK);

  // A unit nobody has: Initialize failed, the object is handed out detached.
  ComPtr<ICommunicationDriver> detached;
  Bstr unit(L"NO_SUCH_UNIT");
  Bstr application(L"remoting_server_tests");
  ASSERT_EQ(factory->CreateDriver(unit.Get(), application.Get(), nullptr, nullptr, nullptr, detached.Put()), -1200);
  ComPtr<IDataTransfer> transfer;
  ComPtr<IAvailability> availability;
  ComPtr<IRestriction> restriction;
  ASSERT_EQ(detached.As(&transfer), S_OK);
  ASSERT_EQ(detached.As(&availability), S_OK);
  ASSERT_EQ(detached.As(&restriction), S_OK);
  LONG result = 55;
  LONG state = 66;
  ULONG mode = 77;
  VARIANT_BOOL registered = 5;
  EXPECT_EQ(transfer->Write(bytes.Get(), 0, &result), E_UNEXPECTED);
  EXPECT_EQ(availability->GetAvailability(&state), E_UNEXPECTED);
  EXPECT_EQ(restriction->RegisterRestriction(1, Marshaled(judge.Get()).Get(), &result), E_UNEXPECTED);
  EXPECT_EQ(restriction->SetRestrictionMode(1, &result), E_UNEXPECTED);
  EXPECT_EQ(restriction->UnregisterRestriction(&result), E_UNEXPECTED);
  EXPECT_EQ(restriction->GetRestrictionMode(&mode, &result), E_UNEXPECTED);
  EXPECT_EQ(restriction->IsRestrictionRegistered(&registered, &result), E_UNEXPECTED);
  EXPECT_EQ(std::tuple(result, state, mode, registered), std::tuple(55, 66, 77u, VARIANT_BOOL{5}));

  auto driver = Driver(factory.Get(), L"XRB_1");
  ASSERT_EQ(driver.As(&transfer), S_OK);
  ASSERT_EQ(driver.As(&restriction), S_OK);
  SAFEARRAYBOUND bounds[2] = {{2, 0}, {2, 0}};
  SafeArray square = SafeArray::Adopt(SafeArrayCreate(VT_UI1, 2, bounds));
  EXPECT_EQ(transfer->Write(square.Get(), 0, &result), S_FALSE);
  EXPECT_EQ(transfer->Write(square.Get(), 0, nullptr), S_FALSE) << "the shape is checked before the result pointer";
  EXPECT_EQ(transfer->Write(nullptr, 0, &result), E_POINTER);
  EXPECT_EQ(transfer->Write(bytes.Get(), 0, nullptr), E_POINTER);
  EXPECT_EQ(result, 55);

  // The element type is not examined: one byte per element goes out, from an array without an
  // element type (as a client may build one by hand) and from one of 32-bit numbers alike.
  std::uint8_t raw[3] = {0xA1, 0xB2, 0xC3};
  SAFEARRAY bare{};
  bare.cDims = 1;
  bare.fFeatures = FADF_STATIC | FADF_FIXEDSIZE;
  bare.cbElements = 1;
  bare.pvData = raw;
  bare.rgsabound[0] = {3, 0};
  ASSERT_EQ(transfer->Write(&bare, 7, &result), S_OK);
  EXPECT_EQ(result, 0);
  SafeArray numbers = SafeArray::Adopt(SafeArrayCreateVector(VT_I4, 0, 2));
  for (LONG index = 0; index < 2; ++index) {
    LONG number = 0x44332211 + index;
    ASSERT_EQ(SafeArrayPutElement(numbers.Get(), &index, &number), S_OK);
  }
  ASSERT_EQ(transfer->Write(numbers.Get(), 8, &result), S_OK);
  EXPECT_TRUE(SimulatorRecorded("data=A1B2C3 value=7 ")) << ServerLog();
  EXPECT_TRUE(SimulatorRecorded("data=1122 value=8 ")) << ServerLog();

  // A mode beyond 2 is set as 3 and read back as 3.
  ASSERT_EQ(restriction->RegisterRestriction(0, Marshaled(judge.Get()).Get(), &result), S_OK);
  ASSERT_EQ(result, 0);
  ASSERT_EQ(restriction->SetRestrictionMode(7, &result), S_OK);
  EXPECT_EQ(result, 0);
  ASSERT_EQ(restriction->GetRestrictionMode(&mode, &result), S_OK);
  EXPECT_EQ(mode, 3u);
}

TEST_F(ServerEndToEnd, AnUnregisteredClassIsNotRegistered) {
  StartServer();
  ComPtr<IUnknown> object;
  EXPECT_EQ(Create(platform::MakeGuid("{2F7D1C58-0B6E-4F49-9E57-3B5C1A2D8E90}"), &object), REGDB_E_CLASSNOTREG);
}

TEST_F(ServerEndToEnd, AClientStartedFirstLaunchesTheServer) {
  ASSERT_FALSE(platform::remoting::ReadClassFile(CLSID_TalvaroCommunicationDriverFactory));
  auto factory = Factory();
  ASSERT_TRUE(factory);
  ComPtr<IDebug> debug;
  ASSERT_EQ(factory.As(&debug), S_OK);
  SafeArray names;
  EXPECT_EQ(debug->GetXRBNames(names.Put()), S_OK);
  EXPECT_TRUE(platform::remoting::ReadClassFile(CLSID_TalvaroCommunicationDriverFactory));
}

TEST_F(ServerEndToEnd, MalformedMessagesLeaveTheServerServingItsClients) {
  StartServer();
  auto factory = Factory();
  ComPtr<IDebug> debug;
  ASSERT_EQ(factory.As(&debug), S_OK);
  const auto endpoint = platform::remoting::ReadClassFile(CLSID_TalvaroCommunicationDriverFactory);
  ASSERT_TRUE(endpoint);
  StalledConnection stalled(endpoint->socket);  // holds only its own connection
  ASSERT_TRUE(stalled.Connected());
  for (const auto& stream : HostileStreams()) {
    ASSERT_TRUE(SendHostile(endpoint->socket, stream));
    SafeArray names;
    ASSERT_EQ(debug->GetXRBNames(names.Put()), S_OK) << "after " << stream.size() << " hostile bytes";
  }
  ChildProcess other(PEER_BINARY, {"identity"});
  EXPECT_TRUE(other.ReadLine());
  EXPECT_EQ(other.Wait(), 0);
  EXPECT_TRUE(server_->Errors().empty()) << server_->Errors();
}

}  // namespace
}  // namespace Talvaro::RemotingTest
