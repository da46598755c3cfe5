#include "driver/communication_driver.h"

#include <unordered_map>

#include "common/driver_logger.h"
#include "common/registry_readers.h"
#include "diagnostics/performance_config.h"
#include "diagnostics/performance_connector.h"
#include "platform/com/module.h"
#include "platform/kernel/clock.h"
#include "platform/kernel/timer_queue.h"

namespace Talvaro::Driver {
namespace {

namespace Monitoring = Orbiq::Utils::PerformanceMonitoring;

const std::wstring kLogSource = L"TCD::CCommunicationDriver";
const std::wstring kUninitialized = L"[uninitialized]";
constexpr DWORD kLivelinessPeriodMs = 1000;

LONGLONG ReadCounter() {
  LARGE_INTEGER value{};
  QueryPerformanceCounter(&value);
  return value.QuadPart;
}

}  // namespace

// The liveliness timer's parameter is a key into this table, not the object: a check looks its
// object up and takes a reference under the table's lock, and the final release takes the
// object out under the same lock before anything is destroyed. So a check never reads a freed
// object, also one that starts while another check of the object has deleted the timer
// without waiting; and since every check runs with a reference of its own, destruction (which
// holds the cleanup lock while it waits for a running check) never overlaps a check that
// could want that lock, and a check that deleted its own timer ends before the memory goes.
// When a check's reference is the last one, the final release runs on its thread after it let
// go of every lock; the timer queue then does not wait for the check it is called from.
class CCommunicationDriver::TimerTargets {
 public:
  static std::uint64_t Add(CCommunicationDriver* driver) {
    auto& table = Get();
    std::lock_guard guard(table.mutex_);
    const std::uint64_t key = ++table.lastKey_;
    table.targets_.emplace(key, driver);
    return key;
  }
  static void Remove(std::uint64_t key) {
    auto& table = Get();
    std::lock_guard guard(table.mutex_);
    table.targets_.erase(key);
  }
  // The object with a reference for the caller, or null when it is gone or going.
  static platform::com::ComPtr<ICommunicationDriver> Find(std::uint64_t key) {
    auto& table = Get();
    std::lock_guard guard(table.mutex_);
    const auto found = table.targets_.find(key);
    if (found == table.targets_.end() || !found->second->TryInternalAddRef()) return nullptr;
    return platform::com::ComPtr<ICommunicationDriver>::Adopt(found->second);
  }

 private:
  static TimerTargets& Get() {
    static auto* table = new TimerTargets;  // timer threads may run until the process ends
    return *table;
  }
  std::mutex mutex_;
  std::uint64_t lastKey_ = 0;                                          // guarded by mutex_
  std::unordered_map<std::uint64_t, CCommunicationDriver*> targets_;  // guarded by mutex_
};

CCommunicationDriver::CCommunicationDriver()
    : applicationName_(kUninitialized),
      logicalName_(kUninitialized),
      channelBaseName_(L"[NoName]"),
      logger_(Common::GetDriverLogger()) {
  LARGE_INTEGER frequency{};
  QueryPerformanceFrequency(&frequency);
  counterFrequency_ = frequency.QuadPart;
  creationCounter_ = ReadCounter();
  performanceTools_ = std::make_unique<Monitoring::PerformanceTools>(
      std::make_unique<Monitoring::Connector>(), std::make_unique<Monitoring::RegistryConfigProvider>());
  tools_ = std::make_shared<Diagnostics::CTools>();
  actions_ = std::make_shared<const ActionNames>(ActionNamesFor(BuildLogTag()));
  ReadConnectorConfiguration();
  platform::com::CurrentModule().Lock();
}

CCommunicationDriver::~CCommunicationDriver() {
  // The connector's threads end first, while everything they use still exists: the check's task
  // and the write channel's delivery (either may be this very thread, when its callback held the
  // last reference; each then ends apart from it).
  livelinessCheck_.reset();
  livelinessProducer_.reset();
  writeConsumer_.reset();
  {
    std::lock_guard guard(dataChannelLock_);
    dataProducer_.reset();
  }
  // Without a final release (FinalConstruct failed, or the creator's QueryInterface did): the
  // table entry and the timer go here. The count is 0, so no check holds the object.
  TimerTargets::Remove(timerKey_);
  if (livelinessTimer_ != nullptr) DeleteTimerQueueTimer(nullptr, livelinessTimer_, INVALID_HANDLE_VALUE);
  platform::com::CurrentModule().Unlock();
}

HRESULT CCommunicationDriver::FinalConstruct() {
  if (sharedMemory_) return S_OK;  // the connector's liveliness check watches the client
  timerKey_ = TimerTargets::Add(this);
  const auto key = reinterpret_cast<PVOID>(static_cast<std::uintptr_t>(timerKey_));
  if (!CreateTimerQueueTimer(&livelinessTimer_, nullptr, &CCommunicationDriver::LivelinessTimerCallback,
                             key, kLivelinessPeriodMs, kLivelinessPeriodMs, WT_EXECUTEDEFAULT)) {
    livelinessTimer_ = nullptr;
    return E_FAIL;
  }
  return S_OK;
}

void CCommunicationDriver::FinalRelease() {
  TimerTargets::Remove(timerKey_);
  finalRelease_.store(1);
  Cleanup();
  finalRelease_.store(0);
}

void CCommunicationDriver::LivelinessTimerCallback(PVOID parameter, BOOLEAN) {
  const auto key = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(parameter));
  const auto driver = TimerTargets::Find(key);
  if (!driver) return;  // destroyed or being destroyed: the final-release flag's role
  // Released last, after every lock: it may be the final release.
  static_cast<CCommunicationDriver*>(driver.Get())->CheckLiveliness();
}

void CCommunicationDriver::CheckLiveliness() {
  {
    std::lock_guard guard(namesLock_);
    Log(L"XRB logical name: " + logicalName_ + L", AppName:" + applicationName_);
  }
  std::unique_lock check(livelinessLock_, std::try_to_lock);
  if (!check) {
    Log(L"do not run liveness check twice for single object.");
    return;
  }
  try {
    tools_->ResetGapLog(100);
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    if (FAILED(FireEvent(DISPID_OnLiveliness, &none, true))) {
      Log(L"Cleanup done.");
      Cleanup();
    } else {
      Log(L"Liveliness check done.");
    }
  } catch (...) {
    // The check ends quietly; the next one starts afresh.
  }
}

void CCommunicationDriver::DeleteLivelinessTimer() {
  if (livelinessTimer_ == nullptr) return;
  // Outside the final release Cleanup may run inside this timer's own callback: no wait then.
  const HANDLE completion = finalRelease_.load() == 1 ? INVALID_HANDLE_VALUE : nullptr;
  DeleteTimerQueueTimer(nullptr, livelinessTimer_, completion);
  livelinessTimer_ = nullptr;
}

E_ORBIQLIB_Result CCommunicationDriver::Initialize(
    const std::wstring& logicalName, const std::wstring& applicationName,
    const std::wstring& openArgument, const std::wstring& channelBaseName,
    const std::wstring& clientNamespaceName,
    platform::com::ComPtr<IObserverNotification> observerSingleton) {
  {
    std::lock_guard guard(namesLock_);
    logicalName_ = logicalName;
    applicationName_ = applicationName;
    actions_ = std::make_shared<const ActionNames>(ActionNamesFor(L"[" + logicalName + L":" + applicationName + L"]"));
  }
  channelBaseName_ = channelBaseName;
  clientNamespaceName_ = clientNamespaceName;
  observerSingleton_ = std::move(observerSingleton);

  ICommFactory* factory = HardwareFactory();
  ICommDriver* driver = factory != nullptr ? factory->CreateCommDriver() : nullptr;
  if (driver == nullptr) return ORBIQLIB_SERVER_E_NO_DRIVER;

  if (driver->Open(logicalName, applicationName, openArgument) != ORBIQLIB_SUCCESS) {
    factory->ReleaseCommDriver(driver);
    return ORBIQLIB_SERVER_E_OPEN;
  }

  ICommDataTransfer* dataTransfer = driver->GetDataTransferInterface();
  ICommAvailability* availability = driver->GetAvailabilityInterface();
  std::shared_ptr<ICommRestriction> restriction = driver->GetRestrictionInterface();

  // Both registrations are attempted whatever the first gives; a missing interface counts as
  // a failed registration.
  const E_ORBIQLIB_Result observerResult =
      dataTransfer != nullptr ? dataTransfer->RegisterObserver(this) : ORBIQLIB_E_NOT_SUPPORTED;
  const E_ORBIQLIB_Result callbackResult =
      availability != nullptr ? availability->RegisterCallback(this) : ORBIQLIB_E_NOT_SUPPORTED;
  // Given back unclosed: what a partly registered driver does then is the library's business.
  // It waits for running callbacks, so none uses the channels emptied after it.
  const auto giveBack = [&] {
    factory->ReleaseCommDriver(driver);
    {
      std::lock_guard guard(dataChannelLock_);
      dataProducer_.reset();
    }
    writeConsumer_.reset();
  };
  E_ORBIQLIB_Result linkResult = ORBIQLIB_SUCCESS;
  try {
    if (sharedMemory_) linkResult = CreateAndLinkSharedMemoryWithClient();
  } catch (...) {
    giveBack();  // the link's other failures reach the caller, the hardware not kept
    throw;
  }
  if (observerResult != ORBIQLIB_SUCCESS || callbackResult != ORBIQLIB_SUCCESS || linkResult != ORBIQLIB_SUCCESS) {
    giveBack();
    return ORBIQLIB_SERVER_E_REGISTRATION;
  }

  auto attachment = std::make_shared<HardwareAttachment>(driver, dataTransfer, availability,
                                                         std::move(restriction));
  {
    std::lock_guard guard(attachmentLock_);
    attachment_ = std::move(attachment);
  }
  tools_->Initialize(logicalName, applicationName);
  return ORBIQLIB_SUCCESS;
}

void CCommunicationDriver::Cleanup() {
  std::lock_guard guard(cleanupLock_);
  DeleteLivelinessTimer();
  const std::shared_ptr<HardwareAttachment> attachment = Attachment();
  if (!attachment) return;
  Log(L"Performing cleaup");

  // The library waits here for running callbacks of this object, so no lock of ours is held
  // that a callback (or a client call made from a client's event handler) could need.
  if (ICommDataTransfer* dataTransfer = attachment->DataTransfer()) dataTransfer->UnregisterObserver(this);
  if (ICommAvailability* availability = attachment->Availability()) availability->UnregisterCallback(this);
  if (restrictionRegistered_.load() && attachment->Restriction() != nullptr) {
    attachment->Restriction()->Unregister(this);
  }

  // Then Close and the give-back, then the fields. Under attachmentLock_ no call can take a new
  // share, so two shares (the field's and this one) mean that no client call uses the unit; a
  // call that starts meanwhile waits for the lock and finds the object detached. No callback of
  // ours runs any more, so Close cannot wait for one that needs the lock. With a call still
  // using the unit, the driver is closed and given back as that call lets go of its share.
  std::lock_guard attachmentGuard(attachmentLock_);
  if (attachment.use_count() == 2) attachment->GiveBack();
  attachment_.reset();
}

std::wstring CCommunicationDriver::BuildLogTag() const {
  std::lock_guard guard(namesLock_);
  return L"[" + logicalName_ + L":" + applicationName_ + L"]";
}

CCommunicationDriver::ActionNames CCommunicationDriver::ActionNamesFor(const std::wstring& logTag) {
  return {L"CCommunicationDriver::OnData - " + logTag, L"CCommunicationDriver::OnError - " + logTag,
          L"CCommunicationDriver::FireEvent - " + logTag, L"CCommunicationDriver::Write - " + logTag,
          L"CCommunicationDriver::IsRestricted - " + logTag};
}

std::shared_ptr<const CCommunicationDriver::ActionNames> CCommunicationDriver::Actions() const {
  std::lock_guard guard(namesLock_);
  return actions_;
}

HRESULT CCommunicationDriver::InterfaceSupportsErrorInfo(REFIID riid) {
  const bool supported = riid == uuidof<ICommunicationDriver> || riid == uuidof<IDataTransfer> ||
                         riid == uuidof<IAvailability>;
  return supported ? S_OK : S_FALSE;
}

ULONG CCommunicationDriver::ElapsedMilliseconds() const {
  const double elapsed =
      static_cast<double>(ReadCounter() - creationCounter_) / static_cast<double>(counterFrequency_);
  // Past 2^31 - 1 ms (24.8 days) the value wraps: the watchers see the low 32 bits.
  return static_cast<ULONG>(static_cast<ULONGLONG>(elapsed * 1000.0));
}

void CCommunicationDriver::NotifyWatchers(const unsigned char* data, ULONG count) const {
  if (observerSingleton_ && observerSingleton_->HasObservers()) {
    observerSingleton_->Notify(data, count, ElapsedMilliseconds());
  }
}

platform::com::ComPtr<ICommunicationDriver> CCommunicationDriver::HoldIfAlive() {
  if (!TryInternalAddRef()) return nullptr;
  return platform::com::ComPtr<ICommunicationDriver>::Adopt(this);
}

std::shared_ptr<HardwareAttachment> CCommunicationDriver::Attachment() const {
  std::lock_guard guard(attachmentLock_);
  return attachment_;
}

void CCommunicationDriver::Log(const std::wstring& message) const {
  logger_->Info(kLogSource, message, Logging::Category::Developer1);
}

void CCommunicationDriver::LogError(const std::wstring& message) const {
  logger_->Error(kLogSource, message, Logging::Category::Developer1);
}

}  // namespace Talvaro::Driver
