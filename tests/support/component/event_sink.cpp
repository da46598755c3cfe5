#include "tests/support/component/event_sink.h"

#include "platform/automation/safearray.h"

namespace Talvaro::Testing {

HRESULT CEventSink::GetTypeInfoCount(UINT* count) {
  if (count == nullptr) return E_POINTER;
  *count = 0;
  return S_OK;
}

HRESULT CEventSink::GetTypeInfo(UINT, LCID, ITypeInfo**) { return E_NOTIMPL; }

HRESULT CEventSink::GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) { return E_NOTIMPL; }

HRESULT CEventSink::Invoke(DISPID dispid, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*,
                           EXCEPINFO*, UINT*) {
  if (dispid == DISPID_OnLiveliness) {
    std::unique_lock lock(mutex_);
    ++liveliness_;
    changed_.notify_all();
    livelinessGate_.Pass(lock);
    return livelinessResult_;
  }
  ReceivedEvent event{dispid, {}};
  for (UINT i = 0; params != nullptr && i < params->cArgs; ++i) {
    platform::automation::Variant copy;
    copy.CopyFrom(*platform::automation::PositionalArgument(*params, i));
    event.arguments.push_back(std::move(copy));
  }
  std::unique_lock lock(mutex_);
  events_.push_back(std::move(event));
  changed_.notify_all();
  gate_.Pass(lock);
  return invokeResult_;
}

void CEventSink::SetInvokeResult(HRESULT result) {
  std::lock_guard lock(mutex_);
  invokeResult_ = result;
}

void CEventSink::SetLivelinessResult(HRESULT result) {
  std::lock_guard lock(mutex_);
  livelinessResult_ = result;
}

bool CEventSink::WaitForLiveliness(std::size_t count, std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return liveliness_ >= count; });
}

std::size_t CEventSink::LivelinessCount() const {
  std::lock_guard lock(mutex_);
  return liveliness_;
}

bool CEventSink::WaitForEvents(std::size_t count, std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return events_.size() >= count; });
}

std::vector<ReceivedEvent> CEventSink::Events() const {
  std::lock_guard lock(mutex_);
  return events_;
}

std::vector<std::vector<std::uint8_t>> CEventSink::DataBlocks() const {
  std::vector<std::vector<std::uint8_t>> blocks;
  for (const auto& event : Events()) {
    if (event.dispid != DISPID_OnData || event.arguments.empty()) continue;
    std::vector<std::uint8_t> bytes;
    platform::automation::ReadByteArray(event.arguments[0].Get()->parray, &bytes);
    blocks.push_back(std::move(bytes));
  }
  return blocks;
}

}  // namespace Talvaro::Testing
