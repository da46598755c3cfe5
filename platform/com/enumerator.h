// A snapshot enumerator for the IEnumXxx interfaces: Next/Skip/Reset/Clone over items taken
// when the enumerator was made. Clones share the snapshot and start at the clone's position.
#pragma once

#include <algorithm>
#include <memory>
#include <vector>

#include "platform/com/com_object.h"
#include "platform/com/connection_interfaces.h"
#include "platform/com/interface_table.h"

namespace platform::com {

// What an enumerator of `EnumInterface` holds and how it hands an item out with a reference.
template <class EnumInterface>
struct EnumerationTraits;

struct ConnectionEntry {
  ComPtr<IUnknown> sink;
  DWORD cookie;
};

template <>
struct EnumerationTraits<IEnumConnections> {
  using Item = CONNECTDATA;
  using Held = ConnectionEntry;
  static void CopyOut(const Held& held, Item* out) {
    held.sink.CopyTo(&out->pUnk);
    out->dwCookie = held.cookie;
  }
};

template <>
struct EnumerationTraits<IEnumConnectionPoints> {
  using Item = IConnectionPoint*;
  using Held = ComPtr<IConnectionPoint>;
  static void CopyOut(const Held& held, Item* out) { held.CopyTo(out); }
};

template <class EnumInterface>
class SnapshotEnumerator : public ObjectRoot, public EnumInterface {
  using Traits = EnumerationTraits<EnumInterface>;
  using Item = typename Traits::Item;
  using Snapshot = std::vector<typename Traits::Held>;

 public:
  using Interfaces = InterfaceTable<SnapshotEnumerator, EnumInterface>;

  // Makes an enumerator over `items` positioned at `position`.
  static HRESULT Create(std::shared_ptr<const Snapshot> items, std::size_t position,
                        EnumInterface** result) {
    if (result == nullptr) return E_POINTER;
    *result = nullptr;
    ComPtr<ComObject<SnapshotEnumerator>> object;
    const HRESULT hr = CreateObject(&object);
    if (FAILED(hr)) return hr;
    object->items_ = std::move(items);
    object->position_ = position;
    *result = object.Detach();
    return S_OK;
  }

  HRESULT Next(ULONG count, Item* items, ULONG* fetched) override {
    if (items == nullptr || (count > 1 && fetched == nullptr)) return E_POINTER;
    std::lock_guard guard(*this);
    ULONG delivered = 0;
    while (delivered < count && position_ < items_->size()) {
      Traits::CopyOut((*items_)[position_++], &items[delivered++]);
    }
    if (fetched != nullptr) *fetched = delivered;
    return delivered == count ? S_OK : S_FALSE;
  }
  HRESULT Skip(ULONG count) override {
    std::lock_guard guard(*this);
    const std::size_t remaining = items_->size() - position_;
    position_ += std::min<std::size_t>(count, remaining);
    return count <= remaining ? S_OK : S_FALSE;
  }
  HRESULT Reset() override {
    std::lock_guard guard(*this);
    position_ = 0;
    return S_OK;
  }
  HRESULT Clone(EnumInterface** result) override {
    std::lock_guard guard(*this);
    return Create(items_, position_, result);
  }

 private:
  std::shared_ptr<const Snapshot> items_;  // shared with clones; immutable
  std::size_t position_ = 0;               // guarded by the object lock
};

}  // namespace platform::com
