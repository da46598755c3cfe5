// The probe object that remoting_test_peer serves (see test_probe.h).
#pragma once

#include <atomic>
#include <mutex>

#include "platform/com/com_object.h"
#include "platform/com/com_ptr.h"
#include "platform/com/interface_table.h"
#include "tests/remoting/test_probe.h"

namespace Talvaro::RemotingTest {

class CTestProbe : public platform::com::ObjectRoot, public ITestProbe {
 public:
  using Interfaces = platform::com::InterfaceTable<CTestProbe, ITestProbe>;

  CTestProbe();
  ~CTestProbe();

  HRESULT Echo(const VARIANT* value, VARIANT* echoed) override;
  HRESULT Keep(IUnknown* object) override;
  HRESULT Take(IUnknown** object) override;
  HRESULT CallBack(IUnknown* sink, DISPID dispId, const VARIANT* argument, HRESULT* invokeResult) override;
  HRESULT Block(ULONG milliseconds) override;
  HRESULT Fault() override;
  HRESULT LiveObjects(ULONG* count) override;
  HRESULT Unmarshal(IStream* stream, REFIID iid, IUnknown** object) override;
  HRESULT ProcessId(ULONG* pid) override;
  HRESULT BlockedCalls(ULONG* count) override;

 private:
  static std::atomic<ULONG> live_;
  static std::atomic<ULONG> blocked_;
  std::mutex mutex_;
  platform::com::ComPtr<IUnknown> kept_;  // guarded by mutex_
};

}  // namespace Talvaro::RemotingTest
