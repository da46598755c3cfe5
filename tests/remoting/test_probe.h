// The remoting tests' own interface and classes, served by remoting_test_peer:
//   CLSID_TestProbe    a new probe per activation (ordinary class factory)
//   CLSID_TestMailbox  one probe for all (singleton class factory)
// A probe is also an event sink (ICommunicationDriverEvents): it counts the events it gets.
#pragma once

#include "platform/automation/dispatch.h"
#include "platform/automation/stream.h"
#include "platform/com/unknown.h"

namespace Talvaro::RemotingTest {

inline constexpr CLSID CLSID_TestProbe = platform::MakeGuid("{1F485863-9186-4D60-9CCA-E7E3226F0475}");
inline constexpr CLSID CLSID_TestMailbox = platform::MakeGuid("{8EB44528-26F3-4BFB-8E19-31CA7F348844}");

struct ITestProbe : IUnknown {
  // A copy of `value` (objects come back as the object they name).
  virtual HRESULT Echo(const VARIANT* value, VARIANT* echoed) = 0;
  // Invokes `dispId` with one argument on the sink's IDispatch; its status in `invokeResult`.
  virtual HRESULT CallBack(IUnknown* sink, DISPID dispId, const VARIANT* argument, HRESULT* invokeResult) = 0;
  // Sleeps on the calling worker.
  virtual HRESULT Block(ULONG milliseconds) = 0;
  // Throws a C++ exception out of the method.
  virtual HRESULT Fault() = 0;
  // Probes alive in the serving process.
  virtual HRESULT LiveObjects(ULONG* count) = 0;
  // CoUnmarshalInterface from the stream, as `iid`.
  virtual HRESULT Unmarshal(IStream* stream, REFIID iid, IUnknown** object) = 0;
  virtual HRESULT ProcessId(ULONG* pid) = 0;
  // Block calls running in the serving process.
  virtual HRESULT BlockedCalls(ULONG* count) = 0;
  // Events this probe received as a sink.
  virtual HRESULT EventsReceived(ULONG* count) = 0;

 protected:
  ~ITestProbe() = default;
};

// Probes alive in the process that serves `any`; 0 when it cannot be asked (a probe asked is
// alive, so 0 is never a count a test waits for).
inline ULONG LiveProbes(ITestProbe* any) {
  ULONG count = 0;
  return SUCCEEDED(any->LiveObjects(&count)) ? count : 0;
}

// Makes sure the probe's marshalers are registered (done by a variable of the marshalers' file,
// which this reference keeps in the link).
bool RegisterTestMarshalers();
inline const bool testMarshalersRegistered = RegisterTestMarshalers();

}  // namespace Talvaro::RemotingTest

template <>
inline constexpr IID uuidof<Talvaro::RemotingTest::ITestProbe> =
    platform::MakeGuid("{1AE4196A-38E4-4791-BA46-9B63722FFD4A}");
