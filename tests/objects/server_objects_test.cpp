#include <gtest/gtest.h>

#include <vector>

#include "external/hardware/xrb_simulator.h"
#include "interfaces/application_lifecycle.h"
#include "interfaces/driver_factory.h"
#include "objects/class_objects.h"
#include "objects/observer_singleton.h"
#include "platform/automation/safearray.h"
#include "platform/com/apartment.h"
#include "platform/com/class_table.h"
#include "platform/com/error_info.h"
#include "platform/com/server_process.h"
#include "tests/support/hardware/fake_hardware.h"

namespace Talvaro::Testing {
namespace {

using platform::automation::Bstr;
using platform::automation::SafeArray;
using platform::com::ComPtr;

std::vector<std::wstring> Strings(SAFEARRAY* array) {
  std::vector<std::wstring> texts;
  EXPECT_EQ(platform::automation::ReadStringArray(array, &texts), S_OK);
  return texts;
}

// The four classes registered in this process's class table, as the host registers them.
class ServerObjectsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    Register(CLSID_TalvaroCommunicationDriverFactory, &Objects::CreateDriverFactoryClassObject);
    Register(CLSID_TalvaroCommunicationDriverGApp, &Objects::CreateApplicationLifecycleClassObject);
    Register(CLSID_ObserverSingleton, &Objects::CreateObserverSingletonClassObject);
    Register(CLSID_CommunicationDriver, &Objects::CreateCommunicationDriverClassObject);
    CoAddRefServerProcess();  // as the host's module does: keeps the classes visible
  }
  void TearDown() override {
    for (DWORD cookie : cookies_) EXPECT_EQ(CoRevokeClassObject(cookie), S_OK);
    CoReleaseServerProcess();
    CoResumeClassObjects();
    CoUninitialize();
  }
  void Register(REFCLSID clsid, HRESULT (*create)(ComPtr<IUnknown>*)) {
    ComPtr<IUnknown> classObject;
    ASSERT_EQ(create(&classObject), S_OK);
    DWORD cookie = 0;
    ASSERT_EQ(CoRegisterClassObject(clsid, classObject.Get(), CLSCTX_LOCAL_SERVER,
                                    REGCLS_MULTIPLEUSE, &cookie),
              S_OK);
    cookies_.push_back(cookie);
  }
  template <class Interface>
  ComPtr<Interface> Create(REFCLSID clsid) {
    ComPtr<Interface> object;
    EXPECT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, uuidof<Interface>, object.PutVoid()), S_OK);
    return object;
  }
  std::vector<DWORD> cookies_;
};

class FactoryOnFakeTest : public ServerObjectsTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(installation_.Installed());
    ServerObjectsTest::SetUp();
  }
  std::shared_ptr<FakeHardware> fake_ = FakeHardware::Create();
  FakeHardware::Installation installation_{fake_};
};

TEST_F(FactoryOnFakeTest, TwoCreationsGiveOneFactoryAndOneProxyStart) {
  auto first = Create<ITalvaroCommunicationDriverFactory>(CLSID_TalvaroCommunicationDriverFactory);
  auto second = Create<IDebug>(CLSID_TalvaroCommunicationDriverFactory);
  EXPECT_TRUE(platform::com::IsSameObject(first.Get(), second.Get()));
  EXPECT_EQ(fake_->CallNames(), (std::vector<std::string>{"Initialize", "Start"}));
}

TEST_F(FactoryOnFakeTest, FailedProxyInitializationSkipsStartButMakesTheFactory) {
  fake_->SetInitializeResult(ORBIQLIB_E_FAILED);
  auto factory = Create<ITalvaroCommunicationDriverFactory>(CLSID_TalvaroCommunicationDriverFactory);
  ASSERT_TRUE(factory);
  EXPECT_EQ(fake_->CallNames(), (std::vector<std::string>{"Initialize"}));
  ComPtr<ICommunicationDriver> driver;
  Bstr name(L"XRB_A");
  EXPECT_EQ(factory->CreateDriver(name.Get(), nullptr, nullptr, nullptr, nullptr, driver.Put()),
            ORBIQLIB_SERVER_E_NO_DRIVER);
  EXPECT_TRUE(driver) << "the detached driver is still handed out";
}

TEST_F(FactoryOnFakeTest, RevokingTheClassObjectTearsTheHardwareDown) {
  {
    auto factory = Create<ITalvaroCommunicationDriverFactory>(CLSID_TalvaroCommunicationDriverFactory);
    ComPtr<IRegObserver> observer;
    ASSERT_EQ(factory->GetRegObserver(observer.Put()), S_OK);
  }
  fake_->ClearCalls();
  ASSERT_EQ(CoRevokeClassObject(cookies_.at(0)), S_OK);
  cookies_.erase(cookies_.begin());
  EXPECT_EQ(fake_->CallNames(), (std::vector<std::string>{"Finish", "Shutdown"}));
}

TEST_F(FactoryOnFakeTest, CreateDriverGivesANewAttachedObjectEachTime) {
  fake_->SetUnits({{CXRBDescription(L"XRB_A", L"", L"", L"", 1), {}}});
  auto factory = Create<ITalvaroCommunicationDriverFactory>(CLSID_TalvaroCommunicationDriverFactory);
  Bstr name(L"XRB_A"), app(L"Tool");
  ComPtr<ICommunicationDriver> first, second;
  ASSERT_EQ(factory->CreateDriver(name.Get(), app.Get(), nullptr, nullptr, nullptr, first.Put()), S_OK);
  ASSERT_EQ(factory->CreateDriver(name.Get(), app.Get(), nullptr, nullptr, nullptr, second.Put()), S_OK);
  EXPECT_FALSE(platform::com::IsSameObject(first.Get(), second.Get()));
  EXPECT_EQ(fake_->LiveDrivers(), 2);
  const auto opens = fake_->CallsNamed("Open");
  ASSERT_EQ(opens.size(), 2u);
  EXPECT_EQ(opens[0].texts, (std::vector<std::wstring>{L"XRB_A", L"Tool", L""})) << "null is empty";
  fake_->SetOpenResult(ORBIQLIB_E_UNKNOWN_UNIT);
  EXPECT_EQ(factory->CreateDriver(name.Get(), app.Get(), nullptr, nullptr, nullptr, first.Put()),
            ORBIQLIB_SERVER_E_OPEN);
  EXPECT_EQ(factory->CreateDriver(name.Get(), app.Get(), nullptr, nullptr, nullptr, nullptr), E_POINTER);
}

TEST_F(FactoryOnFakeTest, UnitListingFollowsTheProxysListAndExactNames) {
  fake_->SetUnits({{CXRBDescription(L"XRB_A", L"AA:BB", L"10.1.1.1", L"Online", 0), {L"Slot1", L"Slot2"}},
                   {CXRBDescription(L"XRB_B", L"", L"", L"", 0xBEEF), {}},
                   {CXRBDescription(L"XRB_A", L"CC:DD", L"10.2.2.2", L"Offline", 9), {L"Other"}}});
  auto debug = Create<IDebug>(CLSID_TalvaroCommunicationDriverFactory);
  SafeArray names;
  ASSERT_EQ(debug->GetXRBNames(names.Put()), S_OK);
  EXPECT_EQ(Strings(names.Get()), (std::vector<std::wstring>{L"XRB_A", L"XRB_B", L"XRB_A"}));

  Bstr first(L"XRB_A");
  SafeArray lines;
  ASSERT_EQ(debug->GetXRBInfo(first.Get(), lines.Put()), S_OK);
  EXPECT_EQ(Strings(lines.Get()), (std::vector<std::wstring>{L"Logical name: XRB_A", L"BackplainID: 0",
                                                              L"IP: 10.1.1.1", L"MAC: AA:BB",
                                                              L"State: Online"}))
      << "duplicates describe the first; board id 0 is a single digit";
  Bstr second(L"XRB_B");
  ASSERT_EQ(debug->GetXRBInfo(second.Get(), lines.Put()), S_OK);
  EXPECT_EQ(Strings(lines.Get()).at(1), L"BackplainID: BEEF");

  SafeArray subItems;
  ASSERT_EQ(debug->GetXRBSubItemNames(first.Get(), subItems.Put()), S_OK);
  EXPECT_EQ(Strings(subItems.Get()), (std::vector<std::wstring>{L"Slot1", L"Slot2"}));
  ASSERT_EQ(debug->GetXRBSubItemNames(second.Get(), subItems.Put()), S_OK);
  EXPECT_TRUE(Strings(subItems.Get()).empty());

  Bstr wrongCase(L"xrb_a");
  SAFEARRAY* untouched = reinterpret_cast<SAFEARRAY*>(0x1);
  EXPECT_EQ(debug->GetXRBInfo(wrongCase.Get(), &untouched), E_INVALIDARG);
  EXPECT_EQ(debug->GetXRBSubItemNames(wrongCase.Get(), &untouched), E_INVALIDARG);
  EXPECT_EQ(untouched, reinterpret_cast<SAFEARRAY*>(0x1));
  EXPECT_EQ(debug->GetXRBNames(nullptr), E_POINTER);

  // Every scan gives its list and then its scanner back.
  EXPECT_EQ(fake_->CallsNamed("ReleaseList").size(), fake_->CallsNamed("Scan").size());
  EXPECT_EQ(fake_->CallsNamed("ReleaseUnitScanner").size(), fake_->CallsNamed("CreateUnitScanner").size());
}

TEST_F(FactoryOnFakeTest, EmptyListAndScanFailures) {
  auto debug = Create<IDebug>(CLSID_TalvaroCommunicationDriverFactory);
  SafeArray names;
  ASSERT_EQ(debug->GetXRBNames(names.Put()), S_OK);
  EXPECT_TRUE(Strings(names.Get()).empty());
  LONG lower = -1;
  EXPECT_EQ(SafeArrayGetLBound(names.Get(), 1, &lower), S_OK);
  EXPECT_EQ(lower, 0);
  Bstr any(L"XRB_A");
  SafeArray lines;
  EXPECT_EQ(debug->GetXRBInfo(any.Get(), lines.Put()), E_INVALIDARG);

  fake_->SetScanResult(ORBIQLIB_E_FAILED);
  EXPECT_EQ(debug->GetXRBNames(names.Put()), E_FAIL);
  EXPECT_EQ(fake_->CallsNamed("ReleaseUnitScanner").size(), fake_->CallsNamed("CreateUnitScanner").size());
  fake_->SetScannerAbsent(true);
  EXPECT_EQ(debug->GetXRBNames(names.Put()), E_FAIL);
}

TEST_F(FactoryOnFakeTest, ErrorInfoIsDeclaredForTheFactoryInterfaceOnly) {
  auto support = Create<ISupportErrorInfo>(CLSID_TalvaroCommunicationDriverFactory);
  EXPECT_EQ(support->InterfaceSupportsErrorInfo(uuidof<ITalvaroCommunicationDriverFactory>), S_OK);
  EXPECT_EQ(support->InterfaceSupportsErrorInfo(uuidof<IDebug>), S_FALSE);
}

TEST_F(FactoryOnFakeTest, SingletonClassesRefuseAggregation) {
  auto outer = Create<IDebug>(CLSID_TalvaroCommunicationDriverFactory);
  ComPtr<IUnknown> aggregated;
  EXPECT_EQ(CoCreateInstance(CLSID_TalvaroCommunicationDriverGApp, outer.Get(), CLSCTX_LOCAL_SERVER,
                             IID_IUnknown, aggregated.PutVoid()),
            CLASS_E_NOAGGREGATION);
  EXPECT_EQ(CoCreateInstance(CLSID_TalvaroCommunicationDriverFactory, outer.Get(), CLSCTX_LOCAL_SERVER,
                             IID_IUnknown, aggregated.PutVoid()),
            CLASS_E_NOAGGREGATION);
  // The ordinary classes may be aggregated.
  EXPECT_EQ(CoCreateInstance(CLSID_CommunicationDriver, outer.Get(), CLSCTX_LOCAL_SERVER,
                             IID_IUnknown, aggregated.PutVoid()),
            S_OK);
}

TEST_F(FactoryOnFakeTest, ObserverClassMakesSeparateInstancesThatDriversNeverNotify) {
  auto factory = Create<ITalvaroCommunicationDriverFactory>(CLSID_TalvaroCommunicationDriverFactory);
  ComPtr<IRegObserver> shared, again;
  ASSERT_EQ(factory->GetRegObserver(shared.Put()), S_OK);
  ASSERT_EQ(factory->GetRegObserver(again.Put()), S_OK);
  EXPECT_TRUE(platform::com::IsSameObject(shared.Get(), again.Get()));
  auto separate = Create<IRegObserver>(CLSID_ObserverSingleton);
  EXPECT_FALSE(platform::com::IsSameObject(shared.Get(), separate.Get()));
}

TEST_F(FactoryOnFakeTest, LifecycleCommandsReachTheProxyDriverWithTheirCodes) {
  auto lifecycle = Create<IXRBApplicationLifecycle>(CLSID_TalvaroCommunicationDriverGApp);
  auto again = Create<IXRBGeneric>(CLSID_TalvaroCommunicationDriverGApp);
  EXPECT_TRUE(platform::com::IsSameObject(lifecycle.Get(), again.Get()));
  ASSERT_EQ(CXRBProxy::GetInstance()->Initialize(), ORBIQLIB_SUCCESS);
  fake_->ClearCalls();

  Bstr first(L"first"), second(L"second");
  EXPECT_EQ(lifecycle->Create(first.Get(), second.Get()), S_OK);
  EXPECT_EQ(lifecycle->Activate(first.Get(), nullptr), S_OK);
  EXPECT_EQ(lifecycle->Shutdown(second.Get(), first.Get()), S_OK);
  Bstr command(L"data XRB_A 01");
  EXPECT_EQ(again->SendGenericCommand(command.Get()), S_OK);
  const auto calls = fake_->Calls();
  ASSERT_EQ(calls.size(), 4u);
  EXPECT_EQ(calls[0].texts, (std::vector<std::wstring>{L"first", L"second"}));
  EXPECT_EQ(calls[0].numbers, (std::vector<std::int64_t>{0}));
  EXPECT_EQ(calls[1].texts, (std::vector<std::wstring>{L"first", L""}));
  EXPECT_EQ(calls[1].numbers, (std::vector<std::int64_t>{1}));
  EXPECT_EQ(calls[2].texts, (std::vector<std::wstring>{L"second", L"first"}));
  EXPECT_EQ(calls[2].numbers, (std::vector<std::int64_t>{2}));
  EXPECT_EQ(calls[3].name, "ProxyGenericCommand");
  EXPECT_EQ(calls[3].texts, (std::vector<std::wstring>{L"data XRB_A 01"}));

  fake_->SetApplicationCommandResult(static_cast<E_ORBIQLIB_Result>(-5));
  EXPECT_EQ(lifecycle->Activate(first.Get(), second.Get()), E_FAIL);
  fake_->SetApplicationCommandResult(static_cast<E_ORBIQLIB_Result>(3));
  EXPECT_EQ(lifecycle->Create(first.Get(), second.Get()), E_FAIL) << "any non-zero result fails";
  fake_->SetGenericCommandResult(ORBIQLIB_E_BAD_COMMAND);
  EXPECT_EQ(again->SendGenericCommand(command.Get()), E_FAIL);
  CXRBProxy::GetInstance()->Shutdown();
}

class FactoryOnSimulatorTest : public ServerObjectsTest {};

TEST_F(FactoryOnSimulatorTest, ListsTheDefaultUnitsAndAttachesDriversToThem) {
  auto factory = Create<ITalvaroCommunicationDriverFactory>(CLSID_TalvaroCommunicationDriverFactory);
  auto debug = factory.As<IDebug>();
  SafeArray names;
  ASSERT_EQ(debug->GetXRBNames(names.Put()), S_OK);
  const auto units = Strings(names.Get());
  ASSERT_EQ(units.size(), 2u);
  Bstr unit(units[0]);
  SafeArray lines;
  ASSERT_EQ(debug->GetXRBInfo(unit.Get(), lines.Put()), S_OK);
  EXPECT_EQ(Strings(lines.Get()).at(0), L"Logical name: " + units[0]);
  ComPtr<ICommunicationDriver> driver;
  Bstr app(L"Test");
  EXPECT_EQ(factory->CreateDriver(unit.Get(), app.Get(), nullptr, nullptr, nullptr, driver.Put()), S_OK);
  auto lifecycle = Create<IXRBGeneric>(CLSID_TalvaroCommunicationDriverGApp);
  Bstr bad(L"no such command");
  EXPECT_EQ(lifecycle->SendGenericCommand(bad.Get()), E_FAIL);
}

}  // namespace
}  // namespace Talvaro::Testing
