// The hardware library's callbacks, on its own threads: data, errors and availability changes
// become events for every subscribed client; restriction questions go to the client's judge.
// Several may run at once on one object. Events are fire-and-forget: a failing client does not
// stop the callback. Data and error callbacks leave a gap log (the CTools' own lock guards it)
// that goes to the log when the callback was slow.
#include <span>

#include "driver/communication_driver.h"
#include "platform/automation/variant.h"
#include "platform/kernel/clock.h"

namespace Talvaro::Driver {
namespace {

using platform::automation::SafeArray;
using platform::automation::Variant;

// The gap log's entries, made once: a callback's frame then allocates nothing for them.
const std::wstring kOnDataBegin = L"Fire_OnData begin";
const std::wstring kOnDataEnd = L"Fire_OnData end";
const std::wstring kOnErrorBegin = L"Fire_OnError begin";
const std::wstring kOnErrorEnd = L"Fire_OnError end";

// The library's threads never see an exception of ours (an allocation failing in the
// diagnostics or the logger): the callback then ends as if it had delivered nothing more.
template <class Body>
void Shielded(Body&& body) noexcept {
  try {
    body();
  } catch (...) {
  }
}

}  // namespace

E_ORBIQLIB_Result CCommunicationDriver::OnData(const unsigned char* data, const unsigned int& count) {
  const auto alive = HoldIfAlive();
  if (!alive) return ORBIQLIB_SUCCESS;
  Shielded([&] {
    tools_->ResetGapLog(0);
    tools_->AddGapLogEntry(kOnDataBegin);
    const auto begin = static_cast<DWORD>(crt::clock());
    if (sharedMemory_) {
      WriteDataToSharedMemory(data, count);  // not timed: the channel is the client's own
    } else {
      performanceTools_->MeasureExecutionVoid(Actions()->onData, [&] { FireDataEvent(data, count); });
    }
    const auto end = static_cast<DWORD>(crt::clock());
    tools_->AddGapLogEntry(kOnDataEnd);
    tools_->LogGapIfNeeded(begin, end);
    NotifyWatchers(data, count);
  });
  return ORBIQLIB_SUCCESS;
}

void CCommunicationDriver::FireDataEvent(const unsigned char* data, unsigned int count) {
  const std::span<const std::uint8_t> bytes(data, data != nullptr ? count : 0);
  Variant block;
  // Without an array nothing is fired; the watchers still see the block.
  if (FAILED(platform::automation::MakeByteArrayVariant(bytes, &block))) return;
  tools_->SignalDispatchBegin();
  FireWithArgument(DISPID_OnData, *block.Get());
  tools_->SignalDispatchEnd();
}

E_ORBIQLIB_Result CCommunicationDriver::OnError(const E_ORBIQLIB_Result& code) {
  const auto alive = HoldIfAlive();
  if (!alive) return ORBIQLIB_SUCCESS;
  Shielded([&] {
    tools_->ResetGapLog(0);
    tools_->AddGapLogEntry(kOnErrorBegin);
    const DWORD begin = GetTickCount();
    performanceTools_->MeasureExecutionVoid(Actions()->onError, [&] {
      Variant argument = platform::automation::MakeUI4Variant(static_cast<ULONG>(code));
      FireWithArgument(DISPID_OnError, *argument.Get());
    });
    const DWORD end = GetTickCount();
    tools_->AddGapLogEntry(kOnErrorEnd);
    tools_->LogGapIfNeeded(begin, end);
  });
  return ORBIQLIB_SUCCESS;
}

void CCommunicationDriver::OnAvailabilityChanged(std::int32_t state) {
  const auto alive = HoldIfAlive();
  if (!alive) return;
  Shielded([&] {
    tools_->ResetGapLog(100);
    const ULONG available = state != 0 ? 1 : 0;
    Log(L"State = " + std::to_wstring(available));
    Variant argument = platform::automation::MakeUI4Variant(available);
    FireWithArgument(DISPID_OnStateChanged, *argument.Get());
  });
}

E_ORBIQLIB_Result CCommunicationDriver::OnRestriction(const unsigned char* data,
                                                      const unsigned int& count) {
  const auto alive = HoldIfAlive();
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
  if (judge) {
    Shielded([&] {
      performanceTools_->MeasureExecutionVoid(Actions()->isRestricted,
                                              [&] { judge->IsRestricted(array.Get(), &verdict); });
    });
  }
  return static_cast<E_ORBIQLIB_Result>(verdict);
}

}  // namespace Talvaro::Driver
