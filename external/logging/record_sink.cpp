#include "external/logging/record_sink.h"

#include <algorithm>
#include <atomic>
#include <utility>

namespace Logging {
namespace {

using SinkList = std::vector<std::shared_ptr<RecordSink>>;

// The attached sinks, replaced as a whole on each change so that delivery works on a snapshot
// without holding `lock`. Never destroyed: loggers may still write while the process exits.
struct Tap {
  std::mutex lock;
  std::shared_ptr<const SinkList> sinks = std::make_shared<const SinkList>();  // guarded by lock
  std::atomic<bool> anyAttached{false};  // lets the common case skip the lock
};

Tap& TheTap() {
  static auto* tap = new Tap;
  return *tap;
}

// Set while this thread runs the sinks: records they write are not delivered again.
thread_local bool delivering = false;

}  // namespace

void AttachRecordSink(std::shared_ptr<RecordSink> sink) {
  if (!sink) return;
  Tap& tap = TheTap();
  std::lock_guard guard(tap.lock);
  auto next = std::make_shared<SinkList>(*tap.sinks);
  next->push_back(std::move(sink));
  tap.sinks = std::move(next);
  tap.anyAttached.store(true, std::memory_order_release);
}

void DetachRecordSink(const std::shared_ptr<RecordSink>& sink) {
  Tap& tap = TheTap();
  std::shared_ptr<const SinkList> previous;  // released after the lock
  std::lock_guard guard(tap.lock);
  auto next = std::make_shared<SinkList>(*tap.sinks);
  next->erase(std::remove(next->begin(), next->end(), sink), next->end());
  tap.anyAttached.store(!next->empty(), std::memory_order_release);
  previous = std::exchange(tap.sinks, std::move(next));
}

namespace detail {

void DeliverToRecordSinks(Level level, const std::wstring& source, Category category,
                          const std::wstring& text) noexcept {
  Tap& tap = TheTap();
  if (delivering || !tap.anyAttached.load(std::memory_order_acquire)) return;
  std::shared_ptr<const SinkList> snapshot;
  {
    std::lock_guard guard(tap.lock);
    snapshot = tap.sinks;
  }
  delivering = true;
  for (const auto& sink : *snapshot) {
    try {
      sink->OnRecord(level, source, category, text);
    } catch (...) {
      // A sink's failure must not reach the code that logged.
    }
  }
  delivering = false;
}

}  // namespace detail

void RecordCollector::OnRecord(Level level, const std::wstring& source, Category category,
                               const std::wstring& text) {
  {
    std::lock_guard guard(lock_);
    records_.push_back(Record{level, source, category, text});
  }
  added_.notify_all();
}

std::vector<Record> RecordCollector::Records() const {
  std::lock_guard guard(lock_);
  return records_;
}

std::vector<Record> RecordCollector::Matching(const std::wstring& fragment) const {
  std::lock_guard guard(lock_);
  std::vector<Record> found;
  for (const Record& record : records_) {
    if (record.text.find(fragment) != std::wstring::npos) found.push_back(record);
  }
  return found;
}

bool RecordCollector::WaitFor(const std::function<bool(const Record&)>& predicate,
                              std::chrono::milliseconds timeout) const {
  std::unique_lock guard(lock_);
  return added_.wait_for(guard, timeout, [&] {
    return std::any_of(records_.begin(), records_.end(), predicate);
  });
}

bool RecordCollector::WaitForText(const std::wstring& fragment,
                                  std::chrono::milliseconds timeout) const {
  return WaitFor(
      [&](const Record& record) { return record.text.find(fragment) != std::wstring::npos; },
      timeout);
}

void RecordCollector::Clear() {
  std::lock_guard guard(lock_);
  records_.clear();
}

}  // namespace Logging
