// Proxies and stubs of the platform's interfaces: IClassFactory, ISupportErrorInfo, IDispatch,
// the connection points and their enumerators.
#include <vector>

#include "platform/com/connection_interfaces.h"
#include "platform/com/error_info.h"
#include "platform/remoting/dispatch_proxy.h"
#include "platform/remoting/marshaling.h"

namespace platform::remoting {
namespace {

using platform::automation::Bstr;
using platform::com::ComPtr;

// Enumerators hand out at most this many items per call; a larger request is refused rather
// than allocated.
constexpr ULONG kMaxEnumerationBatch = 65536;

// The wire interface of each platform interface that travels as an object in results.
template <class I>
struct WireOf;
template <> struct WireOf<IConnectionPointContainer> { using Type = wire::IConnectionPointContainer; };
template <> struct WireOf<IConnectionPoint> { using Type = wire::IConnectionPoint; };
template <> struct WireOf<IEnumConnections> { using Type = wire::IEnumConnections; };
template <> struct WireOf<IEnumConnectionPoints> { using Type = wire::IEnumConnectionPoints; };

// An object field of a response, for the proxies' helpers: unset when the field is.
kj::Maybe<capnp::Capability::Client> Optional(bool present, capnp::Capability::Client capability) {
  if (!present) return nullptr;
  return kj::mv(capability);
}

// ---- the shapes most methods have -----------------------------------------------------------
//
// Proxy side (component thread): `request(client)` builds the request on the RPC thread from
// values the caller captured; `field(response)` picks an object out of the response (Optional).
// Stub side (RPC thread): `method(target, ...)` runs the object's method on a worker.

// The proxy of interface I, whose calls go out through the wire interface Wire.
template <class I, class Wire>
class PlatformProxy : public InterfaceProxy<I> {
 public:
  using InterfaceProxy<I>::InterfaceProxy;

 protected:
  // A method whose only result is its HRESULT.
  template <class MakeRequest>
  HRESULT CallForHr(MakeRequest&& request) {
    HRESULT hr = S_OK;
    const HRESULT transport = this->template Call<Wire>([&](auto& client, WireContext&) {
      return request(client).send().then([&](auto&& response) { hr = response.getHr(); });
    });
    return FAILED(transport) ? transport : hr;
  }

  // A method whose results are an HRESULT and one object, taken in as `iid`. Returns the
  // transport's failure, or S_OK with `*hr` and `*object` set.
  template <class MakeRequest, class Field>
  HRESULT CallForObject(const IID& iid, MakeRequest&& request, Field&& field, HRESULT* hr, ObjectRef* object) {
    return this->template Call<Wire>([&](auto& client, WireContext& context) {
      return request(client).send().then([&](auto&& response) {
        *hr = response.getHr();
        KJ_IF_MAYBE(capability, field(response)) {
          *object = ObjectRef::FromWire(kj::mv(*capability), iid, context);
        }
      });
    });
  }

  // A method whose results are an HRESULT and one [out] interface pointer.
  template <class Out, class MakeRequest, class Field>
  HRESULT CallForInterface(Out** result, MakeRequest&& request, Field&& field) {
    if (result == nullptr) return E_POINTER;
    *result = nullptr;
    HRESULT hr = S_OK;
    ObjectRef object;
    const HRESULT transport = CallForObject(uuidof<Out>, request, field, &hr, &object);
    if (FAILED(transport)) return transport;
    const HRESULT taken = TakeInterface(object, result);
    return FAILED(taken) ? taken : hr;
  }
};

// A method whose only result is its HRESULT: `method(target)`.
template <class I, class Results, class Method>
kj::Promise<void> ServeForHr(StubCall& call, Method&& method) {
  return call.OnWorker<I, Results>(
      [method = std::forward<Method>(method)](I* target) mutable -> StubCall::Reply<Results> {
        const HRESULT hr = method(target);
        return [hr](auto results, WireContext&) { results.setHr(hr); };
      });
}

// A method whose results are an HRESULT and one interface pointer of type Out:
// `method(target, Out**)`; `set(results, client)` stores the object's capability.
template <class I, class Results, class Out, class Method, class Set>
kj::Promise<void> ServeForInterface(StubCall& call, Method&& method, Set set) {
  return call.OnWorker<I, Results>(
      [method = std::forward<Method>(method), set](I* target) mutable -> StubCall::Reply<Results> {
        ComPtr<Out> object;
        const HRESULT hr = method(target, object.Put());
        ObjectRef out;
        if (SUCCEEDED(hr)) ObjectRef::FromPointer(object.Get(), uuidof<Out>, &out);
        return [hr, out = std::move(out), set](auto results, WireContext& context) mutable {
          results.setHr(hr);
          KJ_IF_MAYBE(capability, out.ToWire(context)) {
            set(results, capability->template castAs<typename WireOf<Out>::Type>());
          }
        };
      });
}

// ---- IClassFactory --------------------------------------------------------------------------

class ClassFactoryProxy final : public PlatformProxy<IClassFactory, wire::IClassFactory> {
 public:
  using PlatformProxy::PlatformProxy;

  HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** result) override {
    if (result == nullptr) return E_POINTER;
    *result = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;  // no aggregation across processes
    HRESULT hr = S_OK;
    ObjectRef object;
    const HRESULT transport = CallForObject(
        riid,
        [&](auto& client) {
          auto request = client.createInstanceRequest();
          WriteGuid(riid, request.initIid());
          return request;
        },
        [](auto& response) { return Optional(response.hasObject(), response.getObject()); }, &hr, &object);
    if (FAILED(transport)) return transport;
    if (FAILED(hr)) return hr;
    const HRESULT taken = object.ToPointer(riid, result);
    return FAILED(taken) ? taken : hr;
  }

  HRESULT LockServer(BOOL lock) override {
    return CallForHr([lock](auto& client) {
      auto request = client.lockServerRequest();
      request.setLock(lock != FALSE);
      return request;
    });
  }
};

kj::Promise<void> ServeClassFactory(StubCall& call, std::uint16_t method) {
  switch (method) {
    case 0: {
      const IID iid = ReadGuid(call.ParamsAs<wire::IClassFactory::CreateInstanceParams>().getIid());
      return call.OnWorker<IClassFactory, wire::IClassFactory::CreateInstanceResults>(
          [iid](IClassFactory* factory) -> StubCall::Reply<wire::IClassFactory::CreateInstanceResults> {
            ComPtr<IUnknown> object;
            HRESULT hr = factory->CreateInstance(nullptr, iid, object.PutVoid());
            ObjectRef created;
            if (SUCCEEDED(hr)) {
              const HRESULT captured = ObjectRef::FromPointer(object.Get(), iid, &created);
              if (FAILED(captured)) hr = captured;
            }
            return [hr, created = std::move(created)](auto results, WireContext& context) mutable {
              results.setHr(hr);
              KJ_IF_MAYBE(capability, created.ToWire(context)) {
                results.setObject(capability->template castAs<wire::Unknown>());
              }
            };
          });
    }
    case 1: {
      const bool lock = call.ParamsAs<wire::IClassFactory::LockServerParams>().getLock();
      // The export counts the locks its client holds and gives back what is left when the
      // client goes (ExportedObject), so a client that dies holding one cannot pin us.
      return ServeForHr<IClassFactory, wire::IClassFactory::LockServerResults>(
          call, [lock, object = call.Object()](IClassFactory* factory) { return object->CountServerLock(factory, lock); });
    }
    default:
      return UnknownMethod(method);
  }
}

// ---- ISupportErrorInfo ----------------------------------------------------------------------

class SupportErrorInfoProxy final : public PlatformProxy<ISupportErrorInfo, wire::ISupportErrorInfo> {
 public:
  using PlatformProxy::PlatformProxy;

  HRESULT InterfaceSupportsErrorInfo(REFIID riid) override {
    return CallForHr([&riid](auto& client) {
      auto request = client.interfaceSupportsErrorInfoRequest();
      WriteGuid(riid, request.initIid());
      return request;
    });
  }
};

kj::Promise<void> ServeSupportErrorInfo(StubCall& call, std::uint16_t method) {
  using W = wire::ISupportErrorInfo;
  if (method != 0) return UnknownMethod(method);
  const IID iid = ReadGuid(call.ParamsAs<W::InterfaceSupportsErrorInfoParams>().getIid());
  return ServeForHr<ISupportErrorInfo, W::InterfaceSupportsErrorInfoResults>(
      call, [iid](ISupportErrorInfo* target) { return target->InterfaceSupportsErrorInfo(iid); });
}

// ---- IDispatch ------------------------------------------------------------------------------

struct ExceptionValue {
  WORD code = 0;
  TextValue source;
  TextValue description;
  TextValue helpFile;
  DWORD helpContext = 0;
  SCODE scode = 0;
};

kj::Promise<void> ServeDispatch(StubCall& call, std::uint16_t method) {
  switch (method) {
    case 0:
      return call.OnWorker<IDispatch, wire::IDispatch::GetTypeInfoCountResults>(
          [](IDispatch* target) -> StubCall::Reply<wire::IDispatch::GetTypeInfoCountResults> {
            UINT count = 0;
            const HRESULT hr = target->GetTypeInfoCount(&count);
            return [hr, count](auto results, WireContext&) {
              results.setHr(hr);
              results.setCount(count);
            };
          });
    case 1: {
      const auto params = call.ParamsAs<wire::IDispatch::GetIDsOfNamesParams>();
      const IID iid = ReadGuid(params.getIid());
      const LCID lcid = params.getLcid();
      std::vector<std::wstring> names;
      for (const auto name : params.getNames()) names.push_back(*ReadText(true, name));
      return call.OnWorker<IDispatch, wire::IDispatch::GetIDsOfNamesResults>(
          [iid, lcid, names = std::move(names)](IDispatch* target) mutable
          -> StubCall::Reply<wire::IDispatch::GetIDsOfNamesResults> {
            std::vector<LPOLESTR> pointers;
            for (auto& name : names) pointers.push_back(name.data());
            std::vector<DISPID> ids(names.size(), DISPID_UNKNOWN);
            const HRESULT hr = target->GetIDsOfNames(iid, pointers.data(), static_cast<UINT>(pointers.size()),
                                                     lcid, ids.data());
            return [hr, ids = std::move(ids)](auto results, WireContext&) {
              results.setHr(hr);
              auto list = results.initDispIds(static_cast<unsigned>(ids.size()));
              for (std::size_t i = 0; i < ids.size(); ++i) list.set(i, ids[i]);
            };
          });
    }
    case 2: {
      const auto params = call.ParamsAs<wire::IDispatch::InvokeParams>();
      struct Arguments {
        DISPID dispId;
        IID iid;
        LCID lcid;
        WORD flags;
        bool wantResult;
        std::vector<VariantValue> positional;  // call order
        std::vector<DISPID> namedIds;
        std::vector<VariantValue> named;
        std::vector<bool> byReference;  // per positional argument
      };
      Arguments in{params.getDispId(), ReadGuid(params.getIid()), params.getLcid(), params.getFlags(),
                   params.getWantResult(), {}, {}, {}, {}};
      for (const auto argument : params.getArguments()) in.positional.push_back(VariantValue::Read(argument, call.Wire()));
      in.byReference.assign(in.positional.size(), false);
      for (const auto position : params.getByReference()) {
        if (position >= in.positional.size() || in.byReference[position] ||
            !VariantValue::CarriedBack(in.positional[position].type)) {
          Malformed("by-reference argument");
        }
        in.byReference[position] = true;
      }
      for (const auto argument : params.getNamed()) {
        in.namedIds.push_back(argument.getDispId());
        in.named.push_back(VariantValue::Read(argument.getValue(), call.Wire()));
      }
      return call.OnWorker<IDispatch, wire::IDispatch::InvokeResults>(
          [in = std::move(in)](IDispatch* target) mutable -> StubCall::Reply<wire::IDispatch::InvokeResults> {
            // rgvarg: the named arguments first, then the positional ones last first.
            const std::size_t total = in.named.size() + in.positional.size();
            std::vector<VARIANT> slots(total);
            for (auto& slot : slots) VariantInit(&slot);
            HRESULT hr = S_OK;
            for (std::size_t i = 0; i < in.named.size() && SUCCEEDED(hr); ++i) hr = in.named[i].ToVariant(&slots[i]);
            // By-reference arguments point into storage of their own, read back after the call.
            std::vector<VARIANT> storage(in.positional.size());
            for (auto& value : storage) VariantInit(&value);
            for (std::size_t i = 0; i < in.positional.size() && SUCCEEDED(hr); ++i) {
              VARIANT& slot = slots[total - 1 - i];
              if (!in.byReference[i]) {
                hr = in.positional[i].ToVariant(&slot);
                continue;
              }
              hr = in.positional[i].ToVariant(&storage[i]);
              slot.vt = static_cast<VARTYPE>(storage[i].vt | VT_BYREF);
              slot.byref = &storage[i].llVal;
            }
            platform::automation::Variant result;
            EXCEPINFO exception{};
            UINT argumentError = 0;
            if (SUCCEEDED(hr)) {
              DISPPARAMS dispParams{slots.data(), in.namedIds.data(), static_cast<UINT>(total),
                                    static_cast<UINT>(in.namedIds.size())};
              hr = target->Invoke(in.dispId, in.iid, in.lcid, in.flags, &dispParams,
                                  in.wantResult ? result.Get() : nullptr, &exception, &argumentError);
            }
            for (auto& slot : slots) VariantClear(&slot);
            std::vector<VariantValue> referenced;
            for (std::size_t i = 0; i < storage.size(); ++i) {
              if (!in.byReference[i]) continue;
              referenced.emplace_back();
              VariantValue::FromVariant(storage[i], &referenced.back());
              VariantClear(&storage[i]);
            }
            VariantValue resultValue;
            if (in.wantResult && SUCCEEDED(hr)) VariantValue::FromVariant(*result.Get(), &resultValue);
            std::optional<ExceptionValue> thrown;
            if (hr == DISP_E_EXCEPTION) {
              if (exception.pfnDeferredFillIn != nullptr) exception.pfnDeferredFillIn(&exception);
              thrown = ExceptionValue{exception.wCode, TextOf(exception.bstrSource),
                                      TextOf(exception.bstrDescription), TextOf(exception.bstrHelpFile),
                                      exception.dwHelpContext, exception.scode};
            }
            SysFreeString(exception.bstrSource);
            SysFreeString(exception.bstrDescription);
            SysFreeString(exception.bstrHelpFile);
            return [hr, wantResult = in.wantResult, resultValue = std::move(resultValue), thrown, argumentError,
                    referenced = std::move(referenced)](auto results, WireContext& context) mutable {
              results.setHr(hr);
              auto values = results.initReferenced(static_cast<unsigned>(referenced.size()));
              for (std::size_t i = 0; i < referenced.size(); ++i) referenced[i].Write(values[i], context);
              if (wantResult) resultValue.Write(results.initResult(), context);
              if (thrown) {
                auto out = results.initException();
                out.setCode(thrown->code);
                WriteText(thrown->source, [&](capnp::Text::Reader text) { out.setSource(text); });
                WriteText(thrown->description, [&](capnp::Text::Reader text) { out.setDescription(text); });
                WriteText(thrown->helpFile, [&](capnp::Text::Reader text) { out.setHelpFile(text); });
                out.setHelpContext(thrown->helpContext);
                out.setScode(thrown->scode);
              }
              results.setArgumentError(argumentError);
            };
          });
    }
    default:
      return UnknownMethod(method);
  }
}

// ---- connection points ----------------------------------------------------------------------

class ConnectionPointContainerProxy final : public PlatformProxy<IConnectionPointContainer, wire::IConnectionPointContainer> {
 public:
  using PlatformProxy::PlatformProxy;

  HRESULT EnumConnectionPoints(IEnumConnectionPoints** result) override {
    return CallForInterface(
        result, [](auto& client) { return client.enumConnectionPointsRequest(); },
        [](auto& response) { return Optional(response.hasEnumerator(), response.getEnumerator()); });
  }

  HRESULT FindConnectionPoint(REFIID riid, IConnectionPoint** result) override {
    return CallForInterface(
        result,
        [&riid](auto& client) {
          auto request = client.findConnectionPointRequest();
          WriteGuid(riid, request.initIid());
          return request;
        },
        [](auto& response) { return Optional(response.hasPoint(), response.getPoint()); });
  }
};

kj::Promise<void> ServeConnectionPointContainer(StubCall& call, std::uint16_t method) {
  using W = wire::IConnectionPointContainer;
  switch (method) {
    case 0:
      return ServeForInterface<IConnectionPointContainer, W::EnumConnectionPointsResults, IEnumConnectionPoints>(
          call, [](IConnectionPointContainer* target, IEnumConnectionPoints** out) { return target->EnumConnectionPoints(out); },
          [](auto results, auto enumerator) { results.setEnumerator(kj::mv(enumerator)); });
    case 1: {
      const IID iid = ReadGuid(call.ParamsAs<W::FindConnectionPointParams>().getIid());
      return ServeForInterface<IConnectionPointContainer, W::FindConnectionPointResults, IConnectionPoint>(
          call, [iid](IConnectionPointContainer* target, IConnectionPoint** out) { return target->FindConnectionPoint(iid, out); },
          [](auto results, auto point) { results.setPoint(kj::mv(point)); });
    }
    default:
      return UnknownMethod(method);
  }
}

class ConnectionPointProxy final : public PlatformProxy<IConnectionPoint, wire::IConnectionPoint> {
 public:
  using PlatformProxy::PlatformProxy;

  HRESULT GetConnectionInterface(IID* iid) override {
    if (iid == nullptr) return E_POINTER;
    HRESULT hr = S_OK;
    const HRESULT transport = Call<wire::IConnectionPoint>([&](auto& client, WireContext&) {
      return client.getConnectionInterfaceRequest().send().then([&](auto&& response) {
        hr = response.getHr();
        *iid = ReadGuid(response.getIid());
      });
    });
    return FAILED(transport) ? transport : hr;
  }

  HRESULT GetConnectionPointContainer(IConnectionPointContainer** result) override {
    return CallForInterface(
        result, [](auto& client) { return client.getConnectionPointContainerRequest(); },
        [](auto& response) { return Optional(response.hasContainer(), response.getContainer()); });
  }

  HRESULT Advise(IUnknown* sink, DWORD* cookie) override {
    if (sink == nullptr || cookie == nullptr) return E_POINTER;
    *cookie = 0;
    ObjectRef subscriber;
    HRESULT hr = ObjectRef::FromPointer(sink, IID_IUnknown, &subscriber);
    if (FAILED(hr)) return hr;
    const HRESULT transport = Call<wire::IConnectionPoint>([&](auto& client, WireContext& context) {
      auto request = client.adviseRequest();
      KJ_IF_MAYBE(capability, subscriber.ToWire(context)) {
        request.setSink(capability->castAs<wire::Unknown>());
      }
      return request.send().then([&](auto&& response) {
        hr = response.getHr();
        *cookie = response.getCookie();
      });
    });
    return FAILED(transport) ? transport : hr;
  }

  HRESULT Unadvise(DWORD cookie) override {
    return CallForHr([cookie](auto& client) {
      auto request = client.unadviseRequest();
      request.setCookie(cookie);
      return request;
    });
  }

  HRESULT EnumConnections(IEnumConnections** result) override {
    return CallForInterface(
        result, [](auto& client) { return client.enumConnectionsRequest(); },
        [](auto& response) { return Optional(response.hasEnumerator(), response.getEnumerator()); });
  }
};

kj::Promise<void> ServeConnectionPoint(StubCall& call, std::uint16_t method) {
  using W = wire::IConnectionPoint;
  switch (method) {
    case 0:
      return call.OnWorker<IConnectionPoint, W::GetConnectionInterfaceResults>(
          [](IConnectionPoint* target) -> StubCall::Reply<W::GetConnectionInterfaceResults> {
            IID iid{};
            const HRESULT hr = target->GetConnectionInterface(&iid);
            return [hr, iid](auto results, WireContext&) {
              results.setHr(hr);
              WriteGuid(iid, results.initIid());
            };
          });
    case 1:
      return ServeForInterface<IConnectionPoint, W::GetConnectionPointContainerResults, IConnectionPointContainer>(
          call,
          [](IConnectionPoint* target, IConnectionPointContainer** out) { return target->GetConnectionPointContainer(out); },
          [](auto results, auto container) { results.setContainer(kj::mv(container)); });
    case 2: {
      const auto params = call.ParamsAs<W::AdviseParams>();
      ObjectRef sink;
      if (params.hasSink()) sink = ObjectRef::FromWire(params.getSink(), IID_IUnknown, call.Wire());
      return call.OnWorker<IConnectionPoint, W::AdviseResults>(
          [sink = std::move(sink)](IConnectionPoint* target) -> StubCall::Reply<W::AdviseResults> {
            ComPtr<IUnknown> subscriber;
            HRESULT hr = sink.ToPointer(subscriber.Put());
            DWORD cookie = 0;
            if (SUCCEEDED(hr)) hr = target->Advise(subscriber.Get(), &cookie);
            return [hr, cookie](auto results, WireContext&) {
              results.setHr(hr);
              results.setCookie(cookie);
            };
          });
    }
    case 3: {
      const DWORD cookie = call.ParamsAs<W::UnadviseParams>().getCookie();
      return ServeForHr<IConnectionPoint, W::UnadviseResults>(
          call, [cookie](IConnectionPoint* target) { return target->Unadvise(cookie); });
    }
    case 4:
      return ServeForInterface<IConnectionPoint, W::EnumConnectionsResults, IEnumConnections>(
          call, [](IConnectionPoint* target, IEnumConnections** out) { return target->EnumConnections(out); },
          [](auto results, auto enumerator) { results.setEnumerator(kj::mv(enumerator)); });
    default:
      return UnknownMethod(method);
  }
}

// ---- enumerators ----------------------------------------------------------------------------
//
// IEnumConnections and IEnumConnectionPoints differ only in their items: Skip, Reset and Clone
// are one implementation; Next is each enumerator's own.

template <class IEnum>
class EnumeratorProxy : public PlatformProxy<IEnum, typename WireOf<IEnum>::Type> {
 public:
  using PlatformProxy<IEnum, typename WireOf<IEnum>::Type>::PlatformProxy;

  HRESULT Skip(ULONG count) override {
    return this->CallForHr([count](auto& client) {
      auto request = client.skipRequest();
      request.setCount(count);
      return request;
    });
  }
  HRESULT Reset() override {
    return this->CallForHr([](auto& client) { return client.resetRequest(); });
  }
  HRESULT Clone(IEnum** result) override {
    return this->CallForInterface(
        result, [](auto& client) { return client.cloneRequest(); },
        [](auto& response) { return Optional(response.hasEnumerator(), response.getEnumerator()); });
  }

 protected:
  // Next, for items of the caller's array `items`: `list(response)` is the response's item
  // list, `read(item, context)` takes one in as a Value (RPC thread), `give(index, value)` hands
  // it to the caller (its thread). More items than asked for are dropped.
  template <class Value, class Item, class List, class Read, class Give>
  HRESULT CallNext(ULONG count, Item* items, ULONG* fetched, List list, Read read, Give give) {
    if (items == nullptr || (count > 1 && fetched == nullptr)) return E_POINTER;
    if (fetched != nullptr) *fetched = 0;
    HRESULT hr = S_OK;
    std::vector<Value> received;
    const HRESULT transport = this->template Call<typename WireOf<IEnum>::Type>([&](auto& client, WireContext& context) {
      auto request = client.nextRequest();
      request.setCount(count);
      return request.send().then([&](auto&& response) {
        hr = response.getHr();
        for (auto item : list(response)) {
          if (received.size() == count) break;
          received.push_back(read(item, context));
        }
      });
    });
    if (FAILED(transport)) return transport;
    for (std::size_t i = 0; i < received.size(); ++i) give(items[i], received[i]);
    if (fetched != nullptr) *fetched = static_cast<ULONG>(received.size());
    return hr;
  }
};

// Next on an enumerator on a worker: asks for `count` items of type Raw (refused beyond
// kMaxEnumerationBatch), takes each in as a plain value with `take(raw)` and gives back the
// reference Next handed out with it (`objectOf(raw)`).
template <class Raw, class IEnum, class Take, class ObjectOf>
auto FetchNext(IEnum* target, ULONG count, Take take, ObjectOf objectOf, HRESULT* hr) {
  std::vector<decltype(take(std::declval<Raw&>()))> values;
  *hr = E_INVALIDARG;
  if (count > kMaxEnumerationBatch) return values;
  std::vector<Raw> fetched(count == 0 ? 1 : count);
  ULONG got = 0;
  *hr = target->Next(count, fetched.data(), &got);
  for (ULONG i = 0; i < got && i < count; ++i) {
    values.push_back(take(fetched[i]));
    if (IUnknown* object = objectOf(fetched[i])) object->Release();
  }
  return values;
}

// Skip, Reset and Clone (methods 1 to 3).
template <class IEnum>
kj::Promise<void> ServeEnumerator(StubCall& call, std::uint16_t method) {
  using W = typename WireOf<IEnum>::Type;
  switch (method) {
    case 1: {
      const ULONG count = call.ParamsAs<typename W::SkipParams>().getCount();
      return ServeForHr<IEnum, typename W::SkipResults>(call, [count](IEnum* target) { return target->Skip(count); });
    }
    case 2:
      return ServeForHr<IEnum, typename W::ResetResults>(call, [](IEnum* target) { return target->Reset(); });
    case 3:
      return ServeForInterface<IEnum, typename W::CloneResults, IEnum>(
          call, [](IEnum* target, IEnum** clone) { return target->Clone(clone); },
          [](auto results, auto clone) { results.setEnumerator(kj::mv(clone)); });
    default:
      return UnknownMethod(method);
  }
}

// An item of IEnumConnections as a plain value.
struct ConnectionValue {
  ObjectRef sink;
  DWORD cookie = 0;
};

class EnumConnectionsProxy final : public EnumeratorProxy<IEnumConnections> {
 public:
  using EnumeratorProxy::EnumeratorProxy;

  HRESULT Next(ULONG count, CONNECTDATA* items, ULONG* fetched) override {
    return CallNext<ConnectionValue>(
        count, items, fetched, [](auto& response) { return response.getConnections(); },
        [](auto item, WireContext& context) {
          return ConnectionValue{
              item.hasSink() ? ObjectRef::FromWire(item.getSink(), IID_IUnknown, context) : ObjectRef(),
              item.getCookie()};
        },
        [](CONNECTDATA& out, ConnectionValue& value) {
          out.dwCookie = value.cookie;
          value.sink.ToPointer(&out.pUnk);
        });
  }
};

kj::Promise<void> ServeEnumConnections(StubCall& call, std::uint16_t method) {
  using W = wire::IEnumConnections;
  if (method != 0) return ServeEnumerator<IEnumConnections>(call, method);
  const ULONG count = call.ParamsAs<W::NextParams>().getCount();
  return call.OnWorker<IEnumConnections, W::NextResults>(
      [count](IEnumConnections* target) -> StubCall::Reply<W::NextResults> {
        HRESULT hr = S_OK;
        auto items = FetchNext<CONNECTDATA>(
            target, count,
            [](CONNECTDATA& item) {
              ConnectionValue value{ObjectRef(), item.dwCookie};
              ObjectRef::FromPointer(item.pUnk, IID_IUnknown, &value.sink);
              return value;
            },
            [](CONNECTDATA& item) { return item.pUnk; }, &hr);
        return [hr, items = std::move(items)](auto results, WireContext& context) mutable {
          results.setHr(hr);
          auto list = results.initConnections(static_cast<unsigned>(items.size()));
          for (std::size_t i = 0; i < items.size(); ++i) {
            list[i].setCookie(items[i].cookie);
            KJ_IF_MAYBE(capability, items[i].sink.ToWire(context)) {
              list[i].setSink(capability->template castAs<wire::Unknown>());
            }
          }
        };
      });
}

class EnumConnectionPointsProxy final : public EnumeratorProxy<IEnumConnectionPoints> {
 public:
  using EnumeratorProxy::EnumeratorProxy;

  HRESULT Next(ULONG count, IConnectionPoint** items, ULONG* fetched) override {
    return CallNext<ObjectRef>(
        count, items, fetched, [](auto& response) { return response.getPoints(); },
        [](auto point, WireContext& context) {
          return ObjectRef::FromWire(kj::mv(point), uuidof<IConnectionPoint>, context);
        },
        [](IConnectionPoint*& out, ObjectRef& point) { point.ToPointer(&out); });
  }
};

kj::Promise<void> ServeEnumConnectionPoints(StubCall& call, std::uint16_t method) {
  using W = wire::IEnumConnectionPoints;
  if (method != 0) return ServeEnumerator<IEnumConnectionPoints>(call, method);
  const ULONG count = call.ParamsAs<W::NextParams>().getCount();
  return call.OnWorker<IEnumConnectionPoints, W::NextResults>(
      [count](IEnumConnectionPoints* target) -> StubCall::Reply<W::NextResults> {
        HRESULT hr = S_OK;
        auto points = FetchNext<IConnectionPoint*>(
            target, count,
            [](IConnectionPoint* point) {
              ObjectRef value;
              ObjectRef::FromPointer(point, uuidof<IConnectionPoint>, &value);
              return value;
            },
            [](IConnectionPoint* point) { return point; }, &hr);
        return [hr, points = std::move(points)](auto results, WireContext& context) mutable {
          results.setHr(hr);
          auto list = results.initPoints(static_cast<unsigned>(points.size()));
          for (std::size_t i = 0; i < points.size(); ++i) {
            KJ_IF_MAYBE(capability, points[i].ToWire(context)) {
              list.set(i, capability->template castAs<wire::IConnectionPoint>());
            }
          }
        };
      });
}

}  // namespace

// ---- IDispatch proxies ----------------------------------------------------------------------

HRESULT RemoteGetTypeInfoCount(ProxyManager& manager, UINT* count) {
  if (count == nullptr) return E_POINTER;
  HRESULT hr = S_OK;
  const HRESULT transport = manager.Invoke([&](capnp::Capability::Client& capability, WireContext&) {
    return capability.castAs<wire::IDispatch>().getTypeInfoCountRequest().send().then([&](auto&& response) {
      hr = response.getHr();
      *count = response.getCount();
    });
  });
  return FAILED(transport) ? transport : hr;
}

HRESULT RemoteGetIDsOfNames(ProxyManager& manager, REFIID riid, LPOLESTR* names, UINT count, LCID lcid,
                            DISPID* dispIds) {
  if (names == nullptr || dispIds == nullptr) return E_POINTER;
  HRESULT hr = S_OK;
  const HRESULT transport = manager.Invoke([&](capnp::Capability::Client& capability, WireContext&) {
    auto request = capability.castAs<wire::IDispatch>().getIDsOfNamesRequest();
    WriteGuid(riid, request.initIid());
    request.setLcid(lcid);
    auto list = request.initNames(count);
    for (UINT i = 0; i < count; ++i) {
      WriteText(names[i] == nullptr ? TextValue(std::wstring()) : TextValue(std::wstring(names[i])),
                [&](capnp::Text::Reader text) { list.set(i, text); });
    }
    return request.send().then([&](auto&& response) {
      hr = response.getHr();
      const auto ids = response.getDispIds();
      for (UINT i = 0; i < count; ++i) dispIds[i] = i < ids.size() ? ids[i] : DISPID_UNKNOWN;
    });
  });
  return FAILED(transport) ? transport : hr;
}

HRESULT RemoteInvoke(ProxyManager& manager, DISPID dispId, REFIID riid, LCID lcid, WORD flags,
                     DISPPARAMS* params, VARIANT* result, EXCEPINFO* exception, UINT* argumentError) {
  if (params == nullptr) return E_INVALIDARG;
  if (params->cNamedArgs > params->cArgs || (params->cArgs > 0 && params->rgvarg == nullptr) ||
      (params->cNamedArgs > 0 && params->rgdispidNamedArgs == nullptr)) {
    return E_INVALIDARG;
  }
  std::vector<VariantValue> positional(params->cArgs - params->cNamedArgs);
  std::vector<std::uint32_t> byReference;  // positions whose values come back
  for (UINT i = 0; i < positional.size(); ++i) {
    const VARIANT& argument = *platform::automation::PositionalArgument(*params, i);
    const HRESULT hr = VariantValue::FromVariant(argument, &positional[i]);
    if (FAILED(hr)) return hr;
    if ((argument.vt & VT_BYREF) != 0 && VariantValue::CarriedBack(static_cast<VARTYPE>(argument.vt & ~VT_BYREF))) {
      byReference.push_back(i);
    }
  }
  std::vector<VariantValue> named(params->cNamedArgs);
  for (UINT i = 0; i < named.size(); ++i) {
    const HRESULT hr = VariantValue::FromVariant(params->rgvarg[i], &named[i]);
    if (FAILED(hr)) return hr;
  }
  HRESULT hr = S_OK;
  VariantValue resultValue;
  bool gotResult = false;
  std::optional<ExceptionValue> thrown;
  UINT error = 0;
  std::vector<VariantValue> referenced;
  const HRESULT transport = manager.Invoke([&](capnp::Capability::Client& capability, WireContext& context) {
    auto request = capability.castAs<wire::IDispatch>().invokeRequest();
    request.setDispId(dispId);
    WriteGuid(riid, request.initIid());
    request.setLcid(lcid);
    request.setFlags(flags);
    request.setWantResult(result != nullptr);
    auto arguments = request.initArguments(static_cast<unsigned>(positional.size()));
    for (std::size_t i = 0; i < positional.size(); ++i) positional[i].Write(arguments[i], context);
    auto namedList = request.initNamed(static_cast<unsigned>(named.size()));
    for (std::size_t i = 0; i < named.size(); ++i) {
      namedList[i].setDispId(params->rgdispidNamedArgs[i]);
      named[i].Write(namedList[i].initValue(), context);
    }
    auto references = request.initByReference(static_cast<unsigned>(byReference.size()));
    for (std::size_t i = 0; i < byReference.size(); ++i) references.set(i, byReference[i]);
    return request.send().then([&](auto&& response) {
      hr = response.getHr();
      for (const auto value : response.getReferenced()) referenced.push_back(VariantValue::Read(value, context));
      if (response.hasResult()) {
        resultValue = VariantValue::Read(response.getResult(), context);
        gotResult = true;
      }
      if (response.hasException()) {
        const auto in = response.getException();
        thrown = ExceptionValue{in.getCode(),
                                ReadText(in.hasSource(), in.getSource()),
                                ReadText(in.hasDescription(), in.getDescription()),
                                ReadText(in.hasHelpFile(), in.getHelpFile()),
                                in.getHelpContext(),
                                in.getScode()};
      }
      error = response.getArgumentError();
    });
  });
  if (FAILED(transport)) return transport;
  if (result != nullptr) {
    VariantInit(result);
    if (gotResult) {
      const HRESULT converted = resultValue.ToVariant(result);
      if (FAILED(converted) && SUCCEEDED(hr)) hr = converted;
    }
  }
  if (exception != nullptr && thrown) {
    *exception = EXCEPINFO{};
    exception->wCode = thrown->code;
    exception->bstrSource = MakeBstr(thrown->source).Detach();
    exception->bstrDescription = MakeBstr(thrown->description).Detach();
    exception->bstrHelpFile = MakeBstr(thrown->helpFile).Detach();
    exception->dwHelpContext = thrown->helpContext;
    exception->scode = thrown->scode;
  }
  if (argumentError != nullptr) *argumentError = error;
  for (std::size_t i = 0; i < referenced.size() && i < byReference.size(); ++i) {
    const HRESULT stored = referenced[i].StoreThrough(*platform::automation::PositionalArgument(*params, byReference[i]));
    if (FAILED(stored) && SUCCEEDED(hr)) hr = stored;
  }
  return hr;
}

std::vector<InterfaceMarshaler> PlatformMarshalers() {
  return {
      {IID_IClassFactory, capnp::typeId<wire::IClassFactory>(), &MakeProxy<ClassFactoryProxy>, &ServeClassFactory},
      {IID_ISupportErrorInfo, capnp::typeId<wire::ISupportErrorInfo>(), &MakeProxy<SupportErrorInfoProxy>,
       &ServeSupportErrorInfo},
      {IID_IDispatch, capnp::typeId<wire::IDispatch>(), &MakeProxy<DispatchProxy<IDispatch>>, &ServeDispatch},
      {IID_IConnectionPointContainer, capnp::typeId<wire::IConnectionPointContainer>(),
       &MakeProxy<ConnectionPointContainerProxy>, &ServeConnectionPointContainer},
      {IID_IConnectionPoint, capnp::typeId<wire::IConnectionPoint>(), &MakeProxy<ConnectionPointProxy>,
       &ServeConnectionPoint},
      {IID_IEnumConnections, capnp::typeId<wire::IEnumConnections>(), &MakeProxy<EnumConnectionsProxy>,
       &ServeEnumConnections},
      {IID_IEnumConnectionPoints, capnp::typeId<wire::IEnumConnectionPoints>(),
       &MakeProxy<EnumConnectionPointsProxy>, &ServeEnumConnectionPoints},
  };
}

}  // namespace platform::remoting
