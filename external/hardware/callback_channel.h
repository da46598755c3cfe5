// The callback machinery of one opened hardware driver: its registrations, its FIFO of pending
// callbacks and the one library thread that delivers them, in order.
//
// Guarantees (the ones ICommDataTransfer/ICommAvailability/ICommRestriction promise):
// - callbacks of one channel run one at a time, in the order they were posted, on the channel's
//   thread (or, for the test double's direct delivery, on the thread that asks for it);
// - an observer is called only while it is registered: each call re-checks the registration;
// - unregistering returns only after every running callback to that observer on another thread
//   has ended; a callback that unregisters its own observer does not wait for itself;
// - Close drops registrations and queue the same way and ends the thread.
//
// Locking: one mutex per channel guards every field; it is never held while an observer runs.
// Callers may hold their own locks when they post (posting never waits), but never while they
// unregister, close or ask a write question (those wait for callbacks, which may call back).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "external/hardware/comm_interfaces.h"

namespace OrbiqCommunicationLibrary::Detail {

// Whether the calling thread is one of the library's threads (delivery, periodic data, or a
// thread that declared itself one with LibraryThreadScope).
bool OnLibraryThread();

// Marks the current thread as a library thread for the scope's duration.
class LibraryThreadScope {
 public:
  LibraryThreadScope();
  ~LibraryThreadScope();
  LibraryThreadScope(const LibraryThreadScope&) = delete;
  LibraryThreadScope& operator=(const LibraryThreadScope&) = delete;

 private:
  bool previous_;
};

using Bytes = std::vector<unsigned char>;
using SharedBytes = std::shared_ptr<const Bytes>;

// Counts callbacks that are queued or running across many channels, so that tests can wait
// until everything posted so far has been delivered.
// Counting takes no lock (every callback of every channel passes here twice); only the step to
// zero takes the mutex, to wake the waiters.
class QuietCounter {
 public:
  void Add();
  void Done(std::size_t count = 1);
  bool WaitForZero(std::chrono::milliseconds timeout);

 private:
  std::mutex mutex_;
  std::condition_variable zero_;
  std::atomic<std::size_t> count_{0};  // reaches 0 only under mutex_'s notification
};

// Told the mode of the asked observer and its verdict after a restriction question of the unit.
using RestrictionAnswerFn = std::function<void(unsigned int mode, E_ORBIQLIB_Result verdict)>;

class CallbackChannel : public std::enable_shared_from_this<CallbackChannel> {
 public:
  // `quiet` may be null.
  explicit CallbackChannel(std::shared_ptr<QuietCounter> quiet);
  ~CallbackChannel();
  CallbackChannel(const CallbackChannel&) = delete;
  CallbackChannel& operator=(const CallbackChannel&) = delete;

  // Launches the delivery thread; no-op when it runs or the channel is closed.
  void StartThread();
  // Ends delivery and joins the thread; queued callbacks are dropped, registrations kept. Must
  // not be called on the channel's own thread.
  void StopThread();
  // Closes for good: drops registrations and queue, waits for running callbacks (other threads)
  // and joins the thread. Called on the channel's own thread it cannot join itself: it then
  // returns the thread, which ends after the current callback, for the caller to join later.
  [[nodiscard]] std::thread Close();
  bool IsClosed() const;
  bool ThreadRunning() const;

  E_ORBIQLIB_Result RegisterData(IDataTransferObserver* observer);
  E_ORBIQLIB_Result UnregisterData(IDataTransferObserver* observer);
  E_ORBIQLIB_Result RegisterAvailability(IAvailabilityCallback* callback);
  E_ORBIQLIB_Result UnregisterAvailability(IAvailabilityCallback* callback);
  E_ORBIQLIB_Result RegisterRestriction(unsigned int mode, IRestrictionObserver* observer);
  E_ORBIQLIB_Result SetRestrictionMode(unsigned int mode, IRestrictionObserver* observer);
  E_ORBIQLIB_Result UnregisterRestriction(IRestrictionObserver* observer);
  E_ORBIQLIB_Result GetRestrictionMode(unsigned int& mode) const;
  E_ORBIQLIB_Result IsRestrictionRegistered(IRestrictionObserver* observer, bool& registered) const;
  std::size_t DataObserverCount() const;

  // Queue a callback for the delivery thread. False (nothing queued) when the channel is closed
  // or its thread does not run.
  bool PostData(SharedBytes data);
  bool PostError(E_ORBIQLIB_Result code);
  bool PostAvailability(std::int32_t state);
  // Asks the registered restriction observer (mode != 0); `answered` runs on the delivery thread
  // after it answered. Nothing is asked (and `answered` not run) without such an observer.
  bool PostRestrictionQuestion(SharedBytes data, RestrictionAnswerFn answered);

  // Puts a write's question to `observer` on the delivery thread and waits for the verdict.
  // Inline when called on the channel's own thread. `timeout` bounds the wait for the question
  // to be taken up (ORBIQLIB_E_TIMEOUT, the question is withdrawn); once the observer runs, the
  // call waits for its answer, because the observer belongs to the caller.
  E_ORBIQLIB_Result AskWriteQuestion(IRestrictionObserver* observer, const SharedBytes& data,
                                     std::chrono::milliseconds timeout, E_ORBIQLIB_Result& verdict);

  // Direct delivery on the calling thread, with the same registration checks and unregistration
  // waits as the delivery thread (used by the test double to fire from a test thread).
  void DeliverDataHere(const unsigned char* data, unsigned int count);
  void DeliverErrorHere(E_ORBIQLIB_Result code);
  void DeliverAvailabilityHere(std::int32_t state);
  // False when no restriction observer with mode != 0 was asked.
  bool DeliverRestrictionHere(const unsigned char* data, unsigned int count,
                              E_ORBIQLIB_Result& verdict);

 private:
  enum class Kind { Data, Availability, Restriction, WriteQuestion };
  enum class SlotState { Queued, Running, Answered, Withdrawn };
  struct WriteSlot {
    SlotState state = SlotState::Queued;  // guarded by the channel's mutex
    E_ORBIQLIB_Result verdict = ORBIQLIB_SUCCESS;
  };
  struct Task {
    enum class Type { Data, Error, Availability, Restriction, WriteQuestion } type{};
    SharedBytes data{};
    E_ORBIQLIB_Result code = ORBIQLIB_SUCCESS;
    std::int32_t state = 0;
    RestrictionAnswerFn answered{};
    IRestrictionObserver* writeObserver = nullptr;
    std::shared_ptr<WriteSlot> slot{};
  };
  struct Running {
    Kind kind;
    const void* target;
    std::thread::id thread;
  };
  using Lock = std::unique_lock<std::mutex>;

  void Run();
  bool Post(Task task);
  void Deliver(Lock& lock, Task& task);
  void DropQueue(Lock& lock);
  // Calls `call` without the lock, with the target marked running for unregistration waits.
  void CallGuarded(Lock& lock, Kind kind, const void* target, const std::function<void()>& call);
  void WaitNotRunning(Lock& lock, Kind kind, const void* target);
  template <typename T>
  E_ORBIQLIB_Result Register(std::vector<T*>& list, T* target);
  template <typename T>
  E_ORBIQLIB_Result Unregister(std::vector<T*>& list, Kind kind, T* target);
  // `call(target)` for each target of `list` that is still registered when its turn comes.
  template <typename T, typename Call>
  void FanOut(Lock& lock, bool onThread, const std::vector<T*>& list, Kind kind, Call call);
  bool AskRestriction(Lock& lock, bool onThread, const unsigned char* data, unsigned int count,
                      unsigned int& mode, E_ORBIQLIB_Result& verdict);
  bool Deliverable(bool onThread) const { return !closed_ && (!onThread || !stop_); }

  const std::shared_ptr<QuietCounter> quiet_;

  mutable std::mutex mutex_;
  std::condition_variable work_;     // queue_ grew, or stop_/closed_ set
  std::condition_variable changed_;  // running_ shrank, or a write slot changed state
  std::deque<Task> queue_;
  std::vector<IDataTransferObserver*> dataObservers_;
  std::vector<IAvailabilityCallback*> availabilityCallbacks_;
  IRestrictionObserver* restrictionObserver_ = nullptr;
  unsigned int restrictionMode_ = 0;
  std::vector<Running> running_;
  std::thread thread_;
  std::thread::id threadId_;
  bool stop_ = true;  // no delivery thread
  bool closed_ = false;
};

}  // namespace OrbiqCommunicationLibrary::Detail
