#include "tests/remoting/test_probe_object.h"

#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <thread>

#include "platform/com/marshal.h"

namespace Talvaro::RemotingTest {

std::atomic<ULONG> CTestProbe::live_{0};
std::atomic<ULONG> CTestProbe::blocked_{0};

CTestProbe::CTestProbe() { live_.fetch_add(1); }
CTestProbe::~CTestProbe() { live_.fetch_sub(1); }

HRESULT CTestProbe::Echo(const VARIANT* value, VARIANT* echoed) {
  if (value == nullptr || echoed == nullptr) return E_POINTER;
  VariantInit(echoed);
  return VariantCopy(echoed, value);
}

HRESULT CTestProbe::CallBack(IUnknown* sink, DISPID dispId, const VARIANT* argument, HRESULT* invokeResult) {
  if (sink == nullptr || argument == nullptr || invokeResult == nullptr) return E_POINTER;
  platform::com::ComPtr<IDispatch> dispatch;
  const HRESULT hr = sink->QueryInterface(IID_IDispatch, dispatch.PutVoid());
  if (FAILED(hr)) return hr;
  VARIANT copy;
  VariantInit(&copy);
  VariantCopy(&copy, argument);
  DISPPARAMS params{&copy, nullptr, 1, 0};
  *invokeResult = dispatch->Invoke(dispId, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, nullptr,
                                   nullptr, nullptr);
  VariantClear(&copy);
  return S_OK;
}

HRESULT CTestProbe::Block(ULONG milliseconds) {
  blocked_.fetch_add(1);
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
  blocked_.fetch_sub(1);
  return S_OK;
}

HRESULT CTestProbe::EventsReceived(ULONG* count) {
  *count = events_.load();
  return S_OK;
}

HRESULT CTestProbe::GetTypeInfoCount(UINT* count) {
  *count = 0;
  return S_OK;
}

HRESULT CTestProbe::Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) {
  events_.fetch_add(1);
  return S_OK;
}

HRESULT CTestProbe::BlockedCalls(ULONG* count) {
  *count = blocked_.load();
  return S_OK;
}

HRESULT CTestProbe::Fault() { throw std::runtime_error("the probe's deliberate fault"); }

HRESULT CTestProbe::LiveObjects(ULONG* count) {
  *count = live_.load();
  return S_OK;
}

HRESULT CTestProbe::Unmarshal(IStream* stream, REFIID iid, IUnknown** object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  LARGE_INTEGER start{};
  stream->Seek(start, STREAM_SEEK_SET, nullptr);
  return CoUnmarshalInterface(stream, iid, reinterpret_cast<void**>(object));
}

HRESULT CTestProbe::ProcessId(ULONG* pid) {
  *pid = static_cast<ULONG>(::getpid());
  return S_OK;
}

}  // namespace Talvaro::RemotingTest
