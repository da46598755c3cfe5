#include "platform/remoting/runtime.h"

#include "platform/remoting/limits.h"

#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <thread>

namespace platform::remoting {
namespace {

// Incoming calls block only their own worker; the limit is how many may be blocked at once.
constexpr std::size_t kMaxWorkers = 128;
constexpr std::chrono::seconds kWorkerIdleTime{30};
// How long exit waits for calls still running on workers.
constexpr std::chrono::seconds kExitGrace{2};


thread_local bool isRpcThread = false;
std::atomic<Runtime*> instance{nullptr};

class TaskErrors final : public kj::TaskSet::ErrorHandler {
 public:
  void taskFailed(kj::Exception&& exception) override {
    Trace("background task failed: " + std::string(exception.getDescription().cStr()));
  }
};

}  // namespace

void StartThreadWithSignalsBlocked(Task body) {
  // The new thread inherits the mask, so no signal reaches it even before its first line. The
  // caller's own mask comes back also when the thread cannot be started.
  struct AllSignalsBlocked {
    sigset_t previous;
    AllSignalsBlocked() {
      sigset_t all;
      sigfillset(&all);
      pthread_sigmask(SIG_SETMASK, &all, &previous);
    }
    ~AllSignalsBlocked() { pthread_sigmask(SIG_SETMASK, &previous, nullptr); }
    AllSignalsBlocked(const AllSignalsBlocked&) = delete;
    AllSignalsBlocked& operator=(const AllSignalsBlocked&) = delete;
  };
  AllSignalsBlocked blocked;
  std::thread([body = std::move(body)]() mutable { body(); }).detach();
}

void Trace(const std::string& message) {
  static const bool enabled = [] {
    const char* value = std::getenv("TALVARO_REMOTING_TRACE");
    return value != nullptr && *value != '\0' && *value != '0';
  }();
  if (enabled) std::fprintf(stderr, "remoting[%d]: %s\n", static_cast<int>(::getpid()), message.c_str());
}

Runtime::Runtime() : workers_(kMaxWorkers, kWorkerIdleTime) {}

Runtime& Runtime::Get() {
  static std::once_flag once;
  std::call_once(once, [] {
    auto* runtime = new Runtime();  // never destroyed: its threads run until the process ends
    runtime->Start();
    instance.store(runtime, std::memory_order_release);
  });
  return *instance.load(std::memory_order_acquire);
}

Runtime* Runtime::IfStarted() { return instance.load(std::memory_order_acquire); }

bool Runtime::OnRpcThread() { return isRpcThread; }

void Runtime::Start() {
  StartThreadWithSignalsBlocked([this] { Loop(); });
  std::unique_lock lock(startMutex_);
  started_.wait(lock, [this] { return running_; });
  // The runtime's threads outlive main(); the statics constructed before this point (the server
  // module, the standard streams) are destroyed after this handler has run.
  std::atexit(&Runtime::Quiesce);
}

void Runtime::Quiesce() {
  if (Runtime* runtime = IfStarted()) {
    runtime->quiescing_.store(true, std::memory_order_release);
    runtime->Workers().Stop(kExitGrace);
  }
}

void Runtime::Loop() {
  isRpcThread = true;
  auto io = kj::setupAsyncIo();
  TaskErrors errors;
  kj::TaskSet tasks(errors);
  io_ = io.provider.get();
  tasks_ = &tasks;
  executor_ = kj::getCurrentThreadExecutor().addRef();
  DrainPosts();  // arms the wake-up for the first Post
  {
    std::lock_guard lock(startMutex_);
    running_ = true;
  }
  started_.notify_all();
  for (;;) {
    // Poll while there is work or was some within the window; then sleep until the next.
    const auto window = CurrentLimits().pollAfterWork;
    auto lastActive = std::chrono::steady_clock::now();
    std::uint64_t seen = activityCount_;
    while (std::chrono::steady_clock::now() - lastActive < window) {
      io.waitScope.poll();
      if (activityCount_ != seen) {
        seen = activityCount_;
        lastActive = std::chrono::steady_clock::now();
      } else {
        sched_yield();  // the peer or our caller may need this core
      }
    }
    auto woken = kj::newPromiseAndFulfiller<void>();
    activity_ = kj::mv(woken.fulfiller);
    woken.promise.wait(io.waitScope);
  }
}

void Runtime::NoteActivity() {
  ++activityCount_;
  if (activity_) {
    activity_->fulfill();
    activity_ = nullptr;
  }
}

void SyncCompletion::Settle(kj::Maybe<kj::Exception> failure) {
  failure_ = kj::mv(failure);
  settled_.store(1, std::memory_order_release);
  settled_.notify_one();
  if (Runtime* runtime = Runtime::IfStarted()) runtime->NoteActivity();
}

void SyncCompletion::Wait() {
  settled_.wait(0, std::memory_order_acquire);
  KJ_IF_MAYBE(failure, failure_) { throw kj::mv(*failure); }
}

void Runtime::Post(Task task) {
  kj::Own<kj::CrossThreadPromiseFulfiller<void>> wakeUp;
  {
    std::lock_guard lock(postMutex_);
    posted_.push_back(std::move(task));
    wakeUp = kj::mv(wakeUp_);
  }
  if (wakeUp) wakeUp->fulfill();
}

void Runtime::DrainPosts() {
  std::vector<Task> batch;
  auto next = kj::newPromiseAndCrossThreadFulfiller<void>();
  {
    std::lock_guard lock(postMutex_);
    batch.swap(posted_);
    wakeUp_ = kj::mv(next.fulfiller);
  }
  tasks_->add(next.promise.then([this] { DrainPosts(); }));
  NoteActivity();
  for (Task& task : batch) {
    try {
      task();
    } catch (const kj::Exception& exception) {
      Trace("posted task failed: " + std::string(exception.getDescription().cStr()));
    } catch (const std::exception& exception) {
      Trace(std::string("posted task failed: ") + exception.what());
    }
  }
}

}  // namespace platform::remoting

#if defined(__SANITIZE_THREAD__)
// libkj is not instrumented: the lock behind its cross-thread fulfillers is invisible to
// ThreadSanitizer, which then reports libkj's own bookkeeping as races: a cross-thread
// fulfiller's result, written by the fulfilling thread and read by the RPC thread. Our payloads
// are annotated where they cross (sanitizer.h).
//
// Each entry is one function, by its full name as the symbolizer prints it, anchored at both
// ends. ThreadSanitizer drops a report when any frame of any of its stacks matches, so a frame
// listed here must never have code of ours that could race above it:
//   - kj::_::XThreadEvent::fire() completes a cross-thread event; the continuations of our
//     promises run as events of their own, never beneath it.
//   - XThreadFulfiller<T>::fulfill/reject store the value into the waiting node, nothing else.
// A build whose symbolizer prints other names (inlined frames are printed short) gets the
// reports, never silence.
extern "C" const char* __tsan_default_suppressions() {
  return "race:^kj::_::XThreadEvent::fire()$\n"
         "race:^kj::_::XThreadFulfiller<*>::fulfill(*) const$\n"
         "race:^kj::_::XThreadFulfiller<*>::reject(kj::Exception&&) const$\n";
}

// The suppressions match only stacks ThreadSanitizer can still restore: with its default history
// a long test loses the older access's stack ("failed to restore the stack") and libkj's own
// access at fire() is reported against the next event built at the same stack address. The
// longest history keeps those stacks. TSAN_OPTIONS still overrides it.
extern "C" const char* __tsan_default_options() { return "history_size=7"; }
#endif
