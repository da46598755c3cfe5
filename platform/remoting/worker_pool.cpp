#include "platform/remoting/worker_pool.h"

#include <algorithm>

#include "platform/com/apartment.h"
#include "platform/remoting/runtime.h"

namespace platform::remoting {

WorkerPool::WorkerPool(std::size_t maxThreads, std::chrono::milliseconds idleTimeout)
    : WorkerPool(maxThreads, idleTimeout, &StartThreadWithSignalsBlocked) {}

WorkerPool::WorkerPool(std::size_t maxThreads, std::chrono::milliseconds idleTimeout, StartThread startThread)
    : maxThreads_(maxThreads), idleTimeout_(idleTimeout), startThread_(startThread) {}

void WorkerPool::Submit(Task task) {
  bool start = false;
  {
    std::lock_guard lock(mutex_);
    queue_.push_back(std::move(task));
    if (stopped_) return;
    if (!idle_.empty()) {
      // The most recently idle worker takes it: the others stay idle and end in time.
      IdleWorker* worker = idle_.back();
      idle_.pop_back();
      worker->woken = true;
      worker->wake.notify_one();
      return;
    }
    if (threads_ < maxThreads_) {
      ++threads_;
      start = true;
    }
  }
  if (start) StartWorker();
}

void WorkerPool::StartWorker() noexcept {
  try {
    startThread_([this] { Run(); });
    return;
  } catch (...) {
    // Out of threads or memory. The caller may be a destructor on the RPC thread, so nothing
    // escapes; the task stays queued for a running worker or the next Submit's start.
  }
  {
    std::lock_guard lock(mutex_);
    --threads_;
  }
  try {
    Trace("could not start a worker thread; queued calls wait for another");
  } catch (...) {
  }
}

std::size_t WorkerPool::ThreadCount() const {
  std::lock_guard lock(mutex_);
  return threads_;
}

void WorkerPool::Stop(std::chrono::milliseconds bound) {
  std::unique_lock lock(mutex_);
  stopped_ = true;
  settled_.wait_for(lock, bound, [this] { return running_ == 0; });
}

void WorkerPool::Run() {
  const HRESULT joined = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  std::unique_lock lock(mutex_);
  for (;;) {
    if (queue_.empty() || stopped_) {
      IdleWorker self;
      idle_.push_back(&self);
      self.wake.wait_for(lock, idleTimeout_, [&self] { return self.woken; });
      if (!self.woken) {
        idle_.erase(std::find(idle_.begin(), idle_.end(), &self));
        if (queue_.empty() || stopped_) break;
      }
      // Woken, the task may have gone to a worker that just finished one: look again.
      if (queue_.empty() || stopped_) continue;
    }
    Task task = std::move(queue_.front());
    queue_.pop_front();
    ++running_;
    lock.unlock();
    try {
      task();
    } catch (...) {
      // A task reports its own failures; one that escapes must not end the worker.
    }
    task = Task();  // its captures (references included) go before the lock is taken again
    lock.lock();
    --running_;
    settled_.notify_all();
  }
  --threads_;
  lock.unlock();
  if (joined == S_OK) CoUninitialize();
}

}  // namespace platform::remoting
