// Proxy and stub of ITestProbe, written as the interfaces/ marshalers are.
#include <mutex>

#include "platform/remoting/marshaling.h"
#include "tests/remoting/test_probe.capnp.h"
#include "tests/remoting/test_probe.h"

namespace Talvaro::RemotingTest {
namespace {

using platform::com::ComPtr;
using platform::remoting::InterfaceProxy;
using platform::remoting::ObjectRef;
using platform::remoting::StreamValue;
using platform::remoting::StubCall;
using platform::remoting::UnknownMethod;
using platform::remoting::VariantValue;
using platform::remoting::WireContext;
using W = wire::ITestProbe;

class ProbeProxy final : public InterfaceProxy<ITestProbe> {
 public:
  using InterfaceProxy::InterfaceProxy;

  HRESULT Echo(const VARIANT* value, VARIANT* echoed) override {
    if (value == nullptr || echoed == nullptr) return E_POINTER;
    VariantValue in;
    HRESULT hr = VariantValue::FromVariant(*value, &in);
    if (FAILED(hr)) return hr;
    VariantValue out;
    const HRESULT transport = Call<W>([&](auto& client, WireContext& context) {
      auto request = client.echoRequest();
      in.Write(request.initValue(), context);
      return request.send().then([&](auto&& response) {
        hr = response.getHr();
        out = VariantValue::Read(response.getEchoed(), context);
      });
    });
    if (FAILED(transport)) return transport;
    const HRESULT converted = out.ToVariant(echoed);
    return FAILED(converted) ? converted : hr;
  }

  HRESULT Keep(IUnknown* object) override {
    ObjectRef kept;
    HRESULT hr = ObjectRef::FromPointer(object, IID_IUnknown, &kept);
    if (FAILED(hr)) return hr;
    const HRESULT transport = Call<W>([&](auto& client, WireContext& context) {
      auto request = client.keepRequest();
      KJ_IF_MAYBE(capability, kept.ToWire(context)) {
        request.setObject(capability->template castAs<platform::remoting::wire::Unknown>());
      }
      return request.send().then([&](auto&& response) { hr = response.getHr(); });
    });
    return FAILED(transport) ? transport : hr;
  }

  HRESULT Take(IUnknown** object) override {
    if (object == nullptr) return E_POINTER;
    HRESULT hr = S_OK;
    ObjectRef taken;
    const HRESULT transport = Call<W>([&](auto& client, WireContext& context) {
      return client.takeRequest().send().then([&](auto&& response) {
        hr = response.getHr();
        if (response.hasObject()) taken = ObjectRef::FromWire(response.getObject(), IID_IUnknown, context);
      });
    });
    if (FAILED(transport)) return transport;
    const HRESULT given = taken.ToPointer(object);
    return FAILED(given) ? given : hr;
  }

  HRESULT CallBack(IUnknown* sink, DISPID dispId, const VARIANT* argument, HRESULT* invokeResult) override {
    if (argument == nullptr || invokeResult == nullptr) return E_POINTER;
    ObjectRef target;
    HRESULT hr = ObjectRef::FromPointer(sink, IID_IUnknown, &target);
    if (FAILED(hr)) return hr;
    VariantValue value;
    hr = VariantValue::FromVariant(*argument, &value);
    if (FAILED(hr)) return hr;
    const HRESULT transport = Call<W>([&](auto& client, WireContext& context) {
      auto request = client.callBackRequest();
      KJ_IF_MAYBE(capability, target.ToWire(context)) {
        request.setSink(capability->template castAs<platform::remoting::wire::Unknown>());
      }
      request.setDispId(dispId);
      value.Write(request.initArgument(), context);
      return request.send().then([&](auto&& response) {
        hr = response.getHr();
        *invokeResult = response.getInvokeResult();
      });
    });
    return FAILED(transport) ? transport : hr;
  }

  HRESULT Block(ULONG milliseconds) override {
    HRESULT hr = S_OK;
    const HRESULT transport = Call<W>([&](auto& client, WireContext&) {
      auto request = client.blockRequest();
      request.setMilliseconds(milliseconds);
      return request.send().then([&](auto&& response) { hr = response.getHr(); });
    });
    return FAILED(transport) ? transport : hr;
  }

  HRESULT Fault() override {
    HRESULT hr = S_OK;
    const HRESULT transport = Call<W>([&](auto& client, WireContext&) {
      return client.faultRequest().send().then([&](auto&& response) { hr = response.getHr(); });
    });
    return FAILED(transport) ? transport : hr;
  }

  HRESULT LiveObjects(ULONG* count) override {
    if (count == nullptr) return E_POINTER;
    HRESULT hr = S_OK;
    const HRESULT transport = Call<W>([&](auto& client, WireContext&) {
      return client.liveObjectsRequest().send().then([&](auto&& response) {
        hr = response.getHr();
        *count = response.getCount();
      });
    });
    return FAILED(transport) ? transport : hr;
  }

  HRESULT Unmarshal(IStream* stream, REFIID iid, IUnknown** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    StreamValue value;
    HRESULT hr = StreamValue::FromStream(stream, &value);
    if (FAILED(hr)) return hr;
    ObjectRef unmarshaled;
    const HRESULT transport = Call<W>([&](auto& client, WireContext& context) {
      auto request = client.unmarshalRequest();
      if (!value.null) value.Write(request.initStream(), context);
      platform::remoting::WriteGuid(iid, request.initIid());
      return request.send().then([&](auto&& response) {
        hr = response.getHr();
        if (response.hasObject()) unmarshaled = ObjectRef::FromWire(response.getObject(), iid, context);
      });
    });
    if (FAILED(transport)) return transport;
    const HRESULT given = unmarshaled.ToPointer(IID_IUnknown, reinterpret_cast<void**>(object));
    return FAILED(given) ? given : hr;
  }

  HRESULT ProcessId(ULONG* pid) override {
    if (pid == nullptr) return E_POINTER;
    HRESULT hr = S_OK;
    const HRESULT transport = Call<W>([&](auto& client, WireContext&) {
      return client.processIdRequest().send().then([&](auto&& response) {
        hr = response.getHr();
        *pid = response.getPid();
      });
    });
    return FAILED(transport) ? transport : hr;
  }

  HRESULT EventsReceived(ULONG* count) override {
    if (count == nullptr) return E_POINTER;
    HRESULT hr = S_OK;
    const HRESULT transport = Call<W>([&](auto& client, WireContext&) {
      return client.eventsReceivedRequest().send().then([&](auto&& response) {
        hr = response.getHr();
        *count = response.getCount();
      });
    });
    return FAILED(transport) ? transport : hr;
  }

  HRESULT BlockedCalls(ULONG* count) override {
    if (count == nullptr) return E_POINTER;
    HRESULT hr = S_OK;
    const HRESULT transport = Call<W>([&](auto& client, WireContext&) {
      return client.blockedCallsRequest().send().then([&](auto&& response) {
        hr = response.getHr();
        *count = response.getCount();
      });
    });
    return FAILED(transport) ? transport : hr;
  }
};

// Replies that carry only the status.
template <class Results>
StubCall::Reply<Results> Status(HRESULT hr) {
  return [hr](auto results, WireContext&) { results.setHr(hr); };
}

kj::Promise<void> ServeProbe(StubCall& call, std::uint16_t method) {
  switch (method) {
    case 0: {
      auto value = std::make_shared<VariantValue>(VariantValue::Read(call.ParamsAs<W::EchoParams>().getValue(), call.Wire()));
      return call.OnWorker<ITestProbe, W::EchoResults>([value](ITestProbe* probe) -> StubCall::Reply<W::EchoResults> {
        platform::automation::Variant in;
        platform::automation::Variant out;
        HRESULT hr = value->ToVariant(in.Get());
        if (SUCCEEDED(hr)) hr = probe->Echo(in.Get(), out.Get());
        auto echoed = std::make_shared<VariantValue>();
        VariantValue::FromVariant(*out.Get(), echoed.get());
        return [hr, echoed](auto results, WireContext& context) {
          results.setHr(hr);
          echoed->Write(results.initEchoed(), context);
        };
      });
    }
    case 1: {
      const auto params = call.ParamsAs<W::KeepParams>();
      auto kept = std::make_shared<ObjectRef>();
      if (params.hasObject()) *kept = ObjectRef::FromWire(params.getObject(), IID_IUnknown, call.Wire());
      return call.OnWorker<ITestProbe, W::KeepResults>([kept](ITestProbe* probe) {
        ComPtr<IUnknown> object;
        HRESULT hr = kept->ToPointer(object.Put());
        if (SUCCEEDED(hr)) hr = probe->Keep(object.Get());
        return Status<W::KeepResults>(hr);
      });
    }
    case 2:
      return call.OnWorker<ITestProbe, W::TakeResults>([](ITestProbe* probe) -> StubCall::Reply<W::TakeResults> {
        ComPtr<IUnknown> object;
        const HRESULT hr = probe->Take(object.Put());
        auto taken = std::make_shared<ObjectRef>();
        ObjectRef::FromPointer(object.Get(), IID_IUnknown, taken.get());
        return [hr, taken](auto results, WireContext& context) {
          results.setHr(hr);
          KJ_IF_MAYBE(capability, taken->ToWire(context)) {
            results.setObject(capability->template castAs<platform::remoting::wire::Unknown>());
          }
        };
      });
    case 3: {
      const auto params = call.ParamsAs<W::CallBackParams>();
      auto sink = std::make_shared<ObjectRef>();
      if (params.hasSink()) *sink = ObjectRef::FromWire(params.getSink(), IID_IUnknown, call.Wire());
      auto argument = std::make_shared<VariantValue>(VariantValue::Read(params.getArgument(), call.Wire()));
      const DISPID dispId = params.getDispId();
      return call.OnWorker<ITestProbe, W::CallBackResults>(
          [sink, argument, dispId](ITestProbe* probe) -> StubCall::Reply<W::CallBackResults> {
            ComPtr<IUnknown> target;
            platform::automation::Variant value;
            HRESULT hr = sink->ToPointer(target.Put());
            if (SUCCEEDED(hr)) hr = argument->ToVariant(value.Get());
            HRESULT invoked = S_OK;
            if (SUCCEEDED(hr)) hr = probe->CallBack(target.Get(), dispId, value.Get(), &invoked);
            return [hr, invoked](auto results, WireContext&) {
              results.setHr(hr);
              results.setInvokeResult(invoked);
            };
          });
    }
    case 4: {
      const ULONG milliseconds = call.ParamsAs<W::BlockParams>().getMilliseconds();
      return call.OnWorker<ITestProbe, W::BlockResults>(
          [milliseconds](ITestProbe* probe) { return Status<W::BlockResults>(probe->Block(milliseconds)); });
    }
    case 5:
      return call.OnWorker<ITestProbe, W::FaultResults>(
          [](ITestProbe* probe) { return Status<W::FaultResults>(probe->Fault()); });
    case 6:
      return call.OnWorker<ITestProbe, W::LiveObjectsResults>(
          [](ITestProbe* probe) -> StubCall::Reply<W::LiveObjectsResults> {
            ULONG count = 0;
            const HRESULT hr = probe->LiveObjects(&count);
            return [hr, count](auto results, WireContext&) {
              results.setHr(hr);
              results.setCount(count);
            };
          });
    case 7: {
      const auto params = call.ParamsAs<W::UnmarshalParams>();
      auto stream = std::make_shared<StreamValue>();
      if (params.hasStream()) *stream = StreamValue::Read(params.getStream(), call.Wire());
      const IID iid = platform::remoting::ReadGuid(params.getIid());
      return call.OnWorker<ITestProbe, W::UnmarshalResults>(
          [stream, iid](ITestProbe* probe) -> StubCall::Reply<W::UnmarshalResults> {
            ComPtr<IStream> rebuilt;
            HRESULT hr = stream->ToStream(rebuilt.Put());
            ComPtr<IUnknown> object;
            if (SUCCEEDED(hr)) hr = probe->Unmarshal(rebuilt.Get(), iid, object.Put());
            auto out = std::make_shared<ObjectRef>();
            ObjectRef::FromPointer(object.Get(), iid, out.get());
            return [hr, out](auto results, WireContext& context) {
              results.setHr(hr);
              KJ_IF_MAYBE(capability, out->ToWire(context)) {
                results.setObject(capability->template castAs<platform::remoting::wire::Unknown>());
              }
            };
          });
    }
    case 8:
      return call.OnWorker<ITestProbe, W::ProcessIdResults>(
          [](ITestProbe* probe) -> StubCall::Reply<W::ProcessIdResults> {
            ULONG pid = 0;
            const HRESULT hr = probe->ProcessId(&pid);
            return [hr, pid](auto results, WireContext&) {
              results.setHr(hr);
              results.setPid(pid);
            };
          });
    case 9:
      return call.OnWorker<ITestProbe, W::BlockedCallsResults>(
          [](ITestProbe* probe) -> StubCall::Reply<W::BlockedCallsResults> {
            ULONG count = 0;
            const HRESULT hr = probe->BlockedCalls(&count);
            return [hr, count](auto results, WireContext&) {
              results.setHr(hr);
              results.setCount(count);
            };
          });
    case 10:
      return call.OnWorker<ITestProbe, W::EventsReceivedResults>(
          [](ITestProbe* probe) -> StubCall::Reply<W::EventsReceivedResults> {
            ULONG count = 0;
            const HRESULT hr = probe->EventsReceived(&count);
            return [hr, count](auto results, WireContext&) {
              results.setHr(hr);
              results.setCount(count);
            };
          });
    default:
      return UnknownMethod(method);
  }
}

}  // namespace

bool RegisterTestMarshalers() {
  static std::once_flag once;
  std::call_once(once, [] {
    platform::remoting::RegisterInterface({uuidof<ITestProbe>, capnp::typeId<W>(),
                                           &platform::remoting::MakeProxy<ProbeProxy>, &ServeProbe});
  });
  return true;
}

}  // namespace Talvaro::RemotingTest
