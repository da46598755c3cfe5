// CCommunicationDriver: the object a client holds for one XRB unit.
//
// The factory creates one per request and attaches it with Initialize to a hardware driver of
// the hardware proxy library; the object is then that driver's data observer and availability
// callback, and it forwards the client's operations to the hardware. In event mode a timer
// fires the liveliness event every second; a client that stops answering it is detached by
// Cleanup, which runs at the latest on the final release.
//
// Threads: client calls arrive on the component runtime's call threads, hardware callbacks on
// the library's threads, liveliness checks on the timer queue's threads; all may run at once.
// Locks, never held while calling out to a client but for the liveliness lock:
// - the object lock (ObjectRoot) guards the sink list;
// - the liveliness lock keeps two checks of the object apart; a check holds it while it fires
//   the liveliness event and cleans up, which cannot deadlock because it is only try-locked;
// - the cleanup lock makes Cleanup exclusive (re-entrant on one thread) and guards the timer;
// - attachmentLock_ guards the attachment pointer; client calls copy it and use their copy
//   without a lock, so Cleanup never waits for them and they never see the hardware interfaces
//   freed. Cleanup holds it while it closes and gives back a driver that no call uses (the
//   driver of a call still running is given back as that call ends);
// - restrictionCallbackLock_ guards the client's restriction callback pointer;
// - namesLock_ guards the names and the action names, which Initialize sets while the timer
//   may already read them;
// - dataChannelLock_ guards the data producer: stored and emptied under it by Initialize, only
//   try-locked by the data callback, which drops its block when another thread holds it.
// Order where they nest: liveliness lock, cleanup lock, then attachmentLock_.
//
// Shared-memory mode ("ConnectorType" is "SHARED_MEMORY", shared_memory_connector.cpp): no timer;
// Initialize links the object with its client through three channels, data goes to the data
// channel instead of the events, the client's writes come from its write channel on the
// consumer's thread, and the link's liveliness check (its own task) calls Cleanup when the client
// stops taking probes. The connector's objects go first in the destructor, while every other
// member still exists for the threads they end.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "connector/shared_memory_consumer_wrapper.h"
#include "connector/shared_memory_liveliness_check.h"
#include "diagnostics/kernel_dump_tool.h"
#include "diagnostics/performance_tools.h"
#include "driver/hardware_attachment.h"
#include "driver/observer_notification.h"
#include "external/hardware/comm_interfaces.h"
#include "external/logging/logger.h"
#include "external/sharedmemory/shared_memory_producer.h"
#include "interfaces/communication_driver.h"
#include "platform/com/connection_point.h"
#include "platform/com/error_info.h"
#include "platform/com/object_root.h"

namespace Talvaro::Driver {

class CCommunicationDriver;
using DriverEventsPoint = platform::com::ConnectionPoint<CCommunicationDriver, ICommunicationDriverEvents>;

class CCommunicationDriver
    : public platform::com::ConnectionPointContainer<CCommunicationDriver, DriverEventsPoint>,
      public DriverEventsPoint,
      public ISupportErrorInfo,
      public ICommunicationDriver,
      public IDataTransfer,
      public IAvailability,
      public IRestriction,
      public IAvailabilityCallback,
      public IDataTransferObserver,
      public IRestrictionObserver,
      public platform::com::ObjectRoot {
 public:
  using Interfaces =
      platform::com::InterfaceTable<CCommunicationDriver, IConnectionPointContainer,
                                    ICommunicationDriver, IDataTransfer, IAvailability,
                                    IRestriction, ISupportErrorInfo>;

  CCommunicationDriver();
  ~CCommunicationDriver() override;

  HRESULT FinalConstruct();
  void FinalRelease();

  // Attaches the object to the unit. Called once by the factory right after creation, on its
  // call thread. 0, or -1100 (no hardware driver), -1200 (Open failed), -1050 (registration).
  E_ORBIQLIB_Result Initialize(const std::wstring& logicalName, const std::wstring& applicationName,
                               const std::wstring& openArgument, const std::wstring& channelBaseName,
                               const std::wstring& clientNamespaceName,
                               platform::com::ComPtr<IObserverNotification> observerSingleton);

  // Ends the liveliness timer and detaches the object from the hardware. Any thread; safe to
  // call more than once.
  void Cleanup();

  // The event-mode liveliness check, every second on a timer-queue thread; `parameter` is the
  // object's key in the table of timer targets, never the object itself (communication_driver.cpp).
  static void LivelinessTimerCallback(PVOID parameter, BOOLEAN timerOrWaitFired);

  // "[" + logical name + ":" + application name + "]".
  std::wstring BuildLogTag() const;

  // ISupportErrorInfo
  HRESULT InterfaceSupportsErrorInfo(REFIID riid) override;

  // IDataTransfer, IAvailability, IRestriction: client operations (client_operations.cpp).
  HRESULT Write(SAFEARRAY* data, LONG value, LONG* result) override;
  HRESULT GetAvailability(LONG* state) override;
  HRESULT RegisterRestriction(ULONG mode, IStream* callback, LONG* result) override;
  HRESULT SetRestrictionMode(ULONG mode, LONG* result) override;
  HRESULT UnregisterRestriction(LONG* result) override;
  HRESULT GetRestrictionMode(ULONG* mode, LONG* result) override;
  HRESULT IsRestrictionRegistered(VARIANT_BOOL* registered, LONG* result) override;

  // Hardware callbacks, on the library's threads (hardware_callbacks.cpp). Each holds a
  // reference for its duration, so a client that drops the last one inside an event handler
  // does not destroy the object under the callback. Data and error callbacks keep a gap log
  // and are timed; the data event is watched for stalls.
  E_ORBIQLIB_Result OnData(const unsigned char* data, const unsigned int& count) override;
  E_ORBIQLIB_Result OnError(const E_ORBIQLIB_Result& code) override;
  E_ORBIQLIB_Result OnRestriction(const unsigned char* data, const unsigned int& count) override;
  void OnAvailabilityChanged(std::int32_t state) override;

 private:
  // The names that end the performance tools' action names: "<operation> - " + log tag.
  struct ActionNames {
    std::wstring onData, onError, fireEvent, write, isRestricted;
  };
  // The liveliness timer's targets: a key per object with a timer (communication_driver.cpp).
  class TimerTargets;

  // Delivers event `dispid` to every subscribed client in list order (event_dispatch.cpp).
  // S_OK, S_FALSE (nobody ever subscribed), E_INVALIDARG (no arguments), E_FAIL (a sink
  // without IDispatch, or a failed Invoke while `logFailures`), E_UNEXPECTED (an exception).
  HRESULT FireEvent(DISPID dispid, DISPPARAMS* arguments, bool logFailures);
  // The non-empty sinks in list order, each with a reference of the copy's own.
  HRESULT CopyEventSinks(std::vector<platform::com::ComPtr<IUnknown>>& sinks);
  // Empties the slot of a sink whose process is gone or whose call broke, so that later events
  // skip it; any other status leaves it alone.
  void RevokeEventByForce(HRESULT status, IUnknown* sink);
  // Fires `dispid` with one argument, failures not logged (the data, error and state events).
  void FireWithArgument(DISPID dispid, VARIANT& argument);
  // The data event's body: the block as a byte array, fired inside the stall watch's signals.
  void FireDataEvent(const unsigned char* data, unsigned int count);

  // One liveliness check, with a reference of the caller's.
  void CheckLiveliness();
  // Cleanup's first step, under the cleanup lock: ends the timer, waiting for a running check
  // only during the final release.
  void DeleteLivelinessTimer();
  // Construction's last step: the connector type and the channels' size from the registry.
  void ReadConnectorConfiguration();
  // Initialize's shared-memory step, on the client's request thread: creates the data and
  // liveliness channels, opens the client's write channel and starts the liveliness check.
  // 0, or -1050 after an Error record when the transport failed; what it stored stays.
  E_ORBIQLIB_Result CreateAndLinkSharedMemoryWithClient();
  // The data callback's body in shared-memory mode, on the hardware library's thread.
  void WriteDataToSharedMemory(const unsigned char* data, const unsigned int& count);
  // One message of the client's write channel, on the consumer's delivery thread.
  void OnWriteData(const unsigned char* payload, std::size_t length, long trailer);
  // The liveliness check's verdict, on its task: the client is gone, detach.
  void OnClientDead();

  // A reference for the duration of a callback, taken only while the object is alive (null
  // once it is being destroyed). The library and the connector's threads call without holding
  // one; a client may drop the last one meanwhile, and the object must outlive the callback.
  // Releasing it may destroy the object: it goes last, after every use of the object.
  platform::com::ComPtr<ICommunicationDriver> HoldIfAlive();
  // The current attachment (a share of it), or null when detached.
  std::shared_ptr<HardwareAttachment> Attachment() const;
  std::shared_ptr<const ActionNames> Actions() const;
  static ActionNames ActionNamesFor(const std::wstring& logTag);
  // Milliseconds since construction, truncated to 32 bits, for the watchers.
  ULONG ElapsedMilliseconds() const;
  // Hands a block to the watchers when there are any.
  void NotifyWatchers(const unsigned char* data, ULONG count) const;
  void Log(const std::wstring& message) const;
  void LogError(const std::wstring& message) const;

  // ---- fields in declaration order; destroyed in reverse ----
  std::shared_ptr<HardwareAttachment> attachment_;  // the hardware driver and its interfaces
  platform::com::ComPtr<IRestrictionCallback> clientRestrictionCallback_;  // client's judge
  HANDLE livelinessTimer_ = nullptr;                // event mode; guarded by cleanupLock_
  std::atomic<std::int32_t> finalRelease_{0};       // 1 while the object is being destroyed
  platform::com::ComPtr<IObserverNotification> observerSingleton_;  // given to Initialize
  std::wstring applicationName_;                    // guarded by namesLock_
  std::wstring logicalName_;                        // guarded by namesLock_
  std::recursive_mutex livelinessLock_;             // taken without waiting by the check
  std::recursive_mutex cleanupLock_;                // held by Cleanup
  std::atomic<bool> restrictionRegistered_{false};  // registered as restriction observer
  std::shared_ptr<Diagnostics::CTools> tools_;      // gap log and stall watch
  // Connector (shared_memory_connector.cpp). The channels are set by Initialize on the client's
  // thread and emptied by the destructor; the size and the mode are read at construction and
  // constant afterwards.
  const std::int32_t kilobyteFactor_ = 1000;        // bytes per configured kB
  const std::int32_t livelinessChannelSize_ = 10;   // bytes of the liveliness channel
  std::shared_ptr<SharedMemoryTransport::CSharedMemoryProducer> dataProducer_;  // dataChannelLock_
  std::shared_ptr<Connector::SharedMemoryConsumerWrapper> writeConsumer_;
  std::shared_ptr<SharedMemoryTransport::CSharedMemoryProducer> livelinessProducer_;
  std::shared_ptr<Connector::SharedMemoryLivelinessCheck> livelinessCheck_;
  std::recursive_mutex dataChannelLock_;            // try-locked around each data-channel write
  std::wstring channelBaseName_;                    // first part of the three channel names
  std::wstring clientNamespaceName_;                // alias prefix of the client's namespace
  std::atomic<bool> linked_{false};                 // set once the data producer is stored
  std::int32_t sharedMemorySize_ = 500 * 1000;      // bytes of the data and write channels
  bool sharedMemory_ = false;                       // "ConnectorType" is "SHARED_MEMORY"
  LONGLONG counterFrequency_ = 0;                   // performance-counter ticks per second
  LONGLONG creationCounter_ = 0;                    // read at construction: the watchers' epoch
  std::unique_ptr<Orbiq::Utils::PerformanceMonitoring::IPerformanceTools> performanceTools_;

  std::shared_ptr<Logging::ILogger> logger_;
  std::uint64_t timerKey_ = 0;                  // this object's key among the timer targets
  std::shared_ptr<const ActionNames> actions_;  // guarded by namesLock_
  mutable std::mutex namesLock_;
  mutable std::mutex attachmentLock_;           // guards attachment_ (the pointer only)
  mutable std::mutex restrictionCallbackLock_;  // guards clientRestrictionCallback_
};

}  // namespace Talvaro::Driver
