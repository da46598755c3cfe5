// CXRBProxy: the process-wide entry to the hardware proxy library.
//
// Life cycle: Initialize -> Start -> Finish -> Shutdown, and again from Initialize after a
// Shutdown. Calls out of this order return a failure value and change nothing, except Shutdown
// on a started proxy, which finishes first, shuts down and still reports ORBIQLIB_E_WRONG_STATE.
// GetFactory and GetDriver give null while the proxy is down (before Initialize, after Shutdown).
//
// The work is done by a backend. The default backend is the embedded XRB unit simulator
// (external/hardware/xrb_simulator.h), created at each Initialize and destroyed at Shutdown.
// Tests may install another backend (the seam below) while the proxy is down.
//
// Threads: every operation may be called on any thread. Initialize, Start, Finish and Shutdown
// are serialized among themselves and refused with ORBIQLIB_E_WRONG_THREAD on a library thread
// (a callback), where Finish would wait for the calling thread itself. GetFactory and GetDriver
// never wait for a running transition. Objects obtained through GetFactory/GetDriver must not
// be used concurrently with Shutdown.
#pragma once

#include <memory>
#include <mutex>

#include "external/hardware/comm_interfaces.h"

// What CXRBProxy delegates to. The proxy calls Initialize/Start/Finish/Shutdown only in order
// (it keeps the state machine), never concurrently, and never on a library thread.
class IXRBProxyBackend {
 public:
  virtual ~IXRBProxyBackend() = default;
  virtual E_ORBIQLIB_Result Initialize() = 0;
  virtual E_ORBIQLIB_Result Start() = 0;
  virtual E_ORBIQLIB_Result Finish() = 0;
  virtual E_ORBIQLIB_Result Shutdown() = 0;
  // Valid between a successful Initialize and Shutdown.
  virtual ICommFactory* GetFactory() = 0;
  virtual ICommDriver* GetDriver() = 0;
};

class CXRBProxy {
 public:
  // The singleton; never null. Destroyed at process exit, finishing and shutting down first.
  static CXRBProxy* GetInstance();

  // Brings the backend up. A negative backend result leaves the proxy down.
  E_ORBIQLIB_Result Initialize();
  // Launches the delivery threads and the periodic data.
  E_ORBIQLIB_Result Start();
  // Stops delivery and joins the library's threads.
  E_ORBIQLIB_Result Finish();
  // Releases everything; the proxy is down again.
  E_ORBIQLIB_Result Shutdown();

  // The hardware factory, borrowed; null while down.
  ICommFactory* GetFactory();
  // The proxy's own driver (generic and application commands), borrowed; null while down.
  ICommDriver* GetDriver();

  // Test seam. Installs the backend used from the next Initialize on, until another one is
  // installed; null restores the simulator. Only while the proxy is down, else
  // ORBIQLIB_E_WRONG_STATE. Production code never calls it.
  E_ORBIQLIB_Result InstallBackend(std::shared_ptr<IXRBProxyBackend> backend);
  // The running backend (null while down), e.g. to reach the simulator's control API:
  // std::dynamic_pointer_cast<OrbiqCommunicationLibrary::Simulator::XRBSimulator>(...).
  std::shared_ptr<IXRBProxyBackend> GetBackend();

  CXRBProxy(const CXRBProxy&) = delete;
  CXRBProxy& operator=(const CXRBProxy&) = delete;

 private:
  enum class State { Down, Initialized, Started };

  CXRBProxy() = default;
  ~CXRBProxy();

  // Serializes the four transitions; held while the backend works (may join threads).
  std::mutex transitionMutex_;
  // Guards the three fields below; held only for short reads and writes, never across a call
  // into the backend.
  std::mutex stateMutex_;
  State state_ = State::Down;
  std::shared_ptr<IXRBProxyBackend> installed_;
  std::shared_ptr<IXRBProxyBackend> active_;
};
