// CXRBProxy's life cycle, its default simulator configured from the registry, and result texts.
#include "external/hardware/xrb_proxy.h"

#include <gtest/gtest.h>

#include <future>
#include <set>

#include "external/hardware/callback_channel.h"
#include "platform/registry/registry.h"
#include "platform/types/error_codes.h"
#include "tests/external/hardware/test_support.h"

namespace HardwareTest {
namespace {

using OrbiqCommunicationLibrary::Simulator::kSimulatorKeyPath;

// Writes values of one key under HKLM.
class KeyWriter {
 public:
  explicit KeyWriter(const std::wstring& path) {
    EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                              KEY_ALL_ACCESS, nullptr, &key_, nullptr),
              ERROR_SUCCESS);
  }
  ~KeyWriter() { RegCloseKey(key_); }
  KeyWriter& Dword(const wchar_t* name, DWORD value) {
    EXPECT_EQ(RegSetValueExW(key_, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                             sizeof value),
              ERROR_SUCCESS);
    return *this;
  }
  KeyWriter& String(const wchar_t* name, const std::wstring& value, DWORD type = REG_SZ) {
    EXPECT_EQ(RegSetValueExW(key_, name, 0, type, reinterpret_cast<const BYTE*>(value.c_str()),
                             static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))),
              ERROR_SUCCESS);
    return *this;
  }

 private:
  HKEY key_ = nullptr;
};

// Brings the process-wide proxy back down whatever a test left.
class ProxyTest : public ::testing::Test {
 protected:
  void TearDown() override {
    proxy_->Finish();
    proxy_->Shutdown();
    proxy_->InstallBackend(nullptr);
  }

  std::vector<std::wstring> ListedNames() {
    IUnitScanner* scanner = proxy_->GetFactory()->CreateUnitScanner();
    IUnitList* list = nullptr;
    EXPECT_EQ(scanner->Scan(list), ORBIQLIB_SUCCESS);
    std::vector<std::wstring> names;
    for (unsigned int i = 0; i < list->GetCount(); ++i) {
      names.push_back(list->GetItem(i)->GetDescription().GetLogicalName());
    }
    proxy_->GetFactory()->ReleaseUnitScanner(scanner);
    return names;
  }

  ScopedRegistry registry_;
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

TEST_F(ProxyTest, WithoutConfigurationTheTwoDefaultUnitsAppear) {
  ASSERT_EQ(proxy_->Initialize(), ORBIQLIB_SUCCESS);
  EXPECT_EQ(ListedNames(), (std::vector<std::wstring>{L"XRB_1", L"XRB_2"}));
}

TEST_F(ProxyTest, UnitsAndSwitchesComeFromTheRegistry) {
  const std::wstring root = kSimulatorKeyPath;
  KeyWriter(root).Dword(L"DataPeriodMs", 0).Dword(L"RestrictionTimeoutMs", 1234);
  KeyWriter(root + L"\\Units\\b_second")
      .String(L"LogicalName", L"Line_7")
      .String(L"MAC", L"AA-BB")
      .String(L"IP", L"10.0.0.7")
      .String(L"State", L"Maintenance")
      .Dword(L"BoardID", 0)
      .String(L"SubItems", std::wstring(L"Motor\0Belt\0", 11), REG_MULTI_SZ)
      .Dword(L"Available", 0);
  KeyWriter(root + L"\\Units\\a_first").Dword(L"BoardID", 0xBEEF).Dword(L"DataPeriodMs", 50);

  ASSERT_EQ(proxy_->Initialize(), ORBIQLIB_SUCCESS);
  ASSERT_EQ(proxy_->Start(), ORBIQLIB_SUCCESS);
  EXPECT_EQ(ListedNames(), (std::vector<std::wstring>{L"a_first", L"Line_7"}));

  IUnitScanner* scanner = proxy_->GetFactory()->CreateUnitScanner();
  IUnitList* list = nullptr;
  ASSERT_EQ(scanner->Scan(list), ORBIQLIB_SUCCESS);
  const IUnitItem* line = list->GetItem(1);
  const CXRBDescription description = line->GetDescription();
  EXPECT_EQ(description.GetMAC(), L"AA-BB");
  EXPECT_EQ(description.GetIP(), L"10.0.0.7");
  EXPECT_EQ(description.GetState(), L"Maintenance");
  EXPECT_EQ(description.GetBoardID(), 0u);
  ASSERT_EQ(line->GetSubItemCount(), 2u);
  EXPECT_EQ(line->GetSubItem(1)->GetName(), L"Belt");
  EXPECT_EQ(list->GetItem(0)->GetDescription().GetBoardID(), 0xBEEFu);
  EXPECT_EQ(list->GetItem(0)->GetDescription().GetState(), L"Running");
  proxy_->GetFactory()->ReleaseUnitScanner(scanner);

  auto simulator = std::dynamic_pointer_cast<XRBSimulator>(proxy_->GetBackend());
  EXPECT_EQ(simulator->Availability(L"Line_7"), 0);
  std::wstring listing;
  ASSERT_EQ(simulator->ExecuteCommand(L"list", &listing), ORBIQLIB_SUCCESS);
  EXPECT_NE(listing.find(L"a_first MAC= IP= State=Running BoardID=0xBEEF Available=1 PeriodMs=50"),
            std::wstring::npos);
  EXPECT_NE(listing.find(L"Line_7 MAC=AA-BB IP=10.0.0.7 State=Maintenance BoardID=0x0 "
                         L"Available=0 PeriodMs=0"),
            std::wstring::npos);
}

TEST_F(ProxyTest, AnEmptyUnitsKeyMeansNoUnitsAndTheSwitchStopsPeriodicData) {
  KeyWriter(std::wstring(kSimulatorKeyPath) + L"\\Units");
  KeyWriter(kSimulatorKeyPath).Dword(L"PeriodicData", 0);
  ASSERT_EQ(proxy_->Initialize(), ORBIQLIB_SUCCESS);
  EXPECT_TRUE(ListedNames().empty());
  ICommDriver* driver = proxy_->GetFactory()->CreateCommDriver();
  EXPECT_EQ(driver->Open(L"XRB_1", L"App", L""), ORBIQLIB_E_UNKNOWN_UNIT);
  EXPECT_EQ(proxy_->GetFactory()->ReleaseCommDriver(driver), ORBIQLIB_SUCCESS);
  std::wstring listing;
  auto simulator = std::dynamic_pointer_cast<XRBSimulator>(proxy_->GetBackend());
  ASSERT_EQ(simulator->ExecuteCommand(L"list", &listing), ORBIQLIB_SUCCESS);
  EXPECT_NE(listing.find(L"Periodic data: off"), std::wstring::npos);
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
