// A dispatch object for tests that counts its references and keeps the arguments Invoke got.
// It lives on the test's stack: reaching zero does not delete it, and its destructor checks
// that every reference handed out came back.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "platform/automation/dispatch.h"

namespace platform::automation::testing {

class CountingDispatch final : public IDispatch {
 public:
  CountingDispatch() = default;
  CountingDispatch(const CountingDispatch&) = delete;
  CountingDispatch& operator=(const CountingDispatch&) = delete;
  ~CountingDispatch() { EXPECT_EQ(references_.load(), 0u) << "references leaked or over-released"; }

  HRESULT QueryInterface(REFIID riid, void** object) override {
    if (object == nullptr) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IDispatch) {
      *object = static_cast<IDispatch*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return ++references_; }
  ULONG Release() override {
    EXPECT_GT(references_.load(), 0u) << "Release without a reference";
    return --references_;
  }

  HRESULT GetTypeInfoCount(UINT* count) override {
    *count = 0;
    return S_OK;
  }
  HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  // Keeps copies of the positional arguments in call order.
  HRESULT Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*,
                 UINT*) override {
    arguments.clear();
    for (UINT i = 0; const VARIANTARG* argument = PositionalArgument(*params, i); ++i) {
      arguments.emplace_back();
      EXPECT_EQ(arguments.back().CopyFrom(*argument), S_OK);
    }
    return S_OK;
  }

  ULONG References() const { return references_.load(); }

  std::vector<Variant> arguments;

 private:
  std::atomic<ULONG> references_{0};
};

}  // namespace platform::automation::testing
