#include "platform/com/global_interface_table.h"

#include <map>
#include <mutex>

#include "platform/com/class_factory.h"
#include "platform/com/com_object.h"

namespace platform::com {
namespace {

class GlobalInterfaceTable : public ObjectRoot, public IGlobalInterfaceTable {
 public:
  using Interfaces = InterfaceTable<GlobalInterfaceTable, IGlobalInterfaceTable>;

  HRESULT RegisterInterfaceInGlobal(IUnknown* unknown, REFIID riid, DWORD* cookie) override {
    if (unknown == nullptr || cookie == nullptr) return E_INVALIDARG;
    *cookie = 0;
    ComPtr<IUnknown> stored;
    const HRESULT hr = unknown->QueryInterface(riid, stored.PutVoid());
    if (FAILED(hr)) return hr;
    std::lock_guard guard(*this);
    *cookie = nextCookie_++;
    entries_.emplace(*cookie, std::move(stored));
    return S_OK;
  }

  HRESULT RevokeInterfaceFromGlobal(DWORD cookie) override {
    ComPtr<IUnknown> revoked;  // released outside the lock
    std::lock_guard guard(*this);
    auto found = entries_.find(cookie);
    if (found == entries_.end()) return E_INVALIDARG;
    revoked = std::move(found->second);
    entries_.erase(found);
    return S_OK;
  }

  HRESULT GetInterfaceFromGlobal(DWORD cookie, REFIID riid, void** result) override {
    if (result == nullptr) return E_INVALIDARG;
    *result = nullptr;
    ComPtr<IUnknown> stored;
    {
      std::lock_guard guard(*this);
      auto found = entries_.find(cookie);
      if (found == entries_.end()) return E_INVALIDARG;
      stored = found->second;
    }
    return stored->QueryInterface(riid, result);
  }

 private:
  std::map<DWORD, ComPtr<IUnknown>> entries_;  // guarded by the object lock
  DWORD nextCookie_ = 0x100;                   // guarded by the object lock
};

// Hands out the one table. Neither the table nor its class object holds a server reference:
// a process that keeps the table must still be able to end.
class GlobalInterfaceTableFactory : public ClassFactoryBase<GlobalInterfaceTableFactory> {
 public:
  HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** result) override {
    if (result == nullptr) return E_POINTER;
    *result = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    static const ComPtr<ComObjectNoLock<GlobalInterfaceTable>> table = [] {
      ComPtr<ComObjectNoLock<GlobalInterfaceTable>> created;
      CreateObject(&created);
      return created;
    }();
    return table ? table->QueryInterface(riid, result) : E_OUTOFMEMORY;
  }
};

}  // namespace

HRESULT GetGlobalInterfaceTableClassObject(REFIID riid, void** result) {
  static const ComPtr<IUnknown> classObject = [] {
    ComPtr<IUnknown> created;
    CreateClassObject<GlobalInterfaceTableFactory>(&created);
    return created;
  }();
  if (result == nullptr) return E_INVALIDARG;
  *result = nullptr;
  return classObject ? classObject->QueryInterface(riid, result) : E_OUTOFMEMORY;
}

}  // namespace platform::com
