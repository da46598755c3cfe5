#include "external/hardware/xrb_proxy.h"

#include "external/hardware/callback_channel.h"
#include "external/hardware/xrb_simulator.h"

CXRBProxy* CXRBProxy::GetInstance() {
  static CXRBProxy instance;
  return &instance;
}

CXRBProxy::~CXRBProxy() {
  // Process exit with the proxy still up: stop the library's threads before the statics go.
  if (state_ != State::Down) Shutdown();
}

E_ORBIQLIB_Result CXRBProxy::Initialize() {
  if (OrbiqCommunicationLibrary::Detail::OnLibraryThread()) return ORBIQLIB_E_WRONG_THREAD;
  std::lock_guard transition(transitionMutex_);
  std::shared_ptr<IXRBProxyBackend> backend;
  {
    std::lock_guard lock(stateMutex_);
    if (state_ != State::Down) return ORBIQLIB_E_WRONG_STATE;
    backend = installed_;
  }
  if (!backend) backend = std::make_shared<OrbiqCommunicationLibrary::Simulator::XRBSimulator>();
  const E_ORBIQLIB_Result result = backend->Initialize();
  if (result < 0) return result;
  std::lock_guard lock(stateMutex_);
  active_ = std::move(backend);
  state_ = State::Initialized;
  return result;
}

E_ORBIQLIB_Result CXRBProxy::Start() {
  if (OrbiqCommunicationLibrary::Detail::OnLibraryThread()) return ORBIQLIB_E_WRONG_THREAD;
  std::lock_guard transition(transitionMutex_);
  std::shared_ptr<IXRBProxyBackend> backend;
  {
    std::lock_guard lock(stateMutex_);
    if (state_ == State::Down) return ORBIQLIB_E_NOT_INITIALIZED;
    if (state_ == State::Started) return ORBIQLIB_E_WRONG_STATE;
    backend = active_;
  }
  const E_ORBIQLIB_Result result = backend->Start();
  if (result < 0) return result;
  std::lock_guard lock(stateMutex_);
  state_ = State::Started;
  return result;
}

E_ORBIQLIB_Result CXRBProxy::Finish() {
  if (OrbiqCommunicationLibrary::Detail::OnLibraryThread()) return ORBIQLIB_E_WRONG_THREAD;
  std::lock_guard transition(transitionMutex_);
  std::shared_ptr<IXRBProxyBackend> backend;
  {
    std::lock_guard lock(stateMutex_);
    if (state_ == State::Down) return ORBIQLIB_E_NOT_INITIALIZED;
    if (state_ == State::Initialized) return ORBIQLIB_E_NOT_STARTED;
    backend = active_;
  }
  // Whatever the backend says, its threads are to be considered stopped.
  const E_ORBIQLIB_Result result = backend->Finish();
  std::lock_guard lock(stateMutex_);
  state_ = State::Initialized;
  return result;
}

E_ORBIQLIB_Result CXRBProxy::Shutdown() {
  if (OrbiqCommunicationLibrary::Detail::OnLibraryThread()) return ORBIQLIB_E_WRONG_THREAD;
  std::lock_guard transition(transitionMutex_);
  std::shared_ptr<IXRBProxyBackend> backend;
  bool started = false;
  {
    std::lock_guard lock(stateMutex_);
    if (state_ == State::Down) return ORBIQLIB_E_NOT_INITIALIZED;
    started = state_ == State::Started;
    backend = active_;
  }
  if (started) backend->Finish();
  E_ORBIQLIB_Result result = backend->Shutdown();
  {
    std::lock_guard lock(stateMutex_);
    active_.reset();
    state_ = State::Down;
  }
  backend.reset();  // the default simulator goes here, outside the state lock
  return started ? ORBIQLIB_E_WRONG_STATE : result;
}

ICommFactory* CXRBProxy::GetFactory() {
  const auto backend = GetBackend();
  return backend ? backend->GetFactory() : nullptr;
}

ICommDriver* CXRBProxy::GetDriver() {
  const auto backend = GetBackend();
  return backend ? backend->GetDriver() : nullptr;
}

E_ORBIQLIB_Result CXRBProxy::InstallBackend(std::shared_ptr<IXRBProxyBackend> backend) {
  std::lock_guard transition(transitionMutex_);
  std::lock_guard lock(stateMutex_);
  if (state_ != State::Down) return ORBIQLIB_E_WRONG_STATE;
  installed_ = std::move(backend);
  return ORBIQLIB_SUCCESS;
}

std::shared_ptr<IXRBProxyBackend> CXRBProxy::GetBackend() {
  std::lock_guard lock(stateMutex_);
  return active_;
}
