#include "objects/observer_singleton.h"

#include <algorithm>
#include <mutex>

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

CObserverSingleton::~CObserverSingleton() {
  CallbackList remaining;
  {
    std::lock_guard guard(Shared().listMutex);
    remaining.swap(callbacks_);
  }
}

ComPtr<ComObject<CObserverSingleton>> CObserverSingleton::GetInstance() {
  auto& shared = Shared();
  std::lock_guard guard(shared.listMutex);
  if (!shared.instance) platform::com::CreateObject(&shared.instance);
  return shared.instance;
}

void CObserverSingleton::ReleaseAll() {
  auto& shared = Shared();
  CallbackList released;
  ComPtr<ComObject<CObserverSingleton>> instance;
  {
    std::lock_guard guard(shared.listMutex);
    if (shared.instance) released.swap(shared.instance->callbacks_);
    instance = std::move(shared.instance);
  }
  // References are dropped outside the mutex: a release may reach a watcher's process.
}

HRESULT CObserverSingleton::Register(IRegObserverCallback* callback) {
  if (callback == nullptr) return S_OK;
  std::lock_guard guard(Shared().listMutex);
  if (std::find(callbacks_.begin(), callbacks_.end(), callback) == callbacks_.end()) {
    callbacks_.emplace_back(callback);
  }
  return S_OK;
}

HRESULT CObserverSingleton::Unregister(IRegObserverCallback* callback) {
  ComPtr<IRegObserverCallback> removed;
  {
    std::lock_guard guard(Shared().listMutex);
    auto found = std::find(callbacks_.begin(), callbacks_.end(), callback);
    if (found != callbacks_.end()) {
      removed = std::move(*found);
      callbacks_.erase(found);
    }
  }
  return S_OK;
}

bool CObserverSingleton::HasObservers() {
  std::lock_guard guard(Shared().listMutex);
  return !callbacks_.empty();
}

void CObserverSingleton::Notify(const unsigned char* data, ULONG count, ULONG value) {
  const DecodedWords words = DecodeWords(data, data != nullptr ? count : 0);
  CallbackList watchers;
  {
    std::lock_guard guard(Shared().listMutex);
    watchers = callbacks_;
  }
  // Results are ignored; an exception from a watcher passes to the caller.
  for (const auto& watcher : watchers) {
    watcher->OnNotify(words.first, words.second, words.third, count, value);
  }
}

}  // namespace Talvaro::Objects
