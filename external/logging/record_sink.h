// The process-wide record tap: every record of every logger is also handed to each attached
// RecordSink, whatever level the logger's file lets through. Meant for tests and tools that need
// to see what the program logs.
//
// Threads: a sink is called on the thread that writes the record, with no logging lock held, so
// it may block or log itself. Records written from inside a sink go to the files as usual but
// are not handed to the sinks again (no recursion). Attach and Detach may be called from any
// thread, including from a sink; a record already in flight on another thread may still reach a
// sink after Detach returns (the sink object is kept alive by its shared pointer until then).
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "external/logging/logger.h"

namespace Logging {

class RecordSink {
 public:
  virtual ~RecordSink() = default;
  // An exception thrown here is swallowed.
  virtual void OnRecord(Level level, const std::wstring& source, Category category,
                        const std::wstring& text) = 0;
};

void AttachRecordSink(std::shared_ptr<RecordSink> sink);
void DetachRecordSink(const std::shared_ptr<RecordSink>& sink);

struct Record {
  Level level;
  std::wstring source;
  Category category;
  std::wstring text;
};

// A sink that keeps every record and lets a thread wait for one. Guarded by its own lock.
class RecordCollector : public RecordSink {
 public:
  void OnRecord(Level level, const std::wstring& source, Category category,
                const std::wstring& text) override;

  std::vector<Record> Records() const;
  // Records whose text contains `fragment`.
  std::vector<Record> Matching(const std::wstring& fragment) const;
  // Waits until some record satisfies `predicate`, at most `timeout`; returns whether one did.
  bool WaitFor(const std::function<bool(const Record&)>& predicate,
               std::chrono::milliseconds timeout) const;
  // Waits for a record whose text contains `fragment`.
  bool WaitForText(const std::wstring& fragment, std::chrono::milliseconds timeout) const;
  void Clear();

 private:
  mutable std::mutex lock_;
  mutable std::condition_variable added_;
  std::vector<Record> records_;  // guarded by lock_
};

// Attaches a sink for the lifetime of the scope.
class ScopedRecordSink {
 public:
  explicit ScopedRecordSink(std::shared_ptr<RecordSink> sink) : sink_(std::move(sink)) {
    AttachRecordSink(sink_);
  }
  ~ScopedRecordSink() { DetachRecordSink(sink_); }
  ScopedRecordSink(const ScopedRecordSink&) = delete;
  ScopedRecordSink& operator=(const ScopedRecordSink&) = delete;

 private:
  std::shared_ptr<RecordSink> sink_;
};

namespace detail {
// Hands one record to the attached sinks; called by the loggers.
void DeliverToRecordSinks(Level level, const std::wstring& source, Category category,
                          const std::wstring& text) noexcept;
}  // namespace detail

}  // namespace Logging
