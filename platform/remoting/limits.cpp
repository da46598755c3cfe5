#include "platform/remoting/limits.h"

#include <atomic>
#include <mutex>

#include "platform/remoting/runtime.h"

#include <kj/debug.h>

namespace platform::remoting {
namespace {

struct Settings {
  std::mutex mutex;
  Limits limits;  // guarded by mutex
};

Settings& Current() {
  static auto* settings = new Settings;  // read by the RPC thread until the process ends
  return *settings;
}

std::atomic<Reporter> reporter{nullptr};

}  // namespace

void SetLimits(const Limits& limits) {
  auto& settings = Current();
  std::lock_guard lock(settings.mutex);
  settings.limits = limits;
}

Limits CurrentLimits() {
  auto& settings = Current();
  std::lock_guard lock(settings.mutex);
  return settings.limits;
}

kj::Promise<void> BoundOutgoingCall(kj::Promise<void> call, bool& timedOut) {
  const auto bound = CurrentLimits().outgoingCallBound;
  if (bound.count() <= 0) return call;
  return call.exclusiveJoin(Runtime::Get().Io().getTimer().afterDelay(bound.count() * kj::MILLISECONDS).then(
      [&timedOut]() -> kj::Promise<void> {
        timedOut = true;
        return KJ_EXCEPTION(DISCONNECTED, "the peer did not answer within the call bound");
      }));
}

void SetReporter(Reporter to) { reporter.store(to, std::memory_order_release); }

void Report(Severity severity, const std::string& message) {
  Trace(message);
  if (const Reporter to = reporter.load(std::memory_order_acquire)) to(severity, message);
}

}  // namespace platform::remoting
