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
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bench/server_environment.h"
#include "client/shared_memory_client.h"
#include "external/hardware/xrb_simulator.h"
#include "external/sharedmemory/exceptions.h"
#include "external/sharedmemory/private_namespace.h"
#include "external/sharedmemory/shared_memory_consumer.h"
#include "external/sharedmemory/shared_memory_producer.h"
#include "interfaces/shared_memory_names.h"
#include "platform/automation/dispatch_without_type_info.h"
#include "platform/com/apartment.h"
#include "platform/com/class_table.h"
#include "platform/com/com_object.h"
#include "platform/com/interface_table.h"
#include "platform/remoting/remoting.h"
#include "platform/types/wide_string.h"

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
  const pid_t writer = Bench::Spawn({"/proc/self/exe", "--bare-writer", platform::ToUtf8(space.Name()),
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
  if (!reader || !arrivals.WaitFor(count)) Bench::Fail("the bare transport did not deliver");
  reader.reset();
  if (Bench::WaitExit(writer) != 0) Bench::Fail("the bare writer failed");
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
    Bench::Fail("the simulator did not deliver");
  }
  factory->ReleaseCommDriver(driver);
  simulator.Shutdown();
  return arrivals.Rate();
}

// ---- through the server -----------------------------------------------------------------------

// The event path's sink: counts data events. Runs on the RPC thread, as a sink that neither
// blocks nor calls out may (the fastest the event path offers).
class CCountingSink : public platform::com::ObjectRoot,
                      public platform::automation::WithoutTypeInfo<ICommunicationDriverEvents>,
                      public platform::remoting::IRunsOnRpcThread {
 public:
  using Interfaces = platform::com::InterfaceTable<CCountingSink, ICommunicationDriverEvents,
                                                   platform::com::Expose<IDispatch, ICommunicationDriverEvents>,
                                                   platform::remoting::IRunsOnRpcThread>;
  Arrivals* arrivals = nullptr;
  HRESULT Invoke(DISPID dispid, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*, UINT*) override {
    if (dispid == DISPID_OnData && params != nullptr && params->cArgs == 1) {
      arrivals->Record(params->rgvarg[0].parray != nullptr ? params->rgvarg[0].parray->rgsabound[0].cElements : 0);
    }
    return S_OK;
  }
};

// Blocks of `size` through the server to `arrivals`; the unit's own driver objects only.
double ThroughServer(Bench::Server& server, const wchar_t* unit, Arrivals& arrivals, std::size_t size, long count) {
  arrivals.Reset();
  server.Command(L"burst " + std::wstring(unit) + L" " + std::to_wstring(size) + L" " + std::to_wstring(count));
  if (!arrivals.WaitFor(count)) Bench::Fail("the server did not deliver");
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
  Bench::Environment environment;
  Bench::SetRegistryDword(L"SOFTWARE\\TALVARO\\ORBIQ\\XRBSimulator", L"PeriodicData", 0);
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  {
    Bench::Server server;
    // The event path on XRB_2, the fast path on XRB_1: a burst runs at the pace of the unit's
    // slowest driver object, so each has a unit of its own.
    Arrivals eventArrivals, fastArrivals;
    auto factory = ComPtr<ITalvaroCommunicationDriverFactory>();
    if (FAILED(CoCreateInstance(CLSID_TalvaroCommunicationDriverFactory, nullptr, CLSCTX_LOCAL_SERVER,
                                uuidof<ITalvaroCommunicationDriverFactory>, factory.PutVoid()))) {
      Bench::Fail("cannot reach the server");
    }
    Bench::SetConnectorType(L"EVENTS");
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
      Bench::Fail("cannot open XRB_2 in event mode");
    }
    sink->arrivals = &eventArrivals;
    if (FAILED(point->Advise(static_cast<ICommunicationDriverEvents*>(sink.Get()), &cookie))) Bench::Fail("cannot subscribe");

    Bench::SetConnectorType(L"SHARED_MEMORY");
    Talvaro::Client::SharedMemoryClient::Options options;
    options.unit = L"XRB_1";
    options.applicationName = L"bench";
    options.onData = [&fastArrivals](const unsigned char*, std::size_t count) { fastArrivals.Record(count); };
    std::unique_ptr<Talvaro::Client::SharedMemoryClient> client;
    std::string reason;
    if (Talvaro::Client::SharedMemoryClient::Open(options, &client, &reason) != S_OK) Bench::Fail(reason);

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
  return 0;
}
