// The object templates that turn a class built on ObjectRoot into a live component object, and
// the creator that runs construction, FinalConstruct and aggregation.
//
//   ComObject<T>        a stand-alone object; holds a server-module reference while it lives
//   ComObjectNoLock<T>  the same without the module reference (class objects)
//   CachedObject<T>     a singleton kept by its class object: it holds the module reference
//                       only while someone besides the class object holds it (count >= 2)
//   AggregatedObject<T> T as the inner part of an outer object: T's interfaces delegate
//                       IUnknown to the outer one, the aggregate owns T's lifetime
#pragma once

#include <new>
#include <utility>

#include "platform/com/com_ptr.h"
#include "platform/com/module.h"
#include "platform/com/object_root.h"

namespace platform::com {

namespace object_detail {

// Module-reference policies.
struct LocksModule {
  static void Acquire() { CurrentModule().Lock(); }
  static void Give() { CurrentModule().Unlock(); }
};
struct NoModuleLock {
  static void Acquire() {}
  static void Give() {}
};

template <class T, class ModulePolicy>
class StandaloneObject final : public T {
 public:
  template <class... Args>
  explicit StandaloneObject(Args&&... args) : T(std::forward<Args>(args)...) {
    ModulePolicy::Acquire();
  }
  ~StandaloneObject() { ModulePolicy::Give(); }

  IUnknown* GetUnknown() { return T::Interfaces::Identity(this); }

  HRESULT QueryInterface(REFIID riid, void** result) override {
    return T::Interfaces::Query(this, riid, result);
  }
  ULONG AddRef() override { return static_cast<ULONG>(this->InternalAddRef()); }
  ULONG Release() override {
    const LONG count = this->InternalRelease();
    if (count == 0) this->DestroyAtZero(this);
    return static_cast<ULONG>(count);
  }
};

}  // namespace object_detail

template <class T>
using ComObject = object_detail::StandaloneObject<T, object_detail::LocksModule>;
template <class T>
using ComObjectNoLock = object_detail::StandaloneObject<T, object_detail::NoModuleLock>;

template <class T>
class CachedObject final : public T {
 public:
  IUnknown* GetUnknown() { return T::Interfaces::Identity(this); }
  HRESULT QueryInterface(REFIID riid, void** result) override {
    return T::Interfaces::Query(this, riid, result);
  }
  ULONG AddRef() override {
    const LONG count = this->InternalAddRef();
    if (count == 2) CurrentModule().Lock();
    return static_cast<ULONG>(count);
  }
  ULONG Release() override {
    const LONG count = this->InternalRelease();
    if (count == 0) {
      this->DestroyAtZero(this);
    } else if (count == 1) {
      CurrentModule().Unlock();
    }
    return static_cast<ULONG>(count);
  }
};

// T's interfaces as seen inside an aggregate: IUnknown goes to the outer object.
template <class T>
class ContainedObject final : public T {
 public:
  explicit ContainedObject(IUnknown* outer) : outer_(outer) {}
  HRESULT QueryInterface(REFIID riid, void** result) override {
    return outer_->QueryInterface(riid, result);
  }
  ULONG AddRef() override { return outer_->AddRef(); }
  ULONG Release() override { return outer_->Release(); }

  // The inner object's own table, for the aggregate's non-delegating QueryInterface.
  HRESULT InnerQueryInterface(REFIID riid, void** result) {
    return T::Interfaces::Query(this, riid, result);
  }
  void RunFinalRelease() { this->FinalRelease(); }

 private:
  IUnknown* const outer_;  // not counted: the outer object owns us, not the reverse
};

// The aggregate's inner, non-delegating IUnknown. The outer object holds it and asks it for
// T's interfaces; the outer IUnknown is never counted (that would be a cycle).
template <class T>
class AggregatedObject final : public IUnknown, public ObjectRoot {
 public:
  explicit AggregatedObject(IUnknown* outer) : contained_(outer) { CurrentModule().Lock(); }
  ~AggregatedObject() { CurrentModule().Unlock(); }

  HRESULT QueryInterface(REFIID riid, void** result) override {
    if (result == nullptr) return E_POINTER;
    if (riid == IID_IUnknown) {
      *result = static_cast<IUnknown*>(this);
      AddRef();
      return S_OK;
    }
    return contained_.InnerQueryInterface(riid, result);
  }
  ULONG AddRef() override { return static_cast<ULONG>(InternalAddRef()); }
  ULONG Release() override {
    const LONG count = InternalRelease();
    if (count == 0) DestroyAtZero(this);
    return static_cast<ULONG>(count);
  }

  HRESULT FinalConstruct() { return contained_.FinalConstruct(); }
  void FinalRelease() { contained_.RunFinalRelease(); }
  T& Contained() { return contained_; }

 private:
  ContainedObject<T> contained_;
};

namespace object_detail {

// Allocates the object and runs FinalConstruct with a temporary reference (so that the object
// may hand itself out and take it back meanwhile). Returns the object with a count of zero, or
// null with the failure in `hr` (the object destroyed).
template <class Object, class... Args>
Object* Construct(HRESULT& hr, Args&&... args) {
  auto* object = new (std::nothrow) Object(std::forward<Args>(args)...);
  if (object == nullptr) {
    hr = E_OUTOFMEMORY;
    return nullptr;
  }
  object->InternalAddRef();
  hr = object->FinalConstruct();
  object->InternalRelease();
  if (FAILED(hr)) {
    delete object;
    return nullptr;
  }
  return object;
}

}  // namespace object_detail

// Creates a stand-alone Object (ComObject<T>, CachedObject<T>, ...) and hands out its `riid`
// interface as the object's first reference. E_OUTOFMEMORY when memory runs out,
// FinalConstruct's failure when it fails; on any failure nothing is left behind.
template <class Object, class... Args>
HRESULT CreateObjectFor(REFIID riid, void** result, Args&&... args) {
  if (result == nullptr) return E_POINTER;
  *result = nullptr;
  HRESULT hr = S_OK;
  Object* object = object_detail::Construct<Object>(hr, std::forward<Args>(args)...);
  if (object == nullptr) return hr;
  const HRESULT query = object->QueryInterface(riid, result);
  if (FAILED(query)) delete object;
  return query;
}

// The same, holding the object by its class so that non-interface methods can be called.
template <class Object, class... Args>
HRESULT CreateObject(ComPtr<Object>* result, Args&&... args) {
  if (result == nullptr) return E_POINTER;
  *result = nullptr;
  HRESULT hr = S_OK;
  Object* object = object_detail::Construct<Object>(hr, std::forward<Args>(args)...);
  if (object == nullptr) return hr;
  *result = ComPtr<Object>(object);
  return S_OK;
}

// The creator behind class factories: a stand-alone ComObject<T>, or with `outer` an aggregated
// one, which must be asked for IUnknown (CLASS_E_NOAGGREGATION otherwise).
template <class T>
HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** result) {
  if (result == nullptr) return E_POINTER;
  *result = nullptr;
  if (outer == nullptr) return CreateObjectFor<ComObject<T>>(riid, result);
  if (riid != IID_IUnknown) return CLASS_E_NOAGGREGATION;
  return CreateObjectFor<AggregatedObject<T>>(IID_IUnknown, result, outer);
}

}  // namespace platform::com
