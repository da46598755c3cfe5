// The remoting runtime between this process and remoting_test_peer: identity of proxies, values
// by value, callbacks, lifetimes tied to the peers, the transport's failure codes, streams with
// marshaled interfaces, activation through endpoints and the registry.
#include <capnp/ez-rpc.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <bit>
#include <cstring>
#include <fstream>
#include <latch>
#include <thread>

#include "platform/automation/safearray.h"
#include "platform/com/connection_interfaces.h"
#include "platform/com/marshal.h"
#include "platform/registry/registry.h"
#include "platform/remoting/endpoints.h"
#include "platform/remoting/remoting.h"
#include "platform/remoting/values.h"
#include "platform/types/wide_string.h"
#include "tests/remoting/remoting_fixture.h"
#include "tests/remoting/test_probe.capnp.h"
#include "tests/remoting/test_probe.h"
#include "tests/support/component/event_sink.h"

// After ours: <fcntl.h> defines LOCK_WRITE, a name of stream.h.
#include <fcntl.h>
#include <poll.h>

namespace Talvaro::RemotingTest {
namespace {

using platform::automation::SafeArray;
using platform::automation::Variant;
using platform::com::ComPtr;
using platform::remoting::GetRemoteIdentity;
using platform::remoting::IsProxy;
using platform::remoting::RemoteIdentity;
using Talvaro::Testing::CEventSink;

ComPtr<IUnknown> IdentityOf(IUnknown* object) {
  ComPtr<IUnknown> identity;
  EXPECT_EQ(object->QueryInterface(IID_IUnknown, identity.PutVoid()), S_OK);
  return identity;
}

ComPtr<CEventSink> MakeSink() {
  ComPtr<platform::com::ComObject<CEventSink>> sink;
  EXPECT_EQ(platform::com::CreateObject(&sink), S_OK);
  return ComPtr<CEventSink>(sink.Get());
}

// A readable description of a VARIANT, arrays included, for comparisons.
std::string Describe(const VARIANT& value);

std::string DescribeArray(SAFEARRAY* array) {
  if (array == nullptr) return "null";
  VARTYPE vt = 0;
  SafeArrayGetVartype(array, &vt);
  std::string text = "vt" + std::to_string(vt) + "[";
  const UINT dims = SafeArrayGetDim(array);
  std::size_t cells = 1;
  for (UINT d = 1; d <= dims; ++d) {
    LONG lower = 0;
    LONG upper = 0;
    SafeArrayGetLBound(array, d, &lower);
    SafeArrayGetUBound(array, d, &upper);
    text += std::to_string(lower) + ".." + std::to_string(upper) + ";";
    cells *= static_cast<std::size_t>(upper - lower + 1);
  }
  platform::automation::ArrayDataAccess access(array);
  for (std::size_t i = 0; i < cells; ++i) {
    if (vt == VT_BSTR) {
      text += platform::ToUtf8(platform::automation::BstrView(access.DataAs<BSTR>()[i])) + ",";
    } else if (vt == VT_VARIANT) {
      text += Describe(access.DataAs<VARIANT>()[i]) + ",";
    } else if (vt == VT_I4) {
      text += std::to_string(access.DataAs<LONG>()[i]) + ",";
    } else if (vt == VT_UI1) {
      text += std::to_string(access.DataAs<BYTE>()[i]) + ",";
    }
  }
  return text + "]";
}

std::string Describe(const VARIANT& value) {
  std::string text = "vt" + std::to_string(value.vt) + ":";
  if ((value.vt & VT_ARRAY) != 0) return text + DescribeArray(value.parray);
  if (value.vt == VT_BSTR) {
    return text + (value.bstrVal == nullptr ? "null" : platform::ToUtf8(platform::automation::BstrView(value.bstrVal)));
  }
  // Scalars: the bytes of the value field that the type uses, and no others.
  std::size_t size = 8;
  switch (value.vt) {
    case VT_EMPTY:
    case VT_NULL:
      return text;
    case VT_I1:
      size = 1;
      break;
    case VT_UI2:
    case VT_BOOL:
      size = 2;
      break;
    case VT_I4:
    case VT_UI4:
    case VT_ERROR:
      size = 4;
      break;
  }
  std::uint64_t bits = 0;
  std::memcpy(&bits, &value.llVal, size);
  return text + std::to_string(bits);
}

// A VARIANT of `type` whose value field holds `bits` (a pointer's too).
Variant Make(VARTYPE type, LONGLONG bits) {
  Variant value;
  value.Get()->vt = type;
  value.Get()->llVal = bits;
  return value;
}

Variant MakeArray(VARTYPE type, SafeArray array) {
  return Make(VT_ARRAY | type, static_cast<LONGLONG>(reinterpret_cast<std::intptr_t>(array.Detach())));
}

class RuntimeTest : public RemotingFixture {};

TEST_F(RuntimeTest, OneRemoteObjectIsOneProxyAndQueryInterfaceAsksIt) {
  auto peer = StartPeer();
  ComPtr<ITestProbe> first;
  ComPtr<ITestProbe> second;
  ASSERT_EQ(Create(CLSID_TestProbe, &first), S_OK);
  ASSERT_EQ(Create(CLSID_TestProbe, &second), S_OK);
  EXPECT_TRUE(IsProxy(first.Get()));
  EXPECT_NE(IdentityOf(first.Get()), IdentityOf(second.Get())) << "an ordinary class makes a new object each time";

  ComPtr<ITestProbe> mailbox;
  ComPtr<ITestProbe> sameMailbox;
  ASSERT_EQ(Create(CLSID_TestMailbox, &mailbox), S_OK);
  ASSERT_EQ(Create(CLSID_TestMailbox, &sameMailbox), S_OK);
  EXPECT_EQ(mailbox.Get(), sameMailbox.Get()) << "the singleton arrives as the same proxy";
  ComPtr<ITestProbe> again;
  ASSERT_EQ(mailbox.As(&again), S_OK);
  EXPECT_EQ(again.Get(), mailbox.Get());
  EXPECT_EQ(IdentityOf(again.Get()), IdentityOf(mailbox.Get()));

  ComPtr<IConnectionPointContainer> missing;
  EXPECT_EQ(mailbox.As(&missing), E_NOINTERFACE) << "the remote object is asked, and it fires no events";
  ComPtr<IDispatch> dispatch;
  EXPECT_EQ(mailbox.As(&dispatch), S_OK) << "a probe is an event sink too";

  // Handed to the peer and back: the same proxy again. Our own object handed out and back is
  // the object itself, not a proxy of a proxy.
  auto sink = MakeSink();
  ICommunicationDriverEvents* ours = sink.Get();
  for (IUnknown* object : {static_cast<IUnknown*>(first.Get()), static_cast<IUnknown*>(ours)}) {
    Variant sent = Make(VT_UNKNOWN, reinterpret_cast<std::intptr_t>(object));
    object->AddRef();
    Variant back;
    ASSERT_EQ(mailbox->Echo(sent.Get(), back.Put()), S_OK);
    ASSERT_EQ(back.Get()->vt, VT_UNKNOWN);
    EXPECT_EQ(IdentityOf(back.Get()->punkVal), IdentityOf(object));
    EXPECT_EQ(IsProxy(back.Get()->punkVal), object != ours);
  }

  RemoteIdentity one;
  RemoteIdentity other;
  ASSERT_EQ(GetRemoteIdentity(mailbox.Get(), &one), S_OK);
  ASSERT_EQ(GetRemoteIdentity(sameMailbox.Get(), &other), S_OK);
  EXPECT_EQ(one, other);
  ASSERT_EQ(GetRemoteIdentity(first.Get(), &other), S_OK);
  EXPECT_NE(one, other);
  EXPECT_EQ(one.server, static_cast<std::uint64_t>(peer->Pid()));
  EXPECT_EQ(GetRemoteIdentity(ours, &one), E_INVALIDARG);
}

TEST_F(RuntimeTest, ThreadsActivatingAndCallingAtOnceShareOneConnectionAndOneProxy) {
  auto peer = StartPeer();
  // The first activation of this server in the process, from several threads at once: one
  // connection, so the singleton is one proxy for all of them; then they all call through it.
  constexpr int kThreads = 6;
  std::vector<ComPtr<ITestProbe>> mailboxes(kThreads);
  std::vector<HRESULT> results(kThreads, E_FAIL);
  std::atomic<int> failures{0};
  std::latch start(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      CoInitializeEx(nullptr, COINIT_MULTITHREADED);
      start.arrive_and_wait();
      results[t] = Create(CLSID_TestMailbox, &mailboxes[t]);
      for (int i = 0; i < 100 && mailboxes[t]; ++i) {
        Variant echoed;
        if (mailboxes[t]->Echo(Make(VT_I4, t * 1000 + i).Get(), echoed.Put()) != S_OK ||
            echoed.Get()->lVal != t * 1000 + i) {
          ++failures;
        }
      }
      CoUninitialize();
    });
  }
  for (auto& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) {
    ASSERT_EQ(results[t], S_OK) << "thread " << t;
    EXPECT_EQ(mailboxes[t].Get(), mailboxes[0].Get()) << "thread " << t;
  }
  EXPECT_EQ(failures.load(), 0);
}

TEST_F(RuntimeTest, VariantsAndArraysCrossByValue) {
  auto peer = StartPeer();
  ComPtr<ITestProbe> probe;
  ASSERT_EQ(Create(CLSID_TestProbe, &probe), S_OK);

  std::vector<Variant> values;
  for (const auto& [type, bits] : std::initializer_list<std::pair<VARTYPE, LONGLONG>>{
           {VT_EMPTY, 0}, {VT_NULL, 0}, {VT_I1, -5}, {VT_UI2, 65535}, {VT_I4, -2000000000}, {VT_UI4, 0xFFFFFFFF},
           {VT_I8, INT64_MIN}, {VT_UI8, -1}, {VT_BOOL, VARIANT_TRUE}, {VT_ERROR, static_cast<LONG>(0x800706BA)},
           {VT_R8, std::bit_cast<LONGLONG>(-1.5e300)},
           {VT_BSTR, 0},                // a null string stays null
           {VT_ARRAY | VT_UI1, 0}}) {  // a null array too
    values.push_back(Make(type, bits));
  }
  values.push_back(Make(VT_BSTR, reinterpret_cast<std::intptr_t>(SysAllocString(L"Grüße, \u00e9t\u00e9 \u2713"))));

  SAFEARRAYBOUND bounds[2] = {{2, -1}, {3, 3}};
  SafeArray matrix = SafeArray::Adopt(SafeArrayCreate(VT_I4, 2, bounds));
  for (LONG i = -1; i <= 0; ++i) {
    for (LONG j = 3; j <= 5; ++j) {
      LONG index[2] = {i, j};
      LONG cell = i * 10 + j;
      SafeArrayPutElement(matrix.Get(), index, &cell);
    }
  }
  values.push_back(MakeArray(VT_I4, std::move(matrix)));
  SafeArray strings;
  ASSERT_EQ(platform::automation::CreateStringArray(std::vector<std::wstring>{L"a", L"", L"long ünïcode"}, &strings),
            S_OK);
  values.push_back(MakeArray(VT_BSTR, std::move(strings)));
  SafeArray nested = SafeArray::Adopt(SafeArrayCreateVector(VT_VARIANT, 0, 2));
  Variant bytes;
  const std::uint8_t data[] = {0, 255, 7};
  ASSERT_EQ(platform::automation::MakeByteArrayVariant(data, &bytes), S_OK);
  LONG index = 0;
  SafeArrayPutElement(nested.Get(), &index, Make(VT_I4, 42).Get());
  index = 1;
  SafeArrayPutElement(nested.Get(), &index, bytes.Get());
  values.push_back(MakeArray(VT_VARIANT, std::move(nested)));

  for (const auto& value : values) {
    Variant echoed;
    ASSERT_EQ(probe->Echo(value.Get(), echoed.Put()), S_OK) << Describe(*value.Get());
    EXPECT_EQ(Describe(*echoed.Get()), Describe(*value.Get()));
  }

  // By reference a value travels as the value itself.
  LONG referenced = 77;
  Variant byRef = Make(VT_BYREF | VT_I4, reinterpret_cast<std::intptr_t>(&referenced));
  Variant echoed;
  ASSERT_EQ(probe->Echo(byRef.Get(), echoed.Put()), S_OK);
  EXPECT_EQ(Describe(*echoed.Get()), Describe(*Make(VT_I4, 77).Get()));
}

TEST_F(RuntimeTest, ThePeerCallsBackIntoOurObjectsAndUnmarshalsThemFromStreams) {
  auto peer = StartPeer();
  ComPtr<ITestProbe> probe;
  ASSERT_EQ(Create(CLSID_TestProbe, &probe), S_OK);
  auto sink = MakeSink();
  ICommunicationDriverEvents* ours = sink.Get();
  Variant block;
  const std::uint8_t data[] = {1, 2, 3, 4};
  ASSERT_EQ(platform::automation::MakeByteArrayVariant(data, &block), S_OK);
  HRESULT invoked = E_FAIL;
  ASSERT_EQ(probe->CallBack(ours, DISPID_OnData, block.Get(), &invoked), S_OK);
  EXPECT_EQ(invoked, S_OK);
  ASSERT_TRUE(sink->WaitForEvents(1));
  EXPECT_EQ(sink->Events()[0].dispid, DISPID_OnData);
  EXPECT_EQ(sink->DataBlocks().at(0), std::vector<std::uint8_t>(data, data + 4));

  // The sink's own status reaches the server.
  sink->SetInvokeResult(DISP_E_MEMBERNOTFOUND);
  ASSERT_EQ(probe->CallBack(ours, DISPID_OnError, platform::automation::MakeUI4Variant(7).Get(), &invoked), S_OK);
  EXPECT_EQ(invoked, DISP_E_MEMBERNOTFOUND);

  // Our object, marshaled here and unmarshaled there, reaches the peer as a proxy of ours; the
  // peer hands back what it unmarshaled, which is our object again.
  ComPtr<IStream> stream;
  ASSERT_EQ(CreateStreamOnHGlobal(nullptr, TRUE, stream.Put()), S_OK);
  ASSERT_EQ(CoMarshalInterface(stream.Get(), IID_IDispatch, ours, MSHCTX_LOCAL, nullptr, MSHLFLAGS_NORMAL), S_OK);
  ComPtr<IUnknown> unmarshaled;
  ASSERT_EQ(probe->Unmarshal(stream.Get(), IID_IDispatch, unmarshaled.Put()), S_OK);
  EXPECT_FALSE(IsProxy(unmarshaled.Get()));
  EXPECT_TRUE(platform::com::IsSameObject(unmarshaled.Get(), ours));

  // A stream without a marshaled interface where the peer expects one.
  ComPtr<IStream> empty;
  ASSERT_EQ(CreateStreamOnHGlobal(nullptr, TRUE, empty.Put()), S_OK);
  EXPECT_EQ(probe->Unmarshal(empty.Get(), IID_IUnknown, unmarshaled.Put()), RPC_E_INVALID_DATA);
}

TEST_F(RuntimeTest, FailuresOfTheTransportHaveTheRpcCodes) {
  auto peer = StartPeer();
  ComPtr<ITestProbe> probe;
  ComPtr<ITestProbe> watcher;
  ASSERT_EQ(Create(CLSID_TestProbe, &probe), S_OK);
  ASSERT_EQ(Create(CLSID_TestProbe, &watcher), S_OK);

  EXPECT_EQ(probe->Fault(), RPC_E_SERVERFAULT) << "an exception in the object";

  std::atomic<HRESULT> inFlight{S_OK};
  std::thread caller([&] { inFlight = probe->Block(60000); });
  EXPECT_TRUE(WaitUntil([&] {
    ULONG blocked = 0;
    return SUCCEEDED(watcher->BlockedCalls(&blocked)) && blocked == 1;
  }));
  peer->Signal(SIGKILL);
  caller.join();
  EXPECT_EQ(inFlight.load(), RPC_S_CALL_FAILED_HR) << "broke in flight";
  ULONG count = 0;
  EXPECT_EQ(watcher->LiveObjects(&count), RPC_S_SERVER_UNAVAILABLE_HR) << "the server is gone";
  ComPtr<ITestProbe> another;
  EXPECT_EQ(probe.As(&another), S_OK) << "known interfaces are answered by the proxy itself";
  ULONG pid = 0;
  EXPECT_EQ(probe->ProcessId(&pid), RPC_S_SERVER_UNAVAILABLE_HR);
}

TEST_F(RuntimeTest, DroppedProxiesAndAPlainCapnpClientGiveTheirReferencesBack) {
  auto peer = StartPeer();
  ComPtr<ITestProbe> counter;
  ASSERT_EQ(Create(CLSID_TestMailbox, &counter), S_OK);
  const ULONG baseline = LiveProbes(counter.Get());
  {
    std::vector<ComPtr<ITestProbe>> probes(3);
    for (auto& probe : probes) ASSERT_EQ(Create(CLSID_TestProbe, &probe), S_OK);
    EXPECT_EQ(LiveProbes(counter.Get()), baseline + 3);
  }
  EXPECT_TRUE(WaitUntil([&] { return LiveProbes(counter.Get()) == baseline; }));

  // What a client in another language does: the class file, the socket, the Activator.
  const auto endpoint = platform::remoting::ReadClassFile(CLSID_TestProbe);
  ASSERT_TRUE(endpoint);
  capnp::EzRpcClient plain("unix:" + endpoint->socket);
  auto& wait = plain.getWaitScope();
  namespace com = platform::remoting::wire;
  auto activation = plain.getMain<com::Activator>().getClassObjectRequest();
  platform::remoting::WriteGuid(CLSID_TestProbe, activation.initClsid());
  platform::remoting::WriteGuid(IID_IClassFactory, activation.initIid());
  auto classObject = activation.send().wait(wait);
  ASSERT_EQ(classObject.getHr(), S_OK);
  auto creation = classObject.getClassObject().castAs<com::IClassFactory>().createInstanceRequest();
  platform::remoting::WriteGuid(uuidof<ITestProbe>, creation.initIid());
  auto created = creation.send().wait(wait);
  ASSERT_EQ(created.getHr(), S_OK);
  auto probe = created.getObject().castAs<wire::ITestProbe>();
  EXPECT_EQ(LiveProbes(counter.Get()), baseline + 1);

  auto ask = [&](const IID& iid) {
    auto question = probe.queryInterfaceRequest();
    platform::remoting::WriteGuid(iid, question.initIid());
    return question.send().wait(wait).getHr();
  };
  EXPECT_EQ(ask(IID_IDispatch), S_OK);
  EXPECT_EQ(ask(IID_IClassFactory), E_NOINTERFACE);
  auto echo = probe.echoRequest();
  echo.initValue().setType(VT_I4);
  echo.getValue().setSigned(42);
  EXPECT_EQ(echo.send().wait(wait).getEchoed().getSigned(), 42);

  // release gives the reference back while the capability is still held; it then fails.
  probe.releaseRequest().send().wait(wait);
  EXPECT_TRUE(WaitUntil([&] { return LiveProbes(counter.Get()) == baseline; }));
  auto late = probe.processIdRequest().send();
  const auto failure = kj::runCatchingExceptions([&] { late.wait(wait); });
  ASSERT_TRUE(failure != nullptr);
}

TEST_F(RuntimeTest, WithoutARunningServerTheRegistryDecides) {
  // Nothing published, nothing registered: not registered, and no thread was started for it.
  const std::string unknown = "{D5FEFBBC-760A-4A41-A2D6-3E607C0FA643}";
  {
    ChildProcess client(PEER_BINARY, {"unregistered", unknown});
    EXPECT_EQ(client.ReadLine(), "hr=0x80040154 runtime=0 threads=1");
  }

  // A class file left by a server that died names a socket nobody answers.
  const CLSID clsid = *platform::ParseGuid(std::string_view(unknown));
  ASSERT_TRUE(platform::remoting::MakeDirectories(platform::remoting::ClassDirectory()));
  std::ofstream(platform::remoting::ClassFilePath(clsid)) << "socket=" << RunDirectory() << "/com-1.sock\npid=1\n";
  ComPtr<IUnknown> object;
  EXPECT_EQ(Create(clsid, &object), REGDB_E_CLASSNOTREG);

  // Registered as a service: only the service manager may start it, which does not know it
  // (or does not run here).
  const std::wstring appId = L"{7A0C55E4-93B1-4C2B-8E1D-0F6A2B9C4D31}";
  ClassesRootValues service({{L"CLSID\\" + platform::FormatGuid(clsid), L"AppID", platform::ToUtf8(appId)},
                             {L"AppID\\" + appId, L"LocalService", "TalvaroRemotingTestNoSuchService"}});
  EXPECT_EQ(Create(clsid, &object), CO_E_SERVER_EXEC_FAILURE);
}

TEST_F(RuntimeTest, ALaunchedServerKeepsNoDescriptorOfItsClient) {
  LocalServerRegistration registration(CLSID_TestProbe, Quoted(PEER_BINARY));
  // The client holds the write end of a pipe without close-on-exec, as `tcdctl units 9>&1 | cat`
  // does; the pipe must reach its end when the client is gone, whatever the client launched.
  int pipe[2];
  ASSERT_EQ(::pipe2(pipe, O_CLOEXEC), 0);
  ::fcntl(pipe[1], F_SETFD, 0);
  auto client = std::make_unique<ChildProcess>(PEER_BINARY,
                                               std::vector<std::string>{"hold", platform::FormatGuidNarrow(CLSID_TestProbe)});
  ::close(pipe[1]);
  EXPECT_EQ(client->ReadLine(), "ready") << client->Errors();
  EXPECT_TRUE(platform::remoting::ReadClassFile(CLSID_TestProbe)) << "the client launched the server";
  client->Signal(SIGTERM);
  EXPECT_EQ(client->Wait(), 0);
  pollfd end{pipe[0], POLLIN, 0};
  char byte = 0;
  const bool ended = ::poll(&end, 1, 20000) == 1 && ::read(pipe[0], &byte, 1) == 0;
  ::close(pipe[0]);
  EXPECT_TRUE(ended) << "the launched server still holds the client's pipe";
}

}  // namespace
}  // namespace Talvaro::RemotingTest
