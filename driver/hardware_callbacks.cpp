// The hardware library's callbacks, on its own threads: data, errors and availability changes
// become events for every subscribed client; restriction questions go to the client's judge.
// Several may run at once on one object. Events are fire-and-forget: a failing client does not
// stop the callback.
#include <span>

#include "driver/communication_driver.h"
#include "platform/automation/variant.h"

namespace Talvaro::Driver {

using platform::automation::SafeArray;
using platform::automation::Variant;

E_ORBIQLIB_Result CCommunicationDriver::OnData(const unsigned char* data, const unsigned int& count) {
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
  Variant argument = platform::automation::MakeUI4Variant(static_cast<ULONG>(code));
  FireWithArgument(DISPID_OnError, *argument.Get());
  return ORBIQLIB_SUCCESS;
}

void CCommunicationDriver::OnAvailabilityChanged(std::int32_t state) {
  const ULONG available = state != 0 ? 1 : 0;
  Log(L"State = " + std::to_wstring(available));
  Variant argument = platform::automation::MakeUI4Variant(available);
  FireWithArgument(DISPID_OnStateChanged, *argument.Get());
}

E_ORBIQLIB_Result CCommunicationDriver::OnRestriction(const unsigned char* data,
                                                      const unsigned int& count) {
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
