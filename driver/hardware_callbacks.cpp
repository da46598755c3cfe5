// The hardware library's callbacks, on its own threads: data, errors and availability changes
// become events for every subscribed client; restriction questions go to the client's judge.
// Several may run at once on one object. Events are fire-and-forget: a failing client does not
// stop the callback.
#include <span>

#include "driver/communication_driver.h"
#include "platform/automation/variant.h"

namespace Talvaro::Driver {
namespace {

using platform::automation::SafeArray;
using platform::automation::Variant;

// A reference held for the duration of one callback, taken only while the object is alive.
// The library calls without holding a reference; a client may drop the last one from inside
// an event handler, and the object must outlive the callback that delivered the event.
// Releasing it may destroy the object: it goes last, after every use of the object.
class CallbackReference {
 public:
  explicit CallbackReference(CCommunicationDriver* driver)
      : driver_(driver->TryInternalAddRef() ? driver : nullptr) {}
  ~CallbackReference() {
    if (driver_ != nullptr) static_cast<ICommunicationDriver*>(driver_)->Release();
  }
  CallbackReference(const CallbackReference&) = delete;
  CallbackReference& operator=(const CallbackReference&) = delete;
  // False when the object is already being destroyed: the callback does nothing then.
  explicit operator bool() const { return driver_ != nullptr; }

 private:
  CCommunicationDriver* const driver_;
};

}  // namespace

E_ORBIQLIB_Result CCommunicationDriver::OnData(const unsigned char* data, const unsigned int& count) {
  const CallbackReference alive(this);
  if (!alive) return ORBIQLIB_SUCCESS;
  const std::span<const std::uint8_t> bytes(data, data != nullptr ? count : 0);
  Variant block;
  // Without an array nothing is fired; the watchers still see the block.
  if (SUCCEEDED(platform::automation::MakeByteArrayVariant(bytes, &block))) {
    FireWithArgument(DISPID_OnData, *block.Get());
  }
  NotifyWatchers(data, count);
  return ORBIQLIB_SUCCESS;
}

E_ORBIQLIB_Result CCommunicationDriver::OnError(const E_ORBIQLIB_Result& code) {
  const CallbackReference alive(this);
  if (!alive) return ORBIQLIB_SUCCESS;
  Variant argument = platform::automation::MakeUI4Variant(static_cast<ULONG>(code));
  FireWithArgument(DISPID_OnError, *argument.Get());
  return ORBIQLIB_SUCCESS;
}

void CCommunicationDriver::OnAvailabilityChanged(std::int32_t state) {
  const CallbackReference alive(this);
  if (!alive) return;
  const ULONG available = state != 0 ? 1 : 0;
  Log(L"State = " + std::to_wstring(available));
  Variant argument = platform::automation::MakeUI4Variant(available);
  FireWithArgument(DISPID_OnStateChanged, *argument.Get());
}

E_ORBIQLIB_Result CCommunicationDriver::OnRestriction(const unsigned char* data,
                                                      const unsigned int& count) {
  const CallbackReference alive(this);
  if (!alive) return ORBIQLIB_SUCCESS;
  SafeArray array;
  const std::span<const std::uint8_t> bytes(data, data != nullptr ? count : 0);
  if (FAILED(platform::automation::CreateByteArray(bytes, &array))) {
    return ORBIQLIB_SERVER_E_REGISTRATION;
  }
  platform::com::ComPtr<IRestrictionCallback> judge;
  {
    std::lock_guard guard(restrictionCallbackLock_);
    judge = clientRestrictionCallback_;
  }
  LONG verdict = 0;
  // The call's own status is ignored: a failed call leaves whatever verdict it wrote.
  if (judge) judge->IsRestricted(array.Get(), &verdict);
  return static_cast<E_ORBIQLIB_Result>(verdict);
}

}  // namespace Talvaro::Driver
