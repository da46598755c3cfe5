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
using WireUnknown = platform::remoting::wire::Unknown;

// Hands `object` to `set` as its capability on this connection; a null object leaves the field
// unset.
template <class Set>
void WriteObject(ObjectRef& object, WireContext& context, Set&& set) {
  KJ_IF_MAYBE(capability, object.ToWire(context)) { set(capability->template castAs<WireUnknown>()); }
}

// What a call without results beyond the status reads or writes of them: nothing.
struct StatusOnly {
  template <class... Any>
  void operator()(Any&&...) const {}
};

class ProbeProxy final : public InterfaceProxy<ITestProbe> {
 public:
  using InterfaceProxy::InterfaceProxy;

  HRESULT Echo(const VARIANT* value, VARIANT* echoed) override {
    if (value == nullptr || echoed == nullptr) return E_POINTER;
    VariantValue in;
    VariantValue out;
    HRESULT hr = VariantValue::FromVariant(*value, &in);
    if (FAILED(hr)) return hr;
    hr = Send([&](auto& client, WireContext& context) {
      auto request = client.echoRequest();
      in.Write(request.initValue(), context);
      return request;
    }, [&](auto& response, WireContext& context) { out = VariantValue::Read(response.getEchoed(), context); });
    const HRESULT converted = out.ToVariant(echoed);
    return FAILED(converted) ? converted : hr;
  }

  HRESULT CallBack(IUnknown* sink, DISPID dispId, const VARIANT* argument, HRESULT* invokeResult) override {
    if (argument == nullptr || invokeResult == nullptr) return E_POINTER;
    ObjectRef target;
    VariantValue value;
    HRESULT hr = ObjectRef::FromPointer(sink, IID_IUnknown, &target);
    if (SUCCEEDED(hr)) hr = VariantValue::FromVariant(*argument, &value);
    if (FAILED(hr)) return hr;
    return Send([&](auto& client, WireContext& context) {
      auto request = client.callBackRequest();
      WriteObject(target, context, [&](auto capability) { request.setSink(capability); });
      request.setDispId(dispId);
      value.Write(request.initArgument(), context);
      return request;
    }, [&](auto& response, WireContext&) { *invokeResult = response.getInvokeResult(); });
  }

  HRESULT Block(ULONG milliseconds) override {
    return Send([&](auto& client, WireContext&) {
      auto request = client.blockRequest();
      request.setMilliseconds(milliseconds);
      return request;
    });
  }

  HRESULT Fault() override {
    return Send([](auto& client, WireContext&) { return client.faultRequest(); });
  }

  HRESULT Unmarshal(IStream* stream, REFIID iid, IUnknown** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    StreamValue value;
    ObjectRef unmarshaled;
    HRESULT hr = StreamValue::FromStream(stream, &value);
    if (FAILED(hr)) return hr;
    hr = Send([&](auto& client, WireContext& context) {
      auto request = client.unmarshalRequest();
      if (!value.null) value.Write(request.initStream(), context);
      platform::remoting::WriteGuid(iid, request.initIid());
      return request;
    }, [&](auto& response, WireContext& context) {
      if (response.hasObject()) unmarshaled = ObjectRef::FromWire(response.getObject(), iid, context);
    });
    const HRESULT given = unmarshaled.ToPointer(IID_IUnknown, reinterpret_cast<void**>(object));
    return FAILED(given) ? given : hr;
  }

  HRESULT LiveObjects(ULONG* count) override {
    return SendForNumber(count, [](auto& client) { return client.liveObjectsRequest(); },
                         [](auto& response) { return response.getCount(); });
  }
  HRESULT ProcessId(ULONG* pid) override {
    return SendForNumber(pid, [](auto& client) { return client.processIdRequest(); },
                         [](auto& response) { return response.getPid(); });
  }
  HRESULT BlockedCalls(ULONG* count) override {
    return SendForNumber(count, [](auto& client) { return client.blockedCallsRequest(); },
                         [](auto& response) { return response.getCount(); });
  }
  HRESULT EventsReceived(ULONG* count) override {
    return SendForNumber(count, [](auto& client) { return client.eventsReceivedRequest(); },
                         [](auto& response) { return response.getCount(); });
  }

 private:
  // Component thread. `make(client, context)` builds the request on the RPC thread and
  // `read(response, context)` takes what the response has beside the status. A transport
  // failure wins over the object's status.
  template <class Make, class Read = StatusOnly>
  HRESULT Send(Make&& make, Read&& read = {}) {
    HRESULT hr = S_OK;
    const HRESULT transport = Call<W>([&](auto& client, WireContext& context) {
      return make(client, context).send().then([&](auto&& response) {
        hr = response.getHr();
        read(response, context);
      });
    });
    return FAILED(transport) ? transport : hr;
  }

  // A method whose results are the status and one number.
  template <class Make, class Get>
  HRESULT SendForNumber(ULONG* number, Make&& make, Get&& get) {
    if (number == nullptr) return E_POINTER;
    return Send([&](auto& client, WireContext&) { return make(client); },
                [&](auto& response, WireContext&) { *number = get(response); });
  }
};

// Replies with the status and whatever `write(results, context)` adds.
template <class Results, class Write = StatusOnly>
StubCall::Reply<Results> Reply(HRESULT hr, Write write = {}) {
  return [hr, write = std::move(write)](typename Results::Builder results, WireContext& context) mutable {
    results.setHr(hr);
    write(results, context);
  };
}

// A method whose results are the status and one number, which `set` stores.
template <class Results>
kj::Promise<void> ServeNumber(StubCall& call, HRESULT (ITestProbe::*method)(ULONG*),
                              void (Results::Builder::*set)(std::uint32_t)) {
  return call.OnWorker<ITestProbe, Results>([method, set](ITestProbe* probe) {
    ULONG number = 0;
    const HRESULT hr = (probe->*method)(&number);
    return Reply<Results>(hr, [set, number](typename Results::Builder results, WireContext&) { (results.*set)(number); });
  });
}

kj::Promise<void> ServeProbe(StubCall& call, std::uint16_t method) {
  switch (method) {
    case 0: {
      auto value = std::make_shared<VariantValue>(VariantValue::Read(call.ParamsAs<W::EchoParams>().getValue(), call.Wire()));
      return call.OnWorker<ITestProbe, W::EchoResults>([value](ITestProbe* probe) {
        platform::automation::Variant in;
        platform::automation::Variant out;
        HRESULT hr = value->ToVariant(in.Get());
        if (SUCCEEDED(hr)) hr = probe->Echo(in.Get(), out.Get());
        auto echoed = std::make_shared<VariantValue>();
        VariantValue::FromVariant(*out.Get(), echoed.get());
        return Reply<W::EchoResults>(hr, [echoed](auto results, WireContext& context) {
          echoed->Write(results.initEchoed(), context);
        });
      });
    }
    case 1: {
      const auto params = call.ParamsAs<W::CallBackParams>();
      auto sink = std::make_shared<ObjectRef>();
      if (params.hasSink()) *sink = ObjectRef::FromWire(params.getSink(), IID_IUnknown, call.Wire());
      auto argument = std::make_shared<VariantValue>(VariantValue::Read(params.getArgument(), call.Wire()));
      const DISPID dispId = params.getDispId();
      return call.OnWorker<ITestProbe, W::CallBackResults>([sink, argument, dispId](ITestProbe* probe) {
        ComPtr<IUnknown> target;
        platform::automation::Variant value;
        HRESULT hr = sink->ToPointer(target.Put());
        if (SUCCEEDED(hr)) hr = argument->ToVariant(value.Get());
        HRESULT invoked = S_OK;
        if (SUCCEEDED(hr)) hr = probe->CallBack(target.Get(), dispId, value.Get(), &invoked);
        return Reply<W::CallBackResults>(hr, [invoked](auto results, WireContext&) { results.setInvokeResult(invoked); });
      });
    }
    case 2: {
      const ULONG milliseconds = call.ParamsAs<W::BlockParams>().getMilliseconds();
      return call.OnWorker<ITestProbe, W::BlockResults>(
          [milliseconds](ITestProbe* probe) { return Reply<W::BlockResults>(probe->Block(milliseconds)); });
    }
    case 3:
      return call.OnWorker<ITestProbe, W::FaultResults>(
          [](ITestProbe* probe) { return Reply<W::FaultResults>(probe->Fault()); });
    case 4:
      return ServeNumber<W::LiveObjectsResults>(call, &ITestProbe::LiveObjects, &W::LiveObjectsResults::Builder::setCount);
    case 5: {
      const auto params = call.ParamsAs<W::UnmarshalParams>();
      auto stream = std::make_shared<StreamValue>();
      if (params.hasStream()) *stream = StreamValue::Read(params.getStream(), call.Wire());
      const IID iid = platform::remoting::ReadGuid(params.getIid());
      return call.OnWorker<ITestProbe, W::UnmarshalResults>([stream, iid](ITestProbe* probe) {
        ComPtr<IStream> rebuilt;
        ComPtr<IUnknown> object;
        HRESULT hr = stream->ToStream(rebuilt.Put());
        if (SUCCEEDED(hr)) hr = probe->Unmarshal(rebuilt.Get(), iid, object.Put());
        ObjectRef out;
        ObjectRef::FromPointer(object.Get(), iid, &out);
        return Reply<W::UnmarshalResults>(hr, [out = std::move(out)](auto results, WireContext& context) mutable {
          WriteObject(out, context, [&](auto capability) { results.setObject(capability); });
        });
      });
    }
    case 6:
      return ServeNumber<W::ProcessIdResults>(call, &ITestProbe::ProcessId, &W::ProcessIdResults::Builder::setPid);
    case 7:
      return ServeNumber<W::BlockedCallsResults>(call, &ITestProbe::BlockedCalls, &W::BlockedCallsResults::Builder::setCount);
    case 8:
      return ServeNumber<W::EventsReceivedResults>(call, &ITestProbe::EventsReceived,
                                                   &W::EventsReceivedResults::Builder::setCount);
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
