// SharedMemoryClient: a client program's side of the server's shared-memory connector, so that a
// program uses the fast path without knowing its protocol (docs/connector.md describes it for
// clients in other languages).
//
//   Talvaro::Client::SharedMemoryClient::Options options;
//   options.unit = L"XRB_1";
//   options.onData = [](const unsigned char* bytes, std::size_t count) { ... };
//   std::unique_ptr<Talvaro::Client::SharedMemoryClient> client;
//   std::string reason;
//   if (Talvaro::Client::SharedMemoryClient::Open(options, &client, &reason) != S_OK) ...
//   client->Write(payload, length, trailer);
//
// Open creates the client's private namespace and its write channel, asks the server's factory
// for a driver object with the channel base name and the namespace name, subscribes to the
// driver object's events (errors and availability changes still come as events), then opens the
// data and liveliness channels of the server's namespace: once a block arrives, events do too. The liveliness channel is read all
// the time: the server detaches a client that stops taking its probes for five seconds.
// Destruction tears everything down in the reverse order.
//
// Threads: the calling thread must have joined the multithreaded apartment. onData runs on the
// data channel's delivery thread, one block at a time and in order; onProbe on the liveliness
// channel's; onError and onAvailability on the component runtime's workers. A callback must
// not destroy the client. Write may be called from any thread (one send at a time).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "external/sharedmemory/private_namespace.h"
#include "external/sharedmemory/shared_memory_consumer.h"
#include "external/sharedmemory/shared_memory_producer.h"
#include "interfaces/communication_driver.h"
#include "interfaces/driver_factory.h"
#include "platform/com/com_ptr.h"
#include "platform/com/connection_interfaces.h"

namespace Talvaro::Client {

class SharedMemoryClient {
 public:
  struct Options {
    std::wstring unit;                             // the XRB unit's logical name
    std::wstring applicationName = L"client";      // as the server logs it
    std::wstring openArgument;                     // passed to the hardware's Open
    // Names of the link; empty ones are made unique per process and link.
    std::wstring channelBaseName;
    std::wstring namespaceName;
    std::size_t writeChannelSize = 500000;         // the largest write message, trailer included
    std::function<void(const unsigned char*, std::size_t)> onData;
    std::function<void()> onProbe;
    std::function<void(std::int32_t code)> onError;
    std::function<void(std::int32_t state)> onAvailability;
  };

  // S_OK and the client; otherwise the failure and, in `reason`, what went wrong: the factory's
  // answer (the server's -1050 / -1100 / -1200 travel unchanged), ERROR_NOT_SUPPORTED as an
  // HRESULT when the server does not use the shared-memory connector, E_FAIL when a channel or
  // namespace cannot be made or opened. Nothing stays behind on failure.
  static HRESULT Open(const Options& options, std::unique_ptr<SharedMemoryClient>* client, std::string* reason);

  ~SharedMemoryClient();
  SharedMemoryClient(const SharedMemoryClient&) = delete;
  SharedMemoryClient& operator=(const SharedMemoryClient&) = delete;

  // Sends payload + trailer (little-endian 32-bit) on the write channel; the server writes the
  // payload to the unit with the trailer as its value. `timeoutMs` -1 returns once the message
  // is in the channel, a time-out waits for the server to take it. The transport's exceptions
  // (SharedMemoryTransport::*_error) reach the caller: the message is too large, or the server
  // does not take it.
  void Write(const unsigned char* payload, std::size_t length, std::int32_t trailer, long timeoutMs = -1);

  std::uint64_t ProbesTaken() const { return probes_->load(); }
  const std::wstring& ChannelBaseName() const { return channelBaseName_; }
  const std::wstring& NamespaceName() const { return namespaceName_; }
  // Whether the server still holds the driver object's connection.
  bool Connected() const;

 private:
  SharedMemoryClient() = default;
  HRESULT Link(const Options& options, std::string* reason);
  HRESULT OpenChannels(const Options& options, std::string* reason);
  HRESULT Subscribe(const Options& options, std::string* reason);

  // In order of creation; the destructor undoes them in reverse.
  std::wstring channelBaseName_;
  std::wstring namespaceName_;
  std::unique_ptr<SharedMemoryTransport::CPrivateNamespace> namespace_;
  std::mutex writeLock_;  // one send at a time
  std::unique_ptr<SharedMemoryTransport::CSharedMemoryProducer> writeChannel_;  // guarded by writeLock_
  platform::com::ComPtr<ICommunicationDriver> driver_;
  std::shared_ptr<std::atomic<std::uint64_t>> probes_ = std::make_shared<std::atomic<std::uint64_t>>(0);
  std::unique_ptr<SharedMemoryTransport::CSharedMemoryConsumer> livelinessChannel_;
  std::unique_ptr<SharedMemoryTransport::CSharedMemoryConsumer> dataChannel_;
  platform::com::ComPtr<IConnectionPoint> eventPoint_;
  DWORD eventCookie_ = 0;
  std::function<void()> closeEvents_;  // ends the event forwarding; waits for a running callback
};

}  // namespace Talvaro::Client
