// The cost the diagnostics add to the driver's time-critical paths: MeasureExecutionVoid with
// monitoring off and on (no report: the threshold is never reached) beside calling the
// operation bare, and AddGapLogEntry (a formatted, time-stamped line under the lock) beside
// appending a fixed line. The monitoring settings come from a provider in this program, so no
// registry is read.
#include <benchmark/benchmark.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "diagnostics/kernel_dump_tool.h"
#include "diagnostics/performance_tools.h"

namespace {

using namespace Talvaro::Orbiq::Utils::PerformanceMonitoring;

struct FixedSettings final : IConfigProvider {
  explicit FixedSettings(bool on) : enabled(on) {}
  bool GetRepeatEtwFlushing() override { return false; }
  std::uint32_t GetCommunicationDelayThresholdInMs() override { return 0xFFFFFFFF; }
  bool IsEnabled() override { return enabled; }
  bool enabled;
};

struct NoMonitor final : IConnector {
  HRESULT RequestLogFlush(const std::wstring&) override { return S_OK; }
};

// The measured operation: a call the compiler cannot fold away.
[[gnu::noinline]] void Operation(int& counter) { benchmark::DoNotOptimize(++counter); }

void BM_OperationBare(benchmark::State& state) {
  int counter = 0;
  for (auto _ : state) Operation(counter);
}
BENCHMARK(BM_OperationBare);

void BM_MeasureExecutionVoid(benchmark::State& state) {
  PerformanceTools tools(std::make_unique<NoMonitor>(), std::make_unique<FixedSettings>(state.range(0) != 0));
  IPerformanceTools& measured = tools;
  const std::wstring action = L"CCommunicationDriver::OnData - [XRB_1]";
  int counter = 0;
  for (auto _ : state) measured.MeasureExecutionVoid(action, [&] { Operation(counter); });
  state.SetLabel(state.range(0) != 0 ? "monitoring on" : "monitoring off");
}
BENCHMARK(BM_MeasureExecutionVoid)->Arg(0)->Arg(1);

// Baseline of the gap log: a fixed line appended under a lock, cleared as the callbacks do.
void BM_AppendLineBare(benchmark::State& state) {
  std::mutex lock;
  std::vector<std::wstring> lines;
  const std::wstring line = L"14:03:27.045 (XRB_1, App): Fire_OnData begin.";
  for (auto _ : state) {
    std::lock_guard guard(lock);
    if (lines.size() == 8) lines.clear();
    lines.push_back(line);
  }
}
BENCHMARK(BM_AppendLineBare);

void BM_AddGapLogEntry(benchmark::State& state) {
  Talvaro::Diagnostics::CTools tools;
  tools.Initialize(L"XRB_1", L"App");
  int added = 0;
  for (auto _ : state) {
    if (++added == 8) {
      tools.ResetGapLog(0);
      added = 0;
    }
    tools.AddGapLogEntry(L"Fire_OnData begin");
  }
}
BENCHMARK(BM_AddGapLogEntry);

}  // namespace

BENCHMARK_MAIN();
