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

// ---- IClassFactory --------------------------------------------------------------------------

class ClassFactoryProxy final : public InterfaceProxy<IClassFactory> {
 public:
  using InterfaceProxy::InterfaceProxy;

  HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** result) override {
    if (result == nullptr) return E_POINTER;
    *result = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;  // no aggregation across processes
    HRESULT hr = S_OK;
    ObjectRef object;
    const HRESULT transport = Call<wire::IClassFactory>([&](auto& client, WireContext& context) {
      auto request = client.createInstanceRequest();
      WriteGuid(riid, request.initIid());
      return request.send().then([&](auto&& response) {
        hr = response.getHr();
        if (response.hasObject()) object = ObjectRef::FromWire(response.getObject(), riid, context);
      });
    });
    if (FAILED(transport)) return transport;
    if (FAILED(hr)) return hr;
    const HRESULT taken = object.ToPointer(riid, result);
    return FAILED(taken) ? taken : hr;
  }

  HRESULT LockServer(BOOL lock) override {
    HRESULT hr = S_OK;
    const HRESULT transport = Call<wire::IClassFactory>([&](auto& client, WireContext&) {
      auto request = client.lockServerRequest();
      request.setLock(lock != FALSE);
      return request.send().then([&](auto&& response) { hr = response.getHr(); });
    });
    return FAILED(transport) ? transport : hr;
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
      auto object = call.Object();
      return call.OnWorker<IClassFactory, wire::IClassFactory::LockServerResults>(
          [lock, object](IClassFactory* factory) -> StubCall::Reply<wire::IClassFactory::LockServerResults> {
            // The export counts the locks its client holds and gives back what is left when the
            // client goes (ExportedObject), so a client that dies holding one cannot pin us.
            const HRESULT hr = object->CountServerLock(factory, lock);
            return [hr](auto results, WireContext&) { results.setHr(hr); };
          });
    }
    default:
      return UnknownMethod(method);
  }
}

// ---- ISupportErrorInfo ----------------------------------------------------------------------

class SupportErrorInfoProxy final : public InterfaceProxy<ISupportErrorInfo> {
 public:
  using InterfaceProxy::InterfaceProxy;

  HRESULT InterfaceSupportsErrorInfo(REFIID riid) override {
    HRESULT hr = S_OK;
    const HRESULT transport = Call<wire::ISupportErrorInfo>([&](auto& client, WireContext&) {
      auto request = client.interfaceSupportsErrorInfoRequest();
      WriteGuid(riid, request.initIid());
      return request.send().then([&](auto&& response) { hr = response.getHr(); });
    });
    return FAILED(transport) ? transport : hr;
  }
};

kj::Promise<void> ServeSupportErrorInfo(StubCall& call, std::uint16_t method) {
  if (method != 0) return UnknownMethod(method);
  const IID iid = ReadGuid(call.ParamsAs<wire::ISupportErrorInfo::InterfaceSupportsErrorInfoParams>().getIid());
  return call.OnWorker<ISupportErrorInfo, wire::ISupportErrorInfo::InterfaceSupportsErrorInfoResults>(
      [iid](ISupportErrorInfo* target) -> StubCall::Reply<wire::ISupportErrorInfo::InterfaceSupportsErrorInfoResults> {
        const HRESULT hr = target->InterfaceSupportsErrorInfo(iid);
        return [hr](auto results, WireContext&) { results.setHr(hr); };
      });
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
      };
      Arguments in{params.getDispId(), ReadGuid(params.getIid()), params.getLcid(), params.getFlags(),
                   params.getWantResult(), {}, {}, {}};
      for (const auto argument : params.getArguments()) in.positional.push_back(VariantValue::Read(argument, call.Wire()));
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
            for (std::size_t i = 0; i < in.positional.size() && SUCCEEDED(hr); ++i) {
              hr = in.positional[i].ToVariant(&slots[total - 1 - i]);
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
            return [hr, wantResult = in.wantResult, resultValue = std::move(resultValue), thrown,
                    argumentError](auto results, WireContext& context) mutable {
              results.setHr(hr);
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

class ConnectionPointContainerProxy final : public InterfaceProxy<IConnectionPointContainer> {
 public:
  using InterfaceProxy::InterfaceProxy;

  HRESULT EnumConnectionPoints(IEnumConnectionPoints** result) override {
    if (result == nullptr) return E_POINTER;
    *result = nullptr;
    HRESULT hr = S_OK;
    ObjectRef enumerator;
    const HRESULT transport = Call<wire::IConnectionPointContainer>([&](auto& client, WireContext& context) {
      return client.enumConnectionPointsRequest().send().then([&](auto&& response) {
        hr = response.getHr();
        if (response.hasEnumerator()) {
          enumerator = ObjectRef::FromWire(response.getEnumerator(), uuidof<IEnumConnectionPoints>, context);
        }
      });
    });
    if (FAILED(transport)) return transport;
    const HRESULT taken = TakeInterface(enumerator, result);
    return FAILED(taken) ? taken : hr;
  }

  HRESULT FindConnectionPoint(REFIID riid, IConnectionPoint** result) override {
    if (result == nullptr) return E_POINTER;
    *result = nullptr;
    HRESULT hr = S_OK;
    ObjectRef point;
    const HRESULT transport = Call<wire::IConnectionPointContainer>([&](auto& client, WireContext& context) {
      auto request = client.findConnectionPointRequest();
      WriteGuid(riid, request.initIid());
      return request.send().then([&](auto&& response) {
        hr = response.getHr();
        if (response.hasPoint()) point = ObjectRef::FromWire(response.getPoint(), uuidof<IConnectionPoint>, context);
      });
    });
    if (FAILED(transport)) return transport;
    const HRESULT taken = TakeInterface(point, result);
    return FAILED(taken) ? taken : hr;
  }
};

kj::Promise<void> ServeConnectionPointContainer(StubCall& call, std::uint16_t method) {
  switch (method) {
    case 0:
      return call.OnWorker<IConnectionPointContainer, wire::IConnectionPointContainer::EnumConnectionPointsResults>(
          [](IConnectionPointContainer* target)
              -> StubCall::Reply<wire::IConnectionPointContainer::EnumConnectionPointsResults> {
            ComPtr<IEnumConnectionPoints> enumerator;
            HRESULT hr = target->EnumConnectionPoints(enumerator.Put());
            ObjectRef out;
            if (SUCCEEDED(hr)) ObjectRef::FromPointer(enumerator.Get(), uuidof<IEnumConnectionPoints>, &out);
            return [hr, out = std::move(out)](auto results, WireContext& context) mutable {
              results.setHr(hr);
              KJ_IF_MAYBE(capability, out.ToWire(context)) {
                results.setEnumerator(capability->template castAs<wire::IEnumConnectionPoints>());
              }
            };
          });
    case 1: {
      const IID iid = ReadGuid(call.ParamsAs<wire::IConnectionPointContainer::FindConnectionPointParams>().getIid());
      return call.OnWorker<IConnectionPointContainer, wire::IConnectionPointContainer::FindConnectionPointResults>(
          [iid](IConnectionPointContainer* target)
              -> StubCall::Reply<wire::IConnectionPointContainer::FindConnectionPointResults> {
            ComPtr<IConnectionPoint> point;
            HRESULT hr = target->FindConnectionPoint(iid, point.Put());
            ObjectRef out;
            if (SUCCEEDED(hr)) ObjectRef::FromPointer(point.Get(), uuidof<IConnectionPoint>, &out);
            return [hr, out = std::move(out)](auto results, WireContext& context) mutable {
              results.setHr(hr);
              KJ_IF_MAYBE(capability, out.ToWire(context)) {
                results.setPoint(capability->template castAs<wire::IConnectionPoint>());
              }
            };
          });
    }
    default:
      return UnknownMethod(method);
  }
}

class ConnectionPointProxy final : public InterfaceProxy<IConnectionPoint> {
 public:
  using InterfaceProxy::InterfaceProxy;

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
    if (result == nullptr) return E_POINTER;
    *result = nullptr;
    HRESULT hr = S_OK;
    ObjectRef container;
    const HRESULT transport = Call<wire::IConnectionPoint>([&](auto& client, WireContext& context) {
      return client.getConnectionPointContainerRequest().send().then([&](auto&& response) {
        hr = response.getHr();
        if (response.hasContainer()) {
          container = ObjectRef::FromWire(response.getContainer(), uuidof<IConnectionPointContainer>, context);
        }
      });
    });
    if (FAILED(transport)) return transport;
    const HRESULT taken = TakeInterface(container, result);
    return FAILED(taken) ? taken : hr;
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
    HRESULT hr = S_OK;
    const HRESULT transport = Call<wire::IConnectionPoint>([&](auto& client, WireContext&) {
      auto request = client.unadviseRequest();
      request.setCookie(cookie);
      return request.send().then([&](auto&& response) { hr = response.getHr(); });
    });
    return FAILED(transport) ? transport : hr;
  }

  HRESULT EnumConnections(IEnumConnections** result) override {
    if (result == nullptr) return E_POINTER;
    *result = nullptr;
    HRESULT hr = S_OK;
    ObjectRef enumerator;
    const HRESULT transport = Call<wire::IConnectionPoint>([&](auto& client, WireContext& context) {
      return client.enumConnectionsRequest().send().then([&](auto&& response) {
        hr = response.getHr();
        if (response.hasEnumerator()) {
          enumerator = ObjectRef::FromWire(response.getEnumerator(), uuidof<IEnumConnections>, context);
        }
      });
    });
    if (FAILED(transport)) return transport;
    const HRESULT taken = TakeInterface(enumerator, result);
    return FAILED(taken) ? taken : hr;
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
      return call.OnWorker<IConnectionPoint, W::GetConnectionPointContainerResults>(
          [](IConnectionPoint* target) -> StubCall::Reply<W::GetConnectionPointContainerResults> {
            ComPtr<IConnectionPointContainer> container;
            HRESULT hr = target->GetConnectionPointContainer(container.Put());
            ObjectRef out;
            if (SUCCEEDED(hr)) ObjectRef::FromPointer(container.Get(), uuidof<IConnectionPointContainer>, &out);
            return [hr, out = std::move(out)](auto results, WireContext& context) mutable {
              results.setHr(hr);
              KJ_IF_MAYBE(capability, out.ToWire(context)) {
                results.setContainer(capability->template castAs<wire::IConnectionPointContainer>());
              }
            };
          });
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
      return call.OnWorker<IConnectionPoint, W::UnadviseResults>(
          [cookie](IConnectionPoint* target) -> StubCall::Reply<W::UnadviseResults> {
            const HRESULT hr = target->Unadvise(cookie);
            return [hr](auto results, WireContext&) { results.setHr(hr); };
          });
    }
    case 4:
      return call.OnWorker<IConnectionPoint, W::EnumConnectionsResults>(
          [](IConnectionPoint* target) -> StubCall::Reply<W::EnumConnectionsResults> {
            ComPtr<IEnumConnections> enumerator;
            HRESULT hr = target->EnumConnections(enumerator.Put());
            ObjectRef out;
            if (SUCCEEDED(hr)) ObjectRef::FromPointer(enumerator.Get(), uuidof<IEnumConnections>, &out);
            return [hr, out = std::move(out)](auto results, WireContext& context) mutable {
              results.setHr(hr);
              KJ_IF_MAYBE(capability, out.ToWire(context)) {
                results.setEnumerator(capability->template castAs<wire::IEnumConnections>());
              }
            };
          });
    default:
      return UnknownMethod(method);
  }
}

// ---- enumerators ----------------------------------------------------------------------------

class EnumConnectionsProxy final : public InterfaceProxy<IEnumConnections> {
 public:
  using InterfaceProxy::InterfaceProxy;

  HRESULT Next(ULONG count, CONNECTDATA* items, ULONG* fetched) override {
    if (items == nullptr || (count > 1 && fetched == nullptr)) return E_POINTER;
    if (fetched != nullptr) *fetched = 0;
    HRESULT hr = S_OK;
    struct Item {
      ObjectRef sink;
      DWORD cookie;
    };
    std::vector<Item> received;
    const HRESULT transport = Call<wire::IEnumConnections>([&](auto& client, WireContext& context) {
      auto request = client.nextRequest();
      request.setCount(count);
      return request.send().then([&](auto&& response) {
        hr = response.getHr();
        for (const auto item : response.getConnections()) {
          if (received.size() == count) break;
          received.push_back({item.hasSink() ? ObjectRef::FromWire(item.getSink(), IID_IUnknown, context) : ObjectRef(),
                              item.getCookie()});
        }
      });
    });
    if (FAILED(transport)) return transport;
    for (std::size_t i = 0; i < received.size(); ++i) {
      items[i].dwCookie = received[i].cookie;
      received[i].sink.ToPointer(&items[i].pUnk);
    }
    if (fetched != nullptr) *fetched = static_cast<ULONG>(received.size());
    return hr;
  }
  HRESULT Skip(ULONG count) override {
    HRESULT hr = S_OK;
    const HRESULT transport = Call<wire::IEnumConnections>([&](auto& client, WireContext&) {
      auto request = client.skipRequest();
      request.setCount(count);
      return request.send().then([&](auto&& response) { hr = response.getHr(); });
    });
    return FAILED(transport) ? transport : hr;
  }
  HRESULT Reset() override {
    HRESULT hr = S_OK;
    const HRESULT transport = Call<wire::IEnumConnections>([&](auto& client, WireContext&) {
      return client.resetRequest().send().then([&](auto&& response) { hr = response.getHr(); });
    });
    return FAILED(transport) ? transport : hr;
  }
  HRESULT Clone(IEnumConnections** result) override {
    if (result == nullptr) return E_POINTER;
    *result = nullptr;
    HRESULT hr = S_OK;
    ObjectRef clone;
    const HRESULT transport = Call<wire::IEnumConnections>([&](auto& client, WireContext& context) {
      return client.cloneRequest().send().then([&](auto&& response) {
        hr = response.getHr();
        if (response.hasEnumerator()) clone = ObjectRef::FromWire(response.getEnumerator(), uuidof<IEnumConnections>, context);
      });
    });
    if (FAILED(transport)) return transport;
    const HRESULT taken = TakeInterface(clone, result);
    return FAILED(taken) ? taken : hr;
  }
};

kj::Promise<void> ServeEnumConnections(StubCall& call, std::uint16_t method) {
  using W = wire::IEnumConnections;
  switch (method) {
    case 0: {
      const ULONG count = call.ParamsAs<W::NextParams>().getCount();
      return call.OnWorker<IEnumConnections, W::NextResults>(
          [count](IEnumConnections* target) -> StubCall::Reply<W::NextResults> {
            struct Item {
              ObjectRef sink;
              DWORD cookie;
            };
            std::vector<Item> items;
            HRESULT hr = E_INVALIDARG;
            if (count <= kMaxEnumerationBatch) {
              std::vector<CONNECTDATA> fetched(count == 0 ? 1 : count);
              ULONG got = 0;
              hr = target->Next(count, fetched.data(), &got);
              for (ULONG i = 0; i < got && i < count; ++i) {
                Item item{ObjectRef(), fetched[i].dwCookie};
                ObjectRef::FromPointer(fetched[i].pUnk, IID_IUnknown, &item.sink);
                if (fetched[i].pUnk != nullptr) fetched[i].pUnk->Release();
                items.push_back(std::move(item));
              }
            }
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
    case 1: {
      const ULONG count = call.ParamsAs<W::SkipParams>().getCount();
      return call.OnWorker<IEnumConnections, W::SkipResults>(
          [count](IEnumConnections* target) -> StubCall::Reply<W::SkipResults> {
            const HRESULT hr = target->Skip(count);
            return [hr](auto results, WireContext&) { results.setHr(hr); };
          });
    }
    case 2:
      return call.OnWorker<IEnumConnections, W::ResetResults>(
          [](IEnumConnections* target) -> StubCall::Reply<W::ResetResults> {
            const HRESULT hr = target->Reset();
            return [hr](auto results, WireContext&) { results.setHr(hr); };
          });
    case 3:
      return call.OnWorker<IEnumConnections, W::CloneResults>(
          [](IEnumConnections* target) -> StubCall::Reply<W::CloneResults> {
            ComPtr<IEnumConnections> clone;
            HRESULT hr = target->Clone(clone.Put());
            ObjectRef out;
            if (SUCCEEDED(hr)) ObjectRef::FromPointer(clone.Get(), uuidof<IEnumConnections>, &out);
            return [hr, out = std::move(out)](auto results, WireContext& context) mutable {
              results.setHr(hr);
              KJ_IF_MAYBE(capability, out.ToWire(context)) {
                results.setEnumerator(capability->template castAs<wire::IEnumConnections>());
              }
            };
          });
    default:
      return UnknownMethod(method);
  }
}

class EnumConnectionPointsProxy final : public InterfaceProxy<IEnumConnectionPoints> {
 public:
  using InterfaceProxy::InterfaceProxy;

  HRESULT Next(ULONG count, IConnectionPoint** items, ULONG* fetched) override {
    if (items == nullptr || (count > 1 && fetched == nullptr)) return E_POINTER;
    if (fetched != nullptr) *fetched = 0;
    HRESULT hr = S_OK;
    std::vector<ObjectRef> received;
    const HRESULT transport = Call<wire::IEnumConnectionPoints>([&](auto& client, WireContext& context) {
      auto request = client.nextRequest();
      request.setCount(count);
      return request.send().then([&](auto&& response) {
        hr = response.getHr();
        for (auto point : response.getPoints()) {
          if (received.size() == count) break;
          received.push_back(ObjectRef::FromWire(kj::mv(point), uuidof<IConnectionPoint>, context));
        }
      });
    });
    if (FAILED(transport)) return transport;
    for (std::size_t i = 0; i < received.size(); ++i) received[i].ToPointer(&items[i]);
    if (fetched != nullptr) *fetched = static_cast<ULONG>(received.size());
    return hr;
  }
  HRESULT Skip(ULONG count) override {
    HRESULT hr = S_OK;
    const HRESULT transport = Call<wire::IEnumConnectionPoints>([&](auto& client, WireContext&) {
      auto request = client.skipRequest();
      request.setCount(count);
      return request.send().then([&](auto&& response) { hr = response.getHr(); });
    });
    return FAILED(transport) ? transport : hr;
  }
  HRESULT Reset() override {
    HRESULT hr = S_OK;
    const HRESULT transport = Call<wire::IEnumConnectionPoints>([&](auto& client, WireContext&) {
      return client.resetRequest().send().then([&](auto&& response) { hr = response.getHr(); });
    });
    return FAILED(transport) ? transport : hr;
  }
  HRESULT Clone(IEnumConnectionPoints** result) override {
    if (result == nullptr) return E_POINTER;
    *result = nullptr;
    HRESULT hr = S_OK;
    ObjectRef clone;
    const HRESULT transport = Call<wire::IEnumConnectionPoints>([&](auto& client, WireContext& context) {
      return client.cloneRequest().send().then([&](auto&& response) {
        hr = response.getHr();
        if (response.hasEnumerator()) {
          clone = ObjectRef::FromWire(response.getEnumerator(), uuidof<IEnumConnectionPoints>, context);
        }
      });
    });
    if (FAILED(transport)) return transport;
    const HRESULT taken = TakeInterface(clone, result);
    return FAILED(taken) ? taken : hr;
  }
};

kj::Promise<void> ServeEnumConnectionPoints(StubCall& call, std::uint16_t method) {
  using W = wire::IEnumConnectionPoints;
  switch (method) {
    case 0: {
      const ULONG count = call.ParamsAs<W::NextParams>().getCount();
      return call.OnWorker<IEnumConnectionPoints, W::NextResults>(
          [count](IEnumConnectionPoints* target) -> StubCall::Reply<W::NextResults> {
            std::vector<ObjectRef> points;
            HRESULT hr = E_INVALIDARG;
            if (count <= kMaxEnumerationBatch) {
              std::vector<IConnectionPoint*> fetched(count == 0 ? 1 : count, nullptr);
              ULONG got = 0;
              hr = target->Next(count, fetched.data(), &got);
              for (ULONG i = 0; i < got && i < count; ++i) {
                ObjectRef point;
                ObjectRef::FromPointer(fetched[i], uuidof<IConnectionPoint>, &point);
                if (fetched[i] != nullptr) fetched[i]->Release();
                points.push_back(std::move(point));
              }
            }
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
    case 1: {
      const ULONG count = call.ParamsAs<W::SkipParams>().getCount();
      return call.OnWorker<IEnumConnectionPoints, W::SkipResults>(
          [count](IEnumConnectionPoints* target) -> StubCall::Reply<W::SkipResults> {
            const HRESULT hr = target->Skip(count);
            return [hr](auto results, WireContext&) { results.setHr(hr); };
          });
    }
    case 2:
      return call.OnWorker<IEnumConnectionPoints, W::ResetResults>(
          [](IEnumConnectionPoints* target) -> StubCall::Reply<W::ResetResults> {
            const HRESULT hr = target->Reset();
            return [hr](auto results, WireContext&) { results.setHr(hr); };
          });
    case 3:
      return call.OnWorker<IEnumConnectionPoints, W::CloneResults>(
          [](IEnumConnectionPoints* target) -> StubCall::Reply<W::CloneResults> {
            ComPtr<IEnumConnectionPoints> clone;
            HRESULT hr = target->Clone(clone.Put());
            ObjectRef out;
            if (SUCCEEDED(hr)) ObjectRef::FromPointer(clone.Get(), uuidof<IEnumConnectionPoints>, &out);
            return [hr, out = std::move(out)](auto results, WireContext& context) mutable {
              results.setHr(hr);
              KJ_IF_MAYBE(capability, out.ToWire(context)) {
                results.setEnumerator(capability->template castAs<wire::IEnumConnectionPoints>());
              }
            };
          });
    default:
      return UnknownMethod(method);
  }
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
  for (UINT i = 0; i < positional.size(); ++i) {
    const HRESULT hr = VariantValue::FromVariant(*platform::automation::PositionalArgument(*params, i), &positional[i]);
    if (FAILED(hr)) return hr;
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
    return request.send().then([&](auto&& response) {
      hr = response.getHr();
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
