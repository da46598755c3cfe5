// Class objects for the process's class table.
//
// ClassFactory<T> makes a new T per request and allows aggregation. SingletonClassFactory<T>
// makes one T on the first request (under its own lock, so concurrent first requests build one),
// keeps one reference to it and remembers the creation result; every later request is
// answered from that object or with the remembered failure. The singleton is a CachedObject, so
// only references beyond the class object's own keep the server alive.
//
// Class objects hold no server-module reference of their own (ComObjectNoLock); LockServer is
// how a client keeps the server alive between activations.
#pragma once

#include <mutex>

#include "platform/com/com_object.h"
#include "platform/com/interface_table.h"

namespace platform::com {

template <class Derived>
class ClassFactoryBase : public ObjectRoot, public IClassFactory {
 public:
  using Interfaces = InterfaceTable<Derived, IClassFactory>;

  HRESULT LockServer(BOOL lock) override {
    if (lock) {
      CurrentModule().Lock();
    } else {
      CurrentModule().Unlock();
    }
    return S_OK;
  }
};

template <class T>
class ClassFactory : public ClassFactoryBase<ClassFactory<T>> {
 public:
  HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** result) override {
    return platform::com::CreateInstance<T>(outer, riid, result);
  }
};

template <class T>
class SingletonClassFactory : public ClassFactoryBase<SingletonClassFactory<T>> {
 public:
  HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** result) override {
    if (result == nullptr) return E_POINTER;
    *result = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    ComPtr<IUnknown> instance;
    {
      std::lock_guard guard(creationLock_);
      if (creationResult_ == S_OK && !instance_) {
        creationResult_ = CreateObjectFor<CachedObject<T>>(IID_IUnknown, instance_.PutVoid());
      }
      if (creationResult_ != S_OK) return creationResult_;
      instance = instance_;
    }
    return instance->QueryInterface(riid, result);
  }

 private:
  std::mutex creationLock_;  // guards instance_ and creationResult_
  ComPtr<IUnknown> instance_;  // the class object's own reference; dropped with the class object
  HRESULT creationResult_ = S_OK;
};

// The class object of T, ready for CoRegisterClassObject.
template <class Factory>
HRESULT CreateClassObject(ComPtr<IUnknown>* result) {
  ComPtr<ComObjectNoLock<Factory>> factory;
  const HRESULT hr = CreateObject(&factory);
  if (FAILED(hr)) return hr;
  return factory.As(result);
}

}  // namespace platform::com
