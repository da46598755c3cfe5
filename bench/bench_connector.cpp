// The shared-memory connector's fast path end to end, beside what bounds it, in one run.
//
// The program makes an environment of its own (registry, run and log directories, shared-memory
// scope under a temporary directory), registers and starts the real server on its simulator, and
// measures in alternating rounds (medians of five):
//   - fast path: the simulator's burst through the server's driver object and its data channel
//     to the client library's callback in this process, blocks per second and MB/s;
//   - bare transport: a child of this program sending the same blocks through one channel of the
//     transport to this process (no server, no simulator);
//   - simulator: its delivery to an observer in this process (no server, no channel);
//   - event path: the same burst through a driver object in event mode to an event sink here.
// Each rate runs from the first block received to the last. Figures go to stdout beside their
// goals.
//
//   bench_connector                 run everything
//   bench_connector --bare-writer <prefix> <size> <count>   (the child; internal)
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "client/shared_memory_client.h"
#include "external/hardware/xrb_simulator.h"
#include "external/sharedmemory/exceptions.h"
#include "external/sharedmemory/private_namespace.h"
#include "external/sharedmemory/shared_memory_consumer.h"
#include "external/sharedmemory/shared_memory_producer.h"
#include "interfaces/application_lifecycle.h"
#include "interfaces/shared_memory_names.h"
#include "platform/automation/bstr.h"
#include "platform/com/apartment.h"
#include "platform/com/class_table.h"
#include "platform/com/com_object.h"
#include "platform/com/interface_table.h"
#include "platform/registry/registry.h"
#include "platform/remoting/endpoints.h"
#include "platform/remoting/remoting.h"
#include "platform/types/wide_string.h"

extern char** environ;

namespace {

using platform::com::ComPtr;
using Clock = std::chrono::steady_clock;
namespace Transport = SharedMemoryTransport;

constexpr int kRounds = 5;

// Blocks received and the times of the first and the last.
class Arrivals {
 public:
  void Record(std::size_t bytes) {
    const auto now = Clock::now();
    if (count_.load(std::memory_order_relaxed) == 0) first_ = now;
    last_ = now;
    bytes_ += bytes;
    count_.fetch_add(1, std::memory_order_release);
  }
  void Reset() {
    count_.store(0);
    bytes_ = 0;
  }
  bool WaitFor(long count, std::chrono::seconds bound = std::chrono::seconds(120)) const {
    const auto deadline = Clock::now() + bound;
    while (count_.load(std::memory_order_acquire) < count) {
      if (Clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    return true;
  }
  // Blocks per second from the first to the last (the first block starts the clock).
  double Rate() const {
    const double seconds = std::chrono::duration<double>(last_ - first_).count();
    return seconds > 0 ? static_cast<double>(count_.load() - 1) / seconds : 0;
  }

 private:
  std::atomic<long> count_{0};
  Clock::time_point first_, last_;  // written by the one delivering thread, read after WaitFor
  std::uint64_t bytes_ = 0;
};

struct Figures {
  std::vector<double> fastPath, bare, simulator, events;  // blocks per second, one per round
};

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0 : values[values.size() / 2];
}

void Fail(const std::string& what) {
  std::fprintf(stderr, "bench_connector: %s\n", what.c_str());
  std::exit(1);
}

pid_t Spawn(const std::vector<std::string>& arguments) {
  std::vector<char*> argv;
  std::vector<std::string> copies = arguments;
  for (auto& argument : copies) argv.push_back(argument.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) Fail("cannot start " + arguments[0]);
  return pid;
}

int WaitExit(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void SetValue(const wchar_t* keyPath, const wchar_t* name, DWORD type, const void* data, DWORD size) {
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, keyPath, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) !=
          ERROR_SUCCESS ||
      RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), size) != ERROR_SUCCESS) {
    Fail("cannot write the registry");
  }
  RegCloseKey(key);
}

void SetConnectorType(const std::wstring& type) {
  SetValue(L"SOFTWARE\\TALVARO\\Nimbrel\\TalvaroCommunicationDriver", L"ConnectorType", REG_SZ, type.c_str(),
           static_cast<DWORD>((type.size() + 1) * sizeof(wchar_t)));
}

// ---- the bare transport's writer (a child process) ------------------------------------------

int BareWriter(const std::string& prefix, std::size_t size, long count) {
  try {
    const Transport::CSecurityAttributes access(Talvaro::Connector::kServerSecurityDescriptor);
    Transport::CSharedMemoryProducer producer(access, platform::FromUtf8(prefix), L"bare", size);
    std::vector<unsigned char> block(size, 0x5A);
    for (long i = 0; i < count; ++i) {
      std::memcpy(block.data(), &i, std::min(size, sizeof i));
      producer.SendData(block.data(), block.size(), -1);
    }
    producer.SendData(block.data(), 1, 60000);  // the reader has taken everything
  } catch (const std::exception& failure) {
    std::fprintf(stderr, "bench_connector writer: %s\n", failure.what());
    return 1;
  }
  return 0;
}

double BareTransport(std::size_t size, long count) {
  const Transport::CSecurityAttributes access(Talvaro::Connector::kServerSecurityDescriptor);
  auto space = Transport::CPrivateNamespace::CreatePrivateNamespaceW(access, L"bench_bare", L"benchbare");
  Arrivals arrivals;
  const pid_t writer = Spawn({"/proc/self/exe", "--bare-writer", platform::ToUtf8(space.Name()),
                              std::to_string(size), std::to_string(count)});
  std::unique_ptr<Transport::CSharedMemoryConsumer> reader;
  for (const auto until = Clock::now() + std::chrono::seconds(5); !reader && Clock::now() < until;) {
    try {
      reader = std::make_unique<Transport::CSharedMemoryConsumer>(
          space.Name(), L"bare",
          [&arrivals, size](const unsigned char*, std::size_t bytes) {
            if (bytes == size) arrivals.Record(bytes);
          },
          size);
    } catch (const Transport::sharedmemory_runtime_error&) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));  // not made yet
    }
  }
  if (!reader || !arrivals.WaitFor(count)) Fail("the bare transport did not deliver");
  reader.reset();
  if (WaitExit(writer) != 0) Fail("the bare writer failed");
  return arrivals.Rate();
}

// ---- the simulator alone ----------------------------------------------------------------------

class CountingObserver final : public IDataTransferObserver {
 public:
  explicit CountingObserver(Arrivals& arrivals) : arrivals_(arrivals) {}
  E_ORBIQLIB_Result OnData(const unsigned char*, const unsigned int& count) override {
    arrivals_.Record(count);
    return ORBIQLIB_SUCCESS;
  }
  E_ORBIQLIB_Result OnError(const E_ORBIQLIB_Result&) override { return ORBIQLIB_SUCCESS; }

 private:
  Arrivals& arrivals_;
};

double SimulatorAlone(std::size_t size, long count) {
  using OrbiqCommunicationLibrary::Simulator::XRBSimulator;
  auto config = OrbiqCommunicationLibrary::Simulator::DefaultConfig();
  config.periodicData = false;
  XRBSimulator simulator(config);
  simulator.Initialize();
  simulator.Start();
  Arrivals arrivals;
  CountingObserver observer(arrivals);
  ICommFactory* factory = simulator.GetFactory();
  ICommDriver* driver = factory->CreateCommDriver();
  driver->Open(L"XRB_1", L"Bench", L"");
  driver->GetDataTransferInterface()->RegisterObserver(&observer);
  if (simulator.ExecuteCommand(L"burst XRB_1 " + std::to_wstring(size) + L" " + std::to_wstring(count)) != 0 ||
      !arrivals.WaitFor(count)) {
    Fail("the simulator did not deliver");
  }
  factory->ReleaseCommDriver(driver);
  simulator.Shutdown();
  return arrivals.Rate();
}

// ---- through the server -----------------------------------------------------------------------

// The event path's sink: counts data events. Runs on the RPC thread, as a sink that neither
// blocks nor calls out may (the fastest the event path offers).
class CCountingSink : public platform::com::ObjectRoot,
                      public ICommunicationDriverEvents,
                      public platform::remoting::IRunsOnRpcThread {
 public:
  using Interfaces = platform::com::InterfaceTable<CCountingSink, ICommunicationDriverEvents,
                                                   platform::com::Expose<IDispatch, ICommunicationDriverEvents>,
                                                   platform::remoting::IRunsOnRpcThread>;
  Arrivals* arrivals = nullptr;
  HRESULT GetTypeInfoCount(UINT* count) override {
    if (count == nullptr) return E_POINTER;
    *count = 0;
    return S_OK;
  }
  HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  HRESULT Invoke(DISPID dispid, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*, UINT*) override {
    if (dispid == DISPID_OnData && params != nullptr && params->cArgs == 1) {
      arrivals->Record(params->rgvarg[0].parray != nullptr ? params->rgvarg[0].parray->rgsabound[0].cElements : 0);
    }
    return S_OK;
  }
};

class Server {
 public:
  Server() {
    if (const char* program = SERVER_BINARY; WaitExit(Spawn({program, "/RegServer"})) != 0) {
      Fail("the server did not register");
    }
    pid_ = Spawn({SERVER_BINARY});
    const auto until = Clock::now() + std::chrono::seconds(30);
    while (!platform::remoting::ReadClassFile(CLSID_TalvaroCommunicationDriverFactory)) {
      if (Clock::now() > until) Fail("the server did not start");
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  ~Server() {
    ::kill(pid_, SIGTERM);
    WaitExit(pid_);
  }
  void Command(const std::wstring& text) {
    ComPtr<IXRBGeneric> generic;
    HRESULT hr = CoCreateInstance(CLSID_TalvaroCommunicationDriverGApp, nullptr, CLSCTX_LOCAL_SERVER,
                                  uuidof<IXRBGeneric>, generic.PutVoid());
    platform::automation::Bstr command(text);
    if (SUCCEEDED(hr)) hr = generic->SendGenericCommand(command.Get());
    if (FAILED(hr)) Fail("the simulator refused " + platform::ToUtf8(text));
  }

 private:
  pid_t pid_ = -1;
};

// Blocks of `size` through the server to `arrivals`; the unit's own driver objects only.
double ThroughServer(Server& server, const wchar_t* unit, Arrivals& arrivals, std::size_t size, long count) {
  arrivals.Reset();
  server.Command(L"burst " + std::wstring(unit) + L" " + std::to_wstring(size) + L" " + std::to_wstring(count));
  if (!arrivals.WaitFor(count)) Fail("the server did not deliver");
  return arrivals.Rate();
}

void Print(const char* title, std::size_t size, const Figures& figures) {
  const double fast = Median(figures.fastPath), bare = Median(figures.bare), simulator = Median(figures.simulator),
               events = Median(figures.events);
  const double megabytes = static_cast<double>(size) / 1e6;
  std::printf("%s\n", title);
  std::printf("  %-28s %12.0f blocks/s %10.1f MB/s\n", "fast path (through server)", fast, fast * megabytes);
  std::printf("  %-28s %12.0f blocks/s %10.1f MB/s   fast path = %5.1f%%\n", "bare transport", bare,
              bare * megabytes, 100 * fast / bare);
  std::printf("  %-28s %12.0f blocks/s %10.1f MB/s   fast path = %5.1f%%\n", "simulator to observer", simulator,
              simulator * megabytes, 100 * fast / simulator);
  std::printf("  %-28s %12.0f blocks/s %10.1f MB/s   fast path = %5.1fx\n", "event path (through server)", events,
              events * megabytes, fast / events);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 5 && std::strcmp(argv[1], "--bare-writer") == 0) {
    return BareWriter(argv[2], std::stoul(argv[3]), std::stol(argv[4]));
  }
  if (argc != 1) {
    std::fprintf(stderr, "usage: bench_connector\n");
    return 2;
  }
  std::string root = (std::filesystem::temp_directory_path() / "bench-connector-XXXXXX").string();
  if (::mkdtemp(root.data()) == nullptr) Fail("cannot make a temporary directory");
  ::setenv("TALVARO_REGISTRY", (root + "/registry.db").c_str(), 1);
  ::setenv("TALVARO_RUN_DIR", (root + "/run").c_str(), 1);
  ::setenv("TALVARO_LOG_DIR", (root + "/log").c_str(), 1);
  ::setenv("TALVARO_EVENT_LOG", (root + "/events.log").c_str(), 1);
  ::setenv("TALVARO_UNIT_DIR", (root + "/units").c_str(), 1);
  ::setenv("TALVARO_SHM_SCOPE", std::filesystem::path(root).filename().c_str(), 1);
  const DWORD off = 0;
  SetValue(L"SOFTWARE\\TALVARO\\ORBIQ\\XRBSimulator", L"PeriodicData", REG_DWORD, &off, sizeof off);

  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  int status = 0;
  {
    Server server;
    // The event path on XRB_2, the fast path on XRB_1: a burst runs at the pace of the unit's
    // slowest driver object, so each has a unit of its own.
    Arrivals eventArrivals, fastArrivals;
    auto factory = ComPtr<ITalvaroCommunicationDriverFactory>();
    if (FAILED(CoCreateInstance(CLSID_TalvaroCommunicationDriverFactory, nullptr, CLSCTX_LOCAL_SERVER,
                                uuidof<ITalvaroCommunicationDriverFactory>, factory.PutVoid()))) {
      Fail("cannot reach the server");
    }
    SetConnectorType(L"EVENTS");
    ComPtr<ICommunicationDriver> eventDriver;
    platform::automation::Bstr unit(L"XRB_2"), application(L"bench"), none(L"");
    ComPtr<IConnectionPointContainer> container;
    ComPtr<IConnectionPoint> point;
    ComPtr<platform::com::ComObject<CCountingSink>> sink;
    DWORD cookie = 0;
    if (factory->CreateDriver(unit.Get(), application.Get(), none.Get(), none.Get(), none.Get(), eventDriver.Put()) !=
            S_OK ||
        FAILED(eventDriver.As(&container)) ||
        FAILED(container->FindConnectionPoint(uuidof<ICommunicationDriverEvents>, point.Put())) ||
        FAILED(platform::com::CreateObject(&sink))) {
      Fail("cannot open XRB_2 in event mode");
    }
    sink->arrivals = &eventArrivals;
    if (FAILED(point->Advise(static_cast<ICommunicationDriverEvents*>(sink.Get()), &cookie))) Fail("cannot subscribe");

    SetConnectorType(L"SHARED_MEMORY");
    Talvaro::Client::SharedMemoryClient::Options options;
    options.unit = L"XRB_1";
    options.applicationName = L"bench";
    options.onData = [&fastArrivals](const unsigned char*, std::size_t count) { fastArrivals.Record(count); };
    std::unique_ptr<Talvaro::Client::SharedMemoryClient> client;
    std::string reason;
    if (Talvaro::Client::SharedMemoryClient::Open(options, &client, &reason) != S_OK) Fail(reason);

    struct Case {
      const char* title;
      std::size_t size;
      long blocks, eventBlocks;
    };
    for (const Case& run : {Case{"500 kB blocks", 500000, 2000, 100}, Case{"1 kB blocks", 1000, 300000, 20000}}) {
      Figures figures;
      for (int round = 0; round < kRounds; ++round) {
        figures.fastPath.push_back(ThroughServer(server, L"XRB_1", fastArrivals, run.size, run.blocks));
        figures.bare.push_back(BareTransport(run.size, run.blocks));
        figures.simulator.push_back(SimulatorAlone(run.size, run.blocks));
        figures.events.push_back(ThroughServer(server, L"XRB_2", eventArrivals, run.size, run.eventBlocks));
      }
      Print(run.title, run.size, figures);
    }
    std::printf("goals: 500 kB fast path >= 60%% of the bare transport; 1 kB fast path >= 80%% of the simulator;\n"
                "       both >= 20x the event path\n");
    point->Unadvise(cookie);
    client.reset();
  }
  CoUninitialize();
  std::error_code ignored;
  std::filesystem::remove_all(root, ignored);
  return status;
}
