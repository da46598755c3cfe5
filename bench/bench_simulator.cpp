// Delivery rate of the XRB simulator: data blocks injected into one unit and delivered to one or
// eight drivers' observers (each driver has its own delivery thread). Reports blocks and bytes
// per second as seen by the observers.
#include <benchmark/benchmark.h>

#include <atomic>
#include <memory>
#include <vector>

#include "external/hardware/xrb_simulator.h"

namespace {

using OrbiqCommunicationLibrary::Simulator::DefaultConfig;
using OrbiqCommunicationLibrary::Simulator::XRBSimulator;

class CountingObserver final : public IDataTransferObserver {
 public:
  E_ORBIQLIB_Result OnData(const unsigned char*, const unsigned int& count) override {
    bytes.fetch_add(count, std::memory_order_relaxed);
    blocks.fetch_add(1, std::memory_order_relaxed);
    return ORBIQLIB_SUCCESS;
  }
  E_ORBIQLIB_Result OnError(const E_ORBIQLIB_Result&) override { return ORBIQLIB_SUCCESS; }

  std::atomic<std::uint64_t> blocks{0};
  std::atomic<std::uint64_t> bytes{0};
};

// Args: observers (one per driver), block size in bytes.
void BM_SimulatorDelivery(benchmark::State& state) {
  const auto observerCount = static_cast<std::size_t>(state.range(0));
  const auto blockSize = static_cast<std::size_t>(state.range(1));
  auto config = DefaultConfig();
  config.periodicData = false;
  XRBSimulator simulator(config);
  simulator.Initialize();
  simulator.Start();
  ICommFactory* factory = simulator.GetFactory();
  std::vector<std::unique_ptr<CountingObserver>> observers;
  std::vector<ICommDriver*> drivers;
  for (std::size_t i = 0; i < observerCount; ++i) {
    observers.push_back(std::make_unique<CountingObserver>());
    ICommDriver* driver = factory->CreateCommDriver();
    driver->Open(L"XRB_1", L"Bench", L"");
    driver->GetDataTransferInterface()->RegisterObserver(observers.back().get());
    drivers.push_back(driver);
  }

  // One batch per iteration, then wait for delivery so the figure is end to end.
  constexpr int kBatch = 1000;
  const std::vector<unsigned char> block(blockSize, 0x5A);
  for (auto _ : state) {
    for (int i = 0; i < kBatch; ++i) simulator.InjectData(L"XRB_1", block);
    simulator.WaitUntilQuiet(std::chrono::seconds(60));
  }

  std::uint64_t delivered = 0;
  std::uint64_t bytes = 0;
  for (const auto& observer : observers) {
    delivered += observer->blocks.load();
    bytes += observer->bytes.load();
  }
  state.counters["blocks/s"] = benchmark::Counter(static_cast<double>(delivered),
                                                  benchmark::Counter::kIsRate);
  state.counters["bytes/s"] = benchmark::Counter(static_cast<double>(bytes),
                                                 benchmark::Counter::kIsRate,
                                                 benchmark::Counter::kIs1024);
  for (ICommDriver* driver : drivers) factory->ReleaseCommDriver(driver);
  simulator.Finish();
  simulator.Shutdown();
}

BENCHMARK(BM_SimulatorDelivery)
    ->ArgNames({"observers", "bytes"})
    ->Args({1, 16})
    ->Args({1, 4096})
    ->Args({8, 16})
    ->Args({8, 4096})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
