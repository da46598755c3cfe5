#include "platform/kernel/message_queue.h"

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "platform/kernel/clock.h"
#include "platform/kernel/thread.h"
#include "platform/system/last_error.h"

namespace platform::kernel {
namespace {

bool Matches(UINT message, UINT filterMin, UINT filterMax) {
  return (filterMin == 0 && filterMax == 0) || message == WM_QUIT ||
         (filterMin <= message && message <= filterMax);
}

// One thread's queue. Posts come from any thread; only the owning thread takes messages.
class MessageQueue {
 public:
  void Post(const MSG& message) {
    std::lock_guard lock(mutex_);
    messages_.push_back(message);
    arrived_.notify_one();
  }

  void PostQuit(int exitCode) {
    std::lock_guard lock(mutex_);
    quitPending_ = true;
    quitCode_ = exitCode;
    arrived_.notify_one();
  }

  // The first matching message (FIFO), else the pending quit; waits for one when `block`.
  bool Take(MSG& out, UINT filterMin, UINT filterMax, bool remove, bool block) {
    std::unique_lock lock(mutex_);
    for (;;) {
      for (auto it = messages_.begin(); it != messages_.end(); ++it) {
        if (Matches(it->message, filterMin, filterMax)) {
          out = *it;
          if (remove) {
            messages_.erase(it);
          }
          return true;
        }
      }
      if (quitPending_) {
        out = MSG{nullptr, WM_QUIT, static_cast<WPARAM>(static_cast<LPARAM>(quitCode_)), 0,
                  GetTickCount()};
        if (remove) {
          quitPending_ = false;
        }
        return true;
      }
      if (!block) {
        return false;
      }
      arrived_.wait(lock);
    }
  }

 private:
  std::mutex mutex_;
  std::condition_variable arrived_;  // waited on by the owning thread only
  std::deque<MSG> messages_;         // guarded by mutex_
  bool quitPending_ = false;         // guarded by mutex_; set by PostQuitMessage
  int quitCode_ = 0;                 // guarded by mutex_
};

// Thread id -> queue of every thread that has one.
class QueueRegistry {
 public:
  void Add(DWORD threadId, std::shared_ptr<MessageQueue> queue) {
    std::lock_guard lock(mutex_);
    queues_[threadId] = std::move(queue);
  }

  void Remove(DWORD threadId, const MessageQueue* queue) {
    std::lock_guard lock(mutex_);
    const auto it = queues_.find(threadId);
    if (it != queues_.end() && it->second.get() == queue) {
      queues_.erase(it);
    }
  }

  std::shared_ptr<MessageQueue> Find(DWORD threadId) {
    std::lock_guard lock(mutex_);
    const auto it = queues_.find(threadId);
    return it == queues_.end() ? nullptr : it->second;
  }

 private:
  std::mutex mutex_;
  std::unordered_map<DWORD, std::shared_ptr<MessageQueue>> queues_;  // guarded by mutex_
};

// Never destroyed: threads end (and drop their queues) during and after static destruction.
QueueRegistry& Registry() {
  static QueueRegistry* const registry = new QueueRegistry;
  return *registry;
}

// The calling thread's hold on its queue; unregisters it when the thread ends.
class QueueOwner {
 public:
  QueueOwner() = default;
  QueueOwner(const QueueOwner&) = delete;
  QueueOwner& operator=(const QueueOwner&) = delete;
  ~QueueOwner() { Drop(); }

  MessageQueue& Get() {
    if (!queue_) {
      queue_ = std::make_shared<MessageQueue>();
      threadId_ = GetCurrentThreadId();
      Registry().Add(threadId_, queue_);
    }
    return *queue_;
  }

  void Drop() {
    if (queue_) {
      Registry().Remove(threadId_, queue_.get());
      queue_.reset();
    }
  }

 private:
  std::shared_ptr<MessageQueue> queue_;
  DWORD threadId_ = 0;
};

thread_local QueueOwner currentQueue;

bool ValidWindow(HWND hwnd) {
  return hwnd == nullptr || hwnd == reinterpret_cast<HWND>(static_cast<std::intptr_t>(-1));
}

}  // namespace

void DropMessageQueueOfCurrentThread() { currentQueue.Drop(); }

}  // namespace platform::kernel

BOOL PostThreadMessageW(DWORD threadId, UINT message, WPARAM wParam, LPARAM lParam) {
  const auto queue = platform::kernel::Registry().Find(threadId);
  if (!queue) {
    SetLastError(ERROR_INVALID_THREAD_ID);
    return FALSE;
  }
  queue->Post(MSG{nullptr, message, wParam, lParam, GetTickCount()});
  return TRUE;
}

void PostQuitMessage(int exitCode) { platform::kernel::currentQueue.Get().PostQuit(exitCode); }

BOOL GetMessageW(LPMSG msg, HWND hwnd, UINT filterMin, UINT filterMax) {
  if (msg == nullptr || !platform::kernel::ValidWindow(hwnd)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return -1;
  }
  platform::kernel::currentQueue.Get().Take(*msg, filterMin, filterMax, true, true);
  return msg->message == WM_QUIT ? 0 : 1;
}

BOOL PeekMessageW(LPMSG msg, HWND hwnd, UINT filterMin, UINT filterMax, UINT removeMessage) {
  if (msg == nullptr || !platform::kernel::ValidWindow(hwnd)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const bool remove = (removeMessage & PM_REMOVE) != 0;
  return platform::kernel::currentQueue.Get().Take(*msg, filterMin, filterMax, remove, false)
             ? TRUE
             : FALSE;
}

BOOL TranslateMessage(const MSG* /*msg*/) { return FALSE; }

LRESULT DispatchMessageW(const MSG* /*msg*/) { return 0; }
