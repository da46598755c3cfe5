#include "client/shared_memory_client.h"

#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "external/sharedmemory/exceptions.h"
#include "interfaces/shared_memory_names.h"
#include "platform/automation/bstr.h"
#include "platform/automation/dispatch_without_type_info.h"
#include "platform/com/com_object.h"
#include "platform/com/interface_table.h"
#include "platform/com/class_table.h"
#include "platform/remoting/remoting.h"
#include "platform/types/wide_string.h"

namespace Talvaro::Client {
namespace {

namespace Transport = SharedMemoryTransport;
using platform::com::ComPtr;

// Forwards the events that still come as events in shared-memory mode: errors and availability
// changes. Called on the runtime's workers; not on the RPC thread, since the callbacks are the
// program's own and may block. Close ends the forwarding: an event already on its way when the
// client unsubscribes is waited for, and none reaches the program afterwards.
class CEventForwarder : public platform::com::ObjectRoot,
                        public platform::automation::WithoutTypeInfo<ICommunicationDriverEvents> {
 public:
  using Interfaces = platform::com::InterfaceTable<CEventForwarder, ICommunicationDriverEvents,
                                                   platform::com::Expose<IDispatch, ICommunicationDriverEvents>>;

  void Initialize(std::function<void(std::int32_t)> onError, std::function<void(std::int32_t)> onAvailability) {
    onError_ = std::move(onError);
    onAvailability_ = std::move(onAvailability);
  }
  void Close() {
    std::unique_lock guard(mutex_);
    closed_ = true;
    ended_.wait(guard, [this] { return running_ == 0; });
  }

  HRESULT Invoke(DISPID dispid, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*, UINT*) override {
    if (params == nullptr || params->cArgs != 1 || params->rgvarg[0].vt != VT_UI4) return S_OK;
    const auto value = static_cast<std::int32_t>(params->rgvarg[0].ulVal);
    const auto& callback = dispid == DISPID_OnError ? onError_ : onAvailability_;
    if ((dispid != DISPID_OnError && dispid != DISPID_OnStateChanged) || !callback) return S_OK;
    {
      std::lock_guard guard(mutex_);
      if (closed_) return S_OK;
      ++running_;
    }
    callback(value);
    std::lock_guard guard(mutex_);
    if (--running_ == 0) ended_.notify_all();
    return S_OK;
  }

 private:
  std::function<void(std::int32_t)> onError_;         // set before the forwarder is handed out
  std::function<void(std::int32_t)> onAvailability_;  // likewise
  std::mutex mutex_;
  std::condition_variable ended_;
  bool closed_ = false;  // guarded by mutex_
  int running_ = 0;      // guarded by mutex_: callbacks under way
};

// "<pid>_<n>": unique among the links of the running processes.
std::wstring UniqueLinkNumber() {
  static std::atomic<unsigned> next{0};
  return std::to_wstring(::getpid()) + L"_" + std::to_wstring(++next);
}

HRESULT Failed(HRESULT status, const std::string& what, std::string* reason) {
  if (reason != nullptr) *reason = what;
  return status;
}

}  // namespace

HRESULT SharedMemoryClient::Open(const Options& options, std::unique_ptr<SharedMemoryClient>* client,
                                 std::string* reason) {
  if (client == nullptr) return E_POINTER;
  client->reset();
  std::unique_ptr<SharedMemoryClient> opened(new SharedMemoryClient);
  // Subscribed before the channels are read: once a block arrives, so do the events.
  HRESULT status = opened->Link(options, reason);
  if (status == S_OK) status = opened->Subscribe(options, reason);
  if (status == S_OK) status = opened->OpenChannels(options, reason);
  if (status == S_OK) *client = std::move(opened);
  return status;  // a failed one is torn down by its destructor, in order
}

HRESULT SharedMemoryClient::Link(const Options& options, std::string* reason) {
  const std::wstring link = UniqueLinkNumber();
  channelBaseName_ = options.channelBaseName.empty() ? L"tcdlink" + link : options.channelBaseName;
  namespaceName_ = options.namespaceName.empty() ? L"tcdclient" + link : options.namespaceName;
  try {
    const Transport::CSecurityAttributes attributes(Connector::kServerSecurityDescriptor);
    namespace_ = std::make_unique<Transport::CPrivateNamespace>(Transport::CPrivateNamespace::CreatePrivateNamespaceW(
        attributes, Connector::kClientBoundaryPrefix + namespaceName_, namespaceName_));
    writeChannel_ = std::make_unique<Transport::CSharedMemoryProducer>(attributes, namespace_->Name(),
                                                                       channelBaseName_ + Connector::kWriteChannelSuffix,
                                                                       options.writeChannelSize);
  } catch (const std::runtime_error& failure) {
    return Failed(E_FAIL, std::string("cannot create the client's channels: ") + failure.what(), reason);
  }

  ComPtr<ITalvaroCommunicationDriverFactory> factory;
  HRESULT hr = CoCreateInstance(CLSID_TalvaroCommunicationDriverFactory, nullptr, CLSCTX_LOCAL_SERVER,
                                uuidof<ITalvaroCommunicationDriverFactory>, factory.PutVoid());
  if (FAILED(hr)) return Failed(hr, "cannot reach the server", reason);
  platform::automation::Bstr unit(options.unit), application(options.applicationName),
      openArgument(options.openArgument), baseName(channelBaseName_), namespaceName(namespaceName_);
  hr = factory->CreateDriver(unit.Get(), application.Get(), openArgument.Get(), baseName.Get(), namespaceName.Get(),
                             driver_.Put());
  if (hr != S_OK || !driver_) {
    driver_ = nullptr;
    return Failed(hr == S_OK ? E_UNEXPECTED : hr, "the server refused the driver object", reason);
  }

  return S_OK;
}

HRESULT SharedMemoryClient::OpenChannels(const Options& options, std::string* reason) {
  // The factory answered S_OK: in shared-memory mode the link exists then, so a namespace or
  // channel that cannot be opened means the driver object was made in event mode.
  const std::string eventMode =
      "the server made no channels for the link: it does not use the shared-memory connector (ConnectorType is not "
      "SHARED_MEMORY)";
  std::wstring serverPrefix;
  try {
    serverPrefix = Transport::CPrivateNamespace::OpenPrivateNamespaceW(Connector::kServerBoundaryName,
                                                                       Connector::kServerAliasPrefix)
                       .Name();
    livelinessChannel_ = std::make_unique<Transport::CSharedMemoryConsumer>(
        serverPrefix, channelBaseName_ + Connector::kLivelinessChannelSuffix,
        [probes = probes_, onProbe = options.onProbe](const unsigned char*, std::size_t) {
          probes->fetch_add(1);
          if (onProbe) onProbe();
        },
        1);
    auto onData = options.onData ? options.onData : [](const unsigned char*, std::size_t) {};
    dataChannel_ = std::make_unique<Transport::CSharedMemoryConsumer>(
        serverPrefix, channelBaseName_ + Connector::kDataChannelSuffix, std::move(onData), options.writeChannelSize);
  } catch (const Transport::sharedmemory_runtime_error& failure) {
    const bool neverMade = serverPrefix.empty() ||
                           !Transport::CSharedMemoryConsumer::Exists(serverPrefix, channelBaseName_ + Connector::kDataChannelSuffix) ||
                           !Transport::CSharedMemoryConsumer::Exists(serverPrefix, channelBaseName_ + Connector::kLivelinessChannelSuffix);
    if (neverMade) return Failed(HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED), eventMode, reason);
    return Failed(E_FAIL, std::string("cannot read the link's channels: ") + failure.what(), reason);
  } catch (const std::runtime_error& failure) {
    return Failed(E_FAIL, std::string("cannot read the link's channels: ") + failure.what(), reason);
  }
  return S_OK;
}

HRESULT SharedMemoryClient::Subscribe(const Options& options, std::string* reason) {
  if (!options.onError && !options.onAvailability) return S_OK;
  ComPtr<IConnectionPointContainer> container;
  HRESULT hr = driver_.As(&container);
  ComPtr<IConnectionPoint> point;
  if (SUCCEEDED(hr)) hr = container->FindConnectionPoint(uuidof<ICommunicationDriverEvents>, point.Put());
  ComPtr<platform::com::ComObject<CEventForwarder>> forwarder;
  if (SUCCEEDED(hr)) hr = platform::com::CreateObject(&forwarder);
  if (SUCCEEDED(hr)) {
    forwarder->Initialize(options.onError, options.onAvailability);
    hr = point->Advise(static_cast<ICommunicationDriverEvents*>(forwarder.Get()), &eventCookie_);
  }
  if (FAILED(hr)) return Failed(hr, "cannot subscribe to the driver object's events", reason);
  eventPoint_ = std::move(point);
  closeEvents_ = [forwarder] { forwarder->Close(); };
  return S_OK;
}

SharedMemoryClient::~SharedMemoryClient() {
  if (eventPoint_) eventPoint_->Unadvise(eventCookie_);
  eventPoint_ = nullptr;
  if (closeEvents_) closeEvents_();
  // The server's driver object goes first, so that it stops sending before our readers leave:
  // the release reaches it a moment later, its channels' writers end as it goes (waited for at
  // most two seconds, a server that hangs does not hold us).
  driver_ = nullptr;
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (livelinessChannel_ && dataChannel_ && !(livelinessChannel_->WriterGone() && dataChannel_->WriterGone()) &&
         std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  dataChannel_.reset();
  livelinessChannel_.reset();
  {
    std::lock_guard guard(writeLock_);
    writeChannel_.reset();
  }
  namespace_.reset();
}

void SharedMemoryClient::Write(const unsigned char* payload, std::size_t length, std::int32_t trailer,
                               long timeoutMs) {
  std::vector<unsigned char> message(length + sizeof trailer);
  if (length != 0) std::memcpy(message.data(), payload, length);
  std::memcpy(message.data() + length, &trailer, sizeof trailer);  // the machine's order: little-endian
  std::lock_guard guard(writeLock_);
  writeChannel_->SendData(message.data(), message.size(), timeoutMs);
}

bool SharedMemoryClient::Connected() const { return driver_ && platform::remoting::IsConnected(driver_.Get()); }

}  // namespace Talvaro::Client
