// CXRBProxy's life cycle, its default simulator configured from the registry, and result texts.
#include "external/hardware/xrb_proxy.h"

#include <gtest/gtest.h>

#include <future>
#include <set>

#include "external/hardware/callback_channel.h"
#include "tests/external/hardware/test_support.h"
#include "tests/external/logging/test_environment.h"

namespace HardwareTest {
namespace {

using OrbiqCommunicationLibrary::Simulator::kSimulatorKeyPath;

using talvaro_test::SetDword;
using talvaro_test::SetString;

// Brings the process-wide proxy back down whatever a test left.
class ProxyTest : public ::testing::Test {
 protected:
  void TearDown() override {
    proxy_->Finish();
    proxy_->Shutdown();
    proxy_->InstallBackend(nullptr);
  }

  // The listed units, each as Describe gives it.
  std::vector<std::wstring> Listed() {
    IUnitScanner* scanner = proxy_->GetFactory()->CreateUnitScanner();
    IUnitList* list = nullptr;
    EXPECT_EQ(scanner->Scan(list), ORBIQLIB_SUCCESS);
    std::vector<std::wstring> units;
    for (unsigned int i = 0; i < list->GetCount(); ++i) units.push_back(Describe(*list->GetItem(i)));
    proxy_->GetFactory()->ReleaseUnitScanner(scanner);
    return units;
  }

  std::wstring Listing() {
    std::wstring listing;
    const auto simulator = std::dynamic_pointer_cast<XRBSimulator>(proxy_->GetBackend());
    EXPECT_EQ(simulator->ExecuteCommand(L"list", &listing), ORBIQLIB_SUCCESS);
    return listing;
  }

  talvaro_test::IsolatedEnvironment environment_;
  CXRBProxy* proxy_ = CXRBProxy::GetInstance();
};

TEST_F(ProxyTest, LifecycleCallsOutOfOrderFailAndChangeNothing) {
  EXPECT_EQ(proxy_, CXRBProxy::GetInstance());
  EXPECT_EQ(proxy_->GetFactory(), nullptr);
  EXPECT_EQ(proxy_->GetDriver(), nullptr);
  EXPECT_EQ(proxy_->Start(), ORBIQLIB_E_NOT_INITIALIZED);
  EXPECT_EQ(proxy_->Finish(), ORBIQLIB_E_NOT_INITIALIZED);
  EXPECT_EQ(proxy_->Shutdown(), ORBIQLIB_E_NOT_INITIALIZED);

  ASSERT_EQ(proxy_->Initialize(), ORBIQLIB_SUCCESS);
  EXPECT_NE(proxy_->GetFactory(), nullptr);
  EXPECT_NE(proxy_->GetDriver(), nullptr);
  EXPECT_EQ(proxy_->Initialize(), ORBIQLIB_E_WRONG_STATE);
  EXPECT_EQ(proxy_->Finish(), ORBIQLIB_E_NOT_STARTED);
  EXPECT_EQ(proxy_->InstallBackend(nullptr), ORBIQLIB_E_WRONG_STATE);
  ASSERT_EQ(proxy_->Start(), ORBIQLIB_SUCCESS);
  EXPECT_EQ(proxy_->Start(), ORBIQLIB_E_WRONG_STATE);
  EXPECT_NE(std::dynamic_pointer_cast<XRBSimulator>(proxy_->GetBackend()), nullptr);

  // Shutdown without Finish: still taken down completely, but reported.
  EXPECT_EQ(proxy_->Shutdown(), ORBIQLIB_E_WRONG_STATE);
  EXPECT_EQ(proxy_->GetFactory(), nullptr);
  EXPECT_EQ(proxy_->GetBackend(), nullptr);
  EXPECT_EQ(proxy_->Finish(), ORBIQLIB_E_NOT_INITIALIZED);
}

TEST_F(ProxyTest, ComesBackUpAfterShutdownWithAFreshSimulator) {
  for (int round = 0; round < 3; ++round) {
    ASSERT_EQ(proxy_->Initialize(), ORBIQLIB_SUCCESS);
    ASSERT_EQ(proxy_->Start(), ORBIQLIB_SUCCESS);
    auto simulator = std::dynamic_pointer_cast<XRBSimulator>(proxy_->GetBackend());
    ASSERT_NE(simulator, nullptr);
    EXPECT_TRUE(simulator->ApplicationCommands().empty()) << round;
    EXPECT_EQ(proxy_->GetDriver()->ApplicationCommand(L"a", L"b", 0), ORBIQLIB_SUCCESS);
    ASSERT_EQ(proxy_->Finish(), ORBIQLIB_SUCCESS);
    ASSERT_EQ(proxy_->Shutdown(), ORBIQLIB_SUCCESS);
  }
}

TEST_F(ProxyTest, LifecycleCallsAreRefusedOnALibraryThread) {
  ASSERT_EQ(proxy_->Initialize(), ORBIQLIB_SUCCESS);
  ASSERT_EQ(proxy_->Start(), ORBIQLIB_SUCCESS);
  auto results = std::async(std::launch::async, [&] {
    OrbiqCommunicationLibrary::Detail::LibraryThreadScope libraryThread;
    return std::vector<E_ORBIQLIB_Result>{proxy_->Initialize(), proxy_->Start(), proxy_->Finish(),
                                          proxy_->Shutdown()};
  }).get();
  for (const auto result : results) EXPECT_EQ(result, ORBIQLIB_E_WRONG_THREAD);
  EXPECT_NE(proxy_->GetFactory(), nullptr);
}

TEST_F(ProxyTest, UnitsAndSwitchesComeFromTheRegistry) {
  const std::wstring root = kSimulatorKeyPath;
  SetDword(root, L"DataPeriodMs", 0);
  SetDword(root, L"RestrictionTimeoutMs", 1234);
  const std::wstring second = root + L"\\Units\\b_second";
  SetString(second, L"LogicalName", L"Line_7");
  SetString(second, L"MAC", L"AA-BB");
  SetString(second, L"IP", L"10.0.0.7");
  SetString(second, L"State", L"Maintenance");
  SetDword(second, L"BoardID", 0);
  SetString(second, L"SubItems", std::wstring(L"Motor\0Belt\0", 11), REG_MULTI_SZ);
  SetDword(second, L"Available", 0);
  SetDword(root + L"\\Units\\a_first", L"BoardID", 0xBEEF);
  SetDword(root + L"\\Units\\a_first", L"DataPeriodMs", 50);

  ASSERT_EQ(proxy_->Initialize(), ORBIQLIB_SUCCESS);
  ASSERT_EQ(proxy_->Start(), ORBIQLIB_SUCCESS);
  EXPECT_EQ(Listed(), (std::vector<std::wstring>{L"a_first   Running 48879 ",
                                                 L"Line_7 AA-BB 10.0.0.7 Maintenance 0 Motor,Belt"}));
  const std::wstring listing = Listing();
  EXPECT_NE(listing.find(L"a_first MAC= IP= State=Running BoardID=0xBEEF Available=1 PeriodMs=50"),
            std::wstring::npos);
  EXPECT_NE(listing.find(L"Line_7 MAC=AA-BB IP=10.0.0.7 State=Maintenance BoardID=0x0 "
                         L"Available=0 PeriodMs=0"),
            std::wstring::npos);
}

TEST_F(ProxyTest, NoKeyMeansTheTwoDefaultUnitsAndAnEmptyUnitsKeyNone) {
  ASSERT_EQ(proxy_->Initialize(), ORBIQLIB_SUCCESS);
  const auto units = Listed();
  ASSERT_EQ(units.size(), 2u);
  EXPECT_EQ(units[0].substr(0, 6) + units[1].substr(0, 6), L"XRB_1 XRB_2 ");
  ASSERT_EQ(proxy_->Shutdown(), ORBIQLIB_SUCCESS);

  // A Units key without subkeys (a value does not make a unit).
  SetDword(std::wstring(kSimulatorKeyPath) + L"\\Units", L"NotAUnit", 0);
  SetDword(kSimulatorKeyPath, L"PeriodicData", 0);
  ASSERT_EQ(proxy_->Initialize(), ORBIQLIB_SUCCESS);
  EXPECT_TRUE(Listed().empty());
  ICommDriver* driver = proxy_->GetFactory()->CreateCommDriver();
  EXPECT_EQ(driver->Open(L"XRB_1", L"App", L""), ORBIQLIB_E_UNKNOWN_UNIT);
  EXPECT_EQ(proxy_->GetFactory()->ReleaseCommDriver(driver), ORBIQLIB_SUCCESS);
  EXPECT_NE(Listing().find(L"Periodic data: off"), std::wstring::npos);
}

TEST(ResultText, EveryValueHasItsOwnTextAndUnknownOnesShowTheirNumber) {
  std::set<std::wstring> texts;
  const std::vector<std::int32_t> defined = {0,   -1,  -2,  -3,  -4,    -5,    -6,   -7,
                                             -8,  -9,  -10, -11, -12,   -13,   -14,  -15,
                                             -16, -17, -1050, -1100, -1200};
  for (const std::int32_t value : defined) {
    const std::wstring text =
        OrbiqCommunicationLibrary::TranslateErrorCode(static_cast<E_ORBIQLIB_Result>(value));
    EXPECT_NE(text.rfind(L"Unknown result", 0), 0u) << value;
    texts.insert(text);
  }
  EXPECT_EQ(texts.size(), defined.size());
  EXPECT_EQ(OrbiqCommunicationLibrary::TranslateErrorCode(static_cast<E_ORBIQLIB_Result>(-18)),
            L"Unknown result -18");
  EXPECT_EQ(OrbiqCommunicationLibrary::TranslateErrorCode(static_cast<E_ORBIQLIB_Result>(0x7FFFFFFF)),
            L"Unknown result 2147483647");
}

}  // namespace
}  // namespace HardwareTest
