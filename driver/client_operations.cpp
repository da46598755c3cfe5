// The operations a client calls on its driver object. Each forwards to the hardware interfaces
// taken in Initialize and reports the hardware's result through `result`; the returned status
// only says whether the call itself was well formed. Call threads of the component runtime.
// Each call works on its own share of the attachment and takes no lock while it calls out.
#include "driver/communication_driver.h"
#include "driver/restriction_mode.h"
#include "platform/com/marshal.h"

namespace Talvaro::Driver {

using platform::com::ComPtr;

HRESULT CCommunicationDriver::Write(SAFEARRAY* data, LONG value, LONG* result) {
  if (data == nullptr) return E_POINTER;
  if (SafeArrayGetDim(data) != 1) return S_FALSE;
  if (result == nullptr) return E_POINTER;
  const auto attachment = Attachment();
  if (!attachment || attachment->DataTransfer() == nullptr) return E_UNEXPECTED;

  void* bytes = nullptr;
  if (FAILED(SafeArrayAccessData(data, &bytes))) return S_FALSE;
  // The element type is not examined: the elements go out as bytes, one per element.
  const unsigned int count = data->rgsabound[0].cElements;
  const int tag = value;
  const E_ORBIQLIB_Result written =
      performanceTools_->MeasureExecutionRetVal<E_ORBIQLIB_Result>(Actions()->write, [&] {
        return attachment->DataTransfer()->Write(static_cast<const unsigned char*>(bytes), count, tag, this);
      });
  NotifyWatchers(static_cast<const unsigned char*>(bytes), count);
  *result = written;
  SafeArrayUnaccessData(data);
  return S_OK;
}

HRESULT CCommunicationDriver::GetAvailability(LONG* state) {
  if (state == nullptr) return E_POINTER;
  const auto attachment = Attachment();
  if (!attachment || attachment->Availability() == nullptr) return E_UNEXPECTED;
  const E_ORBIQLIB_Result answer = attachment->Availability()->QueryAvailability(state);
  if (answer != 0 && answer != 1) return S_FALSE;
  *state = answer;
  return S_OK;
}

HRESULT CCommunicationDriver::RegisterRestriction(ULONG mode, IStream* callback, LONG* result) {
  if (result == nullptr || callback == nullptr) return E_POINTER;
  const auto attachment = Attachment();
  if (!attachment || attachment->Restriction() == nullptr) return E_UNEXPECTED;
  *result = attachment->Restriction()->Register(MapRestrictionMode(mode), this);
  if (*result != ORBIQLIB_SUCCESS) return S_OK;

  restrictionRegistered_.store(true);
  LARGE_INTEGER start{};
  callback->Seek(start, STREAM_SEEK_SET, nullptr);
  ComPtr<IRestrictionCallback> unmarshaled;
  const HRESULT hr =
      CoUnmarshalInterface(callback, uuidof<IRestrictionCallback>, unmarshaled.PutVoid());
  if (FAILED(hr)) {
    CoReleaseMarshalData(callback);
    return hr;
  }
  ComPtr<IRestrictionCallback> replaced;  // an earlier judge, released outside the lock
  {
    std::lock_guard guard(restrictionCallbackLock_);
    replaced = std::exchange(clientRestrictionCallback_, std::move(unmarshaled));
  }
  return S_OK;
}

HRESULT CCommunicationDriver::SetRestrictionMode(ULONG mode, LONG* result) {
  if (result == nullptr) return E_POINTER;
  const auto attachment = Attachment();
  if (!attachment || attachment->Restriction() == nullptr) return E_UNEXPECTED;
  *result = attachment->Restriction()->SetMode(MapRestrictionMode(mode), this);
  return S_OK;
}

HRESULT CCommunicationDriver::UnregisterRestriction(LONG* result) {
  if (result == nullptr) return E_POINTER;
  const auto attachment = Attachment();
  if (!attachment || attachment->Restriction() == nullptr) return E_UNEXPECTED;
  *result = attachment->Restriction()->Unregister(this);
  if (*result != ORBIQLIB_SUCCESS) return S_OK;
  restrictionRegistered_.store(false);
  ComPtr<IRestrictionCallback> released;
  {
    std::lock_guard guard(restrictionCallbackLock_);
    released = std::move(clientRestrictionCallback_);
  }
  return S_OK;
}

HRESULT CCommunicationDriver::GetRestrictionMode(ULONG* mode, LONG* result) {
  if (mode == nullptr || result == nullptr) return E_POINTER;
  const auto attachment = Attachment();
  if (!attachment || attachment->Restriction() == nullptr) return E_UNEXPECTED;
  unsigned int hardwareMode = 0;
  *result = attachment->Restriction()->GetMode(hardwareMode);
  *mode = MapRestrictionMode(hardwareMode);
  return S_OK;
}

HRESULT CCommunicationDriver::IsRestrictionRegistered(VARIANT_BOOL* registered, LONG* result) {
  if (registered == nullptr || result == nullptr) return E_POINTER;
  const auto attachment = Attachment();
  if (!attachment || attachment->Restriction() == nullptr) return E_UNEXPECTED;
  bool answer = false;
  *result = attachment->Restriction()->IsRegistered(this, answer);
  *registered = answer ? VARIANT_TRUE : VARIANT_FALSE;
  return S_OK;
}

}  // namespace Talvaro::Driver
