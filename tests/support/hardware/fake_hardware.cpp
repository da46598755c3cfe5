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
  // Close drops the registrations; a fresh channel takes new ones.
  std::shared_ptr<CallbackChannel> Renew() {
    std::lock_guard lock(mutex);
    auto old = std::move(channel);
    channel = std::make_shared<CallbackChannel>(nullptr);
    return old;
  }
  // After release nothing may reach the observers any more.
  std::shared_ptr<CallbackChannel> Take() {
    std::lock_guard lock(mutex);
    return std::move(channel);
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
  ~FakeDriver() {
    if (auto channel = state_->Take()) {
      std::thread own = channel->Close();
      if (own.joinable()) own.detach();  // never started by the fake
    }
  }

  int Number() const { return state_->number; }
  std::shared_ptr<CallbackChannel> Channel() const { return state_->Channel(); }

  E_ORBIQLIB_Result Open(const std::wstring& logicalName, const std::wstring& applicationName,
                         const std::wstring& openArgument) override {
    const E_ORBIQLIB_Result result = hardware_.Snapshot().open;
    Record("Open", result, {logicalName, applicationName, openArgument});
    return result;
  }
  E_ORBIQLIB_Result Close() override {
    const E_ORBIQLIB_Result result = hardware_.Snapshot().close;
    if (result == ORBIQLIB_SUCCESS) {
      if (auto old = state_->Renew()) {
        std::thread own = old->Close();
        if (own.joinable()) own.detach();
      }
    }
    Record("Close", result);
    return result;
  }
  E_ORBIQLIB_Result GenericCommand(const std::wstring& command) override {
    const E_ORBIQLIB_Result result = hardware_.Snapshot().genericCommand;
    Record("GenericCommand", result, {command});
    return result;
  }
  E_ORBIQLIB_Result ApplicationCommand(const std::wstring& text1, const std::wstring& text2,
                                       std::int32_t code) override {
    const E_ORBIQLIB_Result result = hardware_.Snapshot().applicationCommand;
    HardwareCall call{.name = "ApplicationCommand", .driver = Number(), .texts = {text1, text2},
                      .numbers = {code}, .result = result};
    hardware_.Record(std::move(call));
    return result;
  }
  ICommDataTransfer* GetDataTransferInterface() override {
    const bool absent = hardware_.Snapshot().noDataTransfer;
    Record("GetDataTransferInterface", ORBIQLIB_SUCCESS);
    return absent ? nullptr : this;
  }
  ICommAvailability* GetAvailabilityInterface() override {
    const bool absent = hardware_.Snapshot().noAvailability;
    Record("GetAvailabilityInterface", ORBIQLIB_SUCCESS);
    return absent ? nullptr : this;
  }
  std::shared_ptr<ICommRestriction> GetRestrictionInterface() override {
    const bool absent = hardware_.Snapshot().noRestriction;
    Record("GetRestrictionInterface", ORBIQLIB_SUCCESS);
    return absent ? nullptr : restriction_;
  }

  E_ORBIQLIB_Result RegisterObserver(IDataTransferObserver* observer) override {
    E_ORBIQLIB_Result result = hardware_.Snapshot().registerObserver;
    if (result == ORBIQLIB_SUCCESS) result = Channel()->RegisterData(observer);
    Record("RegisterObserver", result, {}, observer);
    return result;
  }
  E_ORBIQLIB_Result UnregisterObserver(IDataTransferObserver* observer) override {
    E_ORBIQLIB_Result result = Channel()->UnregisterData(observer);
    if (const auto fault = hardware_.Snapshot().unregister; fault != ORBIQLIB_SUCCESS) result = fault;
    Record("UnregisterObserver", result, {}, observer);
    return result;
  }
  E_ORBIQLIB_Result Write(const unsigned char* data, const unsigned int& count, const int& value,
                          IRestrictionObserver* observer) override {
    const auto faults = hardware_.Snapshot();
    std::vector<unsigned char> bytes;
    if (data != nullptr) bytes.assign(data, data + count);
    E_ORBIQLIB_Result result = faults.write;
    if (faults.writeAsks && observer != nullptr) {
      // Asked on a thread of the fake, as the library would.
      const E_ORBIQLIB_Result verdict =
          std::async(std::launch::async, [&] {
            LibraryThreadScope libraryThread;
            return observer->OnRestriction(bytes.data(), count);
          }).get();
      if (verdict != ORBIQLIB_SUCCESS) result = ORBIQLIB_E_RESTRICTED;
    }
    HardwareCall call{.name = "Write", .driver = Number(),
                      .numbers = {static_cast<std::int64_t>(count), value}, .bytes = bytes,
                      .object = observer, .result = result};
    hardware_.Record(std::move(call));
    return result;
  }

  E_ORBIQLIB_Result RegisterCallback(IAvailabilityCallback* callback) override {
    E_ORBIQLIB_Result result = hardware_.Snapshot().registerCallback;
    if (result == ORBIQLIB_SUCCESS) result = Channel()->RegisterAvailability(callback);
    Record("RegisterCallback", result, {}, callback);
    return result;
  }
  E_ORBIQLIB_Result UnregisterCallback(IAvailabilityCallback* callback) override {
    E_ORBIQLIB_Result result = Channel()->UnregisterAvailability(callback);
    if (const auto fault = hardware_.Snapshot().unregister; fault != ORBIQLIB_SUCCESS) result = fault;
    Record("UnregisterCallback", result, {}, callback);
    return result;
  }
  E_ORBIQLIB_Result QueryAvailability(std::int32_t* state) override {
    const std::int32_t answer = hardware_.Snapshot().availability;
    if ((answer == 0 || answer == 1) && state != nullptr) *state = answer;
    Record("QueryAvailability", static_cast<E_ORBIQLIB_Result>(answer), {}, state);
    return static_cast<E_ORBIQLIB_Result>(answer);
  }

 private:
  void Record(const char* name, E_ORBIQLIB_Result result, std::vector<std::wstring> texts = {},
              const void* object = nullptr) {
    hardware_.Record(HardwareCall{.name = name, .driver = Number(), .texts = std::move(texts),
                                  .object = object, .result = result});
  }

  FakeHardware& hardware_;  // owns the driver
  const std::shared_ptr<FakeDriverState> state_;
  const std::shared_ptr<FakeRestriction> restriction_;
};

class FakeProxyDriver final : public ICommDriver {
 public:
  explicit FakeProxyDriver(FakeHardware& hardware) : hardware_(hardware) {}
  E_ORBIQLIB_Result Open(const std::wstring&, const std::wstring&, const std::wstring&) override {
    return ORBIQLIB_E_NOT_SUPPORTED;
  }
  E_ORBIQLIB_Result Close() override { return ORBIQLIB_E_NOT_SUPPORTED; }
  E_ORBIQLIB_Result GenericCommand(const std::wstring& command) override {
    const E_ORBIQLIB_Result result = hardware_.Snapshot().genericCommand;
    hardware_.Record(
        HardwareCall{.name = "ProxyGenericCommand", .texts = {command}, .result = result});
    return result;
  }
  E_ORBIQLIB_Result ApplicationCommand(const std::wstring& text1, const std::wstring& text2,
                                       std::int32_t code) override {
    const E_ORBIQLIB_Result result = hardware_.Snapshot().applicationCommand;
    hardware_.Record(HardwareCall{.name = "ProxyApplicationCommand", .texts = {text1, text2},
                                  .numbers = {code}, .result = result});
    return result;
  }
  ICommDataTransfer* GetDataTransferInterface() override { return nullptr; }
  ICommAvailability* GetAvailabilityInterface() override { return nullptr; }
  std::shared_ptr<ICommRestriction> GetRestrictionInterface() override { return {}; }

 private:
  FakeHardware& hardware_;
};

class FakeSubItem final : public IUnitSubItem {
 public:
  explicit FakeSubItem(std::wstring name) : name_(std::move(name)) {}
  std::wstring GetName() const override { return name_; }

 private:
  std::wstring name_;
};

class FakeItem final : public IUnitItem {
 public:
  explicit FakeItem(const FakeUnit& unit) : description_(unit.description) {
    for (const auto& name : unit.subItems) subItems_.emplace_back(name);
  }
  CXRBDescription GetDescription() const override { return description_; }
  unsigned int GetSubItemCount() const override {
    return static_cast<unsigned int>(subItems_.size());
  }
  const IUnitSubItem* GetSubItem(unsigned int index) const override {
    return index < subItems_.size() ? &subItems_[index] : nullptr;
  }

 private:
  CXRBDescription description_;
  std::vector<FakeSubItem> subItems_;
};

class FakeList final : public IUnitList {
 public:
  explicit FakeList(const std::vector<FakeUnit>& units) {
    for (const auto& unit : units) items_.emplace_back(unit);
  }
  unsigned int GetCount() const override { return static_cast<unsigned int>(items_.size()); }
  const IUnitItem* GetItem(unsigned int index) const override {
    return index < items_.size() ? &items_[index] : nullptr;
  }

 private:
  std::vector<FakeItem> items_;
};

class FakeScanner final : public IUnitScanner {
 public:
  explicit FakeScanner(FakeHardware& hardware) : hardware_(hardware) {}
  E_ORBIQLIB_Result Scan(IUnitList*& list) override {
    list = nullptr;
    const auto faults = hardware_.Snapshot();
    if (faults.scan == ORBIQLIB_SUCCESS) {
      std::lock_guard lock(mutex_);
      lists_.push_back(std::make_unique<FakeList>(faults.units));
      list = lists_.back().get();
    }
    hardware_.Record(HardwareCall{.name = "Scan", .object = list, .result = faults.scan});
    return faults.scan;
  }
  E_ORBIQLIB_Result ReleaseList(IUnitList* list) override {
    E_ORBIQLIB_Result result = ORBIQLIB_E_INVALID_ARGUMENT;
    {
      std::lock_guard lock(mutex_);
      const auto found = std::find_if(lists_.begin(), lists_.end(),
                                      [&](const auto& owned) { return owned.get() == list; });
      if (found != lists_.end()) {
        lists_.erase(found);
        result = ORBIQLIB_SUCCESS;
      }
    }
    hardware_.Record(HardwareCall{.name = "ReleaseList", .object = list, .result = result});
    return result;
  }

 private:
  FakeHardware& hardware_;
  std::mutex mutex_;
  std::vector<std::unique_ptr<FakeList>> lists_;  // guarded by mutex_
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
    hardware_.Record(HardwareCall{.name = "CreateCommDriver", .driver = number, .object = handle,
                                  .result = ORBIQLIB_SUCCESS});
    return handle;
  }
  E_ORBIQLIB_Result ReleaseCommDriver(ICommDriver* driver) override {
    std::unique_ptr<FakeDriver> released;
    {
      std::lock_guard lock(hardware_.mutex_);
      for (auto it = hardware_.drivers_.begin(); it != hardware_.drivers_.end(); ++it) {
        if (static_cast<ICommDriver*>(it->second.get()) == driver) {
          released = std::move(it->second);
          hardware_.drivers_.erase(it);
          break;
        }
      }
    }
    const E_ORBIQLIB_Result result = released ? ORBIQLIB_SUCCESS : ORBIQLIB_E_INVALID_ARGUMENT;
    hardware_.Record(HardwareCall{.name = "ReleaseCommDriver",
                                  .driver = released ? released->Number() : 0, .object = driver,
                                  .result = result});
    released.reset();  // outside the lock: waits for fired callbacks to end
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
  const E_ORBIQLIB_Result result = Snapshot().start;
  Record(HardwareCall{.name = "Start", .result = result});
  return result;
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
  return up_ && !faults_.noProxyDriver ? proxyDriver_.get() : nullptr;
}

void FakeHardware::SetInitializeResult(E_ORBIQLIB_Result result) {
  std::lock_guard lock(mutex_);
  faults_.initialize = result;
}

void FakeHardware::SetStartResult(E_ORBIQLIB_Result result) {
  std::lock_guard lock(mutex_);
  faults_.start = result;
}

void FakeHardware::SetCreateCommDriverFails(bool value) {
  std::lock_guard lock(mutex_);
  faults_.createFails = value;
}

void FakeHardware::SetOpenResult(E_ORBIQLIB_Result result) {
  std::lock_guard lock(mutex_);
  faults_.open = result;
}

void FakeHardware::SetCloseResult(E_ORBIQLIB_Result result) {
  std::lock_guard lock(mutex_);
  faults_.close = result;
}

void FakeHardware::SetRegisterObserverResult(E_ORBIQLIB_Result result) {
  std::lock_guard lock(mutex_);
  faults_.registerObserver = result;
}

void FakeHardware::SetRegisterCallbackResult(E_ORBIQLIB_Result result) {
  std::lock_guard lock(mutex_);
  faults_.registerCallback = result;
}

void FakeHardware::SetUnregisterResult(E_ORBIQLIB_Result result) {
  std::lock_guard lock(mutex_);
  faults_.unregister = result;
}

void FakeHardware::SetRestrictionResult(E_ORBIQLIB_Result result) {
  std::lock_guard lock(mutex_);
  faults_.restriction = result;
}

void FakeHardware::SetReportedRestrictionMode(std::optional<unsigned int> mode) {
  std::lock_guard lock(mutex_);
  faults_.reportedMode = mode;
}

void FakeHardware::SetWriteResult(E_ORBIQLIB_Result result) {
  std::lock_guard lock(mutex_);
  faults_.write = result;
}

void FakeHardware::SetWriteAsksRestriction(bool value) {
  std::lock_guard lock(mutex_);
  faults_.writeAsks = value;
}

void FakeHardware::SetAvailabilityAnswer(std::int32_t answer) {
  std::lock_guard lock(mutex_);
  faults_.availability = answer;
}

void FakeHardware::SetGenericCommandResult(E_ORBIQLIB_Result result) {
  std::lock_guard lock(mutex_);
  faults_.genericCommand = result;
}

void FakeHardware::SetApplicationCommandResult(E_ORBIQLIB_Result result) {
  std::lock_guard lock(mutex_);
  faults_.applicationCommand = result;
}

void FakeHardware::SetProxyDriverAbsent(bool value) {
  std::lock_guard lock(mutex_);
  faults_.noProxyDriver = value;
}

void FakeHardware::SetScannerAbsent(bool value) {
  std::lock_guard lock(mutex_);
  faults_.noScanner = value;
}

void FakeHardware::SetScanResult(E_ORBIQLIB_Result result) {
  std::lock_guard lock(mutex_);
  faults_.scan = result;
}

void FakeHardware::SetUnits(std::vector<FakeUnit> units) {
  std::lock_guard lock(mutex_);
  faults_.units = std::move(units);
}


void FakeHardware::SetInterfacesAbsent(bool dataTransfer, bool availability, bool restriction) {
  std::lock_guard lock(mutex_);
  faults_.noDataTransfer = dataTransfer;
  faults_.noAvailability = availability;
  faults_.noRestriction = restriction;
}

FakeHardware::Faults FakeHardware::Snapshot() const {
  std::lock_guard lock(mutex_);
  return faults_;
}

void FakeHardware::Record(HardwareCall call) {
  std::lock_guard lock(mutex_);
  calls_.push_back(std::move(call));
  recorded_.notify_all();
}

std::vector<HardwareCall> FakeHardware::Calls() const {
  std::lock_guard lock(mutex_);
  return calls_;
}

std::vector<std::string> FakeHardware::CallNames() const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> names;
  for (const auto& call : calls_) names.push_back(call.name);
  return names;
}

std::vector<HardwareCall> FakeHardware::CallsNamed(const std::string& name) const {
  std::lock_guard lock(mutex_);
  std::vector<HardwareCall> named;
  for (const auto& call : calls_) {
    if (call.name == name) named.push_back(call);
  }
  return named;
}

void FakeHardware::ClearCalls() {
  std::lock_guard lock(mutex_);
  calls_.clear();
}

bool FakeHardware::WaitForCalls(const std::string& name, std::size_t count,
                                std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  return recorded_.wait_for(lock, timeout, [&] {
    return static_cast<std::size_t>(std::count_if(calls_.begin(), calls_.end(), [&](const auto& c) {
             return c.name == name;
           })) >= count;
  });
}

int FakeHardware::DriversCreated() const {
  std::lock_guard lock(mutex_);
  return driversCreated_;
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

std::size_t FakeHardware::DataObserverCount(int driver) const {
  const auto channel = Channel(driver);
  return channel ? channel->DataObserverCount() : 0;
}

bool FakeHardware::FireData(int driver, const std::vector<unsigned char>& data) {
  const auto channel = Channel(driver);
  if (!channel) return false;
  channel->DeliverDataHere(data.data(), static_cast<unsigned int>(data.size()));
  return true;
}

bool FakeHardware::FireError(int driver, E_ORBIQLIB_Result code) {
  const auto channel = Channel(driver);
  if (!channel) return false;
  channel->DeliverErrorHere(code);
  return true;
}

bool FakeHardware::FireAvailability(int driver, std::int32_t state) {
  const auto channel = Channel(driver);
  if (!channel) return false;
  channel->DeliverAvailabilityHere(state);
  return true;
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

std::future<bool> FakeHardware::FireAvailabilityAsync(int driver, std::int32_t state) {
  auto channel = Channel(driver);
  return std::async(std::launch::async, [channel, state] {
    LibraryThreadScope libraryThread;
    if (!channel) return false;
    channel->DeliverAvailabilityHere(state);
    return true;
  });
}

}  // namespace Talvaro::Testing
