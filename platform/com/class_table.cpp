#include "platform/com/class_table.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <vector>

#include "platform/com/apartment.h"
#include "platform/com/com_ptr.h"
#include "platform/com/global_interface_table.h"
#include "platform/com/server_process.h"
#include "platform/remoting/endpoints.h"

namespace platform::com {
namespace {

struct Registration {
  DWORD cookie;
  CLSID clsid;
  DWORD context;
  bool visible;
  ComPtr<IUnknown> classObject;
};

// Guards every field; class objects are called only after the lock is released.
struct ClassTable {
  std::mutex lock;
  std::vector<Registration> registrations;
  DWORD nextCookie = 1;
  ActivationFallback fallback;
};

ClassTable& Table() {
  static auto* table = new ClassTable;  // lives until exit: class objects may be revoked late
  return *table;
}

bool Published(const Registration& registration) {
  return registration.visible && (registration.context & CLSCTX_LOCAL_SERVER) != 0;
}

// Hands the set of published classes to the remoting runtime after a change. The lock keeps
// snapshots and publications in step, so two changes never publish out of order; the table's
// own lock is not held meanwhile (publishing may wait for the RPC thread).
HRESULT Republish() {
  static std::mutex publication;
  std::lock_guard publishing(publication);
  std::vector<CLSID> visible;
  {
    auto& table = Table();
    std::lock_guard guard(table.lock);
    for (const auto& registration : table.registrations) {
      if (Published(registration) &&
          std::find(visible.begin(), visible.end(), registration.clsid) == visible.end()) {
        visible.push_back(registration.clsid);
      }
    }
  }
  return platform::remoting::PublishClassObjects(visible);
}

// Returns whether any registration changed its visibility.
bool SetVisibility(bool visible) {
  auto& table = Table();
  std::lock_guard guard(table.lock);
  bool changed = false;
  for (auto& registration : table.registrations) {
    changed = changed || registration.visible != visible;
    registration.visible = visible;
  }
  return changed;
}

std::atomic<ULONG> serverProcessCount{0};

}  // namespace

void SetActivationFallback(ActivationFallback fallback) {
  auto& table = Table();
  std::lock_guard guard(table.lock);
  table.fallback = std::move(fallback);
}

ULONG ServerProcessCount() { return serverProcessCount.load(std::memory_order_acquire); }

HRESULT GetPublishedClassObject(REFCLSID clsid, REFIID riid, void** result) {
  if (result == nullptr) return E_POINTER;
  *result = nullptr;
  ComPtr<IUnknown> classObject;
  bool anyPublished = false;
  {
    auto& table = Table();
    std::lock_guard guard(table.lock);
    for (const auto& registration : table.registrations) {
      if (!Published(registration)) continue;
      anyPublished = true;
      if (registration.clsid == clsid) {
        classObject = registration.classObject;
        break;
      }
    }
  }
  if (classObject) return classObject->QueryInterface(riid, result);
  return anyPublished ? REGDB_E_CLASSNOTREG : CO_E_SERVER_STOPPING;
}

}  // namespace platform::com

using platform::com::ComPtr;

HRESULT CoRegisterClassObject(REFCLSID clsid, IUnknown* classObject, DWORD context, DWORD flags,
                              LPDWORD cookie) {
  if (cookie == nullptr || classObject == nullptr) return E_INVALIDARG;
  *cookie = 0;
  if (!platform::com::ThreadMayUseComponents()) return CO_E_NOTINITIALIZED;
  auto& table = platform::com::Table();
  DWORD assigned = 0;
  bool published = false;
  {
    std::lock_guard guard(table.lock);
    assigned = table.nextCookie++;
    table.registrations.push_back(
        {assigned, clsid, context, (flags & REGCLS_SUSPENDED) == 0, ComPtr<IUnknown>(classObject)});
    published = platform::com::Published(table.registrations.back());
  }
  if (published) {
    const HRESULT hr = platform::com::Republish();
    if (FAILED(hr)) {
      CoRevokeClassObject(assigned);
      return hr;
    }
  }
  *cookie = assigned;
  return S_OK;
}

HRESULT CoRevokeClassObject(DWORD cookie) {
  ComPtr<IUnknown> released;  // dropped after the lock: its destructor may run object code
  bool published = false;
  {
    auto& table = platform::com::Table();
    std::lock_guard guard(table.lock);
    auto& list = table.registrations;
    for (auto it = list.begin(); it != list.end(); ++it) {
      if (it->cookie == cookie) {
        published = platform::com::Published(*it);
        released = std::move(it->classObject);
        list.erase(it);
        break;
      }
    }
  }
  if (!released) return E_INVALIDARG;
  // Withdrawn before the class object goes, so that no client reaches it meanwhile.
  if (published) platform::com::Republish();
  return S_OK;
}

HRESULT CoResumeClassObjects() {
  platform::com::SetVisibility(true);
  return platform::com::Republish();
}

HRESULT CoSuspendClassObjects() {
  if (platform::com::SetVisibility(false)) platform::com::Republish();
  return S_OK;
}

HRESULT CoGetClassObject(REFCLSID clsid, DWORD context, COSERVERINFO* serverInfo, REFIID riid,
                         LPVOID* result) {
  if (result == nullptr) return E_INVALIDARG;
  *result = nullptr;
  if (serverInfo != nullptr) return E_INVALIDARG;  // no remote machines
  if ((context & CLSCTX_ALL) == 0) return E_INVALIDARG;
  if (!platform::com::ThreadMayUseComponents()) return CO_E_NOTINITIALIZED;
  ComPtr<IUnknown> classObject;
  platform::com::ActivationFallback fallback;
  {
    auto& table = platform::com::Table();
    std::lock_guard guard(table.lock);
    for (const auto& registration : table.registrations) {
      if (registration.visible && registration.clsid == clsid &&
          (registration.context & context) != 0) {
        classObject = registration.classObject;
        break;
      }
    }
    if (!classObject) fallback = table.fallback;
  }
  if (classObject) return classObject->QueryInterface(riid, result);
  // The runtime's own in-process classes.
  if (clsid == CLSID_StdGlobalInterfaceTable && (context & CLSCTX_INPROC_SERVER) != 0) {
    return platform::com::GetGlobalInterfaceTableClassObject(riid, result);
  }
  if ((context & CLSCTX_LOCAL_SERVER) == 0) return REGDB_E_CLASSNOTREG;
  if (fallback) return fallback(clsid, context, riid, result);
  return platform::remoting::ActivateClassObject(clsid, context, riid, result);
}

HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID riid,
                         LPVOID* result) {
  if (result == nullptr) return E_POINTER;
  *result = nullptr;
  ComPtr<IClassFactory> factory;
  const HRESULT hr = CoGetClassObject(clsid, context, nullptr, IID_IClassFactory, factory.PutVoid());
  if (FAILED(hr)) return hr;
  return factory->CreateInstance(outer, riid, result);
}

ULONG CoAddRefServerProcess() {
  return platform::com::serverProcessCount.fetch_add(1, std::memory_order_acq_rel) + 1;
}

ULONG CoReleaseServerProcess() {
  auto& count = platform::com::serverProcessCount;
  ULONG current = count.load(std::memory_order_acquire);
  do {
    if (current == 0) return 0;  // unbalanced release: ignored
  } while (!count.compare_exchange_weak(current, current - 1, std::memory_order_acq_rel));
  if (current == 1) CoSuspendClassObjects();
  return current - 1;
}
