#include "diagnostics/orbiq_wpcap_surrogate.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <limits>
#include <stdexcept>
#include <vector>

#include "common/driver_logger.h"
#include "diagnostics/performance_logger.h"
#include "external/infra/string_converter.h"
#include "platform/automation/bstr.h"
#include "platform/com/class_table.h"
#include "platform/com/error_info.h"
#include "platform/com/ole_run.h"
#include "platform/registry/registry.h"
#include "platform/system/code_page.h"

namespace Talvaro::Diagnostics {
namespace {

using platform::com::ComPtr;

const std::string kSettingsKey = "SOFTWARE\\TALVARO\\Orbiq\\TalvaroCommunicationDriver\\WinPcap\\";
constexpr int kAttempts = 10;
constexpr ULONG kDumpFileSize = 104857600;
constexpr ULONG kOnDemandBufferSize = 20971520;
constexpr std::int32_t kDefaultDumpCount = 300;
constexpr std::int32_t kDefaultRetentionDays = 7;

// A failed component-model call: its status and the error information it left, if any.
struct ComponentError {
  HRESULT code;
  ComPtr<IErrorInfo> info;
};

std::wstring Source(const wchar_t* member) { return std::wstring(L"TCD::OrbiqWpcapSurrogate::") + member; }

// Registry texts are UTF-8; the converter never fails (malformed bytes become U+FFFD).
std::wstring Wide(const std::string& text) { return Infra::ToWide(text); }

void LogSetting(const wchar_t* member, const std::wstring& message) {
  Common::GetDriverLogger()->Info(Source(member), message, Logging::Category::Communication);
}

void LogRegistryReadFailure(const wchar_t* member, const std::wstring& valueName) {
  Common::GetDriverLogger()->Warning(
      Source(member), L"OrbiqWpcap initialization failed: Unable to read [" + valueName + L"] from registry",
      Logging::Category::Developer1);
}

void LogCaptureStart(const wchar_t* member, const std::wstring& mode, const std::string& network) {
  LogSetting(member, L"OrbiqWpcap capture starting in " + mode + L" mode. Network IP: " + Wide(network));
}

// The error's description, or the system's text of its code when it has none.
std::wstring Described(const ComponentError& error) {
  if (error.info) {
    wchar_t* description = nullptr;
    std::wstring text;
    if (SUCCEEDED(error.info->GetDescription(&description)) && description != nullptr) text = description;
    SysFreeString(description);
    if (!text.empty()) return text;
  }
  return Orbiq::Utils::PerformanceMonitoring::ErrorText(error.code);
}

// A BSTR of a byte string, through the ANSI code page.
platform::automation::Bstr AnsiBstr(const std::string& text) {
  const int needed = MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, nullptr, 0);
  std::vector<wchar_t> wide(static_cast<std::size_t>(needed > 0 ? needed : 1), L'\0');
  if (needed > 0) MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, wide.data(), needed);
  return platform::automation::Bstr(wide.data());
}

// strtol's reading of a decimal count: leading blanks and a sign, digits up to the first other
// character. Nothing without digits or beyond 32 bits.
bool ParseCount(const std::string& text, std::int32_t* value) {
  errno = 0;
  char* end = nullptr;
  const long long parsed = std::strtoll(text.c_str(), &end, 10);
  if (end == text.c_str() || errno == ERANGE || parsed < std::numeric_limits<std::int32_t>::min() ||
      parsed > std::numeric_limits<std::int32_t>::max()) {
    return false;
  }
  *value = static_cast<std::int32_t>(parsed);
  return true;
}

struct CountTexts {
  const wchar_t* member;
  const char* valueName;
  std::int32_t fallback;
  const wchar_t* missing;
  const wchar_t* failed;
  const wchar_t* found;
};

std::int32_t ReadCount(const CountTexts& texts) {
  const std::string text = OrbiqWpcapSurrogate::ReadRegistryStringA(kSettingsKey, texts.valueName);
  std::int32_t value = 0;
  if (text.empty()) {
    LogSetting(texts.member, texts.missing + std::to_wstring(texts.fallback));
    return texts.fallback;
  }
  if (!ParseCount(text, &value)) {
    LogSetting(texts.member, texts.failed + std::to_wstring(texts.fallback));
    return texts.fallback;
  }
  LogSetting(texts.member, texts.found + std::to_wstring(value));
  return value;
}

// Creates `clsid` in a local server, runs it and asks it for `Interface`; the failures other than
// a missing interface are raised.
template <class Interface>
ComPtr<Interface> CreateRunningCapture(REFCLSID clsid) {
  ComPtr<IUnknown> object;
  HRESULT hr = CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown, object.PutVoid());
  if (SUCCEEDED(hr)) hr = OleRun(object.Get());
  ComPtr<Interface> capture;
  if (SUCCEEDED(hr)) hr = object->QueryInterface(uuidof<Interface>, capture.PutVoid());
  if (FAILED(hr) && hr != E_NOINTERFACE) throw ComponentError{hr, nullptr};
  return capture;
}

// A failed capture call, with the error information it left.
void RaiseIfFailed(HRESULT hr) {
  if (SUCCEEDED(hr)) return;
  ComponentError error{hr, nullptr};
  GetErrorInfo(0, error.info.Put());
  throw error;
}

}  // namespace

OrbiqWpcapSurrogate::OrbiqWpcapSurrogate(std::chrono::milliseconds retryDelay) : retryDelay_(retryDelay) {}

OrbiqWpcapSurrogate::~OrbiqWpcapSurrogate() {
  {
    std::lock_guard guard(stateLock_);
    stopping_ = true;
  }
  stateChanged_.notify_all();
  for (auto& setup : setups_) setup.join();
  ComPtr<IContinuousCapture> continuous;
  ComPtr<IOnDemandCapture> onDemand;
  {
    std::lock_guard guard(captureLock_);
    continuous = std::move(continuousCapture_);
    onDemand = std::move(onDemandCapture_);
  }
  if (continuous && FAILED(continuous->StopCapture())) {
    Common::GetDriverLogger()->Warning(Source(L"~OrbiqWpcapSurrogate"), L"Stopping the continuous capture failed",
                                       Logging::Category::Developer1);
  }
  onDemand = nullptr;
  continuous = nullptr;
}

void OrbiqWpcapSurrogate::Initialize() {
  {
    std::lock_guard guard(captureLock_);
    if (continuousCapture_ || onDemandCapture_) throw std::runtime_error("already initialized");
  }
  {
    std::lock_guard guard(stateLock_);
    ++running_;
  }
  try {
    setups_.emplace_back([this] { RunCaptureSetup(); });
  } catch (...) {
    std::lock_guard guard(stateLock_);
    --running_;
    throw;
  }
}

std::string OrbiqWpcapSurrogate::ReadRegistryStringA(const std::string& keyPath, const std::string& valueName) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return {};
  DWORD type = 0;
  DWORD size = 0;
  std::string text;
  if (RegQueryValueExA(key, valueName.c_str(), nullptr, &type, nullptr, &size) == ERROR_SUCCESS && type == REG_SZ) {
    std::vector<char> data(size + 1, '\0');
    if (RegQueryValueExA(key, valueName.c_str(), nullptr, &type, reinterpret_cast<LPBYTE>(data.data()), &size) ==
        ERROR_SUCCESS) {
      text = data.data();  // up to the first NUL
    }
  }
  RegCloseKey(key);
  return text;
}

std::string OrbiqWpcapSurrogate::GetCaptureModeFromRegistry() {
  std::string mode = ReadRegistryStringA(kSettingsKey, "CaptureMode");
  for (char& c : mode) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return mode;
}

std::string OrbiqWpcapSurrogate::GetDestinationFromRegistry() {
  std::string folder = ReadRegistryStringA(kSettingsKey, "DestinationFolder");
  if (!folder.empty()) {
    LogSetting(L"GetDestinationFromRegistry", L"Destination folder will be set to: " + Wide(folder));
  }
  return folder;
}

std::string OrbiqWpcapSurrogate::GetCaptureFilterFromRegistry() {
  std::string filter = ReadRegistryStringA(kSettingsKey, "CaptureFilter");
  if (filter.empty()) {
    LogSetting(L"GetCaptureFilterFromRegistry", L"No capture filter will be applied");
  } else {
    LogSetting(L"GetCaptureFilterFromRegistry", L"Capture filter will be applied: \"" + Wide(filter) + L"\"");
  }
  return filter;
}

std::int32_t OrbiqWpcapSurrogate::GetDumpCountFromRegistry() {
  return ReadCount({L"GetDumpCountFromRegistry", "DumpCount", kDefaultDumpCount,
                    L"Dump count not specified, using default dump count value: ",
                    L"Dump count value conversion failed, using default dump count value: ",
                    L"Dump count value will be set to: "});
}

std::int32_t OrbiqWpcapSurrogate::GetDumpRetentionDaysFromRegistry() {
  return ReadCount({L"GetDumpRetentionDaysFromRegistry", "DumpRetentionDays", kDefaultRetentionDays,
                    L"Dump retention period (days) not specified, using default value: ",
                    L"Dump retention period (days) conversion failed, using default value: ",
                    L"Dump retention period (days) will be set to: "});
}

void OrbiqWpcapSurrogate::RunCaptureSetup() {
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    try {
      const std::string network = ReadRegistryStringA(kSettingsKey, "MpcNetwork");
      const std::string mode = GetCaptureModeFromRegistry();
      if (network.empty()) {
        LogRegistryReadFailure(L"RunCaptureSetup", L"MpcNetwork");
        break;
      }
      if (mode.empty()) {
        LogRegistryReadFailure(L"RunCaptureSetup", L"CaptureMode");
        break;
      }
      if (mode == "flushondemand") InitializeOnDemandMode(network);
      if (mode == "continuous") InitializeContinuousMode(network);
      break;  // set up, a setting missing, or a mode of no meaning
    } catch (const ComponentError& error) {
      Common::GetDriverLogger()->Warning(Source(L"Initialize"), Described(error), Logging::Category::Developer1);
      ReleaseCaptures();
      if (!WaitBeforeRetry()) break;
    }
  }
  std::lock_guard guard(stateLock_);
  --running_;
  stateChanged_.notify_all();
}

void OrbiqWpcapSurrogate::InitializeContinuousMode(const std::string& network) {
  const std::string folder = GetDestinationFromRegistry();
  if (folder.empty()) {
    LogRegistryReadFailure(L"InitializeContinuousMode", L"DestinationFolder");
    return;
  }
  const std::string filter = GetCaptureFilterFromRegistry();
  const std::int32_t dumpCount = GetDumpCountFromRegistry();
  const std::int32_t retentionDays = GetDumpRetentionDaysFromRegistry();
  LogCaptureStart(L"InitializeContinuousMode", L"continuous", network);
  auto capture = CreateRunningCapture<IContinuousCapture>(CLSID_ContinuousCapture);
  {
    std::lock_guard guard(captureLock_);
    continuousCapture_ = capture;
  }
  if (!capture) throw ComponentError{E_POINTER, nullptr};  // the class lacks the interface
  auto networkText = AnsiBstr(network), filterText = AnsiBstr(filter), folderText = AnsiBstr(folder);
  RaiseIfFailed(capture->StartCapture(networkText.Get(), filterText.Get(), kDumpFileSize, dumpCount, folderText.Get(),
                                      retentionDays));
}

void OrbiqWpcapSurrogate::InitializeOnDemandMode(const std::string& network) {
  LogCaptureStart(L"InitializeOnDemandMode", L"on demand", network);
  auto capture = CreateRunningCapture<IOnDemandCapture>(CLSID_OnDemandCapture);
  {
    std::lock_guard guard(captureLock_);
    onDemandCapture_ = capture;
  }
  if (!capture) throw ComponentError{E_POINTER, nullptr};
  auto networkText = AnsiBstr(network);
  RaiseIfFailed(capture->StartCapture(networkText.Get(), kOnDemandBufferSize));
}

void OrbiqWpcapSurrogate::ReleaseCaptures() {
  ComPtr<IContinuousCapture> continuous;
  ComPtr<IOnDemandCapture> onDemand;
  {
    std::lock_guard guard(captureLock_);
    continuous = std::move(continuousCapture_);
    onDemand = std::move(onDemandCapture_);
  }
  // Released outside the lock: a release may call out to the capture service.
}

bool OrbiqWpcapSurrogate::WaitBeforeRetry() {
  std::unique_lock guard(stateLock_);
  return !stateChanged_.wait_for(guard, retryDelay_, [this] { return stopping_; });
}

bool OrbiqWpcapSurrogate::WaitForSetup(std::chrono::milliseconds timeout) {
  std::unique_lock guard(stateLock_);
  return stateChanged_.wait_for(guard, timeout, [this] { return running_ == 0; });
}

}  // namespace Talvaro::Diagnostics
