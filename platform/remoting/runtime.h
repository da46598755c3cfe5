// The remoting runtime of this process: one RPC thread running the KJ event loop, and the worker
// pool on which incoming calls run.
//
// The RPC thread owns every Cap'n Proto object (connections, capabilities, requests). It never
// blocks and never runs object code: incoming calls are copied into plain values and handed to
// a worker; references to component objects that it would drop go to a worker for the Release.
// Other threads reach it in two ways: RunSync (wait for a body and the promise it returns, used
// for outgoing calls) and Post (fire and forget). The runtime starts on first use, so a process
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

  // Any thread: `task` runs on the RPC thread soon, in posting order. Never waits.
  void Post(Task task);

  // Any thread but the RPC thread: runs `body` (returning kj::Promise<void>) on the RPC thread
  // and waits until the promise settles. A failure arrives as a kj::Exception thrown here. The
  // body may use references into the caller's frame: the caller waits.
  template <class Body>
  void RunSync(Body&& body);

  // RPC thread only.
  kj::AsyncIoProvider& Io() { return *io_; }
  kj::TaskSet& Tasks() { return *tasks_; }

 private:
  Runtime();
  void Start();
  // At exit (atexit): lets running calls end, runs no further object code.
  static void Quiesce();
  void Loop();
  void DrainPosts();

  WorkerPool workers_;

  std::mutex startMutex_;
  std::condition_variable started_;  // signalled once the loop runs; guarded by startMutex_
  bool running_ = false;             // guarded by startMutex_

  // Set by the RPC thread before `running_`, constant afterwards.
  kj::Own<const kj::Executor> executor_;
  kj::AsyncIoProvider* io_ = nullptr;
  kj::TaskSet* tasks_ = nullptr;

  std::mutex postMutex_;
  std::vector<Task> posted_;                               // guarded by postMutex_
  kj::Own<kj::CrossThreadPromiseFulfiller<void>> wakeUp_;  // guarded by postMutex_; null once used
};

template <class Body>
void Runtime::RunSync(Body&& body) {
  if (OnRpcThread()) {
    throw kj::Exception(kj::Exception::Type::FAILED, __FILE__, __LINE__,
                        kj::heapString("a remote call was made on the RPC thread"));
  }
  // The caller's frame crosses to the RPC thread and the results cross back through libkj's
  // locks, which ThreadSanitizer does not see: say so around both hand-offs. The body runs in a
  // turn of its own rather than inside the cross-thread event, so that what ThreadSanitizer is
  // told to overlook there (runtime.cpp) never covers the body.
  int handOff = 0;
  struct Settled {
    int* key;
    ~Settled() { HappensAfter(key); }
  } settled{&handOff};
  HappensBefore(&handOff);
  executor_->executeSync([&]() -> kj::Promise<void> {
    HappensAfter(&handOff);
    return kj::evalLater([&] { return body(); })
        .then([&handOff]() -> kj::Promise<void> {
                HappensBefore(&handOff);
                return kj::READY_NOW;
              },
              [&handOff](kj::Exception&& failure) -> kj::Promise<void> {
                HappensBefore(&handOff);
                return kj::mv(failure);
              });
  });
}

}  // namespace platform::remoting
