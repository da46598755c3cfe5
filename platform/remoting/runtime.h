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

// What RunSync hands to executeSync. libkj moves it into its cross-thread event on the caller's
// thread and calls it on the RPC thread, both behind libkj's own lock, which ThreadSanitizer does
// not see. So the move says so once the fields are written, keyed by the object's own address,
// and the call receives that address as `this`, reading nothing before it says so too. The
// caller's frame (the body and what it refers to) was written before the move and is covered
// with it; the way back is keyed by the caller's `handOff`.
//
// Invariant: no code of ours but the annotations runs beneath kj::_::XThreadEvent::fire(),
// whose reports are suppressed wholesale (runtime.cpp). libkj calls operator() from that frame,
// so it only annotates and builds the promise chain: the body starts in a later turn
// (evalLater), and the continuations return promises, so each runs from an event of its own.
// Never call the body, or anything that touches shared state, in operator() itself, and never
// make a continuation return a plain value.
template <class Body>
class SyncStart {
 public:
  SyncStart(Body& body, int& handOff) : body_(&body), handOff_(&handOff) {}
  SyncStart(SyncStart&& other) noexcept : body_(other.body_), handOff_(other.handOff_) { HappensBefore(this); }
  SyncStart(const SyncStart&) = delete;
  SyncStart& operator=(const SyncStart&) = delete;

  kj::Promise<void> operator()() {
    HappensAfter(this);
    Body* body = body_;
    int* handOff = handOff_;
    return kj::evalLater([body] { return (*body)(); })
        .then([handOff]() -> kj::Promise<void> {
                HappensBefore(handOff);
                return kj::READY_NOW;
              },
              [handOff](kj::Exception&& failure) -> kj::Promise<void> {
                HappensBefore(handOff);
                return kj::mv(failure);
              });
  }

 private:
  Body* body_;
  int* handOff_;
};

template <class Body>
void Runtime::RunSync(Body&& body) {
  if (OnRpcThread()) {
    throw kj::Exception(kj::Exception::Type::FAILED, __FILE__, __LINE__,
                        kj::heapString("a remote call was made on the RPC thread"));
  }
  // The results cross back through libkj's lock too: the RPC thread says so when the body's
  // promise settled, the caller once executeSync returned (or threw).
  int handOff = 0;
  struct Settled {
    int* key;
    ~Settled() { HappensAfter(key); }
  } settled{&handOff};
  executor_->executeSync(SyncStart<std::remove_reference_t<Body>>(body, handOff));
}

}  // namespace platform::remoting
