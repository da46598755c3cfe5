#include "platform/com/sink_list.h"

#include <algorithm>
#include <new>

namespace platform::com {

DWORD SinkList::Add(ComPtr<IUnknown>&& sink) {
  auto empty = std::find(slots_.begin(), slots_.end(), nullptr);
  if (empty == slots_.end()) {
    const std::size_t grown = slots_.empty() ? kInitialSlots : slots_.size() * 2;
    const std::size_t target = std::min(grown, maxSlots_);
    if (target <= slots_.size()) return 0;
    try {
      slots_.resize(target);
    } catch (const std::bad_alloc&) {
      return 0;
    }
    empty = std::find(slots_.begin(), slots_.end(), nullptr);
  }
  *empty = std::move(sink);
  return static_cast<DWORD>(empty - slots_.begin()) + 1;
}

ComPtr<IUnknown> SinkList::Remove(DWORD cookie) {
  if (cookie == 0 || cookie > slots_.size()) return nullptr;
  return std::move(slots_[cookie - 1]);
}

ComPtr<IUnknown> SinkList::RemoveSink(IUnknown* sink) {
  if (sink == nullptr) return nullptr;
  auto it = std::find(slots_.begin(), slots_.end(), sink);
  return it == slots_.end() ? nullptr : std::move(*it);
}

}  // namespace platform::com
