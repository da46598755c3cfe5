#include "driver/communication_driver.h"

#include "common/driver_logger.h"
#include "external/hardware/xrb_proxy.h"
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

ICommFactory* HardwareFactory() {
  CXRBProxy* proxy = CXRBProxy::GetInstance();
  return proxy != nullptr ? proxy->GetFactory() : nullptr;
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
  hardwareDriver_ = factory != nullptr ? factory->CreateCommDriver() : nullptr;
  if (hardwareDriver_ == nullptr) return ORBIQLIB_SERVER_E_NO_DRIVER;

  if (hardwareDriver_->Open(logicalName, applicationName, openArgument) != ORBIQLIB_SUCCESS) {
    ReleaseHardwareDriver();
    return ORBIQLIB_SERVER_E_OPEN;
  }

  dataTransfer_ = hardwareDriver_->GetDataTransferInterface();
  availability_ = hardwareDriver_->GetAvailabilityInterface();
  restriction_ = hardwareDriver_->GetRestrictionInterface();

  // Both registrations are attempted whatever the first gives; a missing interface counts as
  // a failed registration.
  const E_ORBIQLIB_Result observerResult =
      dataTransfer_ != nullptr ? dataTransfer_->RegisterObserver(this) : ORBIQLIB_E_NOT_SUPPORTED;
  const E_ORBIQLIB_Result callbackResult =
      availability_ != nullptr ? availability_->RegisterCallback(this) : ORBIQLIB_E_NOT_SUPPORTED;
  if (observerResult == ORBIQLIB_SUCCESS && callbackResult == ORBIQLIB_SUCCESS) {
    return ORBIQLIB_SUCCESS;
  }

  dataTransfer_ = nullptr;
  availability_ = nullptr;
  restriction_.reset();
  ReleaseHardwareDriver();
  return ORBIQLIB_SERVER_E_REGISTRATION;
}

void CCommunicationDriver::Cleanup() {
  std::lock_guard guard(cleanupLock_);
  if (hardwareDriver_ == nullptr) return;
  Log(L"Performing cleaup");

  std::unique_lock use(hardwareUse_);
  if (dataTransfer_ != nullptr) dataTransfer_->UnregisterObserver(this);
  if (availability_ != nullptr) availability_->UnregisterCallback(this);
  if (restrictionRegistered_.load() && restriction_) restriction_->Unregister(this);

  if (ICommFactory* factory = HardwareFactory()) {
    hardwareDriver_->Close();
    factory->ReleaseCommDriver(hardwareDriver_);
  }
  hardwareDriver_ = nullptr;
  dataTransfer_ = nullptr;
  availability_ = nullptr;
  restriction_.reset();
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

void CCommunicationDriver::ReleaseHardwareDriver() {
  if (ICommFactory* factory = HardwareFactory()) factory->ReleaseCommDriver(hardwareDriver_);
  hardwareDriver_ = nullptr;
}

void CCommunicationDriver::Log(const std::wstring& message) const {
  logger_->Info(kLogSource, message, Logging::Category::Developer1);
}

void CCommunicationDriver::LogError(const std::wstring& message) const {
  logger_->Error(kLogSource, message, Logging::Category::Developer1);
}

}  // namespace Talvaro::Driver
