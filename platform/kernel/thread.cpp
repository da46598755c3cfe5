#include "platform/kernel/thread.h"

#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/kernel/message_queue.h"
#include "platform/kernel/synch.h"
#include "platform/system/last_error.h"

namespace platform::kernel {
namespace {

// A thread started by CreateThread: manual-reset, set once the thread has ended.
class Thread final : public WaitableObject {
 public:
  Thread(LPTHREAD_START_ROUTINE start, LPVOID parameter)
      : WaitableObject(ResetMode::Manual, false), start_(start), parameter_(parameter) {}

  // Body of the new thread; `self` is the thread's own reference to its object.
  static void* Run(void* self) {
    const std::unique_ptr<std::shared_ptr<Thread>> owner(static_cast<std::shared_ptr<Thread>*>(self));
    Thread& thread = **owner;
    thread.id_.store(GetCurrentThreadId());
    thread.id_.notify_all();
    const DWORD exitCode = thread.start_(thread.parameter_);
    // Posting to an ended thread must fail before anyone sees it ended.
    DropMessageQueueOfCurrentThread();
    thread.exitCode_.store(exitCode);
    thread.Set();
    return nullptr;
  }

  // Blocks until the new thread has published its id (needed only when the creator asks).
  DWORD WaitForId() const {
    id_.wait(0);
    return id_.load();
  }

  DWORD ExitCode() const { return exitCode_.load(); }

 private:
  const LPTHREAD_START_ROUTINE start_;
  const LPVOID parameter_;
  std::atomic<DWORD> id_{0};                // written once by the new thread
  std::atomic<DWORD> exitCode_{STILL_ACTIVE};  // written once by the new thread, before Set
};

// pthread attributes for a detached thread with the requested stack; RAII over init/destroy.
class ThreadAttributes {
 public:
  explicit ThreadAttributes(SIZE_T stackSize) {
    ::pthread_attr_init(&attributes_);
    ::pthread_attr_setdetachstate(&attributes_, PTHREAD_CREATE_DETACHED);
    if (stackSize != 0) {
      const SIZE_T page = static_cast<SIZE_T>(::sysconf(_SC_PAGESIZE));
      const auto minimum = static_cast<SIZE_T>(PTHREAD_STACK_MIN);
      SIZE_T size = stackSize < minimum ? minimum : stackSize;
      size = (size + page - 1) / page * page;
      ::pthread_attr_setstacksize(&attributes_, size);
    }
  }
  ThreadAttributes(const ThreadAttributes&) = delete;
  ThreadAttributes& operator=(const ThreadAttributes&) = delete;
  ~ThreadAttributes() { ::pthread_attr_destroy(&attributes_); }

  const pthread_attr_t* get() const { return &attributes_; }

 private:
  pthread_attr_t attributes_;
};

}  // namespace
}  // namespace platform::kernel

using platform::kernel::Thread;

HANDLE CreateThread(LPSECURITY_ATTRIBUTES /*security*/, SIZE_T stackSize,
                    LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD flags,
                    LPDWORD threadId) {
  if (start == nullptr || (flags & ~STACK_SIZE_PARAM_IS_A_RESERVATION) != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto thread = std::make_shared<Thread>(start, parameter);
  auto* self = new std::shared_ptr<Thread>(thread);
  const platform::kernel::ThreadAttributes attributes(stackSize);
  pthread_t id;
  if (::pthread_create(&id, attributes.get(), &Thread::Run, self) != 0) {
    delete self;
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  if (threadId != nullptr) {
    *threadId = thread->WaitForId();
  }
  return platform::kernel::InsertHandle(std::move(thread));
}

BOOL GetExitCodeThread(HANDLE thread, LPDWORD exitCode) {
  const auto object = platform::kernel::ReferenceHandleAs<Thread>(thread);
  if (!object) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (exitCode == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *exitCode = object->ExitCode();
  return TRUE;
}

DWORD GetCurrentThreadId() {
  static thread_local const DWORD id = static_cast<DWORD>(::gettid());
  return id;
}

DWORD GetCurrentProcessId() { return static_cast<DWORD>(::getpid()); }

void Sleep(DWORD milliseconds) {
  if (milliseconds == 0) {
    ::sched_yield();
    return;
  }
  if (milliseconds == INFINITE) {
    for (;;) {
      std::this_thread::sleep_for(std::chrono::hours(24));
    }
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}
