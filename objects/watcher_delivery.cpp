#include "objects/watcher_delivery.h"

#include <chrono>
#include <cstdlib>
#include <string>

#include "common/driver_logger.h"
#include "platform/remoting/worker_pool.h"
#include "platform/types/error_codes.h"

namespace Talvaro::Objects {
namespace {

constexpr std::size_t kDeliveryThreads = 32;
constexpr std::chrono::seconds kDeliveryThreadIdleTime{10};
constexpr std::size_t kBatch = 64;
constexpr const wchar_t* kSource = L"TCD::CObserverSingleton";

// Never destroyed: deliveries may be under way while the process exits. At exit no further
// delivery starts, so no watcher is called while static objects are being destroyed.
platform::remoting::WorkerPool& DeliveryThreads() {
  static auto* pool = [] {
    auto* created = new platform::remoting::WorkerPool(kDeliveryThreads, kDeliveryThreadIdleTime);
    std::atexit([] { DeliveryThreads().Stop(std::chrono::milliseconds(0)); });
    return created;
  }();
  return *pool;
}

void Log(bool warning, const std::wstring& text) {
  const auto logger = Common::GetDriverLogger();
  if (warning) {
    logger->Warning(kSource, text, Logging::Category::Communication);
  } else {
    logger->Info(kSource, text, Logging::Category::Communication);
  }
}

}  // namespace

WatcherDelivery::WatcherDelivery(platform::com::ComPtr<IRegObserverCallback> callback, GoneHandler gone)
    : callback_(std::move(callback)), gone_(std::move(gone)) {}

bool WatcherDelivery::IsGone(HRESULT status) {
  return status == RPC_S_SERVER_UNAVAILABLE_HR || status == RPC_S_CALL_FAILED_HR ||
         status == RPC_S_CALL_FAILED_DNE_HR;
}

void WatcherDelivery::Post(const WatcherNotification& notification) {
  bool schedule = false;
  bool overflowStarts = false;
  {
    std::lock_guard lock(mutex_);
    if (closed_) return;
    if (queue_.size() >= kMaxQueued) {
      overflowStarts = dropped_++ == 0;
    } else {
      queue_.push_back(notification);
      schedule = !scheduled_;
      scheduled_ = true;
    }
  }
  if (overflowStarts) {
    Log(true, L"A watcher does not keep up: notifications beyond " + std::to_wstring(kMaxQueued) +
                  L" queued are dropped until it reads again.");
  }
  if (schedule) DeliveryThreads().Submit([self = shared_from_this()] { self->Deliver(); });
}

void WatcherDelivery::Close() {
  std::deque<WatcherNotification> dropped;
  std::lock_guard lock(mutex_);
  closed_ = true;
  dropped.swap(queue_);
}

std::size_t WatcherDelivery::Queued() {
  std::lock_guard lock(mutex_);
  return queue_.size();
}

void WatcherDelivery::Deliver() {
  for (std::size_t delivered = 0;; ++delivered) {
    WatcherNotification next;
    std::size_t droppedBefore = 0;
    {
      std::lock_guard lock(mutex_);
      if (closed_ || queue_.empty()) {
        scheduled_ = false;
        return;
      }
      if (delivered == kBatch) break;  // still scheduled: the resubmitted task goes on
      next = queue_.front();
      queue_.pop_front();
      if (queue_.empty()) droppedBefore = std::exchange(dropped_, 0);
    }
    if (droppedBefore != 0) {
      Log(false, L"A watcher reads again; " + std::to_wstring(droppedBefore) + L" notifications were dropped.");
    }
    HRESULT status = S_OK;
    try {
      status = callback_->OnNotify(next.first, next.second, next.third, next.count, next.value);
    } catch (...) {
      // A watcher's failure is its own; the others are served on.
    }
    if (IsGone(status)) {
      Close();
      gone_(shared_from_this(), status);
      return;
    }
  }
  DeliveryThreads().Submit([self = shared_from_this()] { self->Deliver(); });
}

}  // namespace Talvaro::Objects
