#include "objects/observer_singleton.h"

#include <fmt/xchar.h>

#include <algorithm>
#include <mutex>
#include <utility>

#include "common/driver_logger.h"
#include "platform/com/com_object.h"

namespace Talvaro::Objects {
namespace {

using platform::com::ComObject;
using platform::com::ComPtr;

// The process-wide state. Allocated once and never destroyed, so that watchers released by a
// late static destructor still find the mutex.
struct SharedState {
  std::recursive_mutex listMutex;  // every instance's list and `instance`
  ComPtr<ComObject<CObserverSingleton>> instance;
};

SharedState& Shared() {
  static auto* state = new SharedState;
  return *state;
}

}  // namespace

DecodedWords DecodeWords(const unsigned char* data, ULONG count) {
  DecodedWords words;
  for (ULONG i = 0; i < count; ++i) {
    ULONG& word = i < 4 ? words.first : i < 8 ? words.second : words.third;
    word += data[i];
    if (i < 3 || (i >= 4 && i < 7) || (i >= 8 && i < 11)) word <<= 8;
  }
  return words;
}

CObserverSingleton::CObserverSingleton() : link_(std::make_shared<OwnerLink>(OwnerLink{this})) {}

CObserverSingleton::~CObserverSingleton() {
  WatcherList remaining;
  {
    std::lock_guard guard(Shared().listMutex);
    link_->owner = nullptr;
    remaining = TakeWatchers();
  }
}

CObserverSingleton::WatcherList CObserverSingleton::TakeWatchers() {
  for (const auto& delivery : watchers_) delivery->Close();
  return std::exchange(watchers_, {});
}

ComPtr<ComObject<CObserverSingleton>> CObserverSingleton::GetInstance() {
  auto& shared = Shared();
  std::lock_guard guard(shared.listMutex);
  if (!shared.instance) platform::com::CreateObject(&shared.instance);
  return shared.instance;
}

void CObserverSingleton::ReleaseAll() {
  auto& shared = Shared();
  WatcherList released;
  ComPtr<ComObject<CObserverSingleton>> instance;
  {
    std::lock_guard guard(shared.listMutex);
    if (shared.instance) released = shared.instance->TakeWatchers();
    instance = std::move(shared.instance);
  }
  // References are dropped outside the mutex: a release may reach a watcher's process.
}

HRESULT CObserverSingleton::Register(IRegObserverCallback* callback) {
  if (callback == nullptr) return S_OK;
  std::lock_guard guard(Shared().listMutex);
  for (const auto& delivery : watchers_) {
    if (delivery->Callback() == callback) return S_OK;
  }
  watchers_.push_back(std::make_shared<WatcherDelivery>(
      ComPtr<IRegObserverCallback>(callback),
      [link = link_](const std::shared_ptr<WatcherDelivery>& delivery, HRESULT status) {
        RemoveGone(link, delivery, status);
      }));
  return S_OK;
}

HRESULT CObserverSingleton::Unregister(IRegObserverCallback* callback) {
  std::shared_ptr<WatcherDelivery> removed;
  {
    std::lock_guard guard(Shared().listMutex);
    const auto found = std::find_if(watchers_.begin(), watchers_.end(),
                                    [callback](const auto& delivery) { return delivery->Callback() == callback; });
    if (found != watchers_.end()) {
      (*found)->Close();
      removed = std::move(*found);
      watchers_.erase(found);
    }
  }
  return S_OK;
}

void CObserverSingleton::RemoveGone(const std::shared_ptr<OwnerLink>& link,
                                    const std::shared_ptr<WatcherDelivery>& delivery, HRESULT status) {
  bool removed = false;
  {
    std::lock_guard guard(Shared().listMutex);
    if (link->owner == nullptr) return;
    auto& watchers = link->owner->watchers_;
    const auto found = std::find(watchers.begin(), watchers.end(), delivery);
    if (found != watchers.end()) {
      watchers.erase(found);
      removed = true;
    }
  }
  if (removed) {
    Common::GetDriverLogger()->Warning(
        L"TCD::CObserverSingleton",
        fmt::format(L"A watcher was removed: its notification failed with 0x{0:X}.", static_cast<unsigned>(status)),
        Logging::Category::Communication);
  }
}

bool CObserverSingleton::HasObservers() {
  std::lock_guard guard(Shared().listMutex);
  return !watchers_.empty();
}

void CObserverSingleton::Notify(const unsigned char* data, ULONG count, ULONG value) {
  const DecodedWords words = DecodeWords(data, data != nullptr ? count : 0);
  const WatcherNotification notification{words.first, words.second, words.third, count, value};
  // Queuing never waits for a watcher, so it may happen under the mutex: the order of the
  // list is the order of delivery, and an Unregister that returned has closed its queue.
  std::lock_guard guard(Shared().listMutex);
  for (const auto& delivery : watchers_) delivery->Post(notification);
}

}  // namespace Talvaro::Objects
