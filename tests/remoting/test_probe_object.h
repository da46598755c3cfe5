// The probe object that remoting_test_peer serves (see test_probe.h).
#pragma once

#include <atomic>

#include "interfaces/communication_driver.h"
#include "platform/com/com_object.h"
#include "platform/com/com_ptr.h"
#include "platform/com/interface_table.h"
#include "tests/remoting/test_probe.h"

namespace Talvaro::RemotingTest {

class CTestProbe : public platform::com::ObjectRoot, public ITestProbe, public ICommunicationDriverEvents {
 public:
  using Interfaces =
      platform::com::InterfaceTable<CTestProbe, ITestProbe, ICommunicationDriverEvents,
                                    platform::com::Expose<IDispatch, ICommunicationDriverEvents>>;

  CTestProbe();
  ~CTestProbe();

  HRESULT Echo(const VARIANT* value, VARIANT* echoed) override;
  HRESULT CallBack(IUnknown* sink, DISPID dispId, const VARIANT* argument, HRESULT* invokeResult) override;
  HRESULT Block(ULONG milliseconds) override;
  HRESULT Fault() override;
  HRESULT LiveObjects(ULONG* count) override;
  HRESULT Unmarshal(IStream* stream, REFIID iid, IUnknown** object) override;
  HRESULT ProcessId(ULONG* pid) override;
  HRESULT BlockedCalls(ULONG* count) override;
  HRESULT EventsReceived(ULONG* count) override;

  // IDispatch of the event interface: counts the events.
  HRESULT GetTypeInfoCount(UINT* count) override;
  HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  HRESULT Invoke(DISPID dispId, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params, VARIANT* result,
                 EXCEPINFO* exception, UINT* argumentError) override;

 private:
  static std::atomic<ULONG> live_;
  static std::atomic<ULONG> blocked_;
  std::atomic<ULONG> events_{0};
};

}  // namespace Talvaro::RemotingTest
