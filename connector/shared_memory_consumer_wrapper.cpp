#include "connector/shared_memory_consumer_wrapper.h"

#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace Talvaro::Connector {

struct SharedMemoryConsumerWrapper::State {
  std::mutex lock;
  std::condition_variable callbackEnded;
  Callback callback;                  // guarded by lock; empty once the wrapper is ending
  bool callbackRunning = false;       // guarded by lock
  std::thread::id deliveryThread;     // guarded by lock: set while a callback runs
  std::vector<unsigned char> payload;  // the delivery thread's

  void Deliver(const unsigned char* bytes, std::size_t count) {
    if (count < kTrailerBytes) return;
    const std::size_t length = count - kTrailerBytes;
    // A copy of our own: the channel's memory could be overwritten by a hostile writer while
    // the callback runs.
    payload.assign(bytes, bytes + length);
    std::int32_t trailer = 0;
    std::memcpy(&trailer, bytes + length, kTrailerBytes);
    Callback call;
    {
      std::lock_guard guard(lock);
      if (!callback) return;
      call = callback;
      callbackRunning = true;
      deliveryThread = std::this_thread::get_id();
    }
    call(payload.data(), length, static_cast<long>(trailer));
    std::lock_guard guard(lock);
    callbackRunning = false;
    callbackEnded.notify_all();
  }

  // Ends the callback; true when called from inside it.
  bool EndCallback() {
    std::unique_lock guard(lock);
    callback = nullptr;
    const bool inside = callbackRunning && deliveryThread == std::this_thread::get_id();
    if (!inside) callbackEnded.wait(guard, [this] { return !callbackRunning; });
    return inside;
  }
};

SharedMemoryConsumerWrapper::SharedMemoryConsumerWrapper(const std::wstring& namespacePrefix,
                                                         const std::wstring& channelName, Callback callback,
                                                         std::size_t size)
    : state_(std::make_shared<State>()) {
  state_->callback = std::move(callback);
  consumer_ = std::make_shared<SharedMemoryTransport::CSharedMemoryConsumer>(
      namespacePrefix, channelName,
      [state = state_](const unsigned char* bytes, std::size_t count) { state->Deliver(bytes, count); }, size);
}

SharedMemoryConsumerWrapper::~SharedMemoryConsumerWrapper() {
  if (!state_->EndCallback()) return;  // the consumer goes with the member, joining its thread
  // On the delivery thread: the consumer ends on a thread of its own, once this callback returned.
  // The only share goes to that thread; if none can be started, the consumer is kept for the
  // process's life rather than joined from its own thread.
  auto* last = new std::shared_ptr<SharedMemoryTransport::CSharedMemoryConsumer>(std::move(consumer_));
  try {
    std::thread([last] { delete last; }).detach();
  } catch (const std::system_error&) {
  }
}

}  // namespace Talvaro::Connector
