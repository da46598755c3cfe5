// Delivery of events to the subscribed clients through IDispatch::Invoke.
//
// The sink list is copied under the object lock and the copy is served without it, so clients
// may subscribe and unsubscribe while an event is delivered (the change counts from the next
// event) and a slow client blocks only the calling thread.
#include <fmt/xchar.h>

#include <exception>

#include "driver/communication_driver.h"
#include "platform/com/apartment.h"

namespace Talvaro::Driver {
namespace {

// The gap log's entries of each sink's call, made once.
const std::wstring kQueryInterfaceEntry = L"QueryInterface";
const std::wstring kInvokingEntry = L"Invoking event";

// Joins the multithreaded apartment for one dispatch; leaves it only if this call joined.
class ApartmentMembership {
 public:
  ApartmentMembership() : result_(CoInitializeEx(nullptr, COINIT_MULTITHREADED)) {}
  ~ApartmentMembership() {
    if (result_ == S_OK) CoUninitialize();
  }
  ApartmentMembership(const ApartmentMembership&) = delete;
  ApartmentMembership& operator=(const ApartmentMembership&) = delete;

 private:
  HRESULT result_;
};

constexpr LCID kEventLocale = 0x0400;

bool IsBrokenConnection(HRESULT status) {
  return status == RPC_S_SERVER_UNAVAILABLE_HR || status == RPC_S_CALL_FAILED_HR ||
         status == RPC_S_CALL_FAILED_DNE_HR;
}

}  // namespace

HRESULT CCommunicationDriver::FireEvent(DISPID dispid, DISPPARAMS* arguments, bool logFailures) {
  ApartmentMembership apartment;
  if (arguments == nullptr) return E_INVALIDARG;
  {
    std::lock_guard guard(*this);
    if (Sinks().SlotCount() == 0) return S_FALSE;
  }
  std::vector<platform::com::ComPtr<IUnknown>> sinks;
  const HRESULT copied = CopyEventSinks(sinks);
  if (FAILED(copied)) return copied;

  try {
    const auto actions = Actions();
    for (auto& sink : sinks) {
      IUnknown* const sinkAddress = sink.Get();
      tools_->AddGapLogEntry(kQueryInterfaceEntry);
      platform::com::ComPtr<IDispatch> dispatch;
      const HRESULT queried = sink->QueryInterface(IID_IDispatch, dispatch.PutVoid());
      sink = nullptr;
      if (FAILED(queried) || !dispatch) {
        LogError(L"Client interface can't be queried");
        return E_FAIL;
      }
      tools_->AddGapLogEntry(kInvokingEntry);
      const HRESULT status = performanceTools_->MeasureExecutionRetVal<HRESULT>(actions->fireEvent, [&] {
        return dispatch->Invoke(dispid, IID_NULL, kEventLocale, DISPATCH_METHOD, arguments, nullptr,
                                nullptr, nullptr);
      });
      dispatch = nullptr;
      tools_->AddGapLogEntry(fmt::format(L"Event invoked with HR = 0x{:X}", static_cast<std::uint32_t>(status)));
      RevokeEventByForce(status, sinkAddress);
      if (FAILED(status) && logFailures) {
        LogError(L"Invoke failed with error " + std::to_wstring(status));
        return E_FAIL;
      }
    }
  } catch (...) {
    LogError(L"catch... UNEXPECTED");
    return E_UNEXPECTED;
  }
  return S_OK;
}

HRESULT CCommunicationDriver::CopyEventSinks(std::vector<platform::com::ComPtr<IUnknown>>& sinks) {
  try {
    std::lock_guard guard(*this);
    for (std::size_t slot = 0; slot < Sinks().SlotCount(); ++slot) {
      if (IUnknown* sink = Sinks().At(slot)) sinks.emplace_back(sink);
    }
  } catch (...) {
    LogError(L"An unexpected exception during copying event sink array!");
    sinks.clear();
    return E_UNEXPECTED;
  }
  return S_OK;
}

void CCommunicationDriver::RevokeEventByForce(HRESULT status, IUnknown* sink) {
  if (!IsBrokenConnection(status)) return;
  platform::com::ComPtr<IUnknown> revoked;  // released after the lock: it may reach the client
  try {
    LogError(L"RPC Call failed or server is unavailable.");
    std::lock_guard guard(*this);
    revoked = Sinks().RemoveSink(sink);
  } catch (...) {
    LogError(L"An unexpected exception during revoking event by force!");
  }
}

void CCommunicationDriver::FireWithArgument(DISPID dispid, VARIANT& argument) {
  DISPPARAMS arguments{&argument, nullptr, 1, 0};
  FireEvent(dispid, &arguments, false);
}

}  // namespace Talvaro::Driver
