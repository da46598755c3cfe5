// The default timer queue.
//
// Threads: the timer thread sleeps until the earliest due time, then moves due timers to the
// work list (rescheduling periodic ones) and makes sure enough workers exist; workers run the
// callbacks. Everything below is guarded by the queue's one mutex, which is never held while a
// callback runs or an event is set.
//
// Deletion marks the timer deleted under the mutex; a worker checks that mark under the same
// mutex before it counts a callback as running, so once Delete has returned no new callback
// starts, and the running count tells Delete what it may have to wait for.
//
// The queue is created on first use and never destroyed; at exit (atexit) it stops starting
// callbacks and gives running ones a short grace period, so that neither a worker nor a timer
// callback meets a half-destroyed program.
#include "platform/kernel/timer_queue.h"

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/kernel/synch.h"
#include "platform/system/last_error.h"

namespace platform::kernel {
namespace {

using Clock = std::chrono::steady_clock;

constexpr unsigned kMaxWorkers = kTimerQueueWorkerLimit;
// Idle workers retire, the last one too, so a process whose timers are gone keeps none; a
// periodic timer of a shorter period than the retirement keeps its worker busy enough to stay.
constexpr unsigned kMinWorkers = 0;
constexpr auto kIdleRetirement = std::chrono::seconds(10);
constexpr auto kWorkerStartRetry = std::chrono::milliseconds(10);
constexpr auto kExitGrace = std::chrono::seconds(1);

class Timer final : public KernelObject {
 public:
  Timer(WAITORTIMERCALLBACK function, PVOID argument, DWORD periodMs)
      : callback(function), parameter(argument), period(periodMs) {}

  bool ClosableByCloseHandle() const override { return false; }

  const WAITORTIMERCALLBACK callback;
  const PVOID parameter;
  const DWORD period;  // 0: one-shot

  // Guarded by the queue's mutex.
  Clock::time_point due;
  std::multimap<Clock::time_point, std::shared_ptr<Timer>>::iterator slot;  // valid if scheduled
  bool scheduled = false;
  bool deleted = false;
  unsigned running = 0;  // callbacks of this timer running now
  std::vector<std::shared_ptr<WaitableObject>> completionEvents;  // set when running drops to 0
};

// The timer whose callback the calling worker thread is running, if any.
thread_local const Timer* currentTimer = nullptr;

void InvokeCallback(const Timer& timer) noexcept { timer.callback(timer.parameter, TRUE); }

enum class Completion { Wait, NoWait, Event };

class TimerQueue {
 public:
  // False when the timer thread cannot be started.
  bool Add(const std::shared_ptr<Timer>& timer, DWORD dueTime) {
    std::lock_guard lock(mutex_);
    if (!timerThreadStarted_) {
      try {
        std::thread([this] { RunTimerThread(); }).detach();
      } catch (const std::system_error&) {
        return false;
      }
      timerThreadStarted_ = true;
    }
    Schedule(timer, Clock::now() + std::chrono::milliseconds(dueTime));
    scheduleChanged_.notify_one();
    return true;
  }

  // True when no callback of the timer runs any more; false when one still does (pending).
  bool Delete(const std::shared_ptr<Timer>& timer, Completion completion,
              std::shared_ptr<WaitableObject> event) {
    std::unique_lock lock(mutex_);
    timer->deleted = true;
    if (timer->scheduled) {
      schedule_.erase(timer->slot);
      timer->scheduled = false;
    }
    if (timer->running == 0) {
      lock.unlock();
      if (event) {
        event->Set();
      }
      return true;
    }
    switch (completion) {
      case Completion::Wait:
        if (currentTimer == timer.get()) {
          return false;  // waiting here would wait for ourselves
        }
        callbackEnded_.wait(lock, [&] { return timer->running == 0; });
        return true;
      case Completion::Event:
        timer->completionEvents.push_back(std::move(event));
        return false;
      case Completion::NoWait:
        return false;
    }
    return false;
  }

  // At exit: no callback starts any more; running ones get a short grace period.
  void Shutdown() {
    std::unique_lock lock(mutex_);
    shuttingDown_ = true;
    scheduleChanged_.notify_all();
    workQueued_.notify_all();
    const unsigned own = currentTimer != nullptr ? 1 : 0;  // exit() called from a callback
    callbackEnded_.wait_for(lock, kExitGrace, [&] { return runningCallbacks_ <= own; });
  }

 private:
  // Under mutex_.
  void Schedule(const std::shared_ptr<Timer>& timer, Clock::time_point due) {
    timer->due = due;
    timer->slot = schedule_.emplace(due, timer);
    timer->scheduled = true;
  }

  // Under mutex_: one more worker when queued work outnumbers the idle (or starting) workers.
  void StartWorkerIfNeeded() {
    if (idleWorkers_ >= work_.size() || workers_ >= kMaxWorkers) {
      return;
    }
    try {
      std::thread([this] { RunWorker(); }).detach();
    } catch (const std::system_error&) {
      return;  // the work waits for a worker that exists or for the next attempt
    }
    ++workers_;
    ++idleWorkers_;
  }

  void RunTimerThread() {
    std::unique_lock lock(mutex_);
    while (!shuttingDown_) {
      if (!work_.empty() && workers_ == 0) {
        // No worker could be started for queued work: try again shortly rather than leave it
        // to the next due timer, which may never come.
        StartWorkerIfNeeded();
        if (workers_ == 0) {
          scheduleChanged_.wait_for(lock, kWorkerStartRetry);
          continue;
        }
        workQueued_.notify_one();
      }
      if (schedule_.empty()) {
        scheduleChanged_.wait(lock);
        continue;
      }
      const auto first = schedule_.begin();
      const Clock::time_point now = Clock::now();
      if (first->first > now) {
        // A copy: the entry may be erased while the lock is released.
        const Clock::time_point due = first->first;
        scheduleChanged_.wait_until(lock, due);
        continue;
      }
      std::shared_ptr<Timer> timer = std::move(first->second);
      schedule_.erase(first);
      timer->scheduled = false;
      if (timer->period != 0) {
        // Fixed rate; after a stall of more than one period, missed ticks are dropped rather
        // than fired in a burst.
        const auto period = std::chrono::milliseconds(timer->period);
        const Clock::time_point next = timer->due + period > now ? timer->due + period : now + period;
        Schedule(timer, next);
      }
      work_.push_back(std::move(timer));
      StartWorkerIfNeeded();
      workQueued_.notify_one();
    }
  }

  // Starts counted as idle (StartWorkerIfNeeded).
  void RunWorker() {
    std::unique_lock lock(mutex_);
    for (;;) {
      const bool woken = workQueued_.wait_for(lock, kIdleRetirement,
                                              [&] { return !work_.empty() || shuttingDown_; });
      if (shuttingDown_ || (!woken && workers_ > kMinWorkers)) {
        --idleWorkers_;
        --workers_;
        return;
      }
      if (!woken) {
        continue;
      }
      --idleWorkers_;
      std::shared_ptr<Timer> timer = std::move(work_.front());
      work_.pop_front();
      if (!timer->deleted) {
        ++timer->running;
        ++runningCallbacks_;
        currentTimer = timer.get();
        lock.unlock();
        InvokeCallback(*timer);
        lock.lock();
        currentTimer = nullptr;
        --runningCallbacks_;
        std::vector<std::shared_ptr<WaitableObject>> completed;
        if (--timer->running == 0 && timer->deleted) {
          completed = std::move(timer->completionEvents);
        }
        callbackEnded_.notify_all();
        lock.unlock();
        for (const auto& event : completed) {
          event->Set();
        }
        // The last references to a deleted timer and its events go outside the mutex.
        completed.clear();
        timer.reset();
        lock.lock();
      }
      ++idleWorkers_;
    }
  }

  std::mutex mutex_;
  std::condition_variable scheduleChanged_;  // the timer thread waits on it
  std::condition_variable workQueued_;       // idle workers wait on it
  std::condition_variable callbackEnded_;    // Delete (waiting) and Shutdown wait on it
  std::multimap<Clock::time_point, std::shared_ptr<Timer>> schedule_;  // by due time
  std::deque<std::shared_ptr<Timer>> work_;  // due callbacks not yet started
  bool timerThreadStarted_ = false;
  bool shuttingDown_ = false;
  unsigned workers_ = 0;           // worker threads alive
  unsigned idleWorkers_ = 0;       // of those, waiting for work or just starting
  unsigned runningCallbacks_ = 0;  // callbacks running now, all timers
};

TimerQueue* defaultQueue = nullptr;  // set once, never destroyed

TimerQueue& DefaultQueue() {
  static const bool created = [] {
    defaultQueue = new TimerQueue;
    std::atexit([] { defaultQueue->Shutdown(); });
    return true;
  }();
  (void)created;
  return *defaultQueue;
}

}  // namespace
}  // namespace platform::kernel

using platform::kernel::Completion;
using platform::kernel::Timer;

BOOL CreateTimerQueueTimer(HANDLE* newTimer, HANDLE timerQueue, WAITORTIMERCALLBACK callback,
                           PVOID parameter, DWORD dueTime, DWORD period, ULONG flags) {
  constexpr ULONG kSupportedFlags = WT_EXECUTEDEFAULT | WT_EXECUTELONGFUNCTION | WT_EXECUTEONLYONCE;
  if (newTimer == nullptr || timerQueue != nullptr || callback == nullptr ||
      (flags & ~kSupportedFlags) != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  auto timer = std::make_shared<Timer>(callback, parameter,
                                       (flags & WT_EXECUTEONLYONCE) != 0 ? 0 : period);
  // The handle exists before the first callback can run, so a callback may delete its timer.
  *newTimer = platform::kernel::InsertHandle(timer);
  if (!platform::kernel::DefaultQueue().Add(timer, dueTime)) {
    platform::kernel::RemoveHandle(*newTimer);
    *newTimer = nullptr;
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  return TRUE;
}

BOOL DeleteTimerQueueTimer(HANDLE timerQueue, HANDLE timer, HANDLE completionEvent) {
  if (timerQueue != nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  auto object = platform::kernel::ReferenceHandleAs<Timer>(timer);
  if (!object) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  Completion completion = Completion::NoWait;
  std::shared_ptr<platform::kernel::WaitableObject> event;
  if (completionEvent == INVALID_HANDLE_VALUE) {
    completion = Completion::Wait;
  } else if (completionEvent != nullptr) {
    event = platform::kernel::ReferenceEvent(completionEvent);
    if (!event) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    completion = Completion::Event;
  }
  // Only one of two racing deletions gets the handle.
  if (!platform::kernel::RemoveHandle(timer)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!platform::kernel::DefaultQueue().Delete(object, completion, std::move(event))) {
    SetLastError(ERROR_IO_PENDING);
    return FALSE;
  }
  return TRUE;
}
