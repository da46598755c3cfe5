// An observer for tests of code that delivers hardware callbacks: records every callback with the
// thread it came on, answers restriction questions with a programmable verdict, and can be made
// to block inside its next callback until released, so a test can prove who waits for a running
// callback. Thread-safe.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "external/hardware/comm_interfaces.h"
#include "tests/support/component/call_gate.h"

namespace Talvaro::Testing {

struct ObservedCallback {
  enum class Kind { Data, Error, Availability, Restriction } kind{};
  std::vector<unsigned char> data{};
  std::int32_t value = 0;  // error code or availability state
  std::thread::id thread = std::this_thread::get_id();  // made on the callback's thread
};

class RecordingObserver final : public IDataTransferObserver,
                                public IAvailabilityCallback,
                                public IRestrictionObserver {
 public:
  E_ORBIQLIB_Result OnData(const unsigned char* data, const unsigned int& count) override {
    Enter({ObservedCallback::Kind::Data, std::vector<unsigned char>(data, data + count)});
    return ORBIQLIB_SUCCESS;
  }
  E_ORBIQLIB_Result OnError(const E_ORBIQLIB_Result& code) override {
    Enter({ObservedCallback::Kind::Error, {}, code});
    return ORBIQLIB_SUCCESS;
  }
  void OnAvailabilityChanged(std::int32_t state) override {
    Enter({ObservedCallback::Kind::Availability, {}, state});
  }
  E_ORBIQLIB_Result OnRestriction(const unsigned char* data, const unsigned int& count) override {
    Enter({ObservedCallback::Kind::Restriction, std::vector<unsigned char>(data, data + count)});
    std::lock_guard lock(mutex_);
    return verdict_;
  }

  void SetVerdict(E_ORBIQLIB_Result verdict) {
    std::lock_guard lock(mutex_);
    verdict_ = verdict;
  }
  // Runs inside every later callback, after it was recorded, on the callback's thread.
  void SetAction(std::function<void()> action) {
    std::lock_guard lock(mutex_);
    action_ = std::move(action);
  }
  // The next callback blocks (after being recorded) until Release.
  void BlockNext() { gate_.CloseForNext(); }
  void Release() { gate_.Open(); }
  // Waits until a callback is blocked inside the observer.
  bool WaitBlocked(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    return gate_.WaitHeld(timeout);
  }
  // Waits until at least `count` callbacks were recorded.
  bool WaitForCount(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return callbacks_.size() >= count; });
  }
  std::vector<ObservedCallback> Callbacks() const {
    std::lock_guard lock(mutex_);
    return callbacks_;
  }
  std::size_t Count() const {
    std::lock_guard lock(mutex_);
    return callbacks_.size();
  }

 private:
  void Enter(ObservedCallback callback) {
    std::function<void()> action;
    {
      std::unique_lock lock(mutex_);
      callbacks_.push_back(std::move(callback));
      changed_.notify_all();
      gate_.Pass(lock);
      action = action_;
    }
    if (action) action();
  }

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<ObservedCallback> callbacks_;
  E_ORBIQLIB_Result verdict_ = ORBIQLIB_SUCCESS;
  std::function<void()> action_;
  CallGate gate_{mutex_, changed_};
};

}  // namespace Talvaro::Testing
