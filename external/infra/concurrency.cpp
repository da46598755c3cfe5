#include "external/infra/concurrency.h"

#include <pthread.h>

#include <atomic>
#include <thread>

#include "platform/types/wide_string.h"

namespace Infra {
namespace {

// Initialisations not yet undone. Trivially destructible, so threads that outlive main() may
// still read it.
std::atomic<long> initializations{0};

thread_local std::wstring currentTaskName;

// Linux keeps 15 bytes of a thread's name; cut on a UTF-8 character boundary.
std::string OsThreadName(const std::wstring& name) {
  constexpr std::size_t kMaxBytes = 15;
  std::string utf8 = platform::ToUtf8(name);
  if (utf8.size() <= kMaxBytes) return utf8;
  std::size_t end = kMaxBytes;
  while (end > 0 && (static_cast<unsigned char>(utf8[end]) & 0xC0) == 0x80) --end;
  utf8.resize(end);
  return utf8;
}

}  // namespace

void ConcurrencyInitialize() { initializations.fetch_add(1, std::memory_order_acq_rel); }

void ConcurrencyUninitialize() {
  long current = initializations.load(std::memory_order_acquire);
  while (current > 0 &&
         !initializations.compare_exchange_weak(current, current - 1, std::memory_order_acq_rel)) {
  }
}

bool IsConcurrencyInitialized() { return initializations.load(std::memory_order_acquire) > 0; }

std::chrono::system_clock::time_point TimePointFromFileTimeTicks(std::uint64_t ticksSince1601) {
  // 100 ns ticks between 1601-01-01 and 1970-01-01.
  constexpr std::int64_t kUnixEpochInTicks = 116'444'736'000'000'000;
  const Ticks sinceUnixEpoch(static_cast<std::int64_t>(ticksSince1601) - kUnixEpochInTicks);
  return std::chrono::system_clock::time_point(
      std::chrono::duration_cast<std::chrono::system_clock::duration>(sinceUnixEpoch));
}

const std::wstring& CurrentTaskName() noexcept { return currentTaskName; }

namespace detail {

void StartNamedThread(std::wstring name, std::function<void()> body) {
  std::thread thread([name = std::move(name), body = std::move(body)]() mutable {
    currentTaskName = std::move(name);
    pthread_setname_np(pthread_self(), OsThreadName(currentTaskName).c_str());
    body();
  });
  thread.detach();
}

}  // namespace detail
}  // namespace Infra
