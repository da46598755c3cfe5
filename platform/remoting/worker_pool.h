// The worker threads on which incoming remote calls run: the multithreaded apartment of this
// process. Calls run concurrently, each on a thread that joined the apartment.
//
// Threads start on demand, when a task finds no idle worker, up to a limit, and end after a
// while without work, so a process that is never called keeps none. A task goes to the worker
// that became idle last, so that under a light load the same few workers serve and the others
// end, instead of every worker staying alive on a share of the calls. A call that blocks (for
// instance on a nested call back to its caller) holds only its own worker; the limit bounds how
// many may block at once. Beyond it tasks queue, in submission order, until a worker is free:
// a nested call that comes back into this process while every worker is blocked waits in that
// queue, so a chain of nested calls as deep as the limit across all callers stalls until one of
// them ends (or its peer goes, which fails its call). A thread that cannot be started (out of
// threads or memory) is not an error of Submit: the task stays queued for a running worker or
// the next start. The pool belongs to the runtime, which lives until the process ends (workers
// may still run during exit), so it is never destroyed.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <vector>

#include "platform/remoting/move_only_function.h"

namespace platform::remoting {

class WorkerPool {
 public:
  // Starts a detached thread running `body`; may throw (std::system_error, std::bad_alloc).
  using StartThread = void (*)(Task body);

  // Workers start with signals blocked (StartThreadWithSignalsBlocked).
  WorkerPool(std::size_t maxThreads, std::chrono::milliseconds idleTimeout);
  WorkerPool(std::size_t maxThreads, std::chrono::milliseconds idleTimeout, StartThread startThread);
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // Any thread, also from destructors on the RPC thread. Queues the task and, when no worker is
  // free, starts one. Never waits for work; a failed thread start does not throw.
  void Submit(Task task);

  // Workers currently alive, for diagnostics and tests.
  std::size_t ThreadCount() const;

  // At process exit: no task starts any more (later ones stay queued, never run), and the
  // caller waits, at most `bound`, for the running ones to end. Object code must not run while
  // the process's static objects are being destroyed.
  void Stop(std::chrono::milliseconds bound);

 private:
  void Run();
  // Called after threads_ was counted up for the new worker; counts it down again when the
  // thread does not start.
  void StartWorker() noexcept;

  const std::size_t maxThreads_;
  const std::chrono::milliseconds idleTimeout_;
  const StartThread startThread_;
  // A worker waiting for work, on its own stack; woken by Submit, which takes it off `idle_`.
  struct IdleWorker {
    std::condition_variable wake;
    bool woken = false;  // guarded by mutex_
  };

  mutable std::mutex mutex_;
  std::deque<Task> queue_;             // guarded by mutex_
  std::size_t threads_ = 0;            // workers started or starting; guarded by mutex_
  std::vector<IdleWorker*> idle_;      // waiting for work, the latest last; guarded by mutex_
  std::size_t running_ = 0;                // tasks being run; guarded by mutex_
  bool stopped_ = false;                   // guarded by mutex_
  std::condition_variable settled_;        // signalled under mutex_ when a task ends
};

}  // namespace platform::remoting
