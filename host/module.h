// CTalvaroCommunicationDriverModule: the process-wide object of the service host. One instance
// exists while the process runs its entry (main() creates it before and destroys it after);
// it is the server module that component objects count on (platform/com/module.h).
//
// Its work is split by job: module.cpp (fields, the six virtual operations, the class table),
// entry.cpp (process entry, command line, single-instance guard), run_loop.cpp (mode choice,
// run loop, class objects, monitor), service_control.cpp (service entry, controls, status,
// event log), installation.cpp (registration and the service's installation).
//
// Threads, in service mode: the entry thread parses and then stays in the service dispatcher,
// where Handler and OnStop run; ServiceMain, Run and the loop run on the service thread. In
// local-server mode the entry thread runs the loop, the monitor thread waits for the last
// server reference, and the console control thread ends the process on Ctrl-C.
#pragma once

#include <array>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "diagnostics/orbiq_wpcap_surrogate.h"
#include "external/logging/logger.h"
#include "interfaces/driver_factory.h"
#include "platform/com/com_ptr.h"
#include "platform/com/global_interface_table.h"
#include "platform/com/module.h"
#include "platform/service/service.h"

namespace Talvaro::Host {

class Registrar;

class CTalvaroCommunicationDriverModule final : public platform::com::ServerModule {
 public:
  static constexpr DWORD kMonitorTimeout = 5000;  // ms
  static constexpr DWORD kPause = 1000;           // ms, after the loop in local-server mode
  static constexpr const wchar_t* kAppId = L"{BF272D41-684D-4A91-8170-D4298DF8A5CD}";

  // Installs itself as the process's module; the one instance there may be at a time.
  CTalvaroCommunicationDriverModule();
  ~CTalvaroCommunicationDriverModule() override;
  CTalvaroCommunicationDriverModule(const CTalvaroCommunicationDriverModule&) = delete;
  CTalvaroCommunicationDriverModule& operator=(const CTalvaroCommunicationDriverModule&) = delete;

  // The living instance, for the callbacks that the platform calls without context.
  static CTalvaroCommunicationDriverModule* Instance();

  // ---- Virtual operations (module.cpp). Any thread. ----
  LONG Lock() override;
  LONG Unlock() override;
  LONG GetLockCount() override;
  HRESULT GetGITPtr(IGlobalInterfaceTable** git);
  HRESULT AddCommonRGSReplacements(Registrar& registrar);

  // ---- Entry and command line (entry.cpp). Entry thread. ----
  int WinMain(int showCmd);
  bool ParseCommandLine(LPCWSTR commandLine, HRESULT* result);
  bool CheckSingleInstance();

  // ---- Mode choice and run loop (run_loop.cpp). Entry thread or service thread. ----
  HRESULT Start(int showCmd);
  HRESULT Run(int showCmd);
  HRESULT PreMessageLoop(int showCmd);
  void RunMessageLoop();
  HRESULT PostMessageLoop();
  void MonitorShutdown();  // the monitor thread's body
  static BOOL ConsoleCtrlHandler(DWORD ctrlType);  // console control thread

  // ---- Service control (service_control.cpp). ----
  void ServiceMain(DWORD argc, LPWSTR* argv);  // service thread
  void Handler(DWORD control);                 // dispatcher thread
  void OnStop();                               // dispatcher thread
  // Stores the state (atomic exchange), then reports the whole record. Any thread.
  void SetServiceStatus(DWORD state);
  // The start-pending-to-running step of PreMessageLoop: only a start-pending state becomes
  // running (compare-exchange), and only then "Service started/resumed" is written and the
  // status reported, so that a stop during start-up wins. Service thread.
  void ReportRunningIfStarting();
  // printf-style; one information record, cut to 255 characters. Any thread.
  void LogEvent(LPCWSTR format, ...);
  // Says on stderr, in the log and in the event log that the registry file is damaged.
  void ReportDamagedRegistry();

  // ---- Installation and registration (installation.cpp). Entry thread. ----
  HRESULT RegisterAppId(bool service);
  HRESULT UnregisterAppId();
  HRESULT RegisterServer(REFCLSID clsid);
  HRESULT UnregisterServer(REFCLSID clsid);
  bool Install();
  bool Uninstall();
  bool IsInstalled();
  void ConfigureService();  // automatic start and description, after /Service

  // ---- State, for the entry and for tests. ----
  DWORD CurrentServiceState() const { return currentState_.load(); }
  bool IsServiceMode() const { return service_; }
  void SetServiceMode(bool service) { service_ = service; }
  bool IsDebugMode() const { return debugMode_; }
  const std::wstring& ServiceName() const { return serviceName_; }

 private:
  // One class the module serves: its class object and its registry script.
  struct ClassEntry {
    CLSID clsid;
    HRESULT (*createClassObject)(platform::com::ComPtr<IUnknown>* classObject);
    UINT registryScript;
    void (*classHook)(bool starting);  // start (true) and stop (false) hook
  };
  static const std::array<ClassEntry, 4>& ClassTable();

  // Runs the script of `resourceId` with the common replacements and "Module"/"Module_Raw".
  HRESULT UpdateRegistryFromResource(UINT resourceId, bool registering);
  HRESULT RegisterClassObjects(DWORD context, DWORD flags);
  HRESULT RevokeClassObjects();
  void ReportStatus();
  void ReleaseFactory();
  void ConnectSimulatorLog();
  static DWORD MonitorProc(LPVOID module);
  static void ServiceMainEntry(DWORD argc, LPWSTR* argv);
  static void HandlerEntry(DWORD control);

  HRESULT initResult_ = S_OK;  // a construction failure ends the entry with -1

  std::shared_ptr<Logging::ILogger> logger_;
  std::wstring logSource_;

  // Server reference count: in service mode Unlock only decrements it.
  std::atomic<LONG> lockCount_{0};
  const DWORD mainThreadId_;  // the constructing thread; the monitor posts the quit message to it

  // Local-server mode only. The event is signalled by Unlock (any thread) and closed by the
  // monitor thread, hence atomic; the thread handle is the entry thread's alone.
  std::atomic<HANDLE> shutdownEvent_{nullptr};
  HANDLE monitorThread_ = nullptr;

  std::atomic<bool> delayShutdown_{true};
  std::atomic<bool> activity_{false};
  // Set by the thread that initialized the library (entry thread in local-server mode, service
  // thread in service mode) and read by the entry after the dispatcher has joined that thread.
  bool comInitialized_ = false;

  std::wstring serviceName_;  // set at construction, then only read

  // The service-status record. The state is written by exchange / compare-exchange from both
  // the dispatcher and the service thread; statusLock_ guards the other fields.
  std::atomic<SERVICE_STATUS_HANDLE> statusHandle_{nullptr};
  std::atomic<DWORD> currentState_{SERVICE_STOPPED};
  std::mutex statusLock_;
  SERVICE_STATUS status_{};  // dwCurrentState unused: currentState_ is the state

  bool service_ = true;                   // set by Start before any other thread exists
  std::atomic<DWORD> serviceThreadId_{0};  // set by ServiceMain, read by OnStop
  bool debugMode_ = false;                // set while parsing, then only read

  // The objects the module owns for the life of the process, released first by its destruction.
  // The network capture configuration: started by the run loop.
  std::unique_ptr<Diagnostics::OrbiqWpcapSurrogate> networkCapture_ = std::make_unique<Diagnostics::OrbiqWpcapSurrogate>();

  // The factory held by the run loop: two references. Set on the service thread, dropped by
  // OnStop on the dispatcher thread; factoryLock_ guards both (never held while releasing).
  std::mutex factoryLock_;
  platform::com::ComPtr<ITalvaroCommunicationDriverFactory> factory_;
  platform::com::ComPtr<ITalvaroCommunicationDriverFactory> factorySecondReference_;

  // The guard: taken on the entry thread, closed by OnStop on the dispatcher thread.
  std::atomic<HANDLE> singleInstanceEvent_{nullptr};

  std::mutex gitLock_;  // guards git_
  platform::com::ComPtr<IGlobalInterfaceTable> git_;

  // Registration cookies in class-table order; service or entry thread only.
  std::array<DWORD, 4> cookies_{};
};

}  // namespace Talvaro::Host
