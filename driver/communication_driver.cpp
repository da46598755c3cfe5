#include "driver/communication_driver.h"

#include "common/driver_logger.h"
#include "platform/com/module.h"
#include "platform/kernel/clock.h"

namespace Talvaro::Driver {
namespace {

const std::wstring kLogSource = L"TCD::CCommunicationDriver";
const std::wstring kUninitialized = L"[uninitialized]";

LONGLONG ReadCounter() {
  LARGE_INTEGER value{};
  QueryPerformanceCounter(&value);
  return value.QuadPart;
}

}  // namespace

CCommunicationDriver::CCommunicationDriver()
    : applicationName_(kUninitialized),
      logicalName_(kUninitialized),
      channelBaseName_(L"[NoName]"),
      logger_(Common::GetDriverLogger()) {
  LARGE_INTEGER frequency{};
  QueryPerformanceFrequency(&frequency);
  counterFrequency_ = frequency.QuadPart;
  creationCounter_ = ReadCounter();
  platform::com::CurrentModule().Lock();
}

CCommunicationDriver::~CCommunicationDriver() { platform::com::CurrentModule().Unlock(); }

HRESULT CCommunicationDriver::FinalConstruct() { return S_OK; }

void CCommunicationDriver::FinalRelease() {
  finalRelease_.store(1);
  Cleanup();
  finalRelease_.store(0);
}

E_ORBIQLIB_Result CCommunicationDriver::Initialize(
    const std::wstring& logicalName, const std::wstring& applicationName,
    const std::wstring& openArgument, const std::wstring& channelBaseName,
    const std::wstring& clientNamespaceName,
    platform::com::ComPtr<IObserverNotification> observerSingleton) {
  logicalName_ = logicalName;
  applicationName_ = applicationName;
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
  if (observerResult != ORBIQLIB_SUCCESS || callbackResult != ORBIQLIB_SUCCESS) {
    // Given back unclosed: what a partly registered driver does then is the library's business.
    factory->ReleaseCommDriver(driver);
    return ORBIQLIB_SERVER_E_REGISTRATION;
  }

  auto attachment = std::make_shared<HardwareAttachment>(driver, dataTransfer, availability,
                                                         std::move(restriction));
  std::lock_guard guard(attachmentLock_);
  attachment_ = std::move(attachment);
  return ORBIQLIB_SUCCESS;
}

void CCommunicationDriver::Cleanup() {
  std::lock_guard guard(cleanupLock_);
  std::shared_ptr<HardwareAttachment> attachment;
  {
    std::lock_guard attachmentGuard(attachmentLock_);
    attachment = std::move(attachment_);
  }
  if (!attachment) return;
  Log(L"Performing cleaup");

  // The library waits here for running callbacks of this object, so no lock of ours is held
  // that a callback (or a client call made from a client's event handler) could need.
  if (ICommDataTransfer* dataTransfer = attachment->DataTransfer()) dataTransfer->UnregisterObserver(this);
  if (ICommAvailability* availability = attachment->Availability()) availability->UnregisterCallback(this);
  if (restrictionRegistered_.load() && attachment->Restriction() != nullptr) {
    attachment->Restriction()->Unregister(this);
  }
  // Closing and giving the driver back happen as this last share goes, or, when a client call
  // is still using the unit, as that call ends.
}

std::wstring CCommunicationDriver::BuildLogTag() const {
  return L"[" + logicalName_ + L":" + applicationName_ + L"]";
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
