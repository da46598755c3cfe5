// Performance monitoring against the real monitor service: tcdperfmon registered in the test's
// own registry and launched through LocalServer32 by the connector's activation.
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "diagnostics/performance_connector.h"
#include "diagnostics/performance_logger.h"
#include "diagnostics/performance_tools.h"
#include "external/logging/logger.h"
#include "external/logging/record_sink.h"
#include "platform/automation/dispatch.h"
#include "platform/automation/variant.h"
#include "platform/com/apartment.h"
#include "platform/com/class_table.h"
#include "platform/com/com_ptr.h"
#include "platform/kernel/create_process.h"
#include "platform/kernel/synch.h"
#include "platform/registry/registry.h"
#include "platform/remoting/endpoints.h"
#include "platform/types/wide_string.h"
#include "tests/support/environment/registry_values.h"
#include "tests/support/wait/wait_until.h"
#include "tools/tcdperfmon/monitor_object.h"

namespace Talvaro::Orbiq::Utils::PerformanceMonitoring {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using platform::com::ComPtr;
using PerformanceMonitorService::CLSID_PerformanceMonitor;

// Runs tcdperfmon with `option` and returns its exit code.
DWORD RunMonitor(const std::wstring& option) {
  std::wstring line = L"\"" + platform::FromUtf8(TCDPERFMON_BINARY) + L"\" " + option;
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) return ~0u;
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = ~0u;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hProcess);
  CloseHandle(process.hThread);
  return code;
}


std::string ReadAll(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<fs::path> Flushes() {
  std::vector<fs::path> folders;
  std::error_code missing;
  for (const auto& entry : fs::directory_iterator(Logging::LogDirectory() / "flushes", missing)) {
    folders.push_back(entry.path());
  }
  std::sort(folders.begin(), folders.end());
  return folders;
}

class MonitorService : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(RunMonitor(L"--register"), 0u);
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    Logging::AttachRecordSink(records_);
  }
  void TearDown() override {
    Logging::DetachRecordSink(records_);
    // A service still serving (a failed test) is ended by its id, as published.
    if (const auto endpoint = platform::remoting::ReadClassFile(CLSID_PerformanceMonitor)) ::kill(endpoint->pid, SIGKILL);
    CoUninitialize();
  }

  // Waits until no service publishes the class any more: it ended after its last client.
  bool ServiceEnded() const {
    return Testing::WaitUntil([] { return !platform::remoting::ReadClassFile(CLSID_PerformanceMonitor); }, 20s);
  }

  std::shared_ptr<Logging::RecordCollector> records_ = std::make_shared<Logging::RecordCollector>();
};

TEST_F(MonitorService, ASlowOperationLeavesAFlushFolderWithTheLogsAndTheIssue) {
  Talvaro::Testing::SetRegistryDword(L"SOFTWARE\\TALVARO\\ORBIQ\\PerformanceMonitoring", L"Enabled", 1);
  Talvaro::Testing::SetRegistryDword(L"SOFTWARE\\TALVARO\\ORBIQ\\PerformanceMonitoring", L"CommunicationDelayThresholdInMs", 10);
  PerformanceTools tools(std::make_unique<Connector>(), std::make_unique<RegistryConfigProvider>());
  tools.MeasureExecutionVoid(L"CCommunicationDriver::OnData - [XRB_A]", [] { std::this_thread::sleep_for(40ms); });

  std::vector<std::wstring> texts;
  for (const auto& record : records_->Records()) texts.push_back(record.text);
  ASSERT_EQ(texts.size(), 3u);
  const std::wstring issue = texts[0];
  EXPECT_EQ(issue.rfind(L"Action [CCommunicationDriver::OnData - [XRB_A]] took longer than expected. Maximum tolerated "
                        L"duration: [10 ms], Actual duration: [",
                        0),
            0u);
  EXPECT_EQ(texts[1], L"Call to TALVAROPerformanceMonitorService successfull.");
  EXPECT_EQ(records_->Records()[1].source, kConnectorSource);
  EXPECT_EQ(records_->Records()[1].level, Logging::Level::Info);
  EXPECT_EQ(texts[2], L"Performance monitor flush has been triggered successfully.");

  const auto folders = Flushes();
  ASSERT_EQ(folders.size(), 1u);
  EXPECT_EQ(ReadAll(folders[0] / "request.txt"), platform::ToUtf8(issue) + "\n");
  EXPECT_NE(ReadAll(folders[0] / "PerformanceMonitoring.log").find(platform::ToUtf8(issue)), std::string::npos)
      << "the monitoring log as it was at the flush";
  EXPECT_TRUE(ServiceEnded());
}

// FlushingLogsAsync called as a client of any language would: the out string is the folder.
class DirectCalls : public MonitorService {
 protected:
  void SetUp() override {
    MonitorService::SetUp();
    ASSERT_EQ(CoCreateInstance(CLSID_PerformanceMonitor, nullptr, CLSCTX_LOCAL_SERVER, IID_IDispatch,
                               monitor_.PutVoid()),
              S_OK);
  }
  void TearDown() override {
    monitor_ = nullptr;
    EXPECT_TRUE(ServiceEnded()) << "ends when its last client has gone";
    MonitorService::TearDown();
  }

  // Takes the arguments (last first, as Invoke wants them) and clears them after the call.
  HRESULT Flush(std::vector<VARIANT> arguments, UINT* argumentError = nullptr) {
    DISPPARAMS params{arguments.data(), nullptr, static_cast<UINT>(arguments.size()), 0};
    const HRESULT hr = monitor_->Invoke(PerformanceMonitorService::kFlushingLogsAsync, IID_NULL, LOCALE_USER_DEFAULT,
                                        DISPATCH_METHOD, &params, nullptr, nullptr, argumentError);
    for (auto& argument : arguments) VariantClear(&argument);
    return hr;
  }

  ComPtr<IDispatch> monitor_;
};

VARIANT Text(const wchar_t* text) {
  VARIANT value;
  VariantInit(&value);
  value.vt = VT_BSTR;
  value.bstrVal = SysAllocString(text);
  return value;
}

VARIANT Integer(LONG number) {
  VARIANT value;
  VariantInit(&value);
  value.vt = VT_I4;
  value.lVal = number;
  return value;
}

VARIANT Reference(BSTR* text) {
  VARIANT value;
  VariantInit(&value);
  value.vt = VT_BSTR | VT_BYREF;
  value.pbstrVal = text;
  return value;
}

TEST_F(DirectCalls, TheOutStringNamesTheFolderAndOnlyTheConfiguredNumberStays) {
  Talvaro::Testing::SetRegistryDword(L"SOFTWARE\\TALVARO\\ORBIQ\\PerformanceMonitorService", L"KeptFlushes", 2);
  monitor_ = nullptr;  // the setting is read when the service starts
  ASSERT_TRUE(ServiceEnded());
  ASSERT_EQ(CoCreateInstance(CLSID_PerformanceMonitor, nullptr, CLSCTX_LOCAL_SERVER, IID_IDispatch, monitor_.PutVoid()),
            S_OK);
  std::vector<std::wstring> answers;
  for (const wchar_t* issue : {L"first", L"second", L"third"}) {
    BSTR answer = SysAllocString(L"");
    ASSERT_EQ(Flush({Reference(&answer), Integer(1), Text(issue)}), S_OK);
    answers.emplace_back(answer, SysStringLen(answer));
    SysFreeString(answer);
  }
  const auto folders = Flushes();
  ASSERT_EQ(folders.size(), 2u) << "the oldest went";
  EXPECT_EQ(folders[0].wstring(), answers[1]);
  EXPECT_EQ(folders[1].wstring(), answers[2]);
  EXPECT_EQ(ReadAll(folders[1] / "request.txt"), "third\n");
}

TEST_F(DirectCalls, BadRequestsGetTheDispatchCodes) {
  LPOLESTR unknown[] = {const_cast<LPOLESTR>(L"FlushLogs")};
  DISPID id = 0;
  EXPECT_EQ(monitor_->GetIDsOfNames(IID_NULL, unknown, 1, LOCALE_USER_DEFAULT, &id), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(id, DISPID_UNKNOWN);
  LPOLESTR known[] = {const_cast<LPOLESTR>(L"flushinglogsasync")};
  EXPECT_EQ(monitor_->GetIDsOfNames(IID_NULL, known, 1, LOCALE_USER_DEFAULT, &id), S_OK);
  EXPECT_EQ(id, PerformanceMonitorService::kFlushingLogsAsync);

  EXPECT_EQ(Flush({Integer(1), Text(L"issue")}), DISP_E_BADPARAMCOUNT);
  BSTR answer = nullptr;
  UINT argumentError = 99;
  EXPECT_EQ(Flush({Text(L"not by reference"), Integer(1), Text(L"issue")}, &argumentError), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(argumentError, 0u);
  EXPECT_EQ(Flush({Reference(&answer), Text(L"1"), Text(L"issue")}, &argumentError), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(argumentError, 1u);
  EXPECT_EQ(Flush({Reference(&answer), Integer(1), Integer(2)}, &argumentError), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(argumentError, 2u);
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  EXPECT_EQ(monitor_->Invoke(7, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &none, nullptr, nullptr, nullptr),
            DISP_E_MEMBERNOTFOUND);
  EXPECT_TRUE(Flushes().empty()) << "nothing flushed";
  EXPECT_EQ(answer, nullptr);
}

}  // namespace
}  // namespace Talvaro::Orbiq::Utils::PerformanceMonitoring
