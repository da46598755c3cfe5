// SharedMemoryLivelinessCheck: watches one shared-memory link with its client. A task of its own
// ("LivelinessCheck_thread") sends a one-byte probe on the liveliness channel once a second; after
// five failed probes in a row it calls the client-dead callback (the driver object's Cleanup) and
// ends. It also ends on its destruction and when the channel cannot hold a probe.
//
// Threads: the constructor and destructor run on the driver object's threads, everything else
// on the task's thread. The task shares the check's state, so it never touches a destroyed
// check, also when it outlives the destructor's one-second wait (a probe to a stalled client);
// the channel then goes when that probe returns. The callback runs without a lock of the
// check's; the destructor cancels it and waits for a running one, unless it is called from
// inside the callback itself, so the callback never runs once the destructor has returned.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "external/infra/concurrency.h"
#include "external/sharedmemory/shared_memory_producer.h"

namespace Talvaro::Connector {

inline constexpr const wchar_t* kLivelinessCheckSource = L"TCD::SharedMemoryLivelinessCheck";
inline constexpr const wchar_t* kLivelinessTaskName = L"LivelinessCheck_thread";

class SharedMemoryLivelinessCheck {
 public:
  // Starts the task; its first probe goes out a second from now.
  SharedMemoryLivelinessCheck(std::shared_ptr<SharedMemoryTransport::CSharedMemoryProducer> producer,
                              std::wstring checkName, std::function<void()> clientDead);
  // Stops the task and waits for it at most a second.
  ~SharedMemoryLivelinessCheck();
  SharedMemoryLivelinessCheck(const SharedMemoryLivelinessCheck&) = delete;
  SharedMemoryLivelinessCheck& operator=(const SharedMemoryLivelinessCheck&) = delete;

  struct State;

 private:
  Infra::ConcurrencyLifetime concurrency_;
  std::shared_ptr<State> state_;  // shared with the task
  std::shared_ptr<Infra::Future<void>> task_;
};

}  // namespace Talvaro::Connector
