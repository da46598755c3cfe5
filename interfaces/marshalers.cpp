// Proxies and stubs of the server's client-visible interfaces, one pair per interface in the
// order of talvaro.capnp. A proxy copies its arguments into plain values on the caller's thread,
// sends them on the RPC thread and writes the out-parameters from the reply; a stub reads the
// parameters on the RPC thread, calls the object on a worker and writes the reply. A number
// out-parameter travels both ways: the stub starts the object's out-parameter from the caller's
// value, so one the object leaves alone (a refused call) comes back as the caller had it. Out
// pointers that are null answer E_POINTER without a call.
#include "interfaces/marshalers.h"

#include <cstdint>
#include <mutex>
#include <new>

#include "interfaces/application_lifecycle.h"
#include "interfaces/communication_driver.h"
#include "interfaces/driver_factory.h"
#include "interfaces/network_capture.h"
#include "interfaces/registration_observer.h"
#include "interfaces/talvaro.capnp.h"
#include "platform/com/error_info.h"
#include "platform/remoting/dispatch_proxy.h"
#include "platform/remoting/marshaling.h"

namespace Talvaro::Interfaces {
namespace {

using platform::automation::Bstr;
using platform::automation::SafeArray;
using platform::com::ComPtr;
using platform::remoting::ArrayValue;
using platform::remoting::DispatchProxy;
using platform::remoting::InterfaceProxy;
using platform::remoting::MakeBstr;
using platform::remoting::ObjectRef;
using platform::remoting::ProxyManager;
using platform::remoting::ReadText;
using platform::remoting::StreamValue;
using platform::remoting::StubCall;
using platform::remoting::TextOf;
using platform::remoting::TextValue;
using platform::remoting::UnknownMethod;
using platform::remoting::WireContext;
using platform::remoting::WriteText;

// Sets a Text parameter from a BSTR (left unset for a null string).
template <class Setter>
void SetText(BSTR text, Setter&& set) {
  WriteText(TextOf(text), std::forward<Setter>(set));
}

// Hands a received array to an out-parameter (null when the object left it null).
HRESULT GiveArray(const ArrayValue& value, SAFEARRAY** out) {
  SafeArray array;
  const HRESULT hr = value.ToSafeArray(&array);
  *out = array.Detach();
  return hr;
}

// Combines the object's status with a failure to hand out what it returned.
HRESULT Outcome(HRESULT objectStatus, HRESULT handOut) { return FAILED(handOut) ? handOut : objectStatus; }

// ---- ITalvaroCommunicationDriverFactory ------------------------------------------------------

class DriverFactoryProxy final : public InterfaceProxy<ITalvaroCommunicationDriverFactory> {
 public:
  using InterfaceProxy::InterfaceProxy;

  HRESULT CreateDriver(BSTR logicalName, BSTR applicationName, BSTR openArgument, BSTR channelBaseName,
                       BSTR clientNamespaceName, ICommunicationDriver** driver) override {
    if (driver == nullptr) return E_POINTER;
    *driver = nullptr;
    HRESULT hr = S_OK;
    ObjectRef created;
    const HRESULT transport = Call<wire::ITalvaroCommunicationDriverFactory>([&](auto& client, WireContext& context) {
      auto request = client.createDriverRequest();
      SetText(logicalName, [&](capnp::Text::Reader text) { request.setLogicalName(text); });
      SetText(applicationName, [&](capnp::Text::Reader text) { request.setApplicationName(text); });
      SetText(openArgument, [&](capnp::Text::Reader text) { request.setOpenArgument(text); });
      SetText(channelBaseName, [&](capnp::Text::Reader text) { request.setChannelBaseName(text); });
      SetText(clientNamespaceName, [&](capnp::Text::Reader text) { request.setClientNamespaceName(text); });
      return request.send().then([&](auto&& response) {
        hr = response.getHr();
        if (response.hasDriver()) {
          created = ObjectRef::FromWire(response.getDriver(), uuidof<ICommunicationDriver>, context);
        }
      });
    });
    if (FAILED(transport)) return transport;
    return Outcome(hr, created.ToPointer(driver));
  }

  HRESULT GetRegObserver(IRegObserver** observer) override {
    if (observer == nullptr) return E_POINTER;
    *observer = nullptr;
    HRESULT hr = S_OK;
    ObjectRef received;
    const HRESULT transport = Call<wire::ITalvaroCommunicationDriverFactory>([&](auto& client, WireContext& context) {
      return client.getRegObserverRequest().send().then([&](auto&& response) {
        hr = response.getHr();
        if (response.hasObserver()) {
          received = ObjectRef::FromWire(response.getObserver(), uuidof<IRegObserver>, context);
        }
      });
    });
    if (FAILED(transport)) return transport;
    return Outcome(hr, received.ToPointer(observer));
  }
};

kj::Promise<void> ServeDriverFactory(StubCall& call, std::uint16_t method) {
  using W = wire::ITalvaroCommunicationDriverFactory;
  switch (method) {
    case 0: {
      const auto params = call.ParamsAs<W::CreateDriverParams>();
      std::array<TextValue, 5> texts{ReadText(params.hasLogicalName(), params.getLogicalName()),
                                     ReadText(params.hasApplicationName(), params.getApplicationName()),
                                     ReadText(params.hasOpenArgument(), params.getOpenArgument()),
                                     ReadText(params.hasChannelBaseName(), params.getChannelBaseName()),
                                     ReadText(params.hasClientNamespaceName(), params.getClientNamespaceName())};
      return call.OnWorker<ITalvaroCommunicationDriverFactory, W::CreateDriverResults>(
          [texts](ITalvaroCommunicationDriverFactory* factory) -> StubCall::Reply<W::CreateDriverResults> {
            std::array<Bstr, 5> strings;
            for (std::size_t i = 0; i < texts.size(); ++i) strings[i] = MakeBstr(texts[i]);
            ComPtr<ICommunicationDriver> driver;
            const HRESULT hr = factory->CreateDriver(strings[0].Get(), strings[1].Get(), strings[2].Get(),
                                                     strings[3].Get(), strings[4].Get(), driver.Put());
            ObjectRef created;
            ObjectRef::FromPointer(driver.Get(), uuidof<ICommunicationDriver>, &created);
            return [hr, created = std::move(created)](auto results, WireContext& context) mutable {
              results.setHr(hr);
              KJ_IF_MAYBE(capability, created.ToWire(context)) {
                results.setDriver(capability->template castAs<wire::ICommunicationDriver>());
              }
            };
          });
    }
    case 1:
      return call.OnWorker<ITalvaroCommunicationDriverFactory, W::GetRegObserverResults>(
          [](ITalvaroCommunicationDriverFactory* factory) -> StubCall::Reply<W::GetRegObserverResults> {
            ComPtr<IRegObserver> observer;
            const HRESULT hr = factory->GetRegObserver(observer.Put());
            ObjectRef out;
            ObjectRef::FromPointer(observer.Get(), uuidof<IRegObserver>, &out);
            return [hr, out = std::move(out)](auto results, WireContext& context) mutable {
              results.setHr(hr);
              KJ_IF_MAYBE(capability, out.ToWire(context)) {
                results.setObserver(capability->template castAs<wire::IRegObserver>());
              }
            };
          });
    default:
      return UnknownMethod(method);
  }
}

// ---- IDebug ---------------------------------------------------------------------------------

class DebugProxy final : public InterfaceProxy<IDebug> {
 public:
  using InterfaceProxy::InterfaceProxy;

  HRESULT GetXRBNames(SAFEARRAY** names) override { return Ask(0, nullptr, names); }
  HRESULT GetXRBSubItemNames(BSTR logicalName, SAFEARRAY** names) override { return Ask(1, logicalName, names); }
  HRESULT GetXRBInfo(BSTR logicalName, SAFEARRAY** lines) override { return Ask(2, logicalName, lines); }

 private:
  // The three methods differ only in their request; each answers one string array.
  HRESULT Ask(int method, BSTR logicalName, SAFEARRAY** out) {
    if (out == nullptr) return E_POINTER;
    HRESULT hr = S_OK;
    ArrayValue received;
    const HRESULT transport = Call<wire::IDebug>([&](auto& client, WireContext& context) -> kj::Promise<void> {
      auto take = [&](bool present, auto reader) {
        if (present) received = ArrayValue::Read(reader, context);
      };
      if (method == 0) {
        return client.getXRBNamesRequest().send().then([&, take](auto&& response) {
          hr = response.getHr();
          take(response.hasNames(), response.getNames());
        });
      }
      if (method == 1) {
        auto request = client.getXRBSubItemNamesRequest();
        SetText(logicalName, [&](capnp::Text::Reader text) { request.setLogicalName(text); });
        return request.send().then([&, take](auto&& response) {
          hr = response.getHr();
          take(response.hasNames(), response.getNames());
        });
      }
      auto request = client.getXRBInfoRequest();
      SetText(logicalName, [&](capnp::Text::Reader text) { request.setLogicalName(text); });
      return request.send().then([&, take](auto&& response) {
        hr = response.getHr();
        take(response.hasLines(), response.getLines());
      });
    });
    if (FAILED(transport)) return transport;
    // An array the object did not produce leaves the out-parameter as the caller had it.
    if (received.null) return hr;
    return Outcome(hr, GiveArray(received, out));
  }
};

kj::Promise<void> ServeDebug(StubCall& call, std::uint16_t method) {
  using W = wire::IDebug;
  // Each method answers one array; `write` puts it in its results field.
  auto serve = [&call](auto resultsTag, TextValue name, int which) {
    using Results = typename decltype(resultsTag)::type;
    return call.OnWorker<IDebug, Results>([name, which](IDebug* target) -> StubCall::Reply<Results> {
      SAFEARRAY* raw = nullptr;
      HRESULT hr = S_OK;
      if (which == 0) {
        hr = target->GetXRBNames(&raw);
      } else {
        Bstr text = MakeBstr(name);
        hr = which == 1 ? target->GetXRBSubItemNames(text.Get(), &raw) : target->GetXRBInfo(text.Get(), &raw);
      }
      SafeArray array = SafeArray::Adopt(raw);
      auto value = std::make_shared<ArrayValue>();
      const HRESULT copied = ArrayValue::FromSafeArray(array.Get(), value.get());
      if (FAILED(copied) && SUCCEEDED(hr)) hr = copied;
      return [hr, value](auto results, WireContext& context) mutable {
        results.setHr(hr);
        if (value->null) return;
        if constexpr (std::is_same_v<Results, W::GetXRBInfoResults>) {
          value->Write(results.initLines(), context);
        } else {
          value->Write(results.initNames(), context);
        }
      };
    });
  };
  switch (method) {
    case 0:
      return serve(std::type_identity<W::GetXRBNamesResults>(), std::nullopt, 0);
    case 1: {
      const auto params = call.ParamsAs<W::GetXRBSubItemNamesParams>();
      return serve(std::type_identity<W::GetXRBSubItemNamesResults>(),
                   ReadText(params.hasLogicalName(), params.getLogicalName()), 1);
    }
    case 2: {
      const auto params = call.ParamsAs<W::GetXRBInfoParams>();
      return serve(std::type_identity<W::GetXRBInfoResults>(),
                   ReadText(params.hasLogicalName(), params.getLogicalName()), 2);
    }
    default:
      return UnknownMethod(method);
  }
}

// ---- ICommunicationDriver, IDataTransfer, IAvailability, IRestriction -------------------------

class CommunicationDriverProxy final : public InterfaceProxy<ICommunicationDriver> {
 public:
  using InterfaceProxy::InterfaceProxy;
};

kj::Promise<void> ServeCommunicationDriver(StubCall&, std::uint16_t method) { return UnknownMethod(method); }

class DataTransferProxy final : public InterfaceProxy<IDataTransfer> {
 public:
  using InterfaceProxy::InterfaceProxy;

  // The object's checks come first, in its order, so a call it would refuse is not sent.
  HRESULT Write(SAFEARRAY* data, LONG value, LONG* result) override {
    if (data == nullptr) return E_POINTER;
    if (SafeArrayGetDim(data) != 1) return S_FALSE;
    if (result == nullptr) return E_POINTER;
    ArrayValue bytes;
    HRESULT hr = ElementsAsBytes(data, &bytes);
    if (hr != S_OK) return hr;
    const HRESULT transport = Call<wire::IDataTransfer>([&](auto& client, WireContext& context) {
      auto request = client.writeRequest();
      bytes.Write(request.initData(), context);
      request.setValue(value);
      request.setResult(*result);
      return request.send().then([&](auto&& response) {
        hr = response.getHr();
        *result = response.getResult();
      });
    });
    return FAILED(transport) ? transport : hr;
  }

 private:
  // What the hardware gets of a one-dimensional array: one byte per element from the start of
  // its data, whatever the element type (so any array travels, as bytes). S_FALSE when the data
  // cannot be reached, as the object answers.
  static HRESULT ElementsAsBytes(SAFEARRAY* array, ArrayValue* out) {
    void* data = nullptr;
    if (FAILED(SafeArrayAccessData(array, &data))) return S_FALSE;
    HRESULT hr = S_OK;
    try {
      const SAFEARRAYBOUND bound = array->rgsabound[0];
      const auto* first = static_cast<const std::uint8_t*>(data);
      out->null = false;
      out->elementType = VT_UI1;
      out->bounds = {bound};
      out->bytes.assign(first, first + bound.cElements);
    } catch (const std::bad_alloc&) {
      hr = E_OUTOFMEMORY;
    }
    SafeArrayUnaccessData(array);
    return hr;
  }
};

kj::Promise<void> ServeDataTransfer(StubCall& call, std::uint16_t method) {
  using W = wire::IDataTransfer;
  if (method != 0) return UnknownMethod(method);
  const auto params = call.ParamsAs<W::WriteParams>();
  ArrayValue data;
  if (params.hasData()) data = ArrayValue::Read(params.getData(), call.Wire());
  const LONG value = params.getValue();
  const LONG callerResult = params.getResult();
  return call.OnWorker<IDataTransfer, W::WriteResults>(
      [data = std::move(data), value, callerResult](IDataTransfer* target) -> StubCall::Reply<W::WriteResults> {
        SafeArray array;
        HRESULT hr = data.ToSafeArray(&array);
        LONG result = callerResult;
        if (SUCCEEDED(hr)) hr = target->Write(array.Get(), value, &result);
        return [hr, result](auto results, WireContext&) {
          results.setHr(hr);
          results.setResult(result);
        };
      });
}

class AvailabilityProxy final : public InterfaceProxy<IAvailability> {
 public:
  using InterfaceProxy::InterfaceProxy;

  HRESULT GetAvailability(LONG* state) override {
    if (state == nullptr) return E_POINTER;
    HRESULT hr = S_OK;
    const HRESULT transport = Call<wire::IAvailability>([&](auto& client, WireContext&) {
      auto request = client.getAvailabilityRequest();
      request.setState(*state);
      return request.send().then([&](auto&& response) {
        hr = response.getHr();
        *state = response.getState();
      });
    });
    return FAILED(transport) ? transport : hr;
  }
};

kj::Promise<void> ServeAvailability(StubCall& call, std::uint16_t method) {
  using W = wire::IAvailability;
  if (method != 0) return UnknownMethod(method);
  const LONG callerState = call.ParamsAs<W::GetAvailabilityParams>().getState();
  return call.OnWorker<IAvailability, W::GetAvailabilityResults>(
      [callerState](IAvailability* target) -> StubCall::Reply<W::GetAvailabilityResults> {
        LONG state = callerState;
        const HRESULT hr = target->GetAvailability(&state);
        return [hr, state](auto results, WireContext&) {
          results.setHr(hr);
          results.setState(state);
        };
      });
}

class RestrictionProxy final : public InterfaceProxy<IRestriction> {
 public:
  using InterfaceProxy::InterfaceProxy;

  HRESULT RegisterRestriction(ULONG mode, IStream* callback, LONG* result) override {
    if (result == nullptr || callback == nullptr) return E_POINTER;
    StreamValue stream;
    HRESULT hr = StreamValue::FromStream(callback, &stream);
    if (FAILED(hr)) return hr;
    const HRESULT transport = Call<wire::IRestriction>([&](auto& client, WireContext& context) {
      auto request = client.registerRestrictionRequest();
      request.setMode(mode);
      stream.Write(request.initCallback(), context);
      request.setResult(*result);
      return request.send().then([&](auto&& response) {
        hr = response.getHr();
        *result = response.getResult();
      });
    });
    return FAILED(transport) ? transport : hr;
  }

  HRESULT SetRestrictionMode(ULONG mode, LONG* result) override {
    if (result == nullptr) return E_POINTER;
    HRESULT hr = S_OK;
    const HRESULT transport = Call<wire::IRestriction>([&](auto& client, WireContext&) {
      auto request = client.setRestrictionModeRequest();
      request.setMode(mode);
      request.setResult(*result);
      return request.send().then([&](auto&& response) {
        hr = response.getHr();
        *result = response.getResult();
      });
    });
    return FAILED(transport) ? transport : hr;
  }

  HRESULT UnregisterRestriction(LONG* result) override {
    if (result == nullptr) return E_POINTER;
    HRESULT hr = S_OK;
    const HRESULT transport = Call<wire::IRestriction>([&](auto& client, WireContext&) {
      auto request = client.unregisterRestrictionRequest();
      request.setResult(*result);
      return request.send().then([&](auto&& response) {
        hr = response.getHr();
        *result = response.getResult();
      });
    });
    return FAILED(transport) ? transport : hr;
  }

  HRESULT GetRestrictionMode(ULONG* mode, LONG* result) override {
    if (mode == nullptr || result == nullptr) return E_POINTER;
    HRESULT hr = S_OK;
    const HRESULT transport = Call<wire::IRestriction>([&](auto& client, WireContext&) {
      auto request = client.getRestrictionModeRequest();
      request.setMode(*mode);
      request.setResult(*result);
      return request.send().then([&](auto&& response) {
        hr = response.getHr();
        *mode = response.getMode();
        *result = response.getResult();
      });
    });
    return FAILED(transport) ? transport : hr;
  }

  HRESULT IsRestrictionRegistered(VARIANT_BOOL* registered, LONG* result) override {
    if (registered == nullptr || result == nullptr) return E_POINTER;
    HRESULT hr = S_OK;
    const HRESULT transport = Call<wire::IRestriction>([&](auto& client, WireContext&) {
      auto request = client.isRestrictionRegisteredRequest();
      request.setRegistered(*registered);
      request.setResult(*result);
      return request.send().then([&](auto&& response) {
        hr = response.getHr();
        *registered = response.getRegistered();
        *result = response.getResult();
      });
    });
    return FAILED(transport) ? transport : hr;
  }
};

kj::Promise<void> ServeRestriction(StubCall& call, std::uint16_t method) {
  using W = wire::IRestriction;
  switch (method) {
    case 0: {
      const auto params = call.ParamsAs<W::RegisterRestrictionParams>();
      const ULONG mode = params.getMode();
      const LONG callerResult = params.getResult();
      StreamValue stream;
      if (params.hasCallback()) stream = StreamValue::Read(params.getCallback(), call.Wire());
      return call.OnWorker<IRestriction, W::RegisterRestrictionResults>(
          [mode, callerResult,
           stream = std::move(stream)](IRestriction* target) -> StubCall::Reply<W::RegisterRestrictionResults> {
            ComPtr<IStream> rebuilt;
            HRESULT hr = stream.ToStream(rebuilt.Put());
            LONG result = callerResult;
            if (SUCCEEDED(hr)) hr = target->RegisterRestriction(mode, rebuilt.Get(), &result);
            return [hr, result](auto results, WireContext&) {
              results.setHr(hr);
              results.setResult(result);
            };
          });
    }
    case 1: {
      const auto params = call.ParamsAs<W::SetRestrictionModeParams>();
      const ULONG mode = params.getMode();
      const LONG callerResult = params.getResult();
      return call.OnWorker<IRestriction, W::SetRestrictionModeResults>(
          [mode, callerResult](IRestriction* target) -> StubCall::Reply<W::SetRestrictionModeResults> {
            LONG result = callerResult;
            const HRESULT hr = target->SetRestrictionMode(mode, &result);
            return [hr, result](auto results, WireContext&) {
              results.setHr(hr);
              results.setResult(result);
            };
          });
    }
    case 2: {
      const LONG callerResult = call.ParamsAs<W::UnregisterRestrictionParams>().getResult();
      return call.OnWorker<IRestriction, W::UnregisterRestrictionResults>(
          [callerResult](IRestriction* target) -> StubCall::Reply<W::UnregisterRestrictionResults> {
            LONG result = callerResult;
            const HRESULT hr = target->UnregisterRestriction(&result);
            return [hr, result](auto results, WireContext&) {
              results.setHr(hr);
              results.setResult(result);
            };
          });
    }
    case 3: {
      const auto params = call.ParamsAs<W::GetRestrictionModeParams>();
      const ULONG callerMode = params.getMode();
      const LONG callerResult = params.getResult();
      return call.OnWorker<IRestriction, W::GetRestrictionModeResults>(
          [callerMode, callerResult](IRestriction* target) -> StubCall::Reply<W::GetRestrictionModeResults> {
            ULONG mode = callerMode;
            LONG result = callerResult;
            const HRESULT hr = target->GetRestrictionMode(&mode, &result);
            return [hr, mode, result](auto results, WireContext&) {
              results.setHr(hr);
              results.setMode(mode);
              results.setResult(result);
            };
          });
    }
    case 4: {
      const auto params = call.ParamsAs<W::IsRestrictionRegisteredParams>();
      const VARIANT_BOOL callerRegistered = params.getRegistered();
      const LONG callerResult = params.getResult();
      return call.OnWorker<IRestriction, W::IsRestrictionRegisteredResults>(
          [callerRegistered,
           callerResult](IRestriction* target) -> StubCall::Reply<W::IsRestrictionRegisteredResults> {
            VARIANT_BOOL registered = callerRegistered;
            LONG result = callerResult;
            const HRESULT hr = target->IsRestrictionRegistered(&registered, &result);
            return [hr, registered, result](auto results, WireContext&) {
              results.setHr(hr);
              results.setRegistered(registered);
              results.setResult(result);
            };
          });
    }
    default:
      return UnknownMethod(method);
  }
}

// ---- IRestrictionCallback -------------------------------------------------------------------

class RestrictionCallbackProxy final : public InterfaceProxy<IRestrictionCallback> {
 public:
  using InterfaceProxy::InterfaceProxy;

  HRESULT IsRestricted(SAFEARRAY* data, LONG* verdict) override {
    if (verdict == nullptr) return E_POINTER;
    ArrayValue bytes;
    HRESULT hr = ArrayValue::FromSafeArray(data, &bytes);
    if (FAILED(hr)) return hr;
    const HRESULT transport = Call<wire::IRestrictionCallback>([&](auto& client, WireContext& context) {
      auto request = client.isRestrictedRequest();
      if (!bytes.null) bytes.Write(request.initData(), context);
      request.setVerdict(*verdict);
      return request.send().then([&](auto&& response) {
        hr = response.getHr();
        *verdict = response.getVerdict();
      });
    });
    return FAILED(transport) ? transport : hr;
  }
};

kj::Promise<void> ServeRestrictionCallback(StubCall& call, std::uint16_t method) {
  using W = wire::IRestrictionCallback;
  if (method != 0) return UnknownMethod(method);
  const auto params = call.ParamsAs<W::IsRestrictedParams>();
  ArrayValue data;
  if (params.hasData()) data = ArrayValue::Read(params.getData(), call.Wire());
  const LONG callerVerdict = params.getVerdict();
  return call.OnWorker<IRestrictionCallback, W::IsRestrictedResults>(
      [data = std::move(data), callerVerdict](IRestrictionCallback* target) -> StubCall::Reply<W::IsRestrictedResults> {
        SafeArray array;
        HRESULT hr = data.ToSafeArray(&array);
        LONG verdict = callerVerdict;
        if (SUCCEEDED(hr)) hr = target->IsRestricted(array.Get(), &verdict);
        return [hr, verdict](auto results, WireContext&) {
          results.setHr(hr);
          results.setVerdict(verdict);
        };
      });
}

// ---- ICommunicationDriverEvents (IDispatch's methods only) -----------------------------------

kj::Promise<void> ServeNoOwnMethods(StubCall&, std::uint16_t method) { return UnknownMethod(method); }

// ---- IXRBGeneric, IXRBApplicationLifecycle --------------------------------------------------

class GenericProxy final : public InterfaceProxy<IXRBGeneric> {
 public:
  using InterfaceProxy::InterfaceProxy;

  HRESULT SendGenericCommand(BSTR command) override {
    HRESULT hr = S_OK;
    const HRESULT transport = Call<wire::IXRBGeneric>([&](auto& client, WireContext&) {
      auto request = client.sendGenericCommandRequest();
      SetText(command, [&](capnp::Text::Reader text) { request.setCommand(text); });
      return request.send().then([&](auto&& response) { hr = response.getHr(); });
    });
    return FAILED(transport) ? transport : hr;
  }
};

kj::Promise<void> ServeGeneric(StubCall& call, std::uint16_t method) {
  using W = wire::IXRBGeneric;
  if (method != 0) return UnknownMethod(method);
  const auto params = call.ParamsAs<W::SendGenericCommandParams>();
  TextValue command = ReadText(params.hasCommand(), params.getCommand());
  return call.OnWorker<IXRBGeneric, W::SendGenericCommandResults>(
      [command](IXRBGeneric* target) -> StubCall::Reply<W::SendGenericCommandResults> {
        Bstr text = MakeBstr(command);
        const HRESULT hr = target->SendGenericCommand(text.Get());
        return [hr](auto results, WireContext&) { results.setHr(hr); };
      });
}

class ApplicationLifecycleProxy final : public InterfaceProxy<IXRBApplicationLifecycle> {
 public:
  using InterfaceProxy::InterfaceProxy;

  HRESULT Create(BSTR firstText, BSTR secondText) override { return Send(0, firstText, secondText); }
  HRESULT Activate(BSTR firstText, BSTR secondText) override { return Send(1, firstText, secondText); }
  HRESULT Shutdown(BSTR firstText, BSTR secondText) override { return Send(2, firstText, secondText); }

 private:
  HRESULT Send(int command, BSTR firstText, BSTR secondText) {
    HRESULT hr = S_OK;
    const HRESULT transport = Call<wire::IXRBApplicationLifecycle>([&](auto& client, WireContext&) {
      auto fill = [&](auto request) {
        SetText(firstText, [&](capnp::Text::Reader text) { request.setFirstText(text); });
        SetText(secondText, [&](capnp::Text::Reader text) { request.setSecondText(text); });
        return request.send().then([&](auto&& response) { hr = response.getHr(); });
      };
      if (command == 0) return fill(client.createRequest());
      if (command == 1) return fill(client.activateRequest());
      return fill(client.shutdownRequest());
    });
    return FAILED(transport) ? transport : hr;
  }
};

kj::Promise<void> ServeApplicationLifecycle(StubCall& call, std::uint16_t method) {
  using W = wire::IXRBApplicationLifecycle;
  if (method > 2) return UnknownMethod(method);
  // The three methods share their parameter layout; read them through the create form.
  const auto params = call.ParamsAs<W::CreateParams>();
  TextValue first = ReadText(params.hasFirstText(), params.getFirstText());
  TextValue second = ReadText(params.hasSecondText(), params.getSecondText());
  auto invoke = [method, first, second](IXRBApplicationLifecycle* target) -> HRESULT {
    Bstr one = MakeBstr(first);
    Bstr two = MakeBstr(second);
    if (method == 0) return target->Create(one.Get(), two.Get());
    if (method == 1) return target->Activate(one.Get(), two.Get());
    return target->Shutdown(one.Get(), two.Get());
  };
  // The three result structs are alike too; each is written through its own type.
  switch (method) {
    case 0:
      return call.OnWorker<IXRBApplicationLifecycle, W::CreateResults>(
          [invoke](IXRBApplicationLifecycle* target) -> StubCall::Reply<W::CreateResults> {
            const HRESULT hr = invoke(target);
            return [hr](auto results, WireContext&) { results.setHr(hr); };
          });
    case 1:
      return call.OnWorker<IXRBApplicationLifecycle, W::ActivateResults>(
          [invoke](IXRBApplicationLifecycle* target) -> StubCall::Reply<W::ActivateResults> {
            const HRESULT hr = invoke(target);
            return [hr](auto results, WireContext&) { results.setHr(hr); };
          });
    default:
      return call.OnWorker<IXRBApplicationLifecycle, W::ShutdownResults>(
          [invoke](IXRBApplicationLifecycle* target) -> StubCall::Reply<W::ShutdownResults> {
            const HRESULT hr = invoke(target);
            return [hr](auto results, WireContext&) { results.setHr(hr); };
          });
  }
}

// ---- IRegObserver, IRegObserverCallback -----------------------------------------------------

class RegObserverProxy final : public InterfaceProxy<IRegObserver> {
 public:
  using InterfaceProxy::InterfaceProxy;

  HRESULT Register(IRegObserverCallback* callback) override { return Send(true, callback); }
  HRESULT Unregister(IRegObserverCallback* callback) override { return Send(false, callback); }

 private:
  HRESULT Send(bool registering, IRegObserverCallback* callback) {
    ObjectRef watcher;
    HRESULT hr = ObjectRef::FromPointer(callback, uuidof<IRegObserverCallback>, &watcher);
    if (FAILED(hr)) return hr;
    const HRESULT transport = Call<wire::IRegObserver>([&](auto& client, WireContext& context) {
      auto fill = [&](auto request) {
        KJ_IF_MAYBE(capability, watcher.ToWire(context)) {
          request.setCallback(capability->template castAs<wire::IRegObserverCallback>());
        }
        return request.send().then([&](auto&& response) { hr = response.getHr(); });
      };
      return registering ? fill(client.registerRequest()) : fill(client.unregisterRequest());
    });
    return FAILED(transport) ? transport : hr;
  }
};

kj::Promise<void> ServeRegObserver(StubCall& call, std::uint16_t method) {
  using W = wire::IRegObserver;
  if (method > 1) return UnknownMethod(method);
  // Register and unregister share their parameter layout.
  const auto params = call.ParamsAs<W::RegisterParams>();
  ObjectRef watcher;
  if (params.hasCallback()) watcher = ObjectRef::FromWire(params.getCallback(), uuidof<IRegObserverCallback>, call.Wire());
  auto invoke = [method, watcher = std::make_shared<ObjectRef>(std::move(watcher))](IRegObserver* target) {
    ComPtr<IRegObserverCallback> callback;
    HRESULT hr = watcher->ToPointer(callback.Put());
    if (SUCCEEDED(hr)) hr = method == 0 ? target->Register(callback.Get()) : target->Unregister(callback.Get());
    return hr;
  };
  if (method == 0) {
    return call.OnWorker<IRegObserver, W::RegisterResults>(
        [invoke](IRegObserver* target) -> StubCall::Reply<W::RegisterResults> {
          const HRESULT hr = invoke(target);
          return [hr](auto results, WireContext&) { results.setHr(hr); };
        });
  }
  return call.OnWorker<IRegObserver, W::UnregisterResults>(
      [invoke](IRegObserver* target) -> StubCall::Reply<W::UnregisterResults> {
        const HRESULT hr = invoke(target);
        return [hr](auto results, WireContext&) { results.setHr(hr); };
      });
}

class RegObserverCallbackProxy final : public DispatchProxy<IRegObserverCallback> {
 public:
  using DispatchProxy::DispatchProxy;

  HRESULT OnNotify(ULONG firstWord, ULONG secondWord, ULONG thirdWord, ULONG byteCount, ULONG value) override {
    HRESULT hr = S_OK;
    const HRESULT transport = Call<wire::IRegObserverCallback>([&](auto& client, WireContext&) {
      auto request = client.onNotifyRequest();
      request.setFirstWord(firstWord);
      request.setSecondWord(secondWord);
      request.setThirdWord(thirdWord);
      request.setByteCount(byteCount);
      request.setValue(value);
      return request.send().then([&](auto&& response) { hr = response.getHr(); });
    });
    return FAILED(transport) ? transport : hr;
  }
};

kj::Promise<void> ServeRegObserverCallback(StubCall& call, std::uint16_t method) {
  using W = wire::IRegObserverCallback;
  if (method != 0) return UnknownMethod(method);
  const auto params = call.ParamsAs<W::OnNotifyParams>();
  const std::array<ULONG, 5> words{params.getFirstWord(), params.getSecondWord(), params.getThirdWord(),
                                   params.getByteCount(), params.getValue()};
  return call.OnWorker<IRegObserverCallback, W::OnNotifyResults>(
      [words](IRegObserverCallback* target) -> StubCall::Reply<W::OnNotifyResults> {
        const HRESULT hr = target->OnNotify(words[0], words[1], words[2], words[3], words[4]);
        return [hr](auto results, WireContext&) { results.setHr(hr); };
      });
}

// ---- IContinuousCapture, IOnDemandCapture ----------------------------------------------------

// The error information a failed call left, as it travels: taken on the object's worker right
// after the call, handed to the caller's thread with the status.
struct CarriedError {
  bool present = false;
  TextValue source;
  TextValue description;
  GUID guid{};

  // The calling thread's error object, taken over (cleared).
  static CarriedError Take() {
    CarriedError error;
    ComPtr<IErrorInfo> info;
    if (GetErrorInfo(0, info.Put()) != S_OK || !info) return error;
    error.present = true;
    wchar_t* text = nullptr;
    if (SUCCEEDED(info->GetSource(&text)) && text != nullptr) error.source = std::wstring(text);
    SysFreeString(text);
    text = nullptr;
    if (SUCCEEDED(info->GetDescription(&text)) && text != nullptr) error.description = std::wstring(text);
    SysFreeString(text);
    info->GetGUID(&error.guid);
    return error;
  }
  static CarriedError Read(wire::ErrorDescription::Reader in) {
    CarriedError error;
    error.present = true;
    error.source = ReadText(in.hasSource(), in.getSource());
    error.description = ReadText(in.hasDescription(), in.getDescription());
    if (in.hasGuid()) error.guid = platform::remoting::ReadGuid(in.getGuid());
    return error;
  }
  template <class Results>
  void Write(Results results) const {
    if (!present) return;
    auto out = results.initError();
    WriteText(source, [&](capnp::Text::Reader text) { out.setSource(text); });
    WriteText(description, [&](capnp::Text::Reader text) { out.setDescription(text); });
    platform::remoting::WriteGuid(guid, out.initGuid());
  }
  // Makes it the calling thread's error object; none clears the thread's.
  void Hand() const {
    ComPtr<ICreateErrorInfo> created;
    ComPtr<IErrorInfo> info;
    if (present && SUCCEEDED(CreateErrorInfo(created.Put()))) {
      created->SetSource(source ? source->c_str() : nullptr);
      created->SetDescription(description ? description->c_str() : nullptr);
      created->SetGUID(guid);
      created.As(&info);
    }
    SetErrorInfo(0, info.Get());
  }
};

// Runs `method` on the object and takes the error information a failure left (not an earlier
// call's).
template <class Method>
std::pair<HRESULT, CarriedError> CallLeavingErrorInfo(Method&& method) {
  SetErrorInfo(0, nullptr);
  const HRESULT hr = method();
  return {hr, FAILED(hr) ? CarriedError::Take() : CarriedError{}};
}

// The capture proxies: the reserved methods answered here, and calls whose results carry the
// error information, handed to the caller's thread.
template <class Interface>
class CaptureProxy : public InterfaceProxy<Interface> {
 public:
  using InterfaceProxy<Interface>::InterfaceProxy;
  HRESULT ReservedMethod3() override { return E_NOTIMPL; }
  HRESULT ReservedMethod4() override { return E_NOTIMPL; }
  HRESULT ReservedMethod5() override { return E_NOTIMPL; }

 protected:
  // `fill(client)` builds the request on the RPC thread.
  template <class Wire, class Fill>
  HRESULT CallCarryingError(Fill&& fill) {
    HRESULT hr = S_OK;
    CarriedError error;
    const HRESULT transport = this->template Call<Wire>([&](auto& client, WireContext&) {
      return fill(client).send().then([&](auto&& response) {
        hr = response.getHr();
        if (response.hasError()) error = CarriedError::Read(response.getError());
      });
    });
    if (FAILED(transport)) return transport;
    error.Hand();
    return hr;
  }
};

class ContinuousCaptureProxy final : public CaptureProxy<IContinuousCapture> {
 public:
  using CaptureProxy::CaptureProxy;

  HRESULT StartCapture(BSTR network, BSTR filter, ULONG fileSize, LONG dumpCount, BSTR destinationFolder,
                       LONG retentionDays) override {
    return CallCarryingError<wire::IContinuousCapture>([&](auto& client) {
      auto request = client.startCaptureRequest();
      SetText(network, [&](capnp::Text::Reader text) { request.setNetwork(text); });
      SetText(filter, [&](capnp::Text::Reader text) { request.setFilter(text); });
      request.setFileSize(fileSize);
      request.setDumpCount(dumpCount);
      SetText(destinationFolder, [&](capnp::Text::Reader text) { request.setDestinationFolder(text); });
      request.setRetentionDays(retentionDays);
      return request;
    });
  }
  HRESULT StopCapture() override {
    return CallCarryingError<wire::IContinuousCapture>([](auto& client) { return client.stopCaptureRequest(); });
  }
};

kj::Promise<void> ServeContinuousCapture(StubCall& call, std::uint16_t method) {
  using W = wire::IContinuousCapture;
  if (method == 1) {
    return call.OnWorker<IContinuousCapture, W::StopCaptureResults>(
        [](IContinuousCapture* target) -> StubCall::Reply<W::StopCaptureResults> {
          const auto [status, left] = CallLeavingErrorInfo([&] { return target->StopCapture(); });
          return [hr = status, error = left](auto results, WireContext&) {
            results.setHr(hr);
            error.Write(results);
          };
        });
  }
  if (method != 0) return UnknownMethod(method);
  const auto params = call.ParamsAs<W::StartCaptureParams>();
  TextValue network = ReadText(params.hasNetwork(), params.getNetwork());
  TextValue filter = ReadText(params.hasFilter(), params.getFilter());
  TextValue folder = ReadText(params.hasDestinationFolder(), params.getDestinationFolder());
  const ULONG fileSize = params.getFileSize();
  const LONG dumpCount = params.getDumpCount();
  const LONG retentionDays = params.getRetentionDays();
  return call.OnWorker<IContinuousCapture, W::StartCaptureResults>(
      [=](IContinuousCapture* target) -> StubCall::Reply<W::StartCaptureResults> {
        Bstr networkText = MakeBstr(network), filterText = MakeBstr(filter), folderText = MakeBstr(folder);
        const auto [status, left] = CallLeavingErrorInfo([&] {
          return target->StartCapture(networkText.Get(), filterText.Get(), fileSize, dumpCount, folderText.Get(),
                                      retentionDays);
        });
        return [hr = status, error = left](auto results, WireContext&) {
          results.setHr(hr);
          error.Write(results);
        };
      });
}

class OnDemandCaptureProxy final : public CaptureProxy<IOnDemandCapture> {
 public:
  using CaptureProxy::CaptureProxy;

  HRESULT StartCapture(BSTR network, ULONG bufferSize) override {
    return CallCarryingError<wire::IOnDemandCapture>([&](auto& client) {
      auto request = client.startCaptureRequest();
      SetText(network, [&](capnp::Text::Reader text) { request.setNetwork(text); });
      request.setBufferSize(bufferSize);
      return request;
    });
  }
};

kj::Promise<void> ServeOnDemandCapture(StubCall& call, std::uint16_t method) {
  using W = wire::IOnDemandCapture;
  if (method != 0) return UnknownMethod(method);
  const auto params = call.ParamsAs<W::StartCaptureParams>();
  TextValue network = ReadText(params.hasNetwork(), params.getNetwork());
  const ULONG bufferSize = params.getBufferSize();
  return call.OnWorker<IOnDemandCapture, W::StartCaptureResults>(
      [=](IOnDemandCapture* target) -> StubCall::Reply<W::StartCaptureResults> {
        Bstr networkText = MakeBstr(network);
        const auto [status, left] = CallLeavingErrorInfo([&] { return target->StartCapture(networkText.Get(), bufferSize); });
        return [hr = status, error = left](auto results, WireContext&) {
          results.setHr(hr);
          error.Write(results);
        };
      });
}

template <class Interface, class Wire, class Proxy>
platform::remoting::InterfaceMarshaler Marshaler(kj::Promise<void> (*serve)(StubCall&, std::uint16_t)) {
  return {uuidof<Interface>, capnp::typeId<Wire>(), &platform::remoting::MakeProxy<Proxy>, serve};
}

}  // namespace

bool RegisterMarshalers() {
  static std::once_flag once;
  std::call_once(once, [] {
    using platform::remoting::RegisterInterface;
    RegisterInterface(Marshaler<ITalvaroCommunicationDriverFactory, wire::ITalvaroCommunicationDriverFactory,
                                DriverFactoryProxy>(&ServeDriverFactory));
    RegisterInterface(Marshaler<IDebug, wire::IDebug, DebugProxy>(&ServeDebug));
    RegisterInterface(Marshaler<ICommunicationDriver, wire::ICommunicationDriver, CommunicationDriverProxy>(
        &ServeCommunicationDriver));
    RegisterInterface(Marshaler<IDataTransfer, wire::IDataTransfer, DataTransferProxy>(&ServeDataTransfer));
    RegisterInterface(Marshaler<IAvailability, wire::IAvailability, AvailabilityProxy>(&ServeAvailability));
    RegisterInterface(Marshaler<IRestriction, wire::IRestriction, RestrictionProxy>(&ServeRestriction));
    RegisterInterface(Marshaler<IRestrictionCallback, wire::IRestrictionCallback, RestrictionCallbackProxy>(
        &ServeRestrictionCallback));
    RegisterInterface(Marshaler<ICommunicationDriverEvents, wire::ICommunicationDriverEvents,
                                DispatchProxy<ICommunicationDriverEvents>>(&ServeNoOwnMethods));
    RegisterInterface(Marshaler<IXRBGeneric, wire::IXRBGeneric, GenericProxy>(&ServeGeneric));
    RegisterInterface(Marshaler<IXRBApplicationLifecycle, wire::IXRBApplicationLifecycle,
                                ApplicationLifecycleProxy>(&ServeApplicationLifecycle));
    RegisterInterface(Marshaler<IRegObserver, wire::IRegObserver, RegObserverProxy>(&ServeRegObserver));
    RegisterInterface(Marshaler<IRegObserverCallback, wire::IRegObserverCallback, RegObserverCallbackProxy>(
        &ServeRegObserverCallback));
    RegisterInterface(Marshaler<IContinuousCapture, wire::IContinuousCapture, ContinuousCaptureProxy>(
        &ServeContinuousCapture));
    RegisterInterface(Marshaler<IOnDemandCapture, wire::IOnDemandCapture, OnDemandCaptureProxy>(&ServeOnDemandCapture));
  });
  return true;
}

}  // namespace Talvaro::Interfaces
