// A programmable stand-in for the hardware proxy library's backend, for tests of the code that
// uses the library (driver objects, server objects).
//
// Install it with FakeHardware::Installation while CXRBProxy is down; from the next
// CXRBProxy::Initialize on, the proxy's factory and driver are the fake's. Every call through the
// library's interfaces is recorded, in order, with its arguments and result (thread-safe).
// Faults are programmed with the Set* operations and apply to calls made afterwards.
//
// Callbacks: a test fires data, errors, availability changes and restriction questions into the
// observers registered with a fake driver, either on the test's own thread (Fire*) or on a
// thread of the fake (FireDataAsync). The fake keeps the library's unregistration guarantee:
// Unregister*/Close return only after a running fired callback to that observer has ended
// (unless called from inside it), so a test that holds a fired callback open sees who waits
// for it.
#pragma once

#include <cstdint>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "external/hardware/callback_channel.h"
#include "external/hardware/unit_list.h"
#include "external/hardware/xrb_proxy.h"
#include "tests/support/component/call_gate.h"

namespace Talvaro::Testing {

// One unit as the fake's scanner lists it; descriptions are taken as given (duplicate logical
// names, board id 0, empty texts are all fine).
using FakeUnit = OrbiqCommunicationLibrary::Detail::UnitEntry;

// One recorded call. `driver` is the creation number (1, 2, ...) of the driver the call went to,
// 0 for calls to the proxy, the factory, the scanner or the proxy's own driver ("Proxy*").
struct HardwareCall {
  std::string name{};  // "Initialize", "CreateCommDriver", "Open", "RegisterObserver", ...
  int driver = 0;
  std::vector<std::wstring> texts{};     // string arguments, in order
  std::vector<std::int64_t> numbers{};   // numeric arguments (count, value, mode, code), in order
  std::vector<unsigned char> bytes{};    // written data
  const void* object = nullptr;        // observer / callback / driver argument
  E_ORBIQLIB_Result result = ORBIQLIB_SUCCESS;
};

class FakeDriver;

class FakeHardware final : public IXRBProxyBackend,
                           public std::enable_shared_from_this<FakeHardware> {
 public:
  static std::shared_ptr<FakeHardware> Create();
  ~FakeHardware() override;

  // Installs `fake` as CXRBProxy's backend for the guard's lifetime. On destruction: takes the
  // proxy down if it is up, and restores the simulator as the backend.
  class Installation {
   public:
    explicit Installation(std::shared_ptr<FakeHardware> fake);
    ~Installation();
    Installation(const Installation&) = delete;
    Installation& operator=(const Installation&) = delete;
    bool Installed() const { return installed_; }

   private:
    bool installed_ = false;
  };

  // IXRBProxyBackend (recorded as "Initialize", "Start", "Finish", "Shutdown").
  E_ORBIQLIB_Result Initialize() override;
  E_ORBIQLIB_Result Start() override;
  E_ORBIQLIB_Result Finish() override;
  E_ORBIQLIB_Result Shutdown() override;
  ICommFactory* GetFactory() override;
  ICommDriver* GetDriver() override;

  // ---- Faults and answers, for calls made afterwards ----
  void SetInitializeResult(E_ORBIQLIB_Result result) { Set(&Faults::initialize, result); }
  void SetCreateCommDriverFails(bool fails) { Set(&Faults::createFails, fails); }  // gives null
  void SetOpenResult(E_ORBIQLIB_Result result) { Set(&Faults::open, result); }
  // Non-zero: the observer is not registered.
  void SetRegisterObserverResult(E_ORBIQLIB_Result result) {
    Set(&Faults::registerObserver, result);
  }
  // Register/SetMode/Unregister/GetMode/IsRegistered of the restriction interface report this;
  // non-zero: nothing changes.
  void SetRestrictionResult(E_ORBIQLIB_Result result) { Set(&Faults::restriction, result); }
  // GetMode reports this mode instead of the registered one (e.g. an out-of-range 9).
  void SetReportedRestrictionMode(std::optional<unsigned int> mode) {
    Set(&Faults::reportedMode, mode);
  }
  void SetWriteResult(E_ORBIQLIB_Result result) { Set(&Faults::write, result); }
  // QueryAvailability returns this (0, 1 or a failure) and stores it when it is 0 or 1.
  void SetAvailabilityAnswer(std::int32_t answer) { Set(&Faults::availability, answer); }
  void SetInterfacesAbsent(bool dataTransfer, bool availability, bool restriction) {
    Set(&Faults::noDataTransfer, dataTransfer);
    Set(&Faults::noAvailability, availability);
    Set(&Faults::noRestriction, restriction);
  }
  void SetGenericCommandResult(E_ORBIQLIB_Result result) { Set(&Faults::genericCommand, result); }
  void SetApplicationCommandResult(E_ORBIQLIB_Result result) {
    Set(&Faults::applicationCommand, result);
  }
  void SetScannerAbsent(bool absent) { Set(&Faults::noScanner, absent); }  // gives null scanners
  void SetScanResult(E_ORBIQLIB_Result result) { Set(&Faults::scan, result); }
  void SetUnits(std::vector<FakeUnit> units) { Set(&Faults::units, std::move(units)); }

  // The next Write waits inside the call, recorded already, until UnblockWrite.
  void BlockNextWrite() { writeGate_.CloseForNext(); }
  bool WaitWriteBlocked(std::chrono::milliseconds timeout) { return writeGate_.WaitHeld(timeout); }
  void UnblockWrite() { writeGate_.Open(); }

  // ---- Records ----
  std::vector<HardwareCall> Calls() const;
  std::vector<std::string> CallNames() const;
  std::vector<HardwareCall> CallsNamed(const std::string& name) const;
  void ClearCalls();

  // ---- Drivers and callbacks ----
  // Drivers created and not yet released.
  int LiveDrivers() const;
  // The creation number of the newest live driver, 0 when none.
  int LastDriver() const;

  // Fire into the observers registered with driver `driver` on the calling thread. False when
  // the driver does not exist (any more).
  bool FireData(int driver, const std::vector<unsigned char>& data);
  bool FireError(int driver, E_ORBIQLIB_Result code);
  bool FireAvailability(int driver, std::int32_t state);
  // The verdict of the restriction observer (registered with a mode other than 0), or empty.
  std::optional<E_ORBIQLIB_Result> FireRestriction(int driver, const std::vector<unsigned char>& data);
  // FireData on a new thread of the fake; the future ends when the callbacks have returned.
  std::future<bool> FireDataAsync(int driver, std::vector<unsigned char> data);

 private:
  friend class FakeDriver;
  friend class FakeFactory;
  friend class FakeScanner;
  friend class FakeProxyDriver;
  friend class FakeRestriction;

  FakeHardware();
  void Record(HardwareCall call);
  std::shared_ptr<OrbiqCommunicationLibrary::Detail::CallbackChannel> Channel(int driver) const;

  struct Faults {
    E_ORBIQLIB_Result initialize = ORBIQLIB_SUCCESS;
    bool createFails = false;
    E_ORBIQLIB_Result open = ORBIQLIB_SUCCESS;
    E_ORBIQLIB_Result registerObserver = ORBIQLIB_SUCCESS;
    E_ORBIQLIB_Result restriction = ORBIQLIB_SUCCESS;
    std::optional<unsigned int> reportedMode;
    E_ORBIQLIB_Result write = ORBIQLIB_SUCCESS;
    std::int32_t availability = 1;
    bool noDataTransfer = false;
    bool noAvailability = false;
    bool noRestriction = false;
    E_ORBIQLIB_Result genericCommand = ORBIQLIB_SUCCESS;
    E_ORBIQLIB_Result applicationCommand = ORBIQLIB_SUCCESS;
    bool noScanner = false;
    E_ORBIQLIB_Result scan = ORBIQLIB_SUCCESS;
    std::vector<FakeUnit> units;
  };
  template <typename T>
  void Set(T Faults::*field, T value) {
    std::lock_guard lock(mutex_);
    faults_.*field = std::move(value);
  }
  Faults Snapshot() const;

  void PassWriteGate() {
    std::unique_lock lock(gateMutex_);
    writeGate_.Pass(lock);
  }
  std::mutex gateMutex_;
  std::condition_variable gateChanged_;
  CallGate writeGate_{gateMutex_, gateChanged_};

  mutable std::mutex mutex_;  // guards every field below
  Faults faults_;
  std::vector<HardwareCall> calls_;
  bool up_ = false;
  int driversCreated_ = 0;
  std::map<int, std::unique_ptr<FakeDriver>> drivers_;
  std::vector<std::unique_ptr<class FakeScanner>> scanners_;
  std::unique_ptr<class FakeFactory> factory_;
  std::unique_ptr<class FakeProxyDriver> proxyDriver_;
};

}  // namespace Talvaro::Testing
