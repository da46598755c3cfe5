#include "connector/shared_memory_liveliness_check.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "common/driver_logger.h"
#include "external/infra/string_converter.h"
#include "external/sharedmemory/exceptions.h"
#include "platform/kernel/handle.h"
#include "platform/kernel/synch.h"

namespace Talvaro::Connector {

namespace Transport = SharedMemoryTransport;

struct SharedMemoryLivelinessCheck::State {
  State(std::shared_ptr<Transport::CSharedMemoryProducer> probes, std::function<void()> onClientDead,
        std::wstring checkName)
      : producer(std::move(probes)),
        clientDead(std::move(onClientDead)),
        stop(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
        name(std::move(checkName)) {}
  ~State() {
    if (stop != nullptr) CloseHandle(stop);
  }
  State(const State&) = delete;
  State& operator=(const State&) = delete;

  void Run();
  // One probe; false when it failed. Sets `finished` when no probe can ever fit.
  bool Probe(bool& finished);
  void RequestStop() {
    stopRequested.store(true);
    if (stop != nullptr) SetEvent(stop);
  }
  void Log(const std::wstring& text) const {
    Common::GetDriverLogger()->Info(kLivelinessCheckSource, text, Logging::Category::Developer1);
  }
  void LogError(const std::wstring& text) const {
    Common::GetDriverLogger()->Error(kLivelinessCheckSource, text, Logging::Category::Developer1);
  }

  // The callback, unless the destructor cancelled it; a running one is waited for (not on the
  // task's own thread). Called outside the lock, so that it may take any lock of its owner's.
  void CallClientDead();
  void CancelCallback();

  const std::shared_ptr<Transport::CSharedMemoryProducer> producer;
  std::function<void()> clientDead;  // guarded by callbackLock; emptied by CancelCallback
  bool callbackRunning = false;      // guarded by callbackLock
  std::mutex callbackLock;
  std::condition_variable callbackEnded;
  std::thread::id taskThread;        // set by the task before its first wait
  const HANDLE stop;                  // manual reset; null when it could not be created
  std::atomic<bool> stopRequested{false};  // the same request, for a stop event that failed
  const std::wstring name;
  const int failureLimit = 5;
  const DWORD probePeriodMs = 1000;
};

void SharedMemoryLivelinessCheck::State::CallClientDead() {
  std::function<void()> callback;
  {
    std::lock_guard guard(callbackLock);
    if (!clientDead) return;
    callback = clientDead;
    callbackRunning = true;
  }
  callback();
  std::lock_guard guard(callbackLock);
  callbackRunning = false;
  callbackEnded.notify_all();
}

void SharedMemoryLivelinessCheck::State::CancelCallback() {
  std::unique_lock guard(callbackLock);
  clientDead = nullptr;
  // The check destroyed from inside its own callback does not wait for itself.
  if (std::this_thread::get_id() != taskThread) callbackEnded.wait(guard, [this] { return !callbackRunning; });
}

void SharedMemoryLivelinessCheck::State::Run() {
  int failures = 0;
  for (;;) {
    const DWORD woken = stop != nullptr ? WaitForSingleObject(stop, probePeriodMs) : WAIT_FAILED;
    if (woken == WAIT_OBJECT_0 || stopRequested.load()) return;
    if (woken != WAIT_TIMEOUT) {
      // Without a stop event the wait does not take its period: it is slept instead, and the
      // stop request comes through the flag.
      std::this_thread::sleep_for(std::chrono::milliseconds(probePeriodMs));
      if (stopRequested.load()) return;
    }
    Log(L"Do liveliness check (" + name + L")");
    bool finished = false;
    failures = Probe(finished) ? 0 : failures + 1;
    Log(L"Liveliness check done (" + name + L")");
    if (finished) RequestStop();
    if (failures == failureLimit) {
      CallClientDead();
      RequestStop();
    }
  }
}

bool SharedMemoryLivelinessCheck::State::Probe(bool& finished) {
  static constexpr unsigned char kProbe = 0x01;
  try {
    producer->SendData(&kProbe, 1, static_cast<long>(probePeriodMs));
    return true;
  } catch (const Transport::buffer_too_small_error& failure) {
    LogError(L"Write to shared memory failed - buffer is too small (" + Infra::ToWide(failure.what()) +
             L") - finishing thread");
    finished = true;
  } catch (const Transport::send_timeout_error& failure) {
    LogError(L"Write to shared memory timeout (" + Infra::ToWide(failure.what()) + L")");
  } catch (const Transport::client_not_responding_error& failure) {
    LogError(L"Write to shared memory failed - client not responding (" + Infra::ToWide(failure.what()) + L")");
  } catch (const std::runtime_error& failure) {
    LogError(L"Write to shared memory failed with unknown error (" + Infra::ToWide(failure.what()) + L")");
  }
  return false;
}

SharedMemoryLivelinessCheck::SharedMemoryLivelinessCheck(
    std::shared_ptr<Transport::CSharedMemoryProducer> producer, std::wstring checkName,
    std::function<void()> clientDead)
    : state_(std::make_shared<State>(std::move(producer), std::move(clientDead), std::move(checkName))) {
  Infra::Task<void, Infra::ComPolicyMTA, Infra::LoggingPolicyNull> task(kLivelinessTaskName, [state = state_] {
    {
      std::lock_guard guard(state->callbackLock);
      state->taskThread = std::this_thread::get_id();
    }
    state->Run();
  });
  task_ = Infra::GlobalThreadPool::LaunchInNewThread(std::move(task));
}

SharedMemoryLivelinessCheck::~SharedMemoryLivelinessCheck() {
  state_->RequestStop();
  bool onTaskThread = false;
  {
    std::lock_guard guard(state_->callbackLock);
    onTaskThread = std::this_thread::get_id() == state_->taskThread;
  }
  if (!onTaskThread && !task_->TimedWait(std::chrono::system_clock::now() + std::chrono::seconds(1))) {
    // A probe to a stalled client may still be running: the channel goes when it returns.
    state_->LogError(L"(" + state_->name + L") Liveliness check thread hasn't been stopped yet");
  }
  // A callback that runs now ends before this returns; none starts afterwards.
  state_->CancelCallback();
}

}  // namespace Talvaro::Connector
