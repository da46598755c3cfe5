// The concurrency library: a process-wide initialisation count, named tasks that each run on a
// new thread of their own, and futures that can be waited on until a deadline.
//
//   Infra::ConcurrencyLifetime lifetime;   // or ConcurrencyInitialize()/ConcurrencyUninitialize()
//   Infra::Task<void, Infra::ComPolicyMTA, Infra::LoggingPolicyNull> task(
//       L"LivelinessCheck_thread", [state] { state->Run(); });
//   auto future = Infra::GlobalThreadPool::LaunchInNewThread(std::move(task));
//   if (!future->TimedWait(std::chrono::system_clock::now() + std::chrono::seconds(1))) ...
//
// Ownership: the task's thread shares its future with every holder, so a future may outlive the
// code that launched it and the thread never touches freed state. The thread is detached: nothing
// joins it, and a process may exit while a task still runs (the library's own state is never
// destroyed). Whatever the work captures is destroyed on the task's thread before the future
// completes.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

#include "external/infra/exceptions.h"
#include "platform/com/apartment.h"

namespace Infra {

// Counted: each ConcurrencyInitialize needs its ConcurrencyUninitialize; an Uninitialize without
// an Initialize is ignored. Tasks already running are not affected by the count. Any thread.
void ConcurrencyInitialize();
void ConcurrencyUninitialize();
bool IsConcurrencyInitialized();

// Keeps the library initialised while it exists.
class ConcurrencyLifetime {
 public:
  ConcurrencyLifetime() { ConcurrencyInitialize(); }
  ~ConcurrencyLifetime() { ConcurrencyUninitialize(); }
  ConcurrencyLifetime(const ConcurrencyLifetime&) = delete;
  ConcurrencyLifetime& operator=(const ConcurrencyLifetime&) = delete;
};

// Deadlines in the system's 100 ns ticks: `system_clock::now() + Ticks(10'000'000)` is one second
// from now, and TimePointFromFileTimeTicks converts an absolute system time (ticks since
// 1601-01-01 UTC, as FILETIME holds it).
using Ticks = std::chrono::duration<std::int64_t, std::ratio<1, 10'000'000>>;
std::chrono::system_clock::time_point TimePointFromFileTimeTicks(std::uint64_t ticksSince1601);

// Component-model policies: a ThreadScope lives on the task's thread around the work.
struct ComPolicyNone {
  class ThreadScope {};
};

// Joins the multithreaded apartment for the work and leaves it afterwards, if joining worked.
struct ComPolicyMTA {
  class ThreadScope {
   public:
    ThreadScope() noexcept : result_(CoInitializeEx(nullptr, COINIT_MULTITHREADED)) {}
    ~ThreadScope() {
      if (SUCCEEDED(result_)) CoUninitialize();
    }
    ThreadScope(const ThreadScope&) = delete;
    ThreadScope& operator=(const ThreadScope&) = delete;

   private:
    HRESULT result_;
  };
};

// Logging policies: hooks called on the task's thread, never with a library lock held.
struct LoggingPolicyNull {
  static void OnStart(const std::wstring& /*taskName*/) noexcept {}
  static void OnFailure(const std::wstring& /*taskName*/, std::exception_ptr /*error*/) noexcept {}
  static void OnEnd(const std::wstring& /*taskName*/) noexcept {}
};

// The full name of the task running on the calling thread; empty on any other thread. (The name
// the operating system shows is cut to 15 bytes.)
const std::wstring& CurrentTaskName() noexcept;

inline constexpr const wchar_t* kConcurrencyNotInitializedText =
    L"Concurrency library not initialized before usage. Add calls to ConcurrencyInitialize() and "
    L"ConcurrencyUninitialize() or use the ConcurrencyLifetime class.";

template <class Result, class ComPolicy = ComPolicyNone, class LoggingPolicy = LoggingPolicyNull>
class Task {
 public:
  Task(std::wstring name, std::function<Result()> work)
      : name_(std::move(name)), work_(std::move(work)) {}

  const std::wstring& Name() const noexcept { return name_; }

 private:
  friend class GlobalThreadPool;
  std::wstring name_;
  std::function<Result()> work_;
};

// Completion state of one task, shared by the task's thread and every holder. Waiting may happen
// on any number of threads at once. Guarded by lock_: completed_, value_, cloned_, error_.
template <class Result>
class Future {
 public:
  Future(const Future&) = delete;
  Future& operator=(const Future&) = delete;

  const std::wstring& TaskName() const noexcept { return name_; }

  bool IsCompleted() const {
    std::lock_guard guard(lock_);
    return completed_;
  }

  void Wait() const {
    std::unique_lock guard(lock_);
    changed_.wait(guard, [this] { return completed_; });
  }

  // Whether the task completed by `deadline` (any clock; a past deadline just looks).
  template <class Clock, class Duration>
  bool TimedWait(const std::chrono::time_point<Clock, Duration>& deadline) const {
    std::unique_lock guard(lock_);
    return changed_.wait_until(guard, deadline, [this] { return completed_; });
  }

  // Waits, then returns the work's result or throws its exception: a copy of the family's
  // exception as its own type for each caller, anything else as captured.
  Result Get() const {
    std::unique_lock guard(lock_);
    changed_.wait(guard, [this] { return completed_; });
    if (cloned_) cloned_->Rethrow();
    if (error_) std::rethrow_exception(error_);
    if constexpr (!std::is_void_v<Result>) return *value_;
  }

 private:
  friend class GlobalThreadPool;
  using Stored = std::conditional_t<std::is_void_v<Result>, bool, Result>;

  explicit Future(std::wstring name) : name_(std::move(name)) {}

  void Complete(std::optional<Stored> value, std::unique_ptr<CloneableExceptionBase> cloned,
                std::exception_ptr error) {
    {
      std::lock_guard guard(lock_);
      value_ = std::move(value);
      cloned_ = std::move(cloned);
      error_ = std::move(error);
      completed_ = true;
    }
    changed_.notify_all();
  }

  const std::wstring name_;
  mutable std::mutex lock_;
  mutable std::condition_variable changed_;
  bool completed_ = false;
  std::optional<Stored> value_;
  std::unique_ptr<CloneableExceptionBase> cloned_;
  std::exception_ptr error_;
};

namespace detail {
// Starts a detached thread that names itself `name` (for the OS and CurrentTaskName) and runs
// `body`. Throws std::system_error when no thread can be created.
void StartNamedThread(std::wstring name, std::function<void()> body);
}  // namespace detail

class GlobalThreadPool {
 public:
  // Runs `task` on a new thread of its own and returns its future. Raises Infra::Unexpected
  // (kConcurrencyNotInitializedText) when the library is not initialised.
  template <class Result, class ComPolicy, class LoggingPolicy>
  static std::shared_ptr<Future<Result>> LaunchInNewThread(
      Task<Result, ComPolicy, LoggingPolicy> task) {
    if (!IsConcurrencyInitialized()) throw Unexpected(L"%ls", kConcurrencyNotInitializedText);
    std::shared_ptr<Future<Result>> future(new Future<Result>(task.name_));
    detail::StartNamedThread(task.name_, [future, work = std::move(task.work_)]() mutable {
      Run<Result, ComPolicy, LoggingPolicy>(*future, work);
    });
    return future;
  }

 private:
  template <class Result, class ComPolicy, class LoggingPolicy>
  static void Run(Future<Result>& future, std::function<Result()>& work) {
    const std::wstring& name = future.TaskName();
    std::optional<typename Future<Result>::Stored> value;
    std::unique_ptr<CloneableExceptionBase> cloned;
    std::exception_ptr error;
    LoggingPolicy::OnStart(name);
    {
      [[maybe_unused]] typename ComPolicy::ThreadScope apartment;
      try {
        if constexpr (std::is_void_v<Result>) {
          work();
          value.emplace(true);
        } else {
          value.emplace(work());
        }
      } catch (const CloneableExceptionBase& e) {
        error = std::current_exception();
        try {
          cloned = e.Clone();
        } catch (...) {
          // Out of memory while cloning: the captured exception still carries the type.
        }
      } catch (...) {
        error = std::current_exception();
      }
      work = nullptr;  // the work's captures die on this thread, before anyone sees completion
    }
    if (error) LoggingPolicy::OnFailure(name, error);
    LoggingPolicy::OnEnd(name);
    future.Complete(std::move(value), std::move(cloned), cloned ? nullptr : std::move(error));
  }
};

}  // namespace Infra
