#include "platform/com/class_table.h"

#include <atomic>
#include <mutex>
#include <vector>

#include "platform/com/apartment.h"
#include "platform/com/com_ptr.h"
#include "platform/com/global_interface_table.h"
#include "platform/com/server_process.h"

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

void SetVisibility(bool visible) {
  auto& table = Table();
  std::lock_guard guard(table.lock);
  for (auto& registration : table.registrations) registration.visible = visible;
}

std::atomic<ULONG> serverProcessCount{0};

}  // namespace

void SetActivationFallback(ActivationFallback fallback) {
  auto& table = Table();
  std::lock_guard guard(table.lock);
  table.fallback = std::move(fallback);
}

ULONG ServerProcessCount() { return serverProcessCount.load(std::memory_order_acquire); }

}  // namespace platform::com

using platform::com::ComPtr;

HRESULT CoRegisterClassObject(REFCLSID clsid, IUnknown* classObject, DWORD context, DWORD flags,
                              LPDWORD cookie) {
  if (cookie == nullptr || classObject == nullptr) return E_INVALIDARG;
  *cookie = 0;
  if (!platform::com::ThreadMayUseComponents()) return CO_E_NOTINITIALIZED;
  auto& table = platform::com::Table();
  std::lock_guard guard(table.lock);
  const DWORD assigned = table.nextCookie++;
  table.registrations.push_back(
      {assigned, clsid, context, (flags & REGCLS_SUSPENDED) == 0, ComPtr<IUnknown>(classObject)});
  *cookie = assigned;
  return S_OK;
}

HRESULT CoRevokeClassObject(DWORD cookie) {
  ComPtr<IUnknown> released;  // dropped after the lock: its destructor may run object code
  {
    auto& table = platform::com::Table();
    std::lock_guard guard(table.lock);
    auto& list = table.registrations;
    for (auto it = list.begin(); it != list.end(); ++it) {
      if (it->cookie == cookie) {
        released = std::move(it->classObject);
        list.erase(it);
        return S_OK;
      }
    }
  }
  return E_INVALIDARG;
}

HRESULT CoResumeClassObjects() {
  platform::com::SetVisibility(true);
  return S_OK;
}

HRESULT CoSuspendClassObjects() {
  platform::com::SetVisibility(false);
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
  if (fallback && (context & CLSCTX_LOCAL_SERVER) != 0) return fallback(clsid, context, riid, result);
  return REGDB_E_CLASSNOTREG;
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
