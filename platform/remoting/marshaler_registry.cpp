#include <memory>
#include <shared_mutex>
#include <vector>

#include "platform/remoting/marshaling.h"

namespace platform::remoting {

// com_marshalers.cpp
std::vector<InterfaceMarshaler> PlatformMarshalers();

namespace {

// Entries are never removed, so the pointers handed out stay valid; a later registration of an
// identifier shadows the earlier one.
struct Registry {
  std::shared_mutex mutex;
  std::vector<std::unique_ptr<const InterfaceMarshaler>> entries;  // guarded by mutex
};

Registry& Marshalers() {
  // Lives until exit (runtime threads look entries up); starts with the platform's interfaces.
  static auto* registry = [] {
    auto* created = new Registry;
    for (const auto& marshaler : PlatformMarshalers()) {
      created->entries.push_back(std::make_unique<const InterfaceMarshaler>(marshaler));
    }
    return created;
  }();
  return *registry;
}

}  // namespace

bool RegisterInterface(const InterfaceMarshaler& marshaler) {
  auto& registry = Marshalers();
  std::unique_lock lock(registry.mutex);
  registry.entries.push_back(std::make_unique<const InterfaceMarshaler>(marshaler));
  return true;
}

const InterfaceMarshaler* FindMarshaler(const IID& iid) {
  auto& registry = Marshalers();
  std::shared_lock lock(registry.mutex);
  for (auto entry = registry.entries.rbegin(); entry != registry.entries.rend(); ++entry) {
    if ((*entry)->iid == iid) return entry->get();
  }
  return nullptr;
}

const InterfaceMarshaler* FindMarshalerForWire(std::uint64_t wireInterfaceId) {
  auto& registry = Marshalers();
  std::shared_lock lock(registry.mutex);
  for (auto entry = registry.entries.rbegin(); entry != registry.entries.rend(); ++entry) {
    if ((*entry)->wireInterfaceId == wireInterfaceId) return entry->get();
  }
  return nullptr;
}

}  // namespace platform::remoting
