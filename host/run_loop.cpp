// Mode choice, the run loop, the class objects around it and the local server's monitor.
#include <cstdio>

#include "external/hardware/xrb_proxy.h"
#include "external/infra/string_converter.h"
#include "external/hardware/xrb_simulator.h"
#include "host/module.h"
#include "host/remoting_limits.h"
#include "host/support.h"
#include "platform/com/apartment.h"
#include "platform/com/class_table.h"
#include "platform/com/security.h"
#include "platform/kernel/message_queue.h"
#include "platform/kernel/synch.h"
#include "platform/kernel/thread.h"
#include "platform/registry/registry.h"
#include "platform/system/console.h"
#include "platform/system/last_error.h"
#include "platform/system/process.h"

namespace Talvaro::Host {
namespace {

// A string value through a buffer of 260 characters: REG_SZ or REG_EXPAND_SZ, whole characters,
// terminated.
bool ReadStringValue(HKEY key, LPCWSTR name) {
  wchar_t buffer[MAX_PATH];
  DWORD type = REG_NONE;
  DWORD size = sizeof buffer;
  if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<LPBYTE>(buffer), &size) != ERROR_SUCCESS) {
    return false;
  }
  if (type != REG_SZ && type != REG_EXPAND_SZ) return false;
  if (size == 0 || size % sizeof(wchar_t) != 0) return false;
  return buffer[size / sizeof(wchar_t) - 1] == L'\0';
}

}  // namespace

HRESULT CTalvaroCommunicationDriverModule::Start(int showCmd) {
  const auto fail = [this](LSTATUS error) {
    std::lock_guard guard(statusLock_);
    status_.dwWin32ExitCode = static_cast<DWORD>(error);
    return static_cast<HRESULT>(error);
  };
  RegistryKey appIds;
  LSTATUS error = RegOpenKeyExW(HKEY_CLASSES_ROOT, L"AppID", 0, KEY_READ, appIds.out());
  if (error != ERROR_SUCCESS) return fail(error);
  RegistryKey appId;
  error = RegOpenKeyExW(appIds.get(), kAppId, 0, KEY_READ, appId.out());
  if (error != ERROR_SUCCESS) return fail(error);
  service_ = ReadStringValue(appId.get(), L"LocalService");

  if (service_) {
    SERVICE_TABLE_ENTRYW table[] = {{serviceName_.data(), ServiceMainEntry}, {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcherW(table)) {
      std::lock_guard guard(statusLock_);
      status_.dwWin32ExitCode = GetLastError();
    }
    std::lock_guard guard(statusLock_);
    return static_cast<HRESULT>(status_.dwWin32ExitCode);
  }

  const HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  if (FAILED(hr)) {
    if (hr != RPC_E_CHANGED_MODE || !ManagedRuntimeLoaded()) return hr;
  } else {
    comInitialized_ = true;
  }
  const HRESULT exitCode = Run(showCmd);
  std::lock_guard guard(statusLock_);
  status_.dwWin32ExitCode = static_cast<DWORD>(exitCode);
  return exitCode;
}

HRESULT CTalvaroCommunicationDriverModule::Run(int showCmd) {
  HRESULT hr = PreMessageLoop(showCmd);
  if (hr == S_OK) RunMessageLoop();
  if (FAILED(hr)) return hr;
  return PostMessageLoop();
}

HRESULT CTalvaroCommunicationDriverModule::PreMessageLoop(int /*showCmd*/) {
  ApplyRemotingLimits();
  if (service_) {
    // Wide open: no authentication; any local client may call (platform/com/security.h).
    const HRESULT hr = CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_NONE,
                                            RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr);
    if (FAILED(hr)) return hr;
  }
  HRESULT hr = RegisterClassObjects(CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE | REGCLS_SUSPENDED);
  if (FAILED(hr)) return hr;
  if (hr == S_FALSE) {
    delayShutdown_ = false;
    return S_FALSE;
  }
  if (delayShutdown_) {
    shutdownEvent_.store(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    DWORD threadId = 0;
    monitorThread_ = CreateThread(nullptr, 0, MonitorProc, this, 0, &threadId);
    if (monitorThread_ == nullptr) {
      if (HANDLE event = shutdownEvent_.exchange(nullptr)) CloseHandle(event);
      RevokeClassObjects();
      return E_FAIL;
    }
  }
  if (service_) ReportRunningIfStarting();

  hr = CoResumeClassObjects();  // from here clients can create objects
  if (monitorThread_ != nullptr) {
    if (FAILED(hr)) {
      SetEvent(shutdownEvent_.load());
      WaitForSingleObject(monitorThread_, 2 * kMonitorTimeout);
    }
    CloseHandle(monitorThread_);
    monitorThread_ = nullptr;
  }
  if (FAILED(hr)) RevokeClassObjects();
  return hr;
}

void CTalvaroCommunicationDriverModule::RunMessageLoop() {
  if (debugMode_) {
    AllocConsole();
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    SetConsoleCtrlHandler(ConsoleCtrlHandler, TRUE);
    std::fputs("Talvaro Communication Driver Service is running (debug mode).\n", stdout);
    std::fputs("Starting hardware communication drivers...", stdout);
  }
  logger_->Info(logSource_, L"TalvaroCommunicationDriver Service is running.", Logging::Category::Developer1);

  // The factory's class object is registered by this process, so this reaches the singleton
  // in-process; creating it brings the hardware proxy up. A failure is not reported: the proxy
  // then starts when a client first creates the factory.
  platform::com::ComPtr<ITalvaroCommunicationDriverFactory> factory;
  if (SUCCEEDED(CoCreateInstance(CLSID_TalvaroCommunicationDriverFactory, nullptr, CLSCTX_LOCAL_SERVER,
                                 uuidof<ITalvaroCommunicationDriverFactory>, factory.PutVoid()))) {
    std::lock_guard guard(factoryLock_);
    factorySecondReference_ = factory;
    factory_ = std::move(factory);
  }
  ConnectSimulatorLog();
  // The network capture configuration sets up on a thread of its own meanwhile.
  try {
    networkCapture_->Initialize();
  } catch (const std::exception& failure) {
    logger_->Warning(logSource_, L"The network capture set-up did not start: " + Infra::ToWide(failure.what()),
                     Logging::Category::Developer1);
  }

  if (debugMode_) {
    std::fputs("started.\n\n", stdout);
    std::fputs("Press Ctrl-C to kill server...\n\n", stdout);
  }
  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  logger_->Info(logSource_, L"TalvaroCommunicationDriver Service stopped.", Logging::Category::Developer1);
}

HRESULT CTalvaroCommunicationDriverModule::PostMessageLoop() {
  const HRESULT hr = RevokeClassObjects();  // the factory's revocation takes the hardware down
  // Says whether it did: a factory that somebody still held (a client call running through the
  // stop) keeps the hardware up until the process ends.
  if (CXRBProxy::GetInstance()->GetBackend()) {
    logger_->Warning(logSource_, L"Hardware communication still runs: the driver factory is still held.",
                     Logging::Category::Developer1);
  } else {
    logger_->Info(logSource_, L"Hardware communication stopped.", Logging::Category::Developer1);
  }
  if (delayShutdown_) Sleep(kPause);
  return hr;
}

void CTalvaroCommunicationDriverModule::MonitorShutdown() {
  WaitForSingleObject(shutdownEvent_.load(), INFINITE);
  if (HANDLE event = shutdownEvent_.exchange(nullptr)) CloseHandle(event);
  PostThreadMessageW(mainThreadId_, WM_QUIT, 0, 0);
}

DWORD CTalvaroCommunicationDriverModule::MonitorProc(LPVOID module) {
  static_cast<CTalvaroCommunicationDriverModule*>(module)->MonitorShutdown();
  return 0;
}

BOOL CTalvaroCommunicationDriverModule::ConsoleCtrlHandler(DWORD ctrlType) {
  if (ctrlType == CTRL_C_EVENT || ctrlType == CTRL_BREAK_EVENT) ExitProcess(0);
  return FALSE;
}

HRESULT CTalvaroCommunicationDriverModule::RegisterClassObjects(DWORD context, DWORD flags) {
  HRESULT hr = S_FALSE;
  for (std::size_t i = 0; i < ClassTable().size(); ++i) {
    platform::com::ComPtr<IUnknown> classObject;
    hr = ClassTable()[i].createClassObject(&classObject);
    if (FAILED(hr)) return hr;
    hr = CoRegisterClassObject(ClassTable()[i].clsid, classObject.Get(), context, flags, &cookies_[i]);
    if (FAILED(hr)) return hr;
  }
  return hr;
}

HRESULT CTalvaroCommunicationDriverModule::RevokeClassObjects() {
  for (DWORD& cookie : cookies_) {
    if (cookie == 0) continue;
    const HRESULT hr = CoRevokeClassObject(cookie);
    if (FAILED(hr)) return hr;
    cookie = 0;
  }
  return S_OK;
}

void CTalvaroCommunicationDriverModule::ConnectSimulatorLog() {
  // The simulator is the proxy's backend while it is up; its "list" and "help" output goes to
  // the driver log. A backend that a later start of the proxy makes has no sink.
  auto simulator = std::dynamic_pointer_cast<OrbiqCommunicationLibrary::Simulator::XRBSimulator>(
      CXRBProxy::GetInstance()->GetBackend());
  if (!simulator) return;
  simulator->SetLogSink([logger = logger_](const std::wstring& line) {
    logger->Info(L"TCD::XRBSimulator", line, Logging::Category::Communication);
  });
}

}  // namespace Talvaro::Host
