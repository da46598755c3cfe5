// The real event path against bare Cap'n Proto, between the same two processes in one run.
//
// The program starts itself a second time as the server ("--serve <directory>"), which runs the
// XRB simulator behind the hardware proxy and serves
//   - driver objects (CCommunicationDriver, attached to XRB_1 as the factory would attach them),
//     instrumentation compiled in, monitoring off (no registry values: its defaults);
//   - an injector (IXRBGeneric): "burst <n>" hands n time-stamped blocks to the simulator at once
//     and returns, "one" hands over one block and returns once it has been delivered;
//   - a bare Cap'n Proto IDispatch on a socket of its own, which calls a client's sink n times in
//     a row (each call stamped as it is sent) or answers a small call.
// This process subscribes a sink to its driver object and measures
//   - events per second: a burst of blocks, from the first hand-off to the last handler (the
//     median of five rounds);
//   - latency: one block at a time, from the simulator's hand-off to the driver object (the
//     block carries the time, StampingObserver) to the client's handler;
//   - a small call's round trip (ISupportErrorInfo on the driver object);
// and the same three with bare Cap'n Proto, in alternating rounds. Figures go to stdout with
// their ratio and goal.
#include <capnp/ez-rpc.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "driver/communication_driver.h"
#include "external/hardware/xrb_simulator.h"
#include "interfaces/application_lifecycle.h"
#include "platform/automation/safearray.h"
#include "platform/com/apartment.h"
#include "platform/com/class_factory.h"
#include "platform/com/class_table.h"
#include "platform/com/server_process.h"
#include "platform/kernel/clock.h"
#include "platform/remoting/com.capnp.h"
#include "platform/remoting/endpoints.h"
#include "platform/remoting/remoting.h"

extern char** environ;

namespace {

using platform::com::ComPtr;
namespace wire = platform::remoting::wire;
using Simulator = OrbiqCommunicationLibrary::Simulator::XRBSimulator;

constexpr CLSID kDriverClass = platform::MakeGuid("{5C1F7A32-9D4E-4B86-A0E3-2B7D6C9F1E48}");
constexpr CLSID kInjectorClass = platform::MakeGuid("{8E2D4B61-3A7C-4F05-B9D1-6C0E5A3F2B97}");
constexpr int kBurst = 5000;
constexpr int kLatencySamples = 2000;
constexpr int kRounds = 5;
constexpr int kSmallCalls = 5000;
constexpr std::size_t kBlockSize = 16;

std::uint64_t Now() {
  LARGE_INTEGER counter{};
  QueryPerformanceCounter(&counter);  // nanoseconds of CLOCK_MONOTONIC, system-wide
  return static_cast<std::uint64_t>(counter.QuadPart);
}

// Latencies in nanoseconds, one per event received, and their count.
class Arrivals {
 public:
  void Record(std::uint64_t stamp) {
    const std::uint64_t now = Now();
    std::lock_guard lock(mutex_);
    latencies_.push_back(now - stamp);
    last_ = now;
    count_.fetch_add(1, std::memory_order_release);
  }
  void Reset() {
    std::lock_guard lock(mutex_);
    latencies_.clear();
    count_.store(0);
  }
  bool WaitFor(long count) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (count_.load(std::memory_order_acquire) < count) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
  }
  std::vector<std::uint64_t> Latencies() const {
    std::lock_guard lock(mutex_);
    return latencies_;
  }
  std::uint64_t Last() const {
    std::lock_guard lock(mutex_);
    return last_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::uint64_t> latencies_;  // guarded by mutex_
  std::uint64_t last_ = 0;                // guarded by mutex_
  std::atomic<long> count_{0};
};

double Percentile(std::vector<std::uint64_t> values, double fraction) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return static_cast<double>(values[static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1))]) / 1000.0;
}

// ---- the server process ---------------------------------------------------------------------


// The hand-off is stamped where the hardware library calls the driver object: the server's
// backend wraps the simulator, and the observer it registers for the driver object writes the
// time into the block's first eight bytes before it passes the block on. The simulator's own
// hand-off from InjectData to its delivery thread (a wake-up that bare callbacks do not have)
// is then outside the latency, as it would be for data born on a library thread.
class StampingObserver final : public IDataTransferObserver {
 public:
  explicit StampingObserver(IDataTransferObserver* inner) : inner_(inner) {}
  E_ORBIQLIB_Result OnData(const unsigned char* data, const unsigned int& count) override {
    std::vector<unsigned char> stamped(data, data + count);
    const std::uint64_t now = Now();
    if (count >= sizeof now) std::memcpy(stamped.data(), &now, sizeof now);
    return inner_->OnData(stamped.data(), count);
  }
  E_ORBIQLIB_Result OnError(const E_ORBIQLIB_Result& code) override { return inner_->OnError(code); }

 private:
  IDataTransferObserver* const inner_;
};

class StampingDataTransfer final : public ICommDataTransfer {
 public:
  explicit StampingDataTransfer(ICommDataTransfer* inner) : inner_(inner) {}
  E_ORBIQLIB_Result RegisterObserver(IDataTransferObserver* observer) override {
    std::lock_guard lock(mutex_);
    auto& wrapper = wrappers_[observer];
    if (!wrapper) wrapper = std::make_unique<StampingObserver>(observer);
    return inner_->RegisterObserver(wrapper.get());
  }
  E_ORBIQLIB_Result UnregisterObserver(IDataTransferObserver* observer) override {
    StampingObserver* wrapper = nullptr;
    {
      std::lock_guard lock(mutex_);
      const auto found = wrappers_.find(observer);
      if (found == wrappers_.end()) return inner_->UnregisterObserver(observer);
      wrapper = found->second.get();  // kept: a late callback may still hold it
    }
    return inner_->UnregisterObserver(wrapper);
  }
  E_ORBIQLIB_Result Write(const unsigned char* data, const unsigned int& count, const int& value,
                          IRestrictionObserver* observer) override {
    return inner_->Write(data, count, value, observer);
  }

 private:
  ICommDataTransfer* const inner_;
  std::mutex mutex_;
  std::map<IDataTransferObserver*, std::unique_ptr<StampingObserver>> wrappers_;  // guarded by mutex_
};

class StampingDriver final : public ICommDriver {
 public:
  explicit StampingDriver(ICommDriver* inner) : inner_(inner), dataTransfer_(inner->GetDataTransferInterface()) {}
  ICommDriver* Inner() const { return inner_; }
  E_ORBIQLIB_Result Open(const std::wstring& logicalName, const std::wstring& applicationName,
                         const std::wstring& openArgument) override {
    return inner_->Open(logicalName, applicationName, openArgument);
  }
  E_ORBIQLIB_Result Close() override { return inner_->Close(); }
  E_ORBIQLIB_Result GenericCommand(const std::wstring& command) override { return inner_->GenericCommand(command); }
  E_ORBIQLIB_Result ApplicationCommand(const std::wstring& text1, const std::wstring& text2,
                                       std::int32_t code) override {
    return inner_->ApplicationCommand(text1, text2, code);
  }
  ICommDataTransfer* GetDataTransferInterface() override { return &dataTransfer_; }
  ICommAvailability* GetAvailabilityInterface() override { return inner_->GetAvailabilityInterface(); }
  std::shared_ptr<ICommRestriction> GetRestrictionInterface() override { return inner_->GetRestrictionInterface(); }

 private:
  ICommDriver* const inner_;
  StampingDataTransfer dataTransfer_;
};

class StampingFactory final : public ICommFactory {
 public:
  explicit StampingFactory(ICommFactory* inner) : inner_(inner) {}
  ICommDriver* CreateCommDriver() override {
    ICommDriver* driver = inner_->CreateCommDriver();
    if (driver == nullptr) return nullptr;
    std::lock_guard lock(mutex_);
    return drivers_.emplace_back(std::make_unique<StampingDriver>(driver)).get();
  }
  E_ORBIQLIB_Result ReleaseCommDriver(ICommDriver* driver) override {
    std::lock_guard lock(mutex_);
    for (auto& wrapper : drivers_) {
      if (wrapper.get() == driver) return inner_->ReleaseCommDriver(wrapper->Inner());  // wrapper kept
    }
    return ORBIQLIB_E_INVALID_ARGUMENT;
  }
  IUnitScanner* CreateUnitScanner() override { return inner_->CreateUnitScanner(); }
  E_ORBIQLIB_Result ReleaseUnitScanner(IUnitScanner* scanner) override { return inner_->ReleaseUnitScanner(scanner); }

 private:
  ICommFactory* const inner_;
  std::mutex mutex_;
  std::vector<std::unique_ptr<StampingDriver>> drivers_;  // guarded by mutex_; live to the end
};

class StampingBackend final : public IXRBProxyBackend {
 public:
  explicit StampingBackend(std::shared_ptr<Simulator> simulator) : simulator_(std::move(simulator)) {}
  E_ORBIQLIB_Result Initialize() override {
    const E_ORBIQLIB_Result result = simulator_->Initialize();
    if (result >= 0) factory_ = std::make_unique<StampingFactory>(simulator_->GetFactory());
    return result;
  }
  E_ORBIQLIB_Result Start() override { return simulator_->Start(); }
  E_ORBIQLIB_Result Finish() override { return simulator_->Finish(); }
  E_ORBIQLIB_Result Shutdown() override { return simulator_->Shutdown(); }
  ICommFactory* GetFactory() override { return factory_.get(); }
  ICommDriver* GetDriver() override { return simulator_->GetDriver(); }

 private:
  const std::shared_ptr<Simulator> simulator_;
  std::unique_ptr<StampingFactory> factory_;  // from Initialize on
};

std::shared_ptr<Simulator> serverSimulator;  // behind the stamping backend, from Serve on

std::shared_ptr<Simulator> TheSimulator() { return serverSimulator; }

std::vector<unsigned char> StampedBlock() {
  std::vector<unsigned char> block(kBlockSize, 0x5A);
  const std::uint64_t stamp = Now();
  std::memcpy(block.data(), &stamp, sizeof stamp);
  return block;
}

// Driver objects attached as the factory attaches them, without watchers.
class CDriverFactory : public platform::com::ClassFactoryBase<CDriverFactory> {
 public:
  HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** result) override {
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    ComPtr<platform::com::ComObject<Talvaro::Driver::CCommunicationDriver>> driver;
    HRESULT hr = platform::com::CreateObject(&driver);
    if (FAILED(hr)) return hr;
    if (driver->Initialize(L"XRB_1", L"Bench", L"", L"", L"", nullptr) != ORBIQLIB_SUCCESS) return E_FAIL;
    return driver->QueryInterface(riid, result);
  }
};

class CInjector : public platform::com::ObjectRoot, public IXRBGeneric {
 public:
  using Interfaces = platform::com::InterfaceTable<CInjector, IXRBGeneric>;

  HRESULT SendGenericCommand(BSTR command) override {
    const std::wstring text = command == nullptr ? L"" : command;
    auto simulator = TheSimulator();
    if (!simulator) return E_UNEXPECTED;
    if (text == L"one") {
      if (simulator->InjectData(L"XRB_1", StampedBlock()) != ORBIQLIB_SUCCESS) return E_FAIL;
      return simulator->WaitUntilQuiet(std::chrono::seconds(30)) ? S_OK : E_FAIL;
    }
    if (text.rfind(L"burst ", 0) != 0) return E_INVALIDARG;
    const int count = std::stoi(text.substr(6));
    for (int i = 0; i < count; ++i) {
      if (simulator->InjectData(L"XRB_1", StampedBlock()) != ORBIQLIB_SUCCESS) return E_FAIL;
    }
    return S_OK;
  }
};

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
    request.setDispId(DISPID_OnData);
    auto argument = request.initArguments(1)[0];
    argument.setType(VT_UI8);
    argument.setUnsigned(Now());
    return request.send().then([sink = kj::mv(sink), left](auto&&) mutable { return Fire(kj::mv(sink), left - 1); });
  }
};

std::string BareSocket(const std::string& directory) { return directory + "/bare.sock"; }

template <class Factory>
bool Publish(const CLSID& clsid, DWORD* cookie) {
  ComPtr<IUnknown> classObject;
  platform::com::CreateClassObject<Factory>(&classObject);
  return SUCCEEDED(CoRegisterClassObject(clsid, classObject.Get(), CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, cookie));
}

int Serve(const std::string& directory) {
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);
  CXRBProxy* proxy = CXRBProxy::GetInstance();
  auto config = OrbiqCommunicationLibrary::Simulator::DefaultConfig();
  config.periodicData = false;
  serverSimulator = std::make_shared<Simulator>(config);
  proxy->InstallBackend(std::make_shared<StampingBackend>(serverSimulator));
  if (proxy->Initialize() != ORBIQLIB_SUCCESS || proxy->Start() != ORBIQLIB_SUCCESS) return 1;
  std::thread([directory] {
    capnp::EzRpcServer server(kj::heap<BareSource>(), "unix:" + BareSocket(directory));
    kj::NEVER_DONE.wait(server.getWaitScope());
  }).detach();

  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  CoAddRefServerProcess();
  DWORD drivers = 0;
  DWORD injectors = 0;
  if (!Publish<CDriverFactory>(kDriverClass, &drivers) ||
      !Publish<platform::com::ClassFactory<CInjector>>(kInjectorClass, &injectors)) {
    return 1;
  }
  int received = 0;
  sigwait(&stop, &received);
  CoRevokeClassObject(injectors);
  CoRevokeClassObject(drivers);
  proxy->Finish();
  proxy->Shutdown();
  return 0;
}

// ---- the client (this process) --------------------------------------------------------------

// Records and returns: its calls may run on the RPC thread.
class CStampSink : public platform::com::ObjectRoot,
                   public ICommunicationDriverEvents,
                   public platform::remoting::IRunsOnRpcThread {
 public:
  using Interfaces = platform::com::InterfaceTable<CStampSink, ICommunicationDriverEvents,
                                                   platform::com::Expose<IDispatch, ICommunicationDriverEvents>,
                                                   platform::remoting::IRunsOnRpcThread>;
  HRESULT GetTypeInfoCount(UINT* count) override {
    *count = 0;
    return S_OK;
  }
  HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  HRESULT Invoke(DISPID dispid, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*, UINT*) override {
    if (dispid != DISPID_OnData || params == nullptr || params->cArgs != 1) return S_OK;
    SAFEARRAY* block = params->rgvarg[0].parray;
    void* bytes = nullptr;
    if (block == nullptr || FAILED(SafeArrayAccessData(block, &bytes))) return S_OK;
    std::uint64_t stamp = 0;
    if (block->rgsabound[0].cElements >= sizeof stamp) std::memcpy(&stamp, bytes, sizeof stamp);
    SafeArrayUnaccessData(block);
    arrivals.Record(stamp);
    return S_OK;
  }
  Arrivals arrivals;
};

class BareSink final : public wire::IDispatch::Server {
 public:
  explicit BareSink(Arrivals& arrivals) : arrivals_(arrivals) {}

 protected:
  kj::Promise<void> invoke(InvokeContext context) override {
    arrivals_.Record(context.getParams().getArguments()[0].getUnsigned());
    context.getResults().setHr(S_OK);
    return kj::READY_NOW;
  }

 private:
  Arrivals& arrivals_;
};

struct Figures {
  double eventsPerSecond = 0;
  double p50 = 0, p99 = 0;  // microseconds
  double smallCall = 0;     // microseconds, median
};

// Appends the round trips of `count` calls in a row; false when one failed.
template <class Call>
bool TimeCalls(int count, Call&& call, std::vector<std::uint64_t>& durations) {
  for (int i = 0; i < count; ++i) {
    const std::uint64_t start = Now();
    if (!call()) return false;
    durations.push_back(Now() - start);
  }
  return true;
}

// Events per second of one burst that `fire(count)` starts and `arrivals` sees end.
template <class Fire>
double BurstRate(Arrivals& arrivals, Fire&& fire) {
  arrivals.Reset();
  const std::uint64_t start = Now();
  if (!fire(kBurst) || !arrivals.WaitFor(kBurst)) return 0;
  return kBurst / (static_cast<double>(arrivals.Last() - start) / 1e9);
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0 : values[values.size() / 2];
}

// The driver object in the server, subscribed to by a sink of ours, and the server's injector.
class EventPath {
 public:
  HRESULT Connect() {
    ComPtr<IConnectionPointContainer> container;
    HRESULT hr = CoCreateInstance(kDriverClass, nullptr, CLSCTX_LOCAL_SERVER, uuidof<ICommunicationDriver>, driver_.PutVoid());
    if (SUCCEEDED(hr)) hr = CoCreateInstance(kInjectorClass, nullptr, CLSCTX_LOCAL_SERVER, uuidof<IXRBGeneric>, injector_.PutVoid());
    if (SUCCEEDED(hr)) hr = driver_.As(&container);
    if (SUCCEEDED(hr)) hr = driver_.As(&smallCalls_);
    if (SUCCEEDED(hr)) hr = container->FindConnectionPoint(uuidof<ICommunicationDriverEvents>, point_.Put());
    if (SUCCEEDED(hr)) hr = platform::com::CreateObject(&sink_);
    if (SUCCEEDED(hr)) hr = point_->Advise(static_cast<ICommunicationDriverEvents*>(sink_.Get()), &cookie_);
    return hr;
  }
  ~EventPath() {
    if (cookie_ != 0) point_->Unadvise(cookie_);
  }
  bool Command(const std::wstring& text) {
    platform::automation::Bstr command(text);
    return injector_->SendGenericCommand(command.Get()) == S_OK;
  }
  // One block at a time, each handed over once the previous one was delivered.
  std::vector<std::uint64_t> Latencies(int count) {
    sink_->arrivals.Reset();
    for (int i = 0; i < count; ++i) {
      if (!Command(L"one")) return {};
    }
    return sink_->arrivals.Latencies();
  }
  double Burst() {
    return BurstRate(sink_->arrivals, [this](int count) { return Command(L"burst " + std::to_wstring(count)); });
  }
  bool SmallCall() { return smallCalls_->InterfaceSupportsErrorInfo(uuidof<ICommunicationDriver>) == S_OK; }

 private:
  ComPtr<ICommunicationDriver> driver_;
  ComPtr<IXRBGeneric> injector_;
  ComPtr<IConnectionPoint> point_;
  ComPtr<ISupportErrorInfo> smallCalls_;
  ComPtr<platform::com::ComObject<CStampSink>> sink_;
  DWORD cookie_ = 0;
};

// Bare Cap'n Proto between the same two processes: the server calls our sink `count` times.
class BarePath {
 public:
  explicit BarePath(const std::string& directory)
      : client_("unix:" + BareSocket(directory)),
        source_(client_.getMain<wire::IDispatch>()),
        sink_(kj::heap<BareSink>(arrivals_)) {}
  bool Fire(int count) {
    auto request = source_.invokeRequest();
    request.setDispId(count);
    auto argument = request.initArguments(1)[0];
    argument.setType(VT_UNKNOWN);
    argument.setObject(sink_);
    request.send().wait(client_.getWaitScope());
    return true;
  }
  std::vector<std::uint64_t> Latencies(int count) {
    arrivals_.Reset();
    Fire(count);
    return arrivals_.Latencies();
  }
  double Burst() {
    return BurstRate(arrivals_, [this](int count) { return Fire(count); });
  }
  bool SmallCall() { return source_.getTypeInfoCountRequest().send().wait(client_.getWaitScope()).getHr() == S_OK; }

 private:
  capnp::EzRpcClient client_;
  wire::IDispatch::Client source_;
  Arrivals arrivals_;
  wire::IDispatch::Client sink_;
};

// Both paths in alternating rounds, so that both see the same moods of the machine.
bool Measure(const std::string& directory, Figures& runtime, Figures& bare) {
  EventPath path;
  if (const HRESULT hr = path.Connect(); FAILED(hr)) {
    std::fprintf(stderr, "bench_event_path: the server could not be reached (0x%08X)\n", static_cast<unsigned>(hr));
    return false;
  }
  BarePath barePath(directory);
  path.Latencies(200);  // warm-up: threads started, connections and facets made
  barePath.Latencies(200);
  std::vector<double> rates, bareRates;
  std::vector<std::uint64_t> latencies, bareLatencies, calls, bareCalls;
  for (int round = 0; round < kRounds; ++round) {
    if (!TimeCalls(kSmallCalls / kRounds, [&] { return path.SmallCall(); }, calls) ||
        !TimeCalls(kSmallCalls / kRounds, [&] { return barePath.SmallCall(); }, bareCalls)) {
      return false;
    }
    rates.push_back(path.Burst());
    bareRates.push_back(barePath.Burst());
    const auto some = path.Latencies(kLatencySamples / kRounds);
    const auto bareSome = barePath.Latencies(kLatencySamples / kRounds);
    latencies.insert(latencies.end(), some.begin(), some.end());
    bareLatencies.insert(bareLatencies.end(), bareSome.begin(), bareSome.end());
  }
  runtime.eventsPerSecond = Median(rates);
  bare.eventsPerSecond = Median(bareRates);
  runtime.p50 = Percentile(latencies, 0.5);
  runtime.p99 = Percentile(latencies, 0.99);
  bare.p50 = Percentile(bareLatencies, 0.5);
  bare.p99 = Percentile(bareLatencies, 0.99);
  runtime.smallCall = Percentile(calls, 0.5);
  bare.smallCall = Percentile(bareCalls, 0.5);
  return runtime.eventsPerSecond > 0 && bare.eventsPerSecond > 0 && !latencies.empty();
}

pid_t StartServer(const std::string& self, const std::string& directory) {
  std::vector<std::string> arguments{self, "--serve", directory};
  std::vector<char*> argv;
  for (auto& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  return ::posix_spawn(&pid, self.c_str(), nullptr, nullptr, argv.data(), environ) == 0 ? pid : 0;
}

void Print(const Figures& runtime, const Figures& bare) {
  std::printf("%-34s %12s %12s %8s  %s\n", "figure", "event path", "bare capnp", "ratio", "goal");
  std::printf("%-34s %12.0f %12.0f %7.0f%%  >= 70%%\n", "events per second (burst)", runtime.eventsPerSecond,
              bare.eventsPerSecond, 100.0 * runtime.eventsPerSecond / bare.eventsPerSecond);
  std::printf("%-34s %12.1f %12.1f %7.2fx  <= 1.4x\n", "latency p50, us (one at a time)", runtime.p50, bare.p50,
              runtime.p50 / bare.p50);
  std::printf("%-34s %12.1f %12.1f %7.2fx\n", "latency p99, us", runtime.p99, bare.p99, runtime.p99 / bare.p99);
  std::printf("%-34s %12.1f %12.1f %7.2fx  <= 1.3x\n", "small call, us (median)", runtime.smallCall, bare.smallCall,
              runtime.smallCall / bare.smallCall);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 3 && std::string(argv[1]) == "--serve") return Serve(argv[2]);

  char pattern[] = "/tmp/bench-event-path-XXXXXX";
  const std::string directory = ::mkdtemp(pattern);
  // Everything of the server's (registry, run directory, log) stays in this directory.
  ::setenv("TALVARO_RUN_DIR", directory.c_str(), 1);
  ::setenv("TALVARO_REGISTRY", (directory + "/registry.db").c_str(), 1);
  ::setenv("TALVARO_LOG_DIR", (directory + "/log").c_str(), 1);
  const pid_t server = StartServer("/proc/self/exe", directory);
  for (int i = 0; i < 1000 && !(platform::remoting::ReadClassFile(kInjectorClass) &&
                                std::filesystem::exists(BareSocket(directory)));
       ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }

  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  Figures runtime;
  Figures bare;
  const bool measured = Measure(directory, runtime, bare);
  if (measured) Print(runtime, bare);
  if (server > 0) {
    ::kill(server, SIGTERM);
    ::waitpid(server, nullptr, 0);
  }
  std::filesystem::remove_all(directory);
  return measured ? 0 : 1;
}
