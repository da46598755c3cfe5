// The cost of the component runtime's most frequent operations: one QueryInterface, AddRef and
// Release round on a live object, and an AddRef/Release pair alone (the counted pointer's copy).
// Figures in ns per round; compare single-threaded with several threads sharing one object,
// where the atomic count's cache line moves between cores.
#include <benchmark/benchmark.h>

#include "platform/com/com_object.h"
#include "platform/com/interface_table.h"

namespace {

struct IFirst : IUnknown {
  virtual int First() = 0;

 protected:
  ~IFirst() = default;
};
struct ISecond : IUnknown {
  virtual int Second() = 0;

 protected:
  ~ISecond() = default;
};

}  // namespace

template <>
inline constexpr IID uuidof<IFirst> = platform::MakeGuid("{3F1C2B7A-0D4E-4A61-9B2C-5E8D7F6A1B01}");
template <>
inline constexpr IID uuidof<ISecond> = platform::MakeGuid("{3F1C2B7A-0D4E-4A61-9B2C-5E8D7F6A1B02}");

namespace {

class CObject : public platform::com::ObjectRoot, public IFirst, public ISecond {
 public:
  using Interfaces = platform::com::InterfaceTable<CObject, IFirst, ISecond>;
  int First() override { return 1; }
  int Second() override { return 2; }
};

platform::com::ComPtr<platform::com::ComObject<CObject>>& Shared() {
  static auto object = [] {
    platform::com::ComPtr<platform::com::ComObject<CObject>> created;
    platform::com::CreateObject(&created);
    return created;
  }();
  return object;
}

// QueryInterface for the second table entry (one identifier compare missed, one hit), then the
// Release that gives the reference back.
void QueryInterfaceAddRefRelease(benchmark::State& state) {
  IFirst* first = Shared().Get();
  for (auto _ : state) {
    void* second = nullptr;
    first->QueryInterface(uuidof<ISecond>, &second);
    benchmark::DoNotOptimize(second);
    static_cast<ISecond*>(second)->Release();
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(QueryInterfaceAddRefRelease)->Threads(1)->Threads(2)->UseRealTime();

void AddRefRelease(benchmark::State& state) {
  IFirst* first = Shared().Get();
  for (auto _ : state) {
    first->AddRef();
    first->Release();
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(AddRefRelease)->Threads(1)->Threads(2)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
