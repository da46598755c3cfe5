// The subscribers of one connection point: a growable array of slots in which an unsubscribed
// slot becomes empty and a subscription's cookie is its 1-based slot index.
//
// The array starts with 4 slots at the first subscription, doubles when full, and a new
// subscription takes the first empty slot. Each occupied slot holds a counted reference.
// Not thread-safe: the owning object's lock guards it.
#pragma once

#include <cstddef>
#include <vector>

#include "platform/com/com_ptr.h"

namespace platform::com {

class SinkList {
 public:
  static constexpr std::size_t kInitialSlots = 4;
  static constexpr std::size_t kUnlimited = 0xFFFFFFFF;  // cookies are 32-bit

  explicit SinkList(std::size_t maxSlots = kUnlimited) : maxSlots_(maxSlots) {}

  // The cookie of the new subscription, taking over `sink`'s reference; or 0 when the array
  // cannot grow, and `sink` keeps its reference (to be released outside the owner's lock).
  DWORD Add(ComPtr<IUnknown>&& sink);

  // Empties the slot of `cookie` and hands its reference to the caller (who releases it
  // outside the lock); null when the cookie names no subscription.
  ComPtr<IUnknown> Remove(DWORD cookie);

  // Empties the first slot that holds `sink` (compared as an address); returns its reference.
  ComPtr<IUnknown> RemoveSink(IUnknown* sink);

  // Slots including empty ones; 0 until the first subscription.
  std::size_t SlotCount() const { return slots_.size(); }
  // The sink in a slot (0-based), or null for an empty slot.
  IUnknown* At(std::size_t slot) const { return slots_[slot].Get(); }

 private:
  std::vector<ComPtr<IUnknown>> slots_;
  std::size_t maxSlots_;
};

}  // namespace platform::com
