#include "host/module.h"

#include <atomic>

#include "common/driver_logger.h"
#include "external/infra/exception_factory.h"
#include "host/registrar.h"
#include "host/resources.h"
#include "interfaces/application_lifecycle.h"
#include "interfaces/communication_driver.h"
#include "interfaces/registration_observer.h"
#include "objects/class_objects.h"
#include "platform/com/class_table.h"
#include "platform/com/server_process.h"
#include "platform/kernel/message_queue.h"
#include "platform/kernel/synch.h"
#include "platform/kernel/thread.h"

namespace Talvaro::Host {
namespace {

std::atomic<CTalvaroCommunicationDriverModule*> instance{nullptr};

// The classes' start and stop hook: none of this program's classes has work for it.
void NoClassHook(bool /*starting*/) {}

}  // namespace

const std::array<CTalvaroCommunicationDriverModule::ClassEntry, 4>& CTalvaroCommunicationDriverModule::ClassTable() {
  static const std::array<ClassEntry, 4> table = {{
      {CLSID_CommunicationDriver, Objects::CreateCommunicationDriverClassObject, IDR_COMMUNICATIONDRIVER, NoClassHook},
      {CLSID_TalvaroCommunicationDriverFactory, Objects::CreateDriverFactoryClassObject,
       IDR_TALVAROCOMMUNICATIONDRIVERFACTORY, NoClassHook},
      {CLSID_TalvaroCommunicationDriverGApp, Objects::CreateApplicationLifecycleClassObject,
       IDR_TALVAROCOMMUNICATIONDRIVERGAPP, NoClassHook},
      {CLSID_ObserverSingleton, Objects::CreateObserverSingletonClassObject, IDR_OBSERVERSINGLETON, NoClassHook},
  }};
  return table;
}

CTalvaroCommunicationDriverModule::CTalvaroCommunicationDriverModule() : mainThreadId_(GetCurrentThreadId()) {
  try {
    // Before any part of the server can raise a stored error: the family's classes as themselves.
    Infra::RegisterStandardExceptions();
    logger_ = Common::GetDriverLogger();
    logSource_ = L"TCD::CTalvaroCommunicationDriverModule";
    // String resource 100 through a buffer of 256 characters.
    serviceName_ = std::wstring(FindStringResource(IDS_SERVICENAME).value_or(L"").substr(0, 255));
  } catch (const std::exception&) {
    initResult_ = E_OUTOFMEMORY;
  }
  status_.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status_.dwCurrentState = SERVICE_STOPPED;
  status_.dwControlsAccepted = SERVICE_ACCEPT_STOP;
  // The main thread's message queue exists from now on, so that the monitor's quit message
  // finds it even when it comes before the loop's first GetMessageW.
  MSG message;
  PeekMessageW(&message, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
  for (const auto& entry : ClassTable()) entry.classHook(true);
  instance.store(this);
  platform::com::SetCurrentModule(this);
}

CTalvaroCommunicationDriverModule::~CTalvaroCommunicationDriverModule() {
  // The objects the module owns (the network capture configuration) are released first; then
  // the classes' stop hooks, the global interface table and the class objects still registered.
  networkCapture_.reset();
  for (const auto& entry : ClassTable()) entry.classHook(false);
  {
    std::lock_guard guard(gitLock_);
    git_ = nullptr;
  }
  RevokeClassObjects();
  ReleaseFactory();  // held only when a stop came before the loop had created the factory
  if (HANDLE guard = singleInstanceEvent_.exchange(nullptr)) CloseHandle(guard);
  platform::com::SetCurrentModule(nullptr);
  instance.store(nullptr);
}

CTalvaroCommunicationDriverModule* CTalvaroCommunicationDriverModule::Instance() { return instance.load(); }

LONG CTalvaroCommunicationDriverModule::Lock() { return static_cast<LONG>(CoAddRefServerProcess()); }

LONG CTalvaroCommunicationDriverModule::Unlock() {
  if (service_) return --lockCount_;
  const LONG count = static_cast<LONG>(CoReleaseServerProcess());
  if (count == 0) {
    if (delayShutdown_) {
      activity_ = true;
      SetEvent(shutdownEvent_.load());
    } else {
      PostThreadMessageW(mainThreadId_, WM_QUIT, 0, 0);
    }
  }
  return count;
}

LONG CTalvaroCommunicationDriverModule::GetLockCount() { return lockCount_.load(); }

HRESULT CTalvaroCommunicationDriverModule::GetGITPtr(IGlobalInterfaceTable** git) {
  if (git == nullptr) return E_POINTER;
  *git = nullptr;
  std::lock_guard guard(gitLock_);
  if (!git_) {
    const HRESULT hr = CoCreateInstance(CLSID_StdGlobalInterfaceTable, nullptr, CLSCTX_INPROC_SERVER,
                                        IID_IGlobalInterfaceTable, git_.PutVoid());
    if (FAILED(hr)) return hr;
  }
  return git_.CopyTo(git);
}

HRESULT CTalvaroCommunicationDriverModule::AddCommonRGSReplacements(Registrar& registrar) {
  registrar.AddReplacement(L"APPID", kAppId);
  return S_OK;
}

}  // namespace Talvaro::Host
