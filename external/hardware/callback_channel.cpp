#include "external/hardware/callback_channel.h"

#include <span>

#include <array>

#include <algorithm>

namespace OrbiqCommunicationLibrary::Detail {
namespace {

thread_local bool t_libraryThread = false;

template <typename T>
bool Contains(const std::vector<T*>& list, const T* item) {
  return std::find(list.begin(), list.end(), item) != list.end();
}

template <typename T>
bool Erase(std::vector<T*>& list, const T* item) {
  const auto found = std::find(list.begin(), list.end(), item);
  if (found == list.end()) return false;
  list.erase(found);
  return true;
}

}  // namespace

bool OnLibraryThread() { return t_libraryThread; }

LibraryThreadScope::LibraryThreadScope() : previous_(t_libraryThread) { t_libraryThread = true; }
LibraryThreadScope::~LibraryThreadScope() { t_libraryThread = previous_; }

void QuietCounter::Add() { count_.fetch_add(1, std::memory_order_seq_cst); }

void QuietCounter::Done(std::size_t count) {
  if (count == 0) return;
  std::size_t before = count_.load(std::memory_order_seq_cst);
  while (!count_.compare_exchange_weak(before, before - std::min(count, before), std::memory_order_seq_cst)) {
  }
  if (before != 0 && before <= count) {
    // A waiter checks the count under the mutex before it sleeps, so it is asleep by now or sees 0.
    std::lock_guard lock(mutex_);
    zero_.notify_all();
  }
}

bool QuietCounter::WaitForZero(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  return zero_.wait_for(lock, timeout, [this] { return count_.load(std::memory_order_seq_cst) == 0; });
}

CallbackChannel::CallbackChannel(std::shared_ptr<QuietCounter> quiet) : quiet_(std::move(quiet)) {}

CallbackChannel::~CallbackChannel() {
  // The thread holds a reference to the channel, so it has ended or was handed out by Close.
  if (thread_.joinable()) thread_.detach();
}

void CallbackChannel::StartThread() {
  Lock lock(mutex_);
  if (closed_ || thread_.joinable()) return;
  stop_ = false;
  thread_ = std::thread([self = shared_from_this()] { self->Run(); });
  threadId_ = thread_.get_id();
}

void CallbackChannel::StopThread() {
  std::thread thread;
  {
    Lock lock(mutex_);
    stop_ = true;
    DropQueue(lock);
    thread = std::move(thread_);
    work_.notify_all();
  }
  if (thread.joinable()) thread.join();
  Lock lock(mutex_);
  if (!thread_.joinable()) threadId_ = std::thread::id();
}

std::thread CallbackChannel::Close() {
  std::thread thread;
  {
    Lock lock(mutex_);
    if (closed_) return thread;
    closed_ = true;
    stop_ = true;
    dataObservers_.clear();
    availabilityCallbacks_.clear();
    restrictionObserver_ = nullptr;
    restrictionMode_ = 0;
    DropQueue(lock);
    thread = std::move(thread_);
    work_.notify_all();
    if (std::this_thread::get_id() == threadId_) return thread;
    // Direct deliveries on other threads (test double) may still run.
    changed_.wait(lock, [this] {
      return std::none_of(running_.begin(), running_.end(), [](const Running& r) {
        return r.thread != std::this_thread::get_id();
      });
    });
  }
  if (thread.joinable()) thread.join();
  return {};
}

bool CallbackChannel::IsClosed() const {
  Lock lock(mutex_);
  return closed_;
}

bool CallbackChannel::ThreadRunning() const {
  Lock lock(mutex_);
  return !stop_;
}

template <typename T>
E_ORBIQLIB_Result CallbackChannel::Register(std::vector<T*>& list, T* target) {
  if (target == nullptr) return ORBIQLIB_E_INVALID_ARGUMENT;
  Lock lock(mutex_);
  if (closed_) return ORBIQLIB_E_NOT_OPEN;
  if (Contains(list, target)) return ORBIQLIB_E_ALREADY_REGISTERED;
  list.push_back(target);
  return ORBIQLIB_SUCCESS;
}

template <typename T>
E_ORBIQLIB_Result CallbackChannel::Unregister(std::vector<T*>& list, Kind kind, T* target) {
  Lock lock(mutex_);
  if (!Erase(list, target)) return ORBIQLIB_E_NOT_REGISTERED;
  WaitNotRunning(lock, kind, target);
  return ORBIQLIB_SUCCESS;
}

template <typename T, typename Call>
void CallbackChannel::FanOut(Lock& lock, bool onThread, const std::vector<T*>& list, Kind kind,
                             Call call) {
  // A copy, since a callback may change the list; kept off the heap for the usual few targets.
  std::array<T*, 4> few{};
  std::vector<T*> many;
  std::span<T* const> targets;
  if (list.size() <= few.size()) {
    std::copy(list.begin(), list.end(), few.begin());
    targets = std::span<T* const>(few.data(), list.size());
  } else {
    many = list;
    targets = many;
  }
  for (T* target : targets) {
    if (!Deliverable(onThread) || !Contains(list, target)) continue;
    CallGuarded(lock, kind, target, [&] { call(target); });
  }
}

E_ORBIQLIB_Result CallbackChannel::RegisterData(IDataTransferObserver* observer) {
  return Register(dataObservers_, observer);
}

E_ORBIQLIB_Result CallbackChannel::UnregisterData(IDataTransferObserver* observer) {
  return Unregister(dataObservers_, Kind::Data, observer);
}

E_ORBIQLIB_Result CallbackChannel::RegisterAvailability(IAvailabilityCallback* callback) {
  return Register(availabilityCallbacks_, callback);
}

E_ORBIQLIB_Result CallbackChannel::UnregisterAvailability(IAvailabilityCallback* callback) {
  return Unregister(availabilityCallbacks_, Kind::Availability, callback);
}

E_ORBIQLIB_Result CallbackChannel::RegisterRestriction(unsigned int mode,
                                                       IRestrictionObserver* observer) {
  if (observer == nullptr || mode > 3) return ORBIQLIB_E_INVALID_ARGUMENT;
  Lock lock(mutex_);
  if (closed_) return ORBIQLIB_E_NOT_OPEN;
  if (restrictionObserver_ != nullptr) return ORBIQLIB_E_ALREADY_REGISTERED;
  restrictionObserver_ = observer;
  restrictionMode_ = mode;
  return ORBIQLIB_SUCCESS;
}

E_ORBIQLIB_Result CallbackChannel::SetRestrictionMode(unsigned int mode,
                                                      IRestrictionObserver* observer) {
  if (observer == nullptr || mode > 3) return ORBIQLIB_E_INVALID_ARGUMENT;
  Lock lock(mutex_);
  if (closed_) return ORBIQLIB_E_NOT_OPEN;
  if (restrictionObserver_ != observer) return ORBIQLIB_E_NOT_REGISTERED;
  restrictionMode_ = mode;
  return ORBIQLIB_SUCCESS;
}

E_ORBIQLIB_Result CallbackChannel::UnregisterRestriction(IRestrictionObserver* observer) {
  Lock lock(mutex_);
  if (observer == nullptr || restrictionObserver_ != observer) return ORBIQLIB_E_NOT_REGISTERED;
  restrictionObserver_ = nullptr;
  restrictionMode_ = 0;
  WaitNotRunning(lock, Kind::Restriction, observer);
  return ORBIQLIB_SUCCESS;
}

E_ORBIQLIB_Result CallbackChannel::GetRestrictionMode(unsigned int& mode) const {
  Lock lock(mutex_);
  if (closed_) return ORBIQLIB_E_NOT_OPEN;
  if (restrictionObserver_ == nullptr) return ORBIQLIB_E_NOT_REGISTERED;
  mode = restrictionMode_;
  return ORBIQLIB_SUCCESS;
}

E_ORBIQLIB_Result CallbackChannel::IsRestrictionRegistered(IRestrictionObserver* observer,
                                                           bool& registered) const {
  Lock lock(mutex_);
  if (closed_) return ORBIQLIB_E_NOT_OPEN;
  registered = observer != nullptr && restrictionObserver_ == observer;
  return ORBIQLIB_SUCCESS;
}

std::size_t CallbackChannel::DataObserverCount() const {
  Lock lock(mutex_);
  return dataObservers_.size();
}

bool CallbackChannel::Post(Task task) {
  Lock lock(mutex_);
  if (closed_ || stop_) return false;
  queue_.push_back(std::move(task));
  if (quiet_) quiet_->Add();
  work_.notify_one();
  return true;
}

bool CallbackChannel::PostData(SharedBytes data) {
  return Post(Task{.type = Task::Type::Data, .data = std::move(data)});
}

bool CallbackChannel::PostError(E_ORBIQLIB_Result code) {
  return Post(Task{.type = Task::Type::Error, .code = code});
}

bool CallbackChannel::PostAvailability(std::int32_t state) {
  return Post(Task{.type = Task::Type::Availability, .state = state});
}

bool CallbackChannel::PostRestrictionQuestion(SharedBytes data, RestrictionAnswerFn answered) {
  return Post(Task{.type = Task::Type::Restriction, .data = std::move(data),
                   .answered = std::move(answered)});
}

E_ORBIQLIB_Result CallbackChannel::AskWriteQuestion(IRestrictionObserver* observer,
                                                    const SharedBytes& data,
                                                    std::chrono::milliseconds timeout,
                                                    E_ORBIQLIB_Result& verdict) {
  const auto count = static_cast<unsigned int>(data->size());
  Lock lock(mutex_);
  if (closed_) return ORBIQLIB_E_NOT_OPEN;
  if (std::this_thread::get_id() == threadId_ && !stop_) {
    // Written from inside one of this channel's callbacks: the queue is ours anyway.
    CallGuarded(lock, Kind::WriteQuestion, observer,
                [&] { verdict = observer->OnRestriction(data->data(), count); });
    return ORBIQLIB_SUCCESS;
  }
  if (stop_) return ORBIQLIB_E_NOT_STARTED;
  auto slot = std::make_shared<WriteSlot>();
  queue_.push_back(Task{.type = Task::Type::WriteQuestion, .data = data,
                        .writeObserver = observer, .slot = slot});
  if (quiet_) quiet_->Add();
  work_.notify_one();
  const auto settled = [&] {
    return slot->state == SlotState::Answered || slot->state == SlotState::Withdrawn;
  };
  if (!changed_.wait_for(lock, timeout, settled)) {
    if (slot->state == SlotState::Queued) {
      slot->state = SlotState::Withdrawn;  // Run skips it
      return ORBIQLIB_E_TIMEOUT;
    }
    changed_.wait(lock, settled);  // the observer runs: its answer is close
  }
  if (slot->state == SlotState::Withdrawn) return closed_ ? ORBIQLIB_E_NOT_OPEN : ORBIQLIB_E_NOT_STARTED;
  verdict = slot->verdict;
  return ORBIQLIB_SUCCESS;
}

void CallbackChannel::DeliverDataHere(const unsigned char* data, unsigned int count) {
  Lock lock(mutex_);
  FanOut(lock, false, dataObservers_, Kind::Data,
         [&](IDataTransferObserver* observer) { observer->OnData(data, count); });
}

void CallbackChannel::DeliverErrorHere(E_ORBIQLIB_Result code) {
  Lock lock(mutex_);
  FanOut(lock, false, dataObservers_, Kind::Data,
         [&](IDataTransferObserver* observer) { observer->OnError(code); });
}

void CallbackChannel::DeliverAvailabilityHere(std::int32_t state) {
  Lock lock(mutex_);
  FanOut(lock, false, availabilityCallbacks_, Kind::Availability,
         [&](IAvailabilityCallback* callback) { callback->OnAvailabilityChanged(state); });
}

bool CallbackChannel::DeliverRestrictionHere(const unsigned char* data, unsigned int count,
                                             E_ORBIQLIB_Result& verdict) {
  Lock lock(mutex_);
  unsigned int mode = 0;
  return AskRestriction(lock, false, data, count, mode, verdict);
}

void CallbackChannel::Run() {
  LibraryThreadScope libraryThread;
  Lock lock(mutex_);
  for (;;) {
    work_.wait(lock, [this] { return stop_ || !queue_.empty(); });
    // Stop and Close compare the thread they own with threadId_, which a restart replaces.
    if (stop_ || threadId_ != std::this_thread::get_id()) break;
    Task task = std::move(queue_.front());
    queue_.pop_front();
    Deliver(lock, task);
    if (quiet_) quiet_->Done();
  }
}

void CallbackChannel::Deliver(Lock& lock, Task& task) {
  const unsigned char* bytes = task.data ? task.data->data() : nullptr;
  const auto count = task.data ? static_cast<unsigned int>(task.data->size()) : 0u;
  switch (task.type) {
    case Task::Type::Data:
      FanOut(lock, true, dataObservers_, Kind::Data,
             [&](IDataTransferObserver* observer) { observer->OnData(bytes, count); });
      break;
    case Task::Type::Error:
      FanOut(lock, true, dataObservers_, Kind::Data,
             [&](IDataTransferObserver* observer) { observer->OnError(task.code); });
      break;
    case Task::Type::Availability:
      FanOut(lock, true, availabilityCallbacks_, Kind::Availability,
             [&](IAvailabilityCallback* callback) { callback->OnAvailabilityChanged(task.state); });
      break;
    case Task::Type::Restriction: {
      unsigned int mode = 0;
      E_ORBIQLIB_Result verdict = ORBIQLIB_SUCCESS;
      if (AskRestriction(lock, true, bytes, count, mode, verdict) && task.answered) {
        lock.unlock();
        task.answered(mode, verdict);
        lock.lock();
      }
      break;
    }
    case Task::Type::WriteQuestion: {
      WriteSlot& slot = *task.slot;
      if (slot.state != SlotState::Queued) break;  // withdrawn by a writer that timed out
      slot.state = SlotState::Running;
      E_ORBIQLIB_Result verdict = ORBIQLIB_SUCCESS;
      IRestrictionObserver* observer = task.writeObserver;
      CallGuarded(lock, Kind::WriteQuestion, observer,
                  [&] { verdict = observer->OnRestriction(bytes, count); });
      slot.verdict = verdict;
      slot.state = SlotState::Answered;
      changed_.notify_all();
      break;
    }
  }
}

void CallbackChannel::DropQueue(Lock&) {
  const std::size_t dropped = queue_.size();
  for (Task& task : queue_) {
    if (task.slot && task.slot->state == SlotState::Queued) task.slot->state = SlotState::Withdrawn;
  }
  queue_.clear();
  if (quiet_) quiet_->Done(dropped);
  changed_.notify_all();
}

void CallbackChannel::CallGuarded(Lock& lock, Kind kind, const void* target,
                                  const std::function<void()>& call) {
  running_.push_back(Running{kind, target, std::this_thread::get_id()});
  lock.unlock();
  try {
    call();
  } catch (...) {
    // An observer's exception must not end the library's thread; it has no one to go to.
  }
  lock.lock();
  const auto self = std::find_if(running_.begin(), running_.end(), [&](const Running& r) {
    return r.kind == kind && r.target == target && r.thread == std::this_thread::get_id();
  });
  if (self != running_.end()) running_.erase(self);
  changed_.notify_all();
}

void CallbackChannel::WaitNotRunning(Lock& lock, Kind kind, const void* target) {
  changed_.wait(lock, [&] {
    return std::none_of(running_.begin(), running_.end(), [&](const Running& r) {
      return r.kind == kind && r.target == target && r.thread != std::this_thread::get_id();
    });
  });
}

bool CallbackChannel::AskRestriction(Lock& lock, bool onThread, const unsigned char* data,
                                     unsigned int count, unsigned int& mode,
                                     E_ORBIQLIB_Result& verdict) {
  IRestrictionObserver* observer = restrictionObserver_;
  if (!Deliverable(onThread) || observer == nullptr || restrictionMode_ == 0) return false;
  mode = restrictionMode_;
  CallGuarded(lock, Kind::Restriction, observer,
              [&] { verdict = observer->OnRestriction(data, count); });
  return true;
}

}  // namespace OrbiqCommunicationLibrary::Detail
