// ComPtr<T>: the counted reference that holds every component reference in this code base.
// Copying adds a reference, destruction releases it; Attach/Detach move ownership of a raw
// reference across an ABI boundary (out-parameters, interface tables).
#pragma once

#include <cstddef>
#include <utility>

#include "platform/com/unknown.h"

namespace platform::com {

template <class T>
class ComPtr {
 public:
  ComPtr() noexcept = default;
  ComPtr(std::nullptr_t) noexcept {}
  // Shares the reference: adds one of its own.
  explicit ComPtr(T* pointer) noexcept : pointer_(pointer) { AddRefIfSet(); }
  ComPtr(const ComPtr& other) noexcept : pointer_(other.pointer_) { AddRefIfSet(); }
  ComPtr(ComPtr&& other) noexcept : pointer_(std::exchange(other.pointer_, nullptr)) {}
  template <class U>
  ComPtr(const ComPtr<U>& other) noexcept : pointer_(other.Get()) {
    AddRefIfSet();
  }
  ~ComPtr() { Reset(); }

  ComPtr& operator=(const ComPtr& other) noexcept {
    ComPtr(other).Swap(*this);
    return *this;
  }
  ComPtr& operator=(ComPtr&& other) noexcept {
    ComPtr(std::move(other)).Swap(*this);
    return *this;
  }
  ComPtr& operator=(std::nullptr_t) noexcept {
    Reset();
    return *this;
  }

  // Takes over a reference that the caller owns (no AddRef).
  static ComPtr Adopt(T* pointer) noexcept {
    ComPtr result;
    result.pointer_ = pointer;
    return result;
  }

  T* Get() const noexcept { return pointer_; }
  T* operator->() const noexcept { return pointer_; }
  T& operator*() const noexcept { return *pointer_; }
  explicit operator bool() const noexcept { return pointer_ != nullptr; }

  // Releases what is held and returns the slot for an out-parameter that hands over a
  // reference: obj->GetThing(ptr.Put()).
  T** Put() noexcept {
    Reset();
    return &pointer_;
  }
  void** PutVoid() noexcept { return reinterpret_cast<void**>(Put()); }

  // Gives the reference away; the caller becomes its owner.
  [[nodiscard]] T* Detach() noexcept { return std::exchange(pointer_, nullptr); }

  // Hands a new reference to a raw out-parameter (which may be null: then E_POINTER).
  HRESULT CopyTo(T** out) const noexcept {
    if (out == nullptr) return E_POINTER;
    *out = pointer_;
    if (pointer_ != nullptr) pointer_->AddRef();
    return S_OK;
  }

  void Reset() noexcept {
    if (T* old = std::exchange(pointer_, nullptr)) old->Release();
  }
  void Swap(ComPtr& other) noexcept { std::swap(pointer_, other.pointer_); }

  // QueryInterface for Q. A null pointer gives E_POINTER.
  template <class Q>
  HRESULT As(ComPtr<Q>* out) const noexcept {
    if (pointer_ == nullptr) return E_POINTER;
    return pointer_->QueryInterface(uuidof<Q>, out->PutVoid());
  }
  template <class Q>
  ComPtr<Q> As() const noexcept {
    ComPtr<Q> result;
    As(&result);
    return result;
  }

  friend bool operator==(const ComPtr& a, const ComPtr& b) noexcept {
    return a.pointer_ == b.pointer_;
  }
  friend bool operator==(const ComPtr& a, std::nullptr_t) noexcept { return a.pointer_ == nullptr; }
  friend bool operator==(const ComPtr& a, const T* b) noexcept { return a.pointer_ == b; }

 private:
  void AddRefIfSet() noexcept {
    if (pointer_ != nullptr) pointer_->AddRef();
  }

  T* pointer_ = nullptr;
};

// True when both pointers reach the same object (their IUnknown identities match).
bool IsSameObject(IUnknown* a, IUnknown* b);

}  // namespace platform::com
