#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "platform/com/apartment.h"
#include "platform/com/class_factory.h"
#include "platform/com/class_table.h"
#include "platform/com/global_interface_table.h"
#include "platform/com/server_process.h"
#include "tests/platform/com/test_interfaces.h"

using platform::com::ClassFactory;
using platform::com::ComPtr;
using platform::com::CreateClassObject;
using platform::com::SingletonClassFactory;

namespace {

constexpr CLSID kOrdinary = platform::MakeGuid("{6A0E5C3B-1D52-4F39-9C5A-0D7B3F1E2B01}");
constexpr CLSID kSingleton = platform::MakeGuid("{6A0E5C3B-1D52-4F39-9C5A-0D7B3F1E2B02}");
constexpr CLSID kUnknownClass = platform::MakeGuid("{6A0E5C3B-1D52-4F39-9C5A-0D7B3F1E2B03}");

class Apartment {
 public:
  Apartment() { EXPECT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))); }
  ~Apartment() { CoUninitialize(); }
};

class ClassTableTest : public ::testing::Test {
 protected:
  void SetUp() override { Census::Reset(); }
  void TearDown() override {
    for (DWORD cookie : cookies_) CoRevokeClassObject(cookie);
    EXPECT_EQ(Census::alive, 0);
  }
  template <class Factory>
  DWORD Register(REFCLSID clsid, DWORD flags) {
    ComPtr<IUnknown> classObject;
    EXPECT_EQ(CreateClassObject<Factory>(&classObject), S_OK);
    DWORD cookie = 0;
    EXPECT_EQ(CoRegisterClassObject(clsid, classObject.Get(), CLSCTX_LOCAL_SERVER, flags, &cookie),
              S_OK);
    cookies_.push_back(cookie);
    return cookie;
  }
  Apartment apartment_;
  CountingModule module_;
  std::vector<DWORD> cookies_;
};

TEST_F(ClassTableTest, SuspendedRegistrationBecomesVisibleOnResumeAndGoesOnRevoke) {
  const DWORD cookie =
      Register<ClassFactory<CAlphaBeta>>(kOrdinary, REGCLS_MULTIPLEUSE | REGCLS_SUSPENDED);
  ComPtr<IAlpha> alpha;
  EXPECT_EQ(CoCreateInstance(kOrdinary, nullptr, CLSCTX_LOCAL_SERVER, uuidof<IAlpha>, alpha.PutVoid()),
            REGDB_E_CLASSNOTREG);
  ASSERT_EQ(CoResumeClassObjects(), S_OK);
  ASSERT_EQ(CoCreateInstance(kOrdinary, nullptr, CLSCTX_LOCAL_SERVER, uuidof<IAlpha>, alpha.PutVoid()),
            S_OK);
  EXPECT_EQ(alpha->Alpha(), 1);
  EXPECT_EQ(CoRevokeClassObject(cookie), S_OK);
  EXPECT_EQ(CoRevokeClassObject(cookie), E_INVALIDARG);
  EXPECT_EQ(CoCreateInstance(kOrdinary, nullptr, CLSCTX_LOCAL_SERVER, uuidof<IAlpha>, alpha.PutVoid()),
            REGDB_E_CLASSNOTREG);
}

TEST_F(ClassTableTest, OrdinaryFactoryMakesNewObjectsAndAllowsAggregationRules) {
  Register<ClassFactory<CAlphaBeta>>(kOrdinary, REGCLS_MULTIPLEUSE);
  ComPtr<IAlpha> first, second;
  ASSERT_EQ(CoCreateInstance(kOrdinary, nullptr, CLSCTX_LOCAL_SERVER, uuidof<IAlpha>, first.PutVoid()), S_OK);
  ASSERT_EQ(CoCreateInstance(kOrdinary, nullptr, CLSCTX_LOCAL_SERVER, uuidof<IAlpha>, second.PutVoid()), S_OK);
  EXPECT_FALSE(platform::com::IsSameObject(first.Get(), second.Get()));
  EXPECT_EQ(Census::alive, 2);
  // An outer object must ask for IUnknown.
  EXPECT_EQ(CoCreateInstance(kOrdinary, first.Get(), CLSCTX_LOCAL_SERVER, uuidof<IAlpha>, second.PutVoid()),
            CLASS_E_NOAGGREGATION);
}

TEST_F(ClassTableTest, SingletonFactoryHandsOutOneObjectUntilRevokedAndRefusesAggregation) {
  const DWORD cookie = Register<SingletonClassFactory<CAlphaBeta>>(kSingleton, REGCLS_MULTIPLEUSE);
  ComPtr<IAlpha> first;
  ComPtr<IBeta> second;
  ASSERT_EQ(CoCreateInstance(kSingleton, nullptr, CLSCTX_LOCAL_SERVER, uuidof<IAlpha>, first.PutVoid()), S_OK);
  ASSERT_EQ(CoCreateInstance(kSingleton, nullptr, CLSCTX_LOCAL_SERVER, uuidof<IBeta>, second.PutVoid()), S_OK);
  EXPECT_TRUE(platform::com::IsSameObject(first.Get(), second.Get()));
  EXPECT_EQ(Census::alive, 1);
  EXPECT_EQ(module_.count, 1) << "clients beyond the class object hold one module reference";

  ComPtr<IClassFactory> factory;
  ASSERT_EQ(CoGetClassObject(kSingleton, CLSCTX_LOCAL_SERVER, nullptr, IID_IClassFactory, factory.PutVoid()), S_OK);
  void* raw = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(factory->CreateInstance(first.Get(), IID_IUnknown, &raw), CLASS_E_NOAGGREGATION);
  EXPECT_EQ(raw, nullptr) << "the out argument is cleared first";
  EXPECT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, nullptr), E_POINTER);

  first = nullptr;
  second = nullptr;
  factory = nullptr;
  EXPECT_EQ(module_.count, 0);
  EXPECT_EQ(Census::alive, 1) << "the class object keeps the singleton";
  ASSERT_EQ(CoRevokeClassObject(cookie), S_OK);
  EXPECT_EQ(Census::alive, 0) << "revoking the last class object reference ends it";
  EXPECT_EQ(Census::finalReleases, 1);
}

TEST_F(ClassTableTest, SingletonRemembersAFailedCreation) {
  Census::finalConstructResult = E_OUTOFMEMORY;
  Register<SingletonClassFactory<CAlphaBeta>>(kSingleton, REGCLS_MULTIPLEUSE);
  ComPtr<IAlpha> alpha;
  EXPECT_EQ(CoCreateInstance(kSingleton, nullptr, CLSCTX_LOCAL_SERVER, uuidof<IAlpha>, alpha.PutVoid()),
            E_OUTOFMEMORY);
  Census::finalConstructResult = S_OK;
  EXPECT_EQ(CoCreateInstance(kSingleton, nullptr, CLSCTX_LOCAL_SERVER, uuidof<IAlpha>, alpha.PutVoid()),
            E_OUTOFMEMORY)
      << "later requests get the remembered failure";
}

TEST_F(ClassTableTest, ConcurrentFirstRequestsBuildOneSingleton) {
  Register<SingletonClassFactory<CAlphaBeta>>(kSingleton, REGCLS_MULTIPLEUSE);
  std::vector<ComPtr<IAlpha>> results(8);
  std::vector<std::thread> threads;
  for (auto& result : results) {
    threads.emplace_back([&result] {
      EXPECT_EQ(CoCreateInstance(kSingleton, nullptr, CLSCTX_LOCAL_SERVER, uuidof<IAlpha>, result.PutVoid()),
                S_OK);
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(Census::alive, 1);
  for (auto& result : results) EXPECT_TRUE(platform::com::IsSameObject(result.Get(), results[0].Get()));
}

TEST_F(ClassTableTest, ContextsUnknownClassesAndBadArguments) {
  Register<ClassFactory<CAlphaBeta>>(kOrdinary, REGCLS_MULTIPLEUSE);
  ComPtr<IAlpha> alpha;
  EXPECT_EQ(CoCreateInstance(kOrdinary, nullptr, CLSCTX_INPROC_SERVER, uuidof<IAlpha>, alpha.PutVoid()),
            REGDB_E_CLASSNOTREG);
  EXPECT_EQ(CoCreateInstance(kOrdinary, nullptr, CLSCTX_ALL, uuidof<IAlpha>, alpha.PutVoid()), S_OK);
  EXPECT_EQ(CoCreateInstance(kUnknownClass, nullptr, CLSCTX_LOCAL_SERVER, uuidof<IAlpha>, alpha.PutVoid()),
            REGDB_E_CLASSNOTREG);
  EXPECT_EQ(CoCreateInstance(kUnknownClass, nullptr, CLSCTX_LOCAL_SERVER, uuidof<IAlpha>, nullptr), E_POINTER);
  DWORD cookie = 5;
  EXPECT_EQ(CoRegisterClassObject(kOrdinary, nullptr, CLSCTX_LOCAL_SERVER, 0, &cookie), E_INVALIDARG);
}

TEST(ServerProcess, FallingToZeroSuspendsTheClassObjects) {
  Apartment apartment;
  Census::Reset();
  ComPtr<IUnknown> classObject;
  ASSERT_EQ(CreateClassObject<ClassFactory<CAlphaBeta>>(&classObject), S_OK);
  DWORD cookie = 0;
  ASSERT_EQ(CoRegisterClassObject(kOrdinary, classObject.Get(), CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &cookie), S_OK);
  EXPECT_EQ(CoAddRefServerProcess(), 1u);
  EXPECT_EQ(platform::com::ServerProcessCount(), 1u);
  EXPECT_EQ(CoReleaseServerProcess(), 0u);
  ComPtr<IAlpha> alpha;
  EXPECT_EQ(CoCreateInstance(kOrdinary, nullptr, CLSCTX_LOCAL_SERVER, uuidof<IAlpha>, alpha.PutVoid()),
            REGDB_E_CLASSNOTREG);
  EXPECT_EQ(CoReleaseServerProcess(), 0u) << "an unbalanced release stays at zero";
  ASSERT_EQ(CoResumeClassObjects(), S_OK);
  EXPECT_EQ(CoCreateInstance(kOrdinary, nullptr, CLSCTX_LOCAL_SERVER, uuidof<IAlpha>, alpha.PutVoid()), S_OK);
  alpha = nullptr;  // the process module releases to zero again and suspends
  EXPECT_EQ(CoRevokeClassObject(cookie), S_OK);
}

TEST(Apartment, CountsPerThreadAndRefusesSingleThreadedApartments) {
  std::thread([] {
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), E_INVALIDARG);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_FALSE);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), RPC_E_CHANGED_MODE);
    CoUninitialize();
    EXPECT_TRUE(platform::com::ThreadMayUseComponents());
    CoUninitialize();
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK) << "fully left, joins anew";
    CoUninitialize();
  }).join();
}

TEST(Apartment, ActivationNeedsAnApartmentSomewhereInTheProcess) {
  std::thread([] {
    ComPtr<IAlpha> alpha;
    EXPECT_EQ(CoCreateInstance(kUnknownClass, nullptr, CLSCTX_LOCAL_SERVER, uuidof<IAlpha>, alpha.PutVoid()),
              CO_E_NOTINITIALIZED);
    // Another thread in the apartment makes the implicit apartment available to this one.
    Apartment apartment;
    std::thread([] {
      ComPtr<IAlpha> inner;
      EXPECT_EQ(CoCreateInstance(kUnknownClass, nullptr, CLSCTX_LOCAL_SERVER, uuidof<IAlpha>, inner.PutVoid()),
                REGDB_E_CLASSNOTREG);
    }).join();
  }).join();
}

TEST(GlobalInterfaceTable, OneTableHandsStoredInterfacesToAnyThread) {
  Apartment apartment;
  CountingModule module;
  ComPtr<IGlobalInterfaceTable> table, same;
  ASSERT_EQ(CoCreateInstance(CLSID_StdGlobalInterfaceTable, nullptr, CLSCTX_INPROC_SERVER,
                             IID_IGlobalInterfaceTable, table.PutVoid()),
            S_OK);
  ASSERT_EQ(CoCreateInstance(CLSID_StdGlobalInterfaceTable, nullptr, CLSCTX_INPROC_SERVER,
                             IID_IGlobalInterfaceTable, same.PutVoid()),
            S_OK);
  EXPECT_EQ(table, same);
  EXPECT_EQ(module.count, 0) << "the table itself keeps no server reference alive";

  platform::com::ComPtr<platform::com::ComObject<CAlphaBeta>> object;
  ASSERT_EQ(platform::com::CreateObject(&object), S_OK);
  DWORD cookie = 0;
  ASSERT_EQ(table->RegisterInterfaceInGlobal(object->GetUnknown(), uuidof<IAlpha>, &cookie), S_OK);
  std::thread([&] {
    ComPtr<IBeta> beta;
    EXPECT_EQ(table->GetInterfaceFromGlobal(cookie, uuidof<IBeta>, beta.PutVoid()), S_OK);
    EXPECT_EQ(beta->Beta(), 2);
  }).join();
  EXPECT_EQ(table->RevokeInterfaceFromGlobal(cookie), S_OK);
  EXPECT_EQ(table->RevokeInterfaceFromGlobal(cookie), E_INVALIDARG);
  EXPECT_EQ(CountOf(object->GetUnknown()), 1u);
}

}  // namespace
