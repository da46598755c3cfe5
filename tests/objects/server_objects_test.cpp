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

TEST_F(FactoryOnFakeTest, TwoCreationsGiveOneFactoryAndOneProxyStartAndRevokingTearsItDown) {
  {
    auto first = Create<ITalvaroCommunicationDriverFactory>(CLSID_TalvaroCommunicationDriverFactory);
    auto second = Create<IDebug>(CLSID_TalvaroCommunicationDriverFactory);
    EXPECT_TRUE(platform::com::IsSameObject(first.Get(), second.Get()));
    EXPECT_EQ(fake_->CallNames(), (std::vector<std::string>{"Initialize", "Start"}));
    auto support = first.As<ISupportErrorInfo>();
    EXPECT_EQ(support->InterfaceSupportsErrorInfo(uuidof<ITalvaroCommunicationDriverFactory>), S_OK);
    EXPECT_EQ(support->InterfaceSupportsErrorInfo(uuidof<IDebug>), S_FALSE);
    // GetRegObserver gives the instance the drivers notify; the class makes separate ones.
    ComPtr<IRegObserver> shared, again;
    ASSERT_EQ(first->GetRegObserver(shared.Put()), S_OK);
    ASSERT_EQ(first->GetRegObserver(again.Put()), S_OK);
    EXPECT_TRUE(platform::com::IsSameObject(shared.Get(), again.Get()));
    auto separate = Create<IRegObserver>(CLSID_ObserverSingleton);
    EXPECT_FALSE(platform::com::IsSameObject(shared.Get(), separate.Get()));
  }
  fake_->ClearCalls();
  ASSERT_EQ(CoRevokeClassObject(cookies_.at(0)), S_OK);
  cookies_.erase(cookies_.begin());
  EXPECT_EQ(fake_->CallNames(), (std::vector<std::string>{"Finish", "Shutdown"}));
}

TEST_F(FactoryOnFakeTest, FailedProxyInitializationSkipsStartButMakesTheFactory) {
  fake_->SetInitializeResult(ORBIQLIB_E_FAILED);
  auto factory = Create<ITalvaroCommunicationDriverFactory>(CLSID_TalvaroCommunicationDriverFactory);
  EXPECT_EQ(fake_->CallNames(), (std::vector<std::string>{"Initialize"}));
  ComPtr<ICommunicationDriver> driver;
  Bstr name(L"XRB_A");
  EXPECT_EQ(factory->CreateDriver(name.Get(), nullptr, nullptr, nullptr, nullptr, driver.Put()),
            ORBIQLIB_SERVER_E_NO_DRIVER);
  EXPECT_TRUE(driver) << "the detached driver is still handed out";
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
  EXPECT_EQ(fake_->CallsNamed("Open").at(0).texts, (std::vector<std::wstring>{L"XRB_A", L"Tool", L""}));
  EXPECT_EQ(factory->CreateDriver(name.Get(), app.Get(), nullptr, nullptr, nullptr, nullptr), E_POINTER);
}

TEST_F(FactoryOnFakeTest, UnitListingFollowsTheProxysListAndExactNames) {
  auto debug = Create<IDebug>(CLSID_TalvaroCommunicationDriverFactory);
  SafeArray names, lines, subItems;
  ASSERT_EQ(debug->GetXRBNames(names.Put()), S_OK);
  EXPECT_TRUE(Strings(names.Get()).empty()) << "no units is an empty list";

  fake_->SetUnits({{CXRBDescription(L"XRB_A", L"AA:BB", L"10.1.1.1", L"Online", 0), {L"Slot1", L"Slot2"}},
                   {CXRBDescription(L"XRB_B", L"", L"", L"", 0xBEEF), {}},
                   {CXRBDescription(L"XRB_A", L"CC:DD", L"10.2.2.2", L"Offline", 9), {L"Other"}}});
  ASSERT_EQ(debug->GetXRBNames(names.Put()), S_OK);
  EXPECT_EQ(Strings(names.Get()), (std::vector<std::wstring>{L"XRB_A", L"XRB_B", L"XRB_A"}));
  Bstr first(L"XRB_A"), second(L"XRB_B"), wrongCase(L"xrb_a");
  ASSERT_EQ(debug->GetXRBInfo(first.Get(), lines.Put()), S_OK);
  EXPECT_EQ(Strings(lines.Get()), (std::vector<std::wstring>{L"Logical name: XRB_A", L"BackplainID: 0",
                                                              L"IP: 10.1.1.1", L"MAC: AA:BB",
                                                              L"State: Online"}))
      << "duplicates describe the first; board id 0 is a single digit";
  ASSERT_EQ(debug->GetXRBInfo(second.Get(), lines.Put()), S_OK);
  EXPECT_EQ(Strings(lines.Get()).at(1), L"BackplainID: BEEF");
  ASSERT_EQ(debug->GetXRBSubItemNames(first.Get(), subItems.Put()), S_OK);
  EXPECT_EQ(Strings(subItems.Get()), (std::vector<std::wstring>{L"Slot1", L"Slot2"}));

  SAFEARRAY* untouched = reinterpret_cast<SAFEARRAY*>(0x1);
  EXPECT_EQ(debug->GetXRBInfo(wrongCase.Get(), &untouched), E_INVALIDARG);
  EXPECT_EQ(debug->GetXRBSubItemNames(wrongCase.Get(), &untouched), E_INVALIDARG);
  EXPECT_EQ(untouched, reinterpret_cast<SAFEARRAY*>(0x1));
  EXPECT_EQ(debug->GetXRBNames(nullptr), E_POINTER);
  // Every scan gives its list and then its scanner back, a failed scan its scanner.
  EXPECT_EQ(fake_->CallsNamed("ReleaseList").size(), fake_->CallsNamed("Scan").size());
  fake_->SetScanResult(ORBIQLIB_E_FAILED);
  EXPECT_EQ(debug->GetXRBNames(names.Put()), E_FAIL);
  EXPECT_EQ(fake_->CallsNamed("ReleaseUnitScanner").size(), fake_->CallsNamed("CreateUnitScanner").size());
  fake_->SetScannerAbsent(true);
  EXPECT_EQ(debug->GetXRBInfo(first.Get(), lines.Put()), E_FAIL);
}

TEST_F(FactoryOnFakeTest, SingletonClassesRefuseAggregation) {
  auto outer = Create<IDebug>(CLSID_TalvaroCommunicationDriverFactory);
  for (const auto& [clsid, expected] : {std::pair{CLSID_TalvaroCommunicationDriverGApp, CLASS_E_NOAGGREGATION},
                                        std::pair{CLSID_TalvaroCommunicationDriverFactory, CLASS_E_NOAGGREGATION},
                                        std::pair{CLSID_CommunicationDriver, S_OK}}) {
    ComPtr<IUnknown> aggregated;
    EXPECT_EQ(CoCreateInstance(clsid, outer.Get(), CLSCTX_LOCAL_SERVER, IID_IUnknown, aggregated.PutVoid()),
              expected);
  }
}

TEST_F(FactoryOnFakeTest, LifecycleCommandsReachTheProxyDriverWithTheirCodes) {
  auto lifecycle = Create<IXRBApplicationLifecycle>(CLSID_TalvaroCommunicationDriverGApp);
  auto generic = Create<IXRBGeneric>(CLSID_TalvaroCommunicationDriverGApp);
  EXPECT_TRUE(platform::com::IsSameObject(lifecycle.Get(), generic.Get()));
  ASSERT_EQ(CXRBProxy::GetInstance()->Initialize(), ORBIQLIB_SUCCESS);
  fake_->ClearCalls();
  Bstr first(L"first"), second(L"second"), command(L"data XRB_A 01");
  EXPECT_EQ(lifecycle->Create(first.Get(), second.Get()), S_OK);
  EXPECT_EQ(lifecycle->Activate(first.Get(), nullptr), S_OK);
  EXPECT_EQ(lifecycle->Shutdown(second.Get(), first.Get()), S_OK);
  EXPECT_EQ(generic->SendGenericCommand(command.Get()), S_OK);
  const auto calls = fake_->Calls();
  ASSERT_EQ(calls.size(), 4u);
  const std::vector<std::wstring> texts[] = {{L"first", L"second"}, {L"first", L""}, {L"second", L"first"}};
  for (std::int64_t code = 0; code < 3; ++code) {
    EXPECT_EQ(calls[code].texts, texts[code]);
    EXPECT_EQ(calls[code].numbers, (std::vector<std::int64_t>{code}));
  }
  EXPECT_EQ(calls[3].name, "ProxyGenericCommand");
  EXPECT_EQ(calls[3].texts, (std::vector<std::wstring>{L"data XRB_A 01"}));

  fake_->SetApplicationCommandResult(static_cast<E_ORBIQLIB_Result>(3));
  EXPECT_EQ(lifecycle->Activate(first.Get(), second.Get()), E_FAIL) << "any non-zero result fails";
  fake_->SetGenericCommandResult(ORBIQLIB_E_BAD_COMMAND);
  EXPECT_EQ(generic->SendGenericCommand(command.Get()), E_FAIL);
  CXRBProxy::GetInstance()->Shutdown();
}

class FactoryOnSimulatorTest : public ServerObjectsTest {};

TEST_F(FactoryOnSimulatorTest, ListsTheDefaultUnitsAndAttachesDriversToThem) {
  auto factory = Create<ITalvaroCommunicationDriverFactory>(CLSID_TalvaroCommunicationDriverFactory);
  SafeArray names;
  ASSERT_EQ(factory.As<IDebug>()->GetXRBNames(names.Put()), S_OK);
  const auto units = Strings(names.Get());
  ASSERT_EQ(units.size(), 2u);
  ComPtr<ICommunicationDriver> driver;
  Bstr unit(units[0]), app(L"Test"), bad(L"no such command");
  EXPECT_EQ(factory->CreateDriver(unit.Get(), app.Get(), nullptr, nullptr, nullptr, driver.Put()), S_OK);
  EXPECT_EQ(Create<IXRBGeneric>(CLSID_TalvaroCommunicationDriverGApp)->SendGenericCommand(bad.Get()), E_FAIL);
}

}  // namespace
}  // namespace Talvaro::Testing
