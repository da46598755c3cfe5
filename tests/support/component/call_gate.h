// Holds the next call that passes it until released, so a test can keep a callback running and
// prove who waits for it. The owner's mutex guards the gate and the owner's condition variable
// wakes its waiters; the owner passes its calls through Pass with that mutex held.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace Talvaro::Testing {

class CallGate {
 public:
  CallGate(std::mutex& mutex, std::condition_variable& changed) : mutex_(mutex), changed_(changed) {}

  // The next call blocks in Pass until Open.
  void CloseForNext() {
    std::lock_guard lock(mutex_);
    closeNext_ = true;
    open_ = false;
  }
  void Open() {
    std::lock_guard lock(mutex_);
    open_ = true;
    changed_.notify_all();
  }
  // Waits until a call is held in Pass.
  bool WaitHeld(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [this] { return held_; });
  }
  // On the calling thread, with `lock` held on the owner's mutex.
  void Pass(std::unique_lock<std::mutex>& lock) {
    if (!closeNext_) return;
    closeNext_ = false;
    held_ = true;
    changed_.notify_all();
    changed_.wait(lock, [this] { return open_; });
    held_ = false;
  }

 private:
  std::mutex& mutex_;
  std::condition_variable& changed_;
  bool closeNext_ = false;  // guarded by mutex_
  bool held_ = false;       // guarded by mutex_
  bool open_ = false;       // guarded by mutex_
};

}  // namespace Talvaro::Testing
