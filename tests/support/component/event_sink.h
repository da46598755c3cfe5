// A client's event sink for tests of event delivery: records every Invoke (DISPID and the
// positional arguments, copied), answers with a programmable status, can be made to block in
// its next Invoke until released, and can be told not to answer IDispatch. The once-a-second
// liveliness events are only counted, with a status and a gate of their own, so that tests of
// the other events see just the events they cause. Thread-safe.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "interfaces/communication_driver.h"
#include "platform/automation/variant.h"
#include "platform/com/com_object.h"
#include "platform/com/interface_table.h"
#include "tests/support/component/call_gate.h"
#include "tests/support/component/no_dispatch.h"

namespace Talvaro::Testing {

struct ReceivedEvent {
  DISPID dispid;
  std::vector<platform::automation::Variant> arguments;  // in call order
};

class CEventSink : public platform::com::ObjectRoot, public ICommunicationDriverEvents {
 public:
  using Interfaces = platform::com::InterfaceTable<CEventSink, ICommunicationDriverEvents,
                                                   platform::com::Expose<IDispatch, ICommunicationDriverEvents>>;

  HRESULT GetTypeInfoCount(UINT* count) override;
  HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override;
  HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override;
  HRESULT Invoke(DISPID dispid, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params,
                 VARIANT* result, EXCEPINFO* exception, UINT* argumentError) override;

  void SetInvokeResult(HRESULT result);
  void BlockNext() { gate_.CloseForNext(); }
  // Lets a blocked Invoke return (named apart from IUnknown::Release).
  void Unblock() { gate_.Open(); }
  bool WaitBlocked(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    return gate_.WaitHeld(timeout);
  }
  bool WaitForEvents(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10));

  void SetLivelinessResult(HRESULT result);
  void BlockNextLiveliness() { livelinessGate_.CloseForNext(); }
  void UnblockLiveliness() { livelinessGate_.Open(); }
  bool WaitLivelinessBlocked(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    return livelinessGate_.WaitHeld(timeout);
  }
  bool WaitForLiveliness(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10));
  std::size_t LivelinessCount() const;
  std::vector<ReceivedEvent> Events() const;
  // The byte payloads of the OnData events received so far.
  std::vector<std::vector<std::uint8_t>> DataBlocks() const;

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<ReceivedEvent> events_;
  HRESULT invokeResult_ = S_OK;
  CallGate gate_{mutex_, changed_};
  std::size_t liveliness_ = 0;
  HRESULT livelinessResult_ = S_OK;
  CallGate livelinessGate_{mutex_, changed_};
};

// A subscriber that has the event interface but refuses IDispatch: delivery stops at it.
class CMuteSink : public platform::com::ObjectRoot,
                  public NoDispatch<ICommunicationDriverEvents> {
 public:
  using Interfaces = platform::com::InterfaceTable<CMuteSink, ICommunicationDriverEvents>;
};

}  // namespace Talvaro::Testing
