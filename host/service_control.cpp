// The service entry, its control handler and stop request, status reports and the event log.
#include <cstdarg>
#include <cstdio>
#include <cwchar>
#include <vector>

#include "host/module.h"
#include "host/support.h"
#include "platform/com/apartment.h"
#include "platform/com/disconnect.h"
#include "platform/kernel/message_queue.h"
#include "platform/kernel/thread.h"
#include "platform/service/event_log.h"
#include "platform/system/process.h"
#include "platform/types/wide_string.h"

namespace Talvaro::Host {
namespace {

constexpr std::size_t kEventTextLimit = 256;  // characters, terminator included

// printf-style text; an encoding error gives an empty text.
std::wstring Format(LPCWSTR format, va_list arguments) {
  std::vector<wchar_t> buffer(kEventTextLimit);
  for (;;) {
    va_list copy;
    va_copy(copy, arguments);
    const int written = std::vswprintf(buffer.data(), buffer.size(), format, copy);
    va_end(copy);
    if (written >= 0) return std::wstring(buffer.data(), static_cast<std::size_t>(written));
    if (buffer.size() >= (1u << 20)) return {};  // not a question of room
    buffer.resize(buffer.size() * 4);
  }
}

}  // namespace

void CTalvaroCommunicationDriverModule::ServiceMainEntry(DWORD argc, LPWSTR* argv) {
  Instance()->ServiceMain(argc, argv);
}

void CTalvaroCommunicationDriverModule::HandlerEntry(DWORD control) { Instance()->Handler(control); }

void CTalvaroCommunicationDriverModule::ServiceMain(DWORD /*argc*/, LPWSTR* /*argv*/) {
  currentState_.store(SERVICE_START_PENDING);
  serviceThreadId_.store(GetCurrentThreadId());
  // This thread's message queue exists from now on: a stop during start-up posts its quit
  // message before the loop first asks for one.
  MSG message;
  PeekMessageW(&message, nullptr, WM_USER, WM_USER, PM_NOREMOVE);

  const SERVICE_STATUS_HANDLE handle = RegisterServiceCtrlHandlerW(serviceName_.c_str(), HandlerEntry);
  if (handle == nullptr) {
    LogEvent(L"Handler not installed");
    return;
  }
  statusHandle_.store(handle);
  SetServiceStatus(SERVICE_START_PENDING);
  {
    std::lock_guard guard(statusLock_);
    status_.dwWin32ExitCode = S_OK;
    status_.dwCheckPoint = 0;
    status_.dwWaitHint = 0;
  }

  const HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  if (FAILED(hr)) {
    if (hr != RPC_E_CHANGED_MODE || !ManagedRuntimeLoaded()) return;
  } else {
    comInitialized_ = true;
  }
  delayShutdown_ = false;  // no monitor thread in service mode
  const HRESULT exitCode = Run(SW_HIDE);
  {
    std::lock_guard guard(statusLock_);
    status_.dwWin32ExitCode = static_cast<DWORD>(exitCode);
  }
  if (service_ && comInitialized_) {
    CoUninitialize();
    comInitialized_ = false;
  }
  SetServiceStatus(SERVICE_STOPPED);
  LogEvent(L"Service stopped");
}

void CTalvaroCommunicationDriverModule::Handler(DWORD control) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
      OnStop();
      break;
    case SERVICE_CONTROL_PAUSE:
    case SERVICE_CONTROL_CONTINUE:
    case SERVICE_CONTROL_INTERROGATE:
    case SERVICE_CONTROL_SHUTDOWN:
      break;
    default:
      LogEvent(L"Bad service request");
      break;
  }
}

void CTalvaroCommunicationDriverModule::OnStop() {
  SetServiceStatus(SERVICE_STOP_PENDING);
  if (debugMode_) std::fputs("Stopping driver...", stdout);
  ReleaseFactory();
  if (debugMode_) std::fputs(" stopped.\n", stdout);
  PostThreadMessageW(serviceThreadId_.load(), WM_QUIT, 0, 0);
  if (HANDLE guard = singleInstanceEvent_.exchange(nullptr)) CloseHandle(guard);
}

void CTalvaroCommunicationDriverModule::ReleaseFactory() {
  // Clients still connected hold the factory through the remoting runtime; dropping only the
  // module's two references would leave it alive past revocation, the hardware proxy never
  // finished. Disconnecting its stubs gives their references back here, before ours go, so the
  // class object's is the last and its revocation destroys the factory (docs/host.md). Their
  // later calls on it fail with RPC_E_DISCONNECTED; the driver objects they made stay theirs.
  platform::com::ComPtr<ITalvaroCommunicationDriverFactory> first;
  platform::com::ComPtr<ITalvaroCommunicationDriverFactory> second;
  {
    std::lock_guard guard(factoryLock_);
    first = std::move(factory_);
    second = std::move(factorySecondReference_);
  }
  if (first) CoDisconnectObject(first.Get(), 0);
  second = nullptr;
  first = nullptr;
}

void CTalvaroCommunicationDriverModule::SetServiceStatus(DWORD state) {
  currentState_.exchange(state);
  ReportStatus();
}

void CTalvaroCommunicationDriverModule::ReportRunningIfStarting() {
  DWORD expected = SERVICE_START_PENDING;
  if (currentState_.compare_exchange_strong(expected, SERVICE_RUNNING)) {
    LogEvent(L"Service started/resumed");
    ReportStatus();
  }
}

void CTalvaroCommunicationDriverModule::ReportStatus() {
  SERVICE_STATUS record;
  {
    std::lock_guard guard(statusLock_);
    record = status_;
  }
  record.dwCurrentState = currentState_.load();
  ::SetServiceStatus(statusHandle_.load(), &record);
}

void CTalvaroCommunicationDriverModule::LogEvent(LPCWSTR format, ...) {
  va_list arguments;
  va_start(arguments, format);
  std::wstring text = Format(format, arguments);
  va_end(arguments);
  if (text.size() > kEventTextLimit - 1) text.resize(kEventTextLimit - 1);

  if (!service_) std::fputs((platform::ToUtf8(text) + "\n").c_str(), stdout);
  HANDLE source = RegisterEventSourceW(nullptr, serviceName_.c_str());
  if (source != nullptr) {
    LPCWSTR strings[] = {text.c_str()};
    ReportEventW(source, EVENTLOG_INFORMATION_TYPE, 0, 0, nullptr, 1, 0, strings, nullptr);
    DeregisterEventSource(source);
  }
}

}  // namespace Talvaro::Host
