#include "tests/support/hardware/fake_hardware.h"

#include <algorithm>
#include <thread>

namespace Talvaro::Testing {

using OrbiqCommunicationLibrary::Detail::CallbackChannel;
using OrbiqCommunicationLibrary::Detail::LibraryThreadScope;

// A fake driver's registrations, shared with its restriction interface (which may outlive it).
struct FakeDriverState {
  FakeDriverState(std::weak_ptr<FakeHardware> owner, int driverNumber)
      : hardware(std::move(owner)), number(driverNumber) {}

  std::shared_ptr<CallbackChannel> Channel() {
    std::lock_guard lock(mutex);
    return channel;
  }
  // Closes the channel: drops its registrations and waits for running fired callbacks. A fresh
  // channel takes new registrations, unless the driver is going.
  void Drop(bool renew) {
    std::shared_ptr<CallbackChannel> old;
    {
      std::lock_guard lock(mutex);
      old = std::move(channel);
      if (renew) channel = std::make_shared<CallbackChannel>(nullptr);
    }
    if (!old) return;
    std::thread own = old->Close();
    if (own.joinable()) own.detach();  // the fake never starts a channel thread
  }

  const std::weak_ptr<FakeHardware> hardware;
  const int number;
  std::mutex mutex;
  std::shared_ptr<CallbackChannel> channel = std::make_shared<CallbackChannel>(nullptr);
};

class FakeRestriction final : public ICommRestriction {
 public:
  explicit FakeRestriction(std::shared_ptr<FakeDriverState> state) : state_(std::move(state)) {}

  E_ORBIQLIB_Result Register(const unsigned int& mode, IRestrictionObserver* observer) override {
    return Run("Register", mode, observer, [&](CallbackChannel& c) {
      return c.RegisterRestriction(mode, observer);
    });
  }
  E_ORBIQLIB_Result SetMode(const unsigned int& mode, IRestrictionObserver* observer) override {
    return Run("SetMode", mode, observer,
               [&](CallbackChannel& c) { return c.SetRestrictionMode(mode, observer); });
  }
  E_ORBIQLIB_Result Unregister(IRestrictionObserver* observer) override {
    return Run("Unregister", std::nullopt, observer,
               [&](CallbackChannel& c) { return c.UnregisterRestriction(observer); });
  }
  E_ORBIQLIB_Result GetMode(unsigned int& mode) override {
    const auto hardware = state_->hardware.lock();
    std::optional<unsigned int> reported;
    if (hardware) reported = hardware->Snapshot().reportedMode;
    return Run("GetMode", std::nullopt, nullptr, [&](CallbackChannel& c) {
      if (reported) {
        mode = *reported;
        return ORBIQLIB_SUCCESS;
      }
      return c.GetRestrictionMode(mode);
    });
  }
  E_ORBIQLIB_Result IsRegistered(IRestrictionObserver* observer, bool& registered) override {
    return Run("IsRegistered", std::nullopt, observer,
               [&](CallbackChannel& c) { return c.IsRestrictionRegistered(observer, registered); });
  }

 private:
  template <typename Operation>
  E_ORBIQLIB_Result Run(const char* name, std::optional<unsigned int> mode, const void* observer,
                        Operation operation) {
    const auto hardware = state_->hardware.lock();
    const auto channel = state_->Channel();
    E_ORBIQLIB_Result result = ORBIQLIB_E_NOT_OPEN;
    const E_ORBIQLIB_Result fault =
        hardware ? hardware->Snapshot().restriction : ORBIQLIB_E_NOT_INITIALIZED;
    if (fault != ORBIQLIB_SUCCESS) {
      result = fault;
    } else if (channel) {
      result = operation(*channel);
    }
    if (hardware) {
      HardwareCall call{.name = name, .driver = state_->number, .object = observer, .result = result};
      if (mode) call.numbers.push_back(*mode);
      hardware->Record(std::move(call));
    }
    return result;
  }

  const std::shared_ptr<FakeDriverState> state_;
};

class FakeDriver final : public ICommDriver, public ICommDataTransfer, public ICommAvailability {
 public:
  FakeDriver(FakeHardware& hardware, int number)
      : hardware_(hardware),
        state_(std::make_shared<FakeDriverState>(hardware.weak_from_this(), number)),
        restriction_(std::make_shared<FakeRestriction>(state_)) {}
  ~FakeDriver() { state_->Drop(false); }  // nothing may reach the observers any more

  int Number() const { return state_->number; }
  std::shared_ptr<CallbackChannel> Channel() const { return state_->Channel(); }

  E_ORBIQLIB_Result Open(const std::wstring& logicalName, const std::wstring& applicationName,
                         const std::wstring& openArgument) override {
    return Record({.name = "Open", .texts = {logicalName, applicationName, openArgument},
                   .result = hardware_.Snapshot().open});
  }
  E_ORBIQLIB_Result Close() override {
    state_->Drop(true);
    return Record({.name = "Close"});
  }
  E_ORBIQLIB_Result GenericCommand(const std::wstring& command) override {
    return Record({.name = "GenericCommand", .texts = {command},
                   .result = hardware_.Snapshot().genericCommand});
  }
  E_ORBIQLIB_Result ApplicationCommand(const std::wstring& text1, const std::wstring& text2,
                                       std::int32_t code) override {
    return Record({.name = "ApplicationCommand", .texts = {text1, text2}, .numbers = {code},
                   .result = hardware_.Snapshot().applicationCommand});
  }
  ICommDataTransfer* GetDataTransferInterface() override {
    Record({.name = "GetDataTransferInterface"});
    return hardware_.Snapshot().noDataTransfer ? nullptr : this;
  }
  ICommAvailability* GetAvailabilityInterface() override {
    Record({.name = "GetAvailabilityInterface"});
    return hardware_.Snapshot().noAvailability ? nullptr : this;
  }
  std::shared_ptr<ICommRestriction> GetRestrictionInterface() override {
    Record({.name = "GetRestrictionInterface"});
    return hardware_.Snapshot().noRestriction ? nullptr : restriction_;
  }

  E_ORBIQLIB_Result RegisterObserver(IDataTransferObserver* observer) override {
    E_ORBIQLIB_Result result = hardware_.Snapshot().registerObserver;
    if (result == ORBIQLIB_SUCCESS) result = Channel()->RegisterData(observer);
    return Record({.name = "RegisterObserver", .object = observer, .result = result});
  }
  E_ORBIQLIB_Result UnregisterObserver(IDataTransferObserver* observer) override {
    return Record({.name = "UnregisterObserver", .object = observer,
                   .result = Channel()->UnregisterData(observer)});
  }
  E_ORBIQLIB_Result Write(const unsigned char* data, const unsigned int& count, const int& value,
                          IRestrictionObserver* observer) override {
    std::vector<unsigned char> bytes;
    if (data != nullptr) bytes.assign(data, data + count);
    const E_ORBIQLIB_Result result = Record({.name = "Write", .numbers = {static_cast<std::int64_t>(count), value},
                                             .bytes = std::move(bytes), .object = observer,
                                             .result = hardware_.Snapshot().write});
    hardware_.PassWriteGate();
    return result;
  }

  E_ORBIQLIB_Result RegisterCallback(IAvailabilityCallback* callback) override {
    return Record({.name = "RegisterCallback", .object = callback,
                   .result = Channel()->RegisterAvailability(callback)});
  }
  E_ORBIQLIB_Result UnregisterCallback(IAvailabilityCallback* callback) override {
    return Record({.name = "UnregisterCallback", .object = callback,
                   .result = Channel()->UnregisterAvailability(callback)});
  }
  E_ORBIQLIB_Result QueryAvailability(std::int32_t* state) override {
    const std::int32_t answer = hardware_.Snapshot().availability;
    if ((answer == 0 || answer == 1) && state != nullptr) *state = answer;
    return Record({.name = "QueryAvailability", .object = state,
                   .result = static_cast<E_ORBIQLIB_Result>(answer)});
  }

 private:
  // Records the call as this driver's and returns its result.
  E_ORBIQLIB_Result Record(HardwareCall call) {
    call.driver = Number();
    const E_ORBIQLIB_Result result = call.result;
    hardware_.Record(std::move(call));
    return result;
  }

  FakeHardware& hardware_;  // owns the driver
  const std::shared_ptr<FakeDriverState> state_;
  const std::shared_ptr<FakeRestriction> restriction_;
};

// The proxy's own driver: commands only, recorded as "Proxy..." with driver 0.
class FakeProxyDriver final : public ICommDriver {
 public:
  explicit FakeProxyDriver(FakeHardware& hardware) : hardware_(hardware) {}
  E_ORBIQLIB_Result Open(const std::wstring&, const std::wstring&, const std::wstring&) override {
    return ORBIQLIB_E_NOT_SUPPORTED;
  }
  E_ORBIQLIB_Result Close() override { return ORBIQLIB_E_NOT_SUPPORTED; }
  E_ORBIQLIB_Result GenericCommand(const std::wstring& command) override {
    const E_ORBIQLIB_Result result = hardware_.Snapshot().genericCommand;
    hardware_.Record({.name = "ProxyGenericCommand", .texts = {command}, .result = result});
    return result;
  }
  E_ORBIQLIB_Result ApplicationCommand(const std::wstring& text1, const std::wstring& text2,
                                       std::int32_t code) override {
    const E_ORBIQLIB_Result result = hardware_.Snapshot().applicationCommand;
    hardware_.Record({.name = "ProxyApplicationCommand", .texts = {text1, text2},
                      .numbers = {code}, .result = result});
    return result;
  }
  ICommDataTransfer* GetDataTransferInterface() override { return nullptr; }
  ICommAvailability* GetAvailabilityInterface() override { return nullptr; }
  std::shared_ptr<ICommRestriction> GetRestrictionInterface() override { return {}; }

 private:
  FakeHardware& hardware_;
};

class FakeScanner final : public IUnitScanner {
 public:
  explicit FakeScanner(FakeHardware& hardware) : hardware_(hardware) {}
  E_ORBIQLIB_Result Scan(IUnitList*& list) override {
    const auto faults = hardware_.Snapshot();
    list = faults.scan == ORBIQLIB_SUCCESS ? lists_.Add(faults.units) : nullptr;
    hardware_.Record(HardwareCall{.name = "Scan", .object = list, .result = faults.scan});
    return faults.scan;
  }
  E_ORBIQLIB_Result ReleaseList(IUnitList* list) override {
    const E_ORBIQLIB_Result result = lists_.Release(list);
    hardware_.Record(HardwareCall{.name = "ReleaseList", .object = list, .result = result});
    return result;
  }

 private:
  FakeHardware& hardware_;
  OrbiqCommunicationLibrary::Detail::UnitLists lists_;
};

class FakeFactory final : public ICommFactory {
 public:
  explicit FakeFactory(FakeHardware& hardware) : hardware_(hardware) {}

  ICommDriver* CreateCommDriver() override {
    ICommDriver* handle = nullptr;
    int number = 0;
    {
      std::lock_guard lock(hardware_.mutex_);
      if (!hardware_.faults_.createFails) {
        number = ++hardware_.driversCreated_;
        auto driver = std::make_unique<FakeDriver>(hardware_, number);
        handle = driver.get();
        hardware_.drivers_.emplace(number, std::move(driver));
      }
    }
    hardware_.Record({.name = "CreateCommDriver", .driver = number, .object = handle});
    return handle;
  }
  E_ORBIQLIB_Result ReleaseCommDriver(ICommDriver* driver) override {
    std::unique_ptr<FakeDriver> released;  // destroyed outside the lock: waits for fired callbacks
    {
      std::lock_guard lock(hardware_.mutex_);
      auto& drivers = hardware_.drivers_;
      const auto found = std::find_if(drivers.begin(), drivers.end(), [&](const auto& entry) {
        return static_cast<ICommDriver*>(entry.second.get()) == driver;
      });
      if (found != drivers.end()) {
        released = std::move(found->second);
        drivers.erase(found);
      }
    }
    const E_ORBIQLIB_Result result = released ? ORBIQLIB_SUCCESS : ORBIQLIB_E_INVALID_ARGUMENT;
    hardware_.Record({.name = "ReleaseCommDriver", .driver = released ? released->Number() : 0,
                      .object = driver, .result = result});
    return result;
  }
  IUnitScanner* CreateUnitScanner() override {
    IUnitScanner* handle = nullptr;
    {
      std::lock_guard lock(hardware_.mutex_);
      if (!hardware_.faults_.noScanner) {
        hardware_.scanners_.push_back(std::make_unique<FakeScanner>(hardware_));
        handle = hardware_.scanners_.back().get();
      }
    }
    hardware_.Record(HardwareCall{.name = "CreateUnitScanner", .object = handle});
    return handle;
  }
  E_ORBIQLIB_Result ReleaseUnitScanner(IUnitScanner* scanner) override {
    std::unique_ptr<FakeScanner> released;
    {
      std::lock_guard lock(hardware_.mutex_);
      auto& scanners = hardware_.scanners_;
      const auto found = std::find_if(scanners.begin(), scanners.end(),
                                      [&](const auto& owned) { return owned.get() == scanner; });
      if (found != scanners.end()) {
        released = std::move(*found);
        scanners.erase(found);
      }
    }
    const E_ORBIQLIB_Result result = released ? ORBIQLIB_SUCCESS : ORBIQLIB_E_INVALID_ARGUMENT;
    hardware_.Record(HardwareCall{.name = "ReleaseUnitScanner", .object = scanner, .result = result});
    return result;
  }

 private:
  FakeHardware& hardware_;
};

// ---------------- FakeHardware ----------------

std::shared_ptr<FakeHardware> FakeHardware::Create() {
  return std::shared_ptr<FakeHardware>(new FakeHardware());
}

FakeHardware::FakeHardware() = default;

FakeHardware::~FakeHardware() {
  // Drivers wait for fired callbacks when they go; do that before the rest.
  std::map<int, std::unique_ptr<FakeDriver>> drivers;
  {
    std::lock_guard lock(mutex_);
    drivers.swap(drivers_);
  }
}

FakeHardware::Installation::Installation(std::shared_ptr<FakeHardware> fake) {
  installed_ = CXRBProxy::GetInstance()->InstallBackend(std::move(fake)) == ORBIQLIB_SUCCESS;
}

FakeHardware::Installation::~Installation() {
  if (!installed_) return;
  CXRBProxy* proxy = CXRBProxy::GetInstance();
  proxy->Finish();
  proxy->Shutdown();
  proxy->InstallBackend(nullptr);
}

E_ORBIQLIB_Result FakeHardware::Initialize() {
  E_ORBIQLIB_Result result;
  {
    std::lock_guard lock(mutex_);
    result = faults_.initialize;
    if (result >= 0) {
      up_ = true;
      if (!factory_) factory_ = std::make_unique<FakeFactory>(*this);
      if (!proxyDriver_) proxyDriver_ = std::make_unique<FakeProxyDriver>(*this);
    }
  }
  Record(HardwareCall{.name = "Initialize", .result = result});
  return result;
}

E_ORBIQLIB_Result FakeHardware::Start() {
  Record(HardwareCall{.name = "Start"});
  return ORBIQLIB_SUCCESS;
}

E_ORBIQLIB_Result FakeHardware::Finish() {
  Record(HardwareCall{.name = "Finish"});
  return ORBIQLIB_SUCCESS;
}

E_ORBIQLIB_Result FakeHardware::Shutdown() {
  {
    std::lock_guard lock(mutex_);
    up_ = false;  // factory and drivers stay valid: the code under test may still hold them
  }
  Record(HardwareCall{.name = "Shutdown"});
  return ORBIQLIB_SUCCESS;
}

ICommFactory* FakeHardware::GetFactory() {
  std::lock_guard lock(mutex_);
  return up_ ? factory_.get() : nullptr;
}

ICommDriver* FakeHardware::GetDriver() {
  std::lock_guard lock(mutex_);
  return up_ ? proxyDriver_.get() : nullptr;
}

FakeHardware::Faults FakeHardware::Snapshot() const {
  std::lock_guard lock(mutex_);
  return faults_;
}

void FakeHardware::Record(HardwareCall call) {
  std::lock_guard lock(mutex_);
  calls_.push_back(std::move(call));
}

std::vector<HardwareCall> FakeHardware::Calls() const {
  std::lock_guard lock(mutex_);
  return calls_;
}

std::vector<std::string> FakeHardware::CallNames() const {
  std::vector<std::string> names;
  for (const auto& call : Calls()) names.push_back(call.name);
  return names;
}

std::vector<HardwareCall> FakeHardware::CallsNamed(const std::string& name) const {
  auto named = Calls();
  std::erase_if(named, [&](const HardwareCall& call) { return call.name != name; });
  return named;
}

void FakeHardware::ClearCalls() {
  std::lock_guard lock(mutex_);
  calls_.clear();
}

int FakeHardware::LiveDrivers() const {
  std::lock_guard lock(mutex_);
  return static_cast<int>(drivers_.size());
}

int FakeHardware::LastDriver() const {
  std::lock_guard lock(mutex_);
  return drivers_.empty() ? 0 : drivers_.rbegin()->first;
}

std::shared_ptr<CallbackChannel> FakeHardware::Channel(int driver) const {
  std::lock_guard lock(mutex_);
  const auto found = drivers_.find(driver);
  return found == drivers_.end() ? nullptr : found->second->Channel();
}

bool FakeHardware::FireData(int driver, const std::vector<unsigned char>& data) {
  const auto channel = Channel(driver);
  if (channel) channel->DeliverDataHere(data.data(), static_cast<unsigned int>(data.size()));
  return channel != nullptr;
}

bool FakeHardware::FireError(int driver, E_ORBIQLIB_Result code) {
  const auto channel = Channel(driver);
  if (channel) channel->DeliverErrorHere(code);
  return channel != nullptr;
}

bool FakeHardware::FireAvailability(int driver, std::int32_t state) {
  const auto channel = Channel(driver);
  if (channel) channel->DeliverAvailabilityHere(state);
  return channel != nullptr;
}

std::optional<E_ORBIQLIB_Result> FakeHardware::FireRestriction(
    int driver, const std::vector<unsigned char>& data) {
  const auto channel = Channel(driver);
  if (!channel) return std::nullopt;
  E_ORBIQLIB_Result verdict = ORBIQLIB_SUCCESS;
  if (!channel->DeliverRestrictionHere(data.data(), static_cast<unsigned int>(data.size()),
                                       verdict)) {
    return std::nullopt;
  }
  return verdict;
}

std::future<bool> FakeHardware::FireDataAsync(int driver, std::vector<unsigned char> data) {
  auto channel = Channel(driver);
  return std::async(std::launch::async, [channel, bytes = std::move(data)] {
    LibraryThreadScope libraryThread;
    if (!channel) return false;
    channel->DeliverDataHere(bytes.data(), static_cast<unsigned int>(bytes.size()));
    return true;
  });
}

}  // namespace Talvaro::Testing
