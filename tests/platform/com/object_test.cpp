#include <gtest/gtest.h>

#include "platform/com/com_object.h"
#include "platform/com/com_ptr.h"
#include "tests/platform/com/test_interfaces.h"

using platform::com::AggregatedObject;
using platform::com::CachedObject;
using platform::com::ComObject;
using platform::com::ComPtr;
using platform::com::CreateInstance;
using platform::com::CreateObject;

namespace {

class ObjectTest : public ::testing::Test {
 protected:
  void SetUp() override { Census::Reset(); }
  void TearDown() override { EXPECT_EQ(Census::alive, 0) << "an object leaked"; }
  CountingModule module;
};

TEST_F(ObjectTest, QueryInterfaceKeepsIdentityAndCountsEveryReference) {
  ComPtr<ComObject<CAlphaBeta>> object;
  ASSERT_EQ(CreateObject(&object), S_OK);
  EXPECT_EQ(CountOf(object->GetUnknown()), 1u);

  ComPtr<IAlpha> alpha;
  ComPtr<IBeta> beta;
  ASSERT_EQ(object.As(&alpha), S_OK);
  ASSERT_EQ(alpha.As(&beta), S_OK);
  EXPECT_EQ(beta->Beta(), 2);
  EXPECT_EQ(CountOf(beta.Get()), 3u);

  // Every route to IUnknown gives the same pointer: the first table entry.
  ComPtr<IUnknown> fromAlpha = alpha.As<IUnknown>();
  ComPtr<IUnknown> fromBeta = beta.As<IUnknown>();
  EXPECT_EQ(fromAlpha, fromBeta);
  EXPECT_EQ(fromAlpha.Get(), object->GetUnknown());
  EXPECT_TRUE(platform::com::IsSameObject(alpha.Get(), beta.Get()));
}

TEST_F(ObjectTest, InterfacesOutsideTheTableAreUnreachable) {
  ComPtr<ComObject<CAlphaBeta>> object;
  ASSERT_EQ(CreateObject(&object), S_OK);
  void* result = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(object->QueryInterface(uuidof<IHidden>, &result), E_NOINTERFACE);
  EXPECT_EQ(result, nullptr);
  EXPECT_EQ(object->QueryInterface(uuidof<IAlpha>, nullptr), E_POINTER);
  EXPECT_EQ(CountOf(object->GetUnknown()), 1u);
}

TEST_F(ObjectTest, LastReleaseRunsFinalReleaseOnceAndGivesBackTheModuleReference) {
  {
    ComPtr<ComObject<CAlphaBeta>> object;
    ASSERT_EQ(CreateObject(&object), S_OK);
    EXPECT_EQ(module.count, 1);
    EXPECT_EQ(Census::alive, 1);
  }
  EXPECT_EQ(Census::finalReleases, 1);
  EXPECT_EQ(module.count, 0);
}

TEST_F(ObjectTest, FailedCreationDestroysTheObjectAndLeavesNothingBehind) {
  Census::finalConstructResult = E_FAIL;
  ComPtr<ComObject<CAlphaBeta>> object;
  EXPECT_EQ(CreateObject(&object), E_FAIL);
  EXPECT_FALSE(object);
  // A failed FinalConstruct, and an interface the object lacks.
  const struct {
    HRESULT finalConstruct;
    IID iid;
    HRESULT expected;
  } cases[] = {{E_FAIL, uuidof<IAlpha>, E_FAIL}, {S_OK, uuidof<IHidden>, E_NOINTERFACE}};
  for (const auto& c : cases) {
    Census::finalConstructResult = c.finalConstruct;
    void* raw = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(CreateInstance<CAlphaBeta>(nullptr, c.iid, &raw), c.expected);
    EXPECT_EQ(raw, nullptr);
  }
  EXPECT_EQ(Census::finalReleases, 0) << "FinalRelease of an object that never was";
  EXPECT_EQ(module.count, 0);
}

TEST_F(ObjectTest, CachedObjectHoldsTheModuleOnlyWhileSomeoneBesidesItsOwnerHoldsIt) {
  ComPtr<IUnknown> owner;
  ASSERT_EQ(platform::com::CreateObjectFor<CachedObject<CAlphaBeta>>(IID_IUnknown, owner.PutVoid()),
            S_OK);
  EXPECT_EQ(module.count, 0);
  {
    ComPtr<IAlpha> client = owner.As<IAlpha>();
    EXPECT_EQ(module.count, 1);
    ComPtr<IBeta> second = owner.As<IBeta>();
    EXPECT_EQ(module.count, 1);
  }
  EXPECT_EQ(module.count, 0);
  owner = nullptr;
  EXPECT_EQ(Census::alive, 0);
  EXPECT_EQ(module.count, 0);
}

// An outer object that aggregates CAlphaBeta and exposes its IAlpha as its own.
class Outer final : public IBeta {
 public:
  HRESULT Init() {
    return CreateInstance<CAlphaBeta>(this, IID_IUnknown, inner_.PutVoid());
  }
  HRESULT QueryInterface(REFIID riid, void** result) override {
    if (result == nullptr) return E_POINTER;
    if (riid == IID_IUnknown || riid == uuidof<IBeta>) {
      *result = static_cast<IBeta*>(this);
      AddRef();
      return S_OK;
    }
    if (riid == uuidof<IAlpha>) return inner_->QueryInterface(riid, result);
    *result = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return ++count_; }
  ULONG Release() override {
    const ULONG count = --count_;
    if (count == 0) delete this;
    return count;
  }
  int Beta() override { return 20; }
  ULONG count() const { return count_; }

 private:
  ~Outer() = default;
  std::atomic<ULONG> count_{1};
  ComPtr<IUnknown> inner_;
};

TEST_F(ObjectTest, AggregatedObjectDelegatesIdentityAndCountsToTheOuterObject) {
  auto* outer = new Outer;
  ASSERT_EQ(outer->Init(), S_OK);
  EXPECT_EQ(Census::alive, 1);
  {
    ComPtr<IAlpha> alpha;
    ASSERT_EQ(outer->QueryInterface(uuidof<IAlpha>, alpha.PutVoid()), S_OK);
    EXPECT_EQ(alpha->Alpha(), 1);
    EXPECT_EQ(outer->count(), 2u) << "the inner interface must count on the outer object";

    // Through the inner interface, QueryInterface answers for the whole aggregate.
    ComPtr<IBeta> beta;
    ASSERT_EQ(alpha.As(&beta), S_OK);
    EXPECT_EQ(beta->Beta(), 20);
    ComPtr<IUnknown> identity = alpha.As<IUnknown>();
    EXPECT_EQ(identity.Get(), static_cast<IUnknown*>(static_cast<IBeta*>(outer)));
  }
  EXPECT_EQ(outer->count(), 1u);
  // An outer object must ask for IUnknown.
  void* raw = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(CreateInstance<CAlphaBeta>(outer, uuidof<IAlpha>, &raw), CLASS_E_NOAGGREGATION);
  EXPECT_EQ(raw, nullptr);
  outer->Release();
  EXPECT_EQ(Census::alive, 0);
  EXPECT_EQ(Census::finalReleases, 1);
  EXPECT_EQ(module.count, 0);
}

// An object that hands itself out during destruction must not be destroyed twice.
class SelfReferencing : public platform::com::ObjectRoot, public IAlpha {
 public:
  using Interfaces = platform::com::InterfaceTable<SelfReferencing, IAlpha>;
  SelfReferencing() { ++Census::alive; }
  ~SelfReferencing() { --Census::alive; }
  void FinalRelease() {
    ComPtr<IAlpha> self(static_cast<IAlpha*>(this));  // AddRef + Release while dying
    ++Census::finalReleases;
  }
  int Alpha() override { return 0; }
};

TEST_F(ObjectTest, ReferencesTakenDuringDestructionDoNotDestroyTwice) {
  ComPtr<ComObject<SelfReferencing>> object;
  ASSERT_EQ(CreateObject(&object), S_OK);
  object = nullptr;
  EXPECT_EQ(Census::finalReleases, 1);
}

}  // namespace
