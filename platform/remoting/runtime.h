// The remoting runtime of this process: one RPC thread running the KJ event loop, and the worker
// pool on which incoming calls run.
//
// The RPC thread owns every Cap'n Proto object (connections, capabilities, requests). It never
// blocks and runs no object code but that of objects that declared their calls may run there
// (IRunsOnRpcThread): incoming calls are copied into plain values and handed to a worker;
// references to component objects that it would drop go to a worker for the Release.
// Other threads reach it in two ways: RunSync (wait for a body and the promise it returns, used
// for outgoing calls) and Post (fire and forget). After any work the RPC thread keeps polling
// for a short while before it sleeps (Limits::pollAfterWork). The runtime starts on first use, so a process
// that never crosses the process boundary starts no thread for it, and it is never torn down:
// its threads end with the process.
#pragma once

#include <kj/async-io.h>
#include <kj/async.h>
#include <kj/function.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <type_traits>
#include <vector>

#include "platform/remoting/move_only_function.h"
#include "platform/remoting/sanitizer.h"
#include "platform/remoting/worker_pool.h"

namespace platform::remoting {

// Starts a detached thread running `body` with every asynchronous signal blocked, so that
// SIGINT, SIGTERM and the like reach the application's own threads, never the runtime's.
void StartThreadWithSignalsBlocked(Task body);

// Diagnostics to stderr when TALVARO_REMOTING_TRACE is set; silent otherwise.
void Trace(const std::string& message);

class Runtime {
 public:
  // The runtime, started on the first call (any thread).
  static Runtime& Get();
  // The runtime when it has been started, otherwise null; starts nothing.
  static Runtime* IfStarted();
  // Whether the calling thread is the RPC thread.
  static bool OnRpcThread();

  WorkerPool& Workers() { return workers_; }
  // Set at exit: calls no longer run on the RPC thread, only (never, once stopped) on workers.
  bool Quiescing() const { return quiescing_.load(std::memory_order_acquire); }

  // Any thread: `task` runs on the RPC thread soon, in posting order. Never waits.
  void Post(Task task);

  // Any thread but the RPC thread: runs `body` (returning kj::Promise<void>) on the RPC thread
  // and waits until the promise settles. A failure arrives as a kj::Exception thrown here. The
  // body may use references into the caller's frame: the caller waits.
  template <class Body>
  void RunSync(Body&& body);

  // RPC thread only.
  kj::AsyncIoProvider& Io() { return *io_; }
  // Something happened (a call came in, an answer arrived): the loop polls on for a while.
  void NoteActivity();
  kj::TaskSet& Tasks() { return *tasks_; }

 private:
  Runtime();
  void Start();
  // At exit (atexit): lets running calls end, runs no further object code.
  static void Quiesce();
  void Loop();
  void DrainPosts();

  WorkerPool workers_;
  std::atomic<bool> quiescing_{false};

  std::mutex startMutex_;
  std::condition_variable started_;  // signalled once the loop runs; guarded by startMutex_
  bool running_ = false;             // guarded by startMutex_

  // Set by the RPC thread before `running_`, constant afterwards.
  kj::Own<const kj::Executor> executor_;
  kj::AsyncIoProvider* io_ = nullptr;
  kj::TaskSet* tasks_ = nullptr;

  // RPC thread only: the sleeping loop's wake-up on activity, armed while it sleeps.
  kj::Own<kj::PromiseFulfiller<void>> activity_;
  std::uint64_t activityCount_ = 0;  // RPC thread only

  std::mutex postMutex_;
  std::vector<Task> posted_;                               // guarded by postMutex_
  kj::Own<kj::CrossThreadPromiseFulfiller<void>> wakeUp_;  // guarded by postMutex_; null once used
};

// The completion of one RunSync: set on the RPC thread, awaited by the caller. Shared, so that
// the RPC thread's wake-up never touches a caller's frame that is already gone.
class SyncCompletion {
 public:
  // RPC thread.
  void Settle(kj::Maybe<kj::Exception> failure);
  // The caller: sleeps until Settle; rethrows the body's failure.
  void Wait();

 private:
  std::atomic<int> settled_{0};
  kj::Maybe<kj::Exception> failure_;  // written before settled_ is set, read after
};

template <class Body>
void Runtime::RunSync(Body&& body) {
  if (OnRpcThread()) {
    throw kj::Exception(kj::Exception::Type::FAILED, __FILE__, __LINE__,
                        kj::heapString("a remote call was made on the RPC thread"));
  }
  auto completion = std::make_shared<SyncCompletion>();
  // The body may refer to the caller's frame: the caller waits until the body's promise settled.
  Post([this, &body, completion] {
    kj::Promise<void> settled = kj::evalNow([&body] { return body(); })
                                    .then([completion] { completion->Settle(nullptr); },
                                          [completion](kj::Exception&& failure) { completion->Settle(kj::mv(failure)); });
    tasks_->add(kj::mv(settled));
  });
  completion->Wait();
}

}  // namespace platform::remoting
