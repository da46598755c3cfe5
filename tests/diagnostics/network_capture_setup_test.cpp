// The network capture set-up against capture classes of this process: the settings and their
// conversions, the mode in any letter case, the calls with their arguments in order, missing
// settings (one warning, no retry), an absent or failing capture service (a warning with the
// error's description per attempt, ten attempts), and the end of the object.
#include <gtest/gtest.h>

#include <future>
#include <mutex>
#include <thread>

#include "diagnostics/orbiq_wpcap_surrogate.h"
#include "external/logging/record_sink.h"
#include "interfaces/network_capture.h"
#include "platform/com/apartment.h"
#include "platform/com/class_factory.h"
#include "platform/com/class_table.h"
#include "platform/com/error_info.h"
#include "platform/com/server_process.h"
#include "platform/registry/registry.h"
#include "platform/types/wide_string.h"
#include "tests/support/environment/registry_values.h"

namespace Talvaro::Diagnostics {
namespace {

using namespace std::chrono_literals;
using platform::com::ComPtr;

const wchar_t* const kSettings = L"SOFTWARE\\TALVARO\\Orbiq\\TalvaroCommunicationDriver\\WinPcap\\";

void SetSetting(const wchar_t* name, const std::wstring& text) { Testing::SetRegistryText(kSettings, name, text); }

// What the capture classes were asked, and how they answer.
struct CaptureRecord {
  std::mutex lock;
  std::vector<std::string> calls;  // guarded by lock
  int created = 0;                 // guarded by lock
  HRESULT startResult = S_OK;      // guarded by lock
  std::wstring errorDescription;   // guarded by lock: left as error information on failure

  void Add(const std::string& call) {
    std::lock_guard guard(lock);
    calls.push_back(call);
  }
  std::vector<std::string> Calls() {
    std::lock_guard guard(lock);
    return calls;
  }
  HRESULT Answer() {
    std::lock_guard guard(lock);
    if (FAILED(startResult) && !errorDescription.empty()) {
      ComPtr<ICreateErrorInfo> made;
      CreateErrorInfo(made.Put());
      made->SetDescription(errorDescription.c_str());
      ComPtr<IErrorInfo> info;
      made.As(&info);
      SetErrorInfo(0, info.Get());
    }
    return startResult;
  }
};
CaptureRecord record;

std::string Text(BSTR text) { return platform::ToUtf8(text != nullptr ? text : L""); }

class CContinuousDouble : public platform::com::ObjectRoot, public IContinuousCapture {
 public:
  using Interfaces = platform::com::InterfaceTable<CContinuousDouble, IContinuousCapture>;
  HRESULT FinalConstruct() {
    std::lock_guard guard(record.lock);
    ++record.created;
    return S_OK;
  }
  HRESULT ReservedMethod3() override { return E_NOTIMPL; }
  HRESULT ReservedMethod4() override { return E_NOTIMPL; }
  HRESULT ReservedMethod5() override { return E_NOTIMPL; }
  HRESULT StartCapture(BSTR network, BSTR filter, ULONG fileSize, LONG dumpCount, BSTR folder, LONG days) override {
    record.Add("continuous " + Text(network) + " '" + Text(filter) + "' " + std::to_string(fileSize) + " " +
               std::to_string(dumpCount) + " " + Text(folder) + " " + std::to_string(days));
    return record.Answer();
  }
  HRESULT StopCapture() override {
    record.Add("stop");
    return E_FAIL;  // a failing stop must not end anything
  }
};

class COnDemandDouble : public platform::com::ObjectRoot, public IOnDemandCapture {
 public:
  using Interfaces = platform::com::InterfaceTable<COnDemandDouble, IOnDemandCapture>;
  HRESULT ReservedMethod3() override { return E_NOTIMPL; }
  HRESULT ReservedMethod4() override { return E_NOTIMPL; }
  HRESULT ReservedMethod5() override { return E_NOTIMPL; }
  HRESULT StartCapture(BSTR network, ULONG bufferSize) override {
    record.Add("on demand " + Text(network) + " " + std::to_string(bufferSize));
    return record.Answer();
  }
};

class NetworkCaptureSetup : public ::testing::Test {
 protected:
  void SetUp() override {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    {
      std::lock_guard guard(record.lock);
      record.calls.clear();
      record.created = 0;
      record.startResult = S_OK;
      record.errorDescription.clear();
    }
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kSettings);  // every case starts without settings
    Logging::AttachRecordSink(records_);
    // This process serves the capture classes: without a reference of its own, the release of
    // the last capture object would suspend them, as a local server's classes are.
    CoAddRefServerProcess();
  }
  void TearDown() override {
    for (const DWORD cookie : cookies_) CoRevokeClassObject(cookie);
    CoReleaseServerProcess();
    Logging::DetachRecordSink(records_);
    CoUninitialize();
  }
  template <class Double>
  void Serve(REFCLSID clsid) {
    ComPtr<IUnknown> classObject;
    ASSERT_EQ(platform::com::CreateClassObject<platform::com::ClassFactory<Double>>(&classObject), S_OK);
    DWORD cookie = 0;
    ASSERT_EQ(CoRegisterClassObject(clsid, classObject.Get(), CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &cookie), S_OK);
    cookies_.push_back(cookie);
  }
  std::size_t Count(const std::wstring& text) const { return records_->Matching(text).size(); }
  std::vector<std::wstring> Warnings() const {
    std::vector<std::wstring> texts;
    for (const auto& entry : records_->Records()) {
      if (entry.level == Logging::Level::Warning) texts.push_back(entry.text);
    }
    return texts;
  }

  std::shared_ptr<Logging::RecordCollector> records_ = std::make_shared<Logging::RecordCollector>();
  std::vector<DWORD> cookies_;
};

TEST_F(NetworkCaptureSetup, SettingsAreReadAsTextsAndCountsConvertLikeStrtol) {
  const std::string key = "SOFTWARE\\TALVARO\\Orbiq\\TalvaroCommunicationDriver\\WinPcap\\";
  Testing::SetRegistryDword(kSettings, L"DumpCount", 12);
  EXPECT_EQ(OrbiqWpcapSurrogate::ReadRegistryStringA(key, "DumpCount"), "") << "a DWORD counts as missing";
  EXPECT_EQ(OrbiqWpcapSurrogate::GetDumpCountFromRegistry(), 300);
  EXPECT_EQ(Count(L"Dump count not specified, using default dump count value: 300"), 1u);
  for (const auto& [text, expected, message] : std::vector<std::tuple<std::wstring, std::int32_t, std::wstring>>{
           {L" 12abc", 12, L"Dump count value will be set to: 12"},
           {L"-4", -4, L"Dump count value will be set to: -4"},
           {L"abc", 300, L"Dump count value conversion failed, using default dump count value: 300"},
           {L"4294967296", 300, L"Dump count value conversion failed, using default dump count value: 300"}}) {
    records_->Clear();
    SetSetting(L"DumpCount", text);
    EXPECT_EQ(OrbiqWpcapSurrogate::GetDumpCountFromRegistry(), expected) << platform::ToUtf8(text);
    ASSERT_EQ(Count(message), 1u) << platform::ToUtf8(text);
    EXPECT_EQ(records_->Matching(message)[0].source, L"TCD::OrbiqWpcapSurrogate::GetDumpCountFromRegistry");
    EXPECT_EQ(records_->Matching(message)[0].category, Logging::Category::Communication);
  }
  EXPECT_EQ(OrbiqWpcapSurrogate::GetDumpRetentionDaysFromRegistry(), 7);
  EXPECT_EQ(Count(L"Dump retention period (days) not specified, using default value: 7"), 1u);
  SetSetting(L"DumpRetentionDays", L"+30 days");
  EXPECT_EQ(OrbiqWpcapSurrogate::GetDumpRetentionDaysFromRegistry(), 30);
  EXPECT_EQ(Count(L"Dump retention period (days) will be set to: 30"), 1u);

  EXPECT_EQ(OrbiqWpcapSurrogate::GetCaptureFilterFromRegistry(), "");
  EXPECT_EQ(Count(L"No capture filter will be applied"), 1u);
  SetSetting(L"CaptureFilter", L"tcp port 80");
  EXPECT_EQ(OrbiqWpcapSurrogate::GetCaptureFilterFromRegistry(), "tcp port 80");
  EXPECT_EQ(Count(L"Capture filter will be applied: \"tcp port 80\""), 1u);
  SetSetting(L"DestinationFolder", std::wstring(300, L'd'));
  EXPECT_EQ(OrbiqWpcapSurrogate::GetDestinationFromRegistry(), std::string(300, 'd')) << "no length limit";
  SetSetting(L"CaptureMode", L"FlushOnDemand");
  EXPECT_EQ(OrbiqWpcapSurrogate::GetCaptureModeFromRegistry(), "flushondemand");
}

TEST_F(NetworkCaptureSetup, EitherModeInAnyLetterCaseStartsItsCaptureWithTheArgumentsInOrder) {
  Serve<CContinuousDouble>(CLSID_ContinuousCapture);
  Serve<COnDemandDouble>(CLSID_OnDemandCapture);
  SetSetting(L"MpcNetwork", L"127.0.0.1");
  SetSetting(L"CaptureMode", L"Continuous");
  SetSetting(L"DestinationFolder", L"/var/tmp/dumps");
  SetSetting(L"CaptureFilter", L"udp");
  SetSetting(L"DumpCount", L"5");
  {
    OrbiqWpcapSurrogate surrogate(1ms);
    surrogate.Initialize();
    ASSERT_TRUE(surrogate.WaitForSetup(20s));
    EXPECT_EQ(record.Calls(), std::vector<std::string>{"continuous 127.0.0.1 'udp' 104857600 5 /var/tmp/dumps 7"});
    EXPECT_EQ(Count(L"OrbiqWpcap capture starting in continuous mode. Network IP: 127.0.0.1"), 1u);
    EXPECT_THROW(surrogate.Initialize(), std::runtime_error) << "already initialized";
  }
  EXPECT_EQ(record.Calls().back(), "stop") << "destruction stops the continuous capture, whose failure ends nothing";

  SetSetting(L"CaptureMode", L"FLUSHONDEMAND");
  {
    OrbiqWpcapSurrogate surrogate(1ms);
    surrogate.Initialize();
    ASSERT_TRUE(surrogate.WaitForSetup(20s));
    EXPECT_EQ(Count(L"OrbiqWpcap capture starting in on demand mode. Network IP: 127.0.0.1"), 1u);
  }
  const auto calls = record.Calls();
  EXPECT_EQ(calls.back(), "on demand 127.0.0.1 20971520") << "the on-demand capture gets no call at the end";
  EXPECT_EQ(Warnings(), std::vector<std::wstring>{L"Stopping the continuous capture failed"}) << "the one stop";
}

TEST_F(NetworkCaptureSetup, AMissingSettingGivesOneWarningAndNoCapture) {
  Serve<CContinuousDouble>(CLSID_ContinuousCapture);
  const auto runOnce = [&] {
    records_->Clear();
    OrbiqWpcapSurrogate surrogate(1ms);
    surrogate.Initialize();
    EXPECT_TRUE(surrogate.WaitForSetup(20s));
    return Warnings();
  };
  const auto failure = [](const std::wstring& value) {
    return std::vector<std::wstring>{L"OrbiqWpcap initialization failed: Unable to read [" + value + L"] from registry"};
  };
  EXPECT_EQ(runOnce(), failure(L"MpcNetwork"));
  SetSetting(L"MpcNetwork", L"127.0.0.1");
  EXPECT_EQ(runOnce(), failure(L"CaptureMode"));
  SetSetting(L"CaptureMode", L"continuous");
  EXPECT_EQ(runOnce(), failure(L"DestinationFolder"));
  SetSetting(L"CaptureMode", L"sometimes");
  EXPECT_EQ(runOnce(), std::vector<std::wstring>{}) << "a mode of no meaning ends the set-up silently";
  std::lock_guard guard(record.lock);
  EXPECT_EQ(record.created, 0);
}

TEST_F(NetworkCaptureSetup, AFailingOrAbsentServiceIsTriedTenTimesWithTheErrorsDescription) {
  SetSetting(L"MpcNetwork", L"10.9.8.7");
  SetSetting(L"CaptureMode", L"flushondemand");
  {
    OrbiqWpcapSurrogate surrogate(1ms);  // no capture class anywhere
    surrogate.Initialize();
    ASSERT_TRUE(surrogate.WaitForSetup(60s));
    const auto warnings = Warnings();
    ASSERT_EQ(warnings.size(), 10u);
    EXPECT_NE(warnings[0].find(L"not registered"), std::wstring::npos) << platform::ToUtf8(warnings[0]);
    EXPECT_EQ(records_->Matching(L"capture starting").size(), 10u) << "each attempt reads the settings anew";
  }
  records_->Clear();
  Serve<COnDemandDouble>(CLSID_OnDemandCapture);
  {
    std::lock_guard guard(record.lock);
    record.startResult = E_FAIL;
    record.errorDescription = L"no interface carries the network 10.9.8.7";
  }
  OrbiqWpcapSurrogate surrogate(1ms);
  surrogate.Initialize();
  ASSERT_TRUE(surrogate.WaitForSetup(60s));
  EXPECT_EQ(Warnings(), std::vector<std::wstring>(10, L"no interface carries the network 10.9.8.7"));
  for (const auto& entry : records_->Records()) {
    if (entry.level != Logging::Level::Warning) continue;
    EXPECT_EQ(entry.source, L"TCD::OrbiqWpcapSurrogate::Initialize");
    EXPECT_EQ(entry.category, Logging::Category::Developer1);
  }
  EXPECT_NO_THROW(surrogate.Initialize()) << "a failed set-up holds no capture";
}

TEST_F(NetworkCaptureSetup, DestructionEndsASetUpThatWaitsForItsNextAttempt) {
  SetSetting(L"MpcNetwork", L"10.9.8.7");
  SetSetting(L"CaptureMode", L"continuous");
  SetSetting(L"DestinationFolder", L"/tmp");
  auto surrogate = std::make_shared<OrbiqWpcapSurrogate>(std::chrono::hours(1));
  surrogate->Initialize();
  ASSERT_TRUE(records_->WaitFor([](const Logging::Record& entry) { return entry.level == Logging::Level::Warning; },
                                20s));
  // Destroyed on a thread of its own that owns everything it uses, given up (detached) when it
  // does not end: the test then fails instead of waiting the hour.
  auto ended = std::make_shared<std::promise<void>>();
  auto done = ended->get_future();
  std::thread([surrogate = std::move(surrogate), ended]() mutable {
    surrogate.reset();
    ended->set_value();
  }).detach();
  ASSERT_EQ(done.wait_for(20s), std::future_status::ready) << "the hour's wait does not hold destruction";
}

}  // namespace
}  // namespace Talvaro::Diagnostics
