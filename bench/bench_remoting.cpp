// Remoting: the round trip of a small call, and callbacks from a server to its client, through
// the runtime (proxies, stubs, the RPC thread and the worker pool) beside the same exchanges made
// with bare Cap'n Proto in the same run, between the same two processes.
//
// The program starts itself a second time as the server ("--serve <directory>"), which serves
//   - a component class of this file (CBenchSource) through the runtime: ISupportErrorInfo for
//     the small call, IXRBGeneric "fire <n>" to invoke every subscribed sink n times in a row;
//   - a bare Cap'n Proto IDispatch on a socket of its own: getTypeInfoCount for the small call,
//     invoke(dispId = n, arguments = [the client's sink]) to invoke that sink n times in a row.
// Callbacks are sequential in both, as the driver delivers events: each waits for its answer.
#include <benchmark/benchmark.h>
#include <capnp/ez-rpc.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>

#include "interfaces/application_lifecycle.h"
#include "interfaces/communication_driver.h"
#include "platform/com/apartment.h"
#include "platform/com/class_factory.h"
#include "platform/com/class_table.h"
#include "platform/com/connection_point.h"
#include "platform/com/error_info.h"
#include "platform/com/server_process.h"
#include "platform/remoting/com.capnp.h"
#include "platform/remoting/endpoints.h"

extern char** environ;

namespace {

using platform::com::ComPtr;
namespace wire = platform::remoting::wire;

constexpr CLSID kBenchClass = platform::MakeGuid("{3E8F6A1D-5B27-4C90-A4D3-7F1E2B6C9A05}");
constexpr int kCallbacksPerRound = 1000;

// ---- the runtime's side ---------------------------------------------------------------------

class CBenchSource;
using BenchEvents = platform::com::ConnectionPoint<CBenchSource, ICommunicationDriverEvents>;

class CBenchSource : public platform::com::ObjectRoot,
                     public IXRBGeneric,
                     public ISupportErrorInfo,
                     public platform::com::ConnectionPointContainer<CBenchSource, BenchEvents>,
                     public BenchEvents {
 public:
  using Interfaces =
      platform::com::InterfaceTable<CBenchSource, IXRBGeneric, ISupportErrorInfo, IConnectionPointContainer>;

  HRESULT InterfaceSupportsErrorInfo(REFIID) override { return S_OK; }

  // "fire <n>": n events, one after the other, to every sink.
  HRESULT SendGenericCommand(BSTR command) override {
    const std::wstring text = command == nullptr ? L"" : command;
    if (text.rfind(L"fire ", 0) != 0) return E_INVALIDARG;
    const int count = std::stoi(text.substr(5));
    // The sinks are copied under the object's lock and asked for IDispatch after it: the sinks
    // are proxies, and QueryInterface on one is a call to the client, never made under a lock.
    std::vector<ComPtr<IUnknown>> subscribed;
    {
      std::lock_guard guard(*this);
      for (std::size_t slot = 0; slot < Sinks().SlotCount(); ++slot) {
        if (IUnknown* sink = Sinks().At(slot)) subscribed.emplace_back(sink);
      }
    }
    std::vector<ComPtr<IDispatch>> sinks;
    for (auto& sink : subscribed) {
      ComPtr<IDispatch> dispatch;
      if (SUCCEEDED(sink.As(&dispatch))) sinks.push_back(dispatch);
    }
    VARIANT argument;
    VariantInit(&argument);
    argument.vt = VT_UI4;
    DISPPARAMS params{&argument, nullptr, 1, 0};
    for (int i = 0; i < count; ++i) {
      argument.ulVal = static_cast<ULONG>(i);
      for (auto& sink : sinks) {
        const HRESULT hr = sink->Invoke(DISPID_OnError, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr);
        if (FAILED(hr)) return hr;
      }
    }
    return S_OK;
  }
};

// The client's sink: counts.
class CCountingSink : public platform::com::ObjectRoot, public ICommunicationDriverEvents {
 public:
  using Interfaces = platform::com::InterfaceTable<CCountingSink, ICommunicationDriverEvents,
                                                   platform::com::Expose<IDispatch, ICommunicationDriverEvents>>;
  HRESULT GetTypeInfoCount(UINT* count) override {
    *count = 0;
    return S_OK;
  }
  HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  HRESULT Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
    received.fetch_add(1, std::memory_order_relaxed);
    return S_OK;
  }
  std::atomic<long> received{0};
};

// ---- bare Cap'n Proto -----------------------------------------------------------------------

class BareSource final : public wire::IDispatch::Server {
 protected:
  kj::Promise<void> getTypeInfoCount(GetTypeInfoCountContext context) override {
    context.getResults().setHr(S_OK);
    return kj::READY_NOW;
  }
  kj::Promise<void> invoke(InvokeContext context) override {
    const auto params = context.getParams();
    auto sink = params.getArguments()[0].getObject().castAs<wire::IDispatch>();
    return Fire(kj::mv(sink), params.getDispId());
  }

 private:
  static kj::Promise<void> Fire(wire::IDispatch::Client sink, int left) {
    if (left == 0) return kj::READY_NOW;
    auto request = sink.invokeRequest();
    request.setDispId(DISPID_OnError);
    auto argument = request.initArguments(1)[0];
    argument.setType(VT_UI4);
    argument.setUnsigned(static_cast<std::uint64_t>(left));
    return request.send().then([sink = kj::mv(sink), left](auto&&) mutable { return Fire(kj::mv(sink), left - 1); });
  }
};

class BareSink final : public wire::IDispatch::Server {
 public:
  explicit BareSink(long& received) : received_(received) {}

 protected:
  kj::Promise<void> invoke(InvokeContext context) override {
    ++received_;
    context.getResults().setHr(S_OK);
    return kj::READY_NOW;
  }

 private:
  long& received_;
};

std::string BareSocket(const std::string& directory) { return directory + "/bare.sock"; }

// ---- the server process ---------------------------------------------------------------------

int Serve(const std::string& directory) {
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);
  std::thread([directory] {
    capnp::EzRpcServer server(kj::heap<BareSource>(), "unix:" + BareSocket(directory));
    kj::NEVER_DONE.wait(server.getWaitScope());
  }).detach();

  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  ComPtr<IUnknown> classObject;
  platform::com::CreateClassObject<platform::com::ClassFactory<CBenchSource>>(&classObject);
  DWORD cookie = 0;
  CoAddRefServerProcess();
  if (FAILED(CoRegisterClassObject(kBenchClass, classObject.Get(), CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &cookie))) {
    return 1;
  }
  int received = 0;
  sigwait(&stop, &received);
  CoRevokeClassObject(cookie);
  return 0;
}

// ---- the client (this process) --------------------------------------------------------------

struct Client {
  ComPtr<IXRBGeneric> source;
  ComPtr<ISupportErrorInfo> smallCalls;
  ComPtr<platform::com::ComObject<CCountingSink>> sink;
  std::unique_ptr<capnp::EzRpcClient> bare;
  long bareReceived = 0;
};

Client* client = nullptr;

void BM_RuntimeSmallCall(benchmark::State& state) {
  for (auto _ : state) {
    if (client->smallCalls->InterfaceSupportsErrorInfo(IID_IUnknown) != S_OK) state.SkipWithError("call failed");
  }
}
BENCHMARK(BM_RuntimeSmallCall)->UseRealTime();

void BM_BareCapnpSmallCall(benchmark::State& state) {
  auto source = client->bare->getMain<wire::IDispatch>();
  auto& waitScope = client->bare->getWaitScope();
  for (auto _ : state) {
    if (source.getTypeInfoCountRequest().send().wait(waitScope).getHr() != S_OK) state.SkipWithError("call failed");
  }
}
BENCHMARK(BM_BareCapnpSmallCall)->UseRealTime();

void BM_RuntimeCallbacks(benchmark::State& state) {
  platform::automation::Bstr command(L"fire " + std::to_wstring(kCallbacksPerRound));
  for (auto _ : state) {
    if (client->source->SendGenericCommand(command.Get()) != S_OK) state.SkipWithError("fan-out failed");
  }
  state.SetItemsProcessed(state.iterations() * kCallbacksPerRound);
}
BENCHMARK(BM_RuntimeCallbacks)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_BareCapnpCallbacks(benchmark::State& state) {
  auto source = client->bare->getMain<wire::IDispatch>();
  auto& waitScope = client->bare->getWaitScope();
  wire::IDispatch::Client sink = kj::heap<BareSink>(client->bareReceived);
  for (auto _ : state) {
    auto request = source.invokeRequest();
    request.setDispId(kCallbacksPerRound);
    auto argument = request.initArguments(1)[0];
    argument.setType(VT_UNKNOWN);
    argument.setObject(sink);
    request.send().wait(waitScope);
  }
  state.SetItemsProcessed(state.iterations() * kCallbacksPerRound);
}
BENCHMARK(BM_BareCapnpCallbacks)->UseRealTime()->Unit(benchmark::kMillisecond);

pid_t StartServer(const std::string& self, const std::string& directory) {
  std::vector<std::string> arguments{self, "--serve", directory};
  std::vector<char*> argv;
  for (auto& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  return ::posix_spawn(&pid, self.c_str(), nullptr, nullptr, argv.data(), environ) == 0 ? pid : 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 3 && std::string(argv[1]) == "--serve") return Serve(argv[2]);

  char pattern[] = "/tmp/bench-remoting-XXXXXX";
  const std::string directory = ::mkdtemp(pattern);
  ::setenv("TALVARO_RUN_DIR", directory.c_str(), 1);
  const pid_t server = StartServer("/proc/self/exe", directory);
  // Ready once both the class and the bare socket exist; the wait is bounded.
  for (int i = 0; i < 1000 && !(platform::remoting::ReadClassFile(kBenchClass) &&
                                std::filesystem::exists(BareSocket(directory)));
       ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }

  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  int status = 1;
  {
    Client state;
    client = &state;
    HRESULT hr = CoCreateInstance(kBenchClass, nullptr, CLSCTX_LOCAL_SERVER, uuidof<IXRBGeneric>, state.source.PutVoid());
    if (SUCCEEDED(hr)) hr = state.source.As(&state.smallCalls);
    ComPtr<IConnectionPointContainer> container;
    ComPtr<IConnectionPoint> point;
    if (SUCCEEDED(hr)) hr = state.source.As(&container);
    if (SUCCEEDED(hr)) hr = container->FindConnectionPoint(uuidof<ICommunicationDriverEvents>, point.Put());
    if (SUCCEEDED(hr)) hr = platform::com::CreateObject(&state.sink);
    DWORD cookie = 0;
    if (SUCCEEDED(hr)) hr = point->Advise(static_cast<ICommunicationDriverEvents*>(state.sink.Get()), &cookie);
    if (SUCCEEDED(hr)) {
      state.bare = std::make_unique<capnp::EzRpcClient>("unix:" + BareSocket(directory));
      benchmark::Initialize(&argc, argv);
      benchmark::RunSpecifiedBenchmarks();
      point->Unadvise(cookie);
      status = 0;
    } else {
      std::fprintf(stderr, "bench_remoting: the server could not be reached (0x%08X)\n", static_cast<unsigned>(hr));
    }
    client = nullptr;
  }
  if (server > 0) {
    ::kill(server, SIGTERM);
    ::waitpid(server, nullptr, 0);
  }
  std::filesystem::remove_all(directory);
  return status;
}
