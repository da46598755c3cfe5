#include "external/hardware/xrb_simulator.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <thread>

#include "external/hardware/callback_channel.h"
#include "external/hardware/command_language.h"
#include "external/hardware/unit_list.h"

namespace OrbiqCommunicationLibrary::Simulator {

using Detail::CallbackChannel;
using Detail::SharedBytes;
using Clock = std::chrono::steady_clock;

namespace {

// Cores whose objects were not all given back at Shutdown. The server may still hold such a
// driver's interfaces, so they stay valid (inert) until the process ends. Never destroyed: it
// must outlive every static that could reach one of them.
void KeepUntilExit(std::shared_ptr<SimulatorCore> core) {
  static auto* mutex = new std::mutex;
  static auto* cores = new std::vector<std::shared_ptr<SimulatorCore>>;
  std::lock_guard lock(*mutex);
  cores->push_back(std::move(core));
}

template <typename T>
void PushBounded(std::deque<T>& records, T record) {
  records.push_back(std::move(record));
  if (records.size() > kRecordLimit) records.pop_front();
}

std::wstring Hex(std::uint32_t value) {
  wchar_t text[16];
  std::swprintf(text, 16, L"%X", value);
  return text;
}

}  // namespace

// Shared by the facade and its cores: where command lines go for the host's log.
struct LogSink {
  std::mutex mutex;
  std::function<void(const std::wstring&)> function;  // guarded by mutex

  void Write(const std::wstring& line) {
    std::function<void(const std::wstring&)> copy;
    {
      std::lock_guard lock(mutex);
      copy = function;
    }
    if (copy) copy(line);
  }
};

// What an open hardware driver is attached to. Immutable; replaced on each Open.
struct Session {
  std::shared_ptr<CallbackChannel> channel;
  std::size_t unitIndex = 0;
  std::wstring logicalName;
  std::wstring applicationName;
};

// A driver's current session, shared with its restriction interface, which may outlive it.
struct DriverLink {
  std::mutex mutex;
  std::shared_ptr<const Session> session;  // guarded by mutex; null while closed

  std::shared_ptr<const Session> Get() {
    std::lock_guard lock(mutex);
    return session;
  }
  // `method` on the open session's channel, or `closed` while the driver is closed.
  template <typename Method, typename... Args>
  E_ORBIQLIB_Result Forward(E_ORBIQLIB_Result closed, Method method, Args&&... args) {
    const auto current = Get();
    return current ? ((*current->channel).*method)(std::forward<Args>(args)...) : closed;
  }
};

class SimRestriction final : public ICommRestriction {
 public:
  explicit SimRestriction(std::shared_ptr<DriverLink> link) : link_(std::move(link)) {}

  E_ORBIQLIB_Result Register(const unsigned int& mode, IRestrictionObserver* observer) override {
    return link_->Forward(ORBIQLIB_E_NOT_OPEN, &CallbackChannel::RegisterRestriction, mode, observer);
  }
  E_ORBIQLIB_Result SetMode(const unsigned int& mode, IRestrictionObserver* observer) override {
    return link_->Forward(ORBIQLIB_E_NOT_OPEN, &CallbackChannel::SetRestrictionMode, mode, observer);
  }
  E_ORBIQLIB_Result Unregister(IRestrictionObserver* observer) override {
    return link_->Forward(ORBIQLIB_E_NOT_OPEN, &CallbackChannel::UnregisterRestriction, observer);
  }
  E_ORBIQLIB_Result GetMode(unsigned int& mode) override {
    return link_->Forward(ORBIQLIB_E_NOT_OPEN, &CallbackChannel::GetRestrictionMode, mode);
  }
  E_ORBIQLIB_Result IsRegistered(IRestrictionObserver* observer, bool& registered) override {
    return link_->Forward(ORBIQLIB_E_NOT_OPEN, &CallbackChannel::IsRestrictionRegistered, observer,
                          registered);
  }

 private:
  const std::shared_ptr<DriverLink> link_;
};

class SimDriver final : public ICommDriver, public ICommDataTransfer, public ICommAvailability {
 public:
  explicit SimDriver(SimulatorCore& core)
      : core_(core),
        link_(std::make_shared<DriverLink>()),
        restriction_(std::make_shared<SimRestriction>(link_)) {}
  ~SimDriver() { Close(); }
  SimDriver(const SimDriver&) = delete;
  SimDriver& operator=(const SimDriver&) = delete;

  E_ORBIQLIB_Result Open(const std::wstring& logicalName, const std::wstring& applicationName,
                         const std::wstring& openArgument) override;
  E_ORBIQLIB_Result Close() override;
  E_ORBIQLIB_Result GenericCommand(const std::wstring& command) override;
  E_ORBIQLIB_Result ApplicationCommand(const std::wstring& text1, const std::wstring& text2,
                                       std::int32_t code) override;
  ICommDataTransfer* GetDataTransferInterface() override { return this; }
  ICommAvailability* GetAvailabilityInterface() override { return this; }
  std::shared_ptr<ICommRestriction> GetRestrictionInterface() override { return restriction_; }

  E_ORBIQLIB_Result RegisterObserver(IDataTransferObserver* observer) override {
    return link_->Forward(ORBIQLIB_E_NOT_OPEN, &CallbackChannel::RegisterData, observer);
  }
  E_ORBIQLIB_Result UnregisterObserver(IDataTransferObserver* observer) override {
    return link_->Forward(ORBIQLIB_E_NOT_REGISTERED, &CallbackChannel::UnregisterData, observer);
  }
  E_ORBIQLIB_Result Write(const unsigned char* data, const unsigned int& count, const int& value,
                          IRestrictionObserver* observer) override;

  E_ORBIQLIB_Result RegisterCallback(IAvailabilityCallback* callback) override {
    return link_->Forward(ORBIQLIB_E_NOT_OPEN, &CallbackChannel::RegisterAvailability, callback);
  }
  E_ORBIQLIB_Result UnregisterCallback(IAvailabilityCallback* callback) override {
    return link_->Forward(ORBIQLIB_E_NOT_REGISTERED, &CallbackChannel::UnregisterAvailability,
                          callback);
  }
  E_ORBIQLIB_Result QueryAvailability(std::int32_t* state) override;

 private:
  SimulatorCore& core_;  // outlives the driver (owner)
  const std::shared_ptr<DriverLink> link_;
  const std::shared_ptr<SimRestriction> restriction_;
  std::mutex openMutex_;  // serializes Open and Close of this driver; never held while waiting
};

// The proxy's own driver: commands only, no unit.
class ProxyDriver final : public ICommDriver {
 public:
  explicit ProxyDriver(SimulatorCore& core) : core_(core) {}
  E_ORBIQLIB_Result Open(const std::wstring&, const std::wstring&, const std::wstring&) override {
    return ORBIQLIB_E_NOT_SUPPORTED;
  }
  E_ORBIQLIB_Result Close() override { return ORBIQLIB_E_NOT_SUPPORTED; }
  E_ORBIQLIB_Result GenericCommand(const std::wstring& command) override;
  E_ORBIQLIB_Result ApplicationCommand(const std::wstring& text1, const std::wstring& text2,
                                       std::int32_t code) override;
  ICommDataTransfer* GetDataTransferInterface() override { return nullptr; }
  ICommAvailability* GetAvailabilityInterface() override { return nullptr; }
  std::shared_ptr<ICommRestriction> GetRestrictionInterface() override { return {}; }

 private:
  SimulatorCore& core_;
};

class SimScanner final : public IUnitScanner {
 public:
  explicit SimScanner(SimulatorCore& core) : core_(core) {}
  E_ORBIQLIB_Result Scan(IUnitList*& list) override;
  E_ORBIQLIB_Result ReleaseList(IUnitList* list) override { return lists_.Release(list); }

 private:
  SimulatorCore& core_;
  Detail::UnitLists lists_;
};

class SimFactory final : public ICommFactory {
 public:
  explicit SimFactory(SimulatorCore& core) : core_(core) {}
  ICommDriver* CreateCommDriver() override;
  E_ORBIQLIB_Result ReleaseCommDriver(ICommDriver* driver) override;
  IUnitScanner* CreateUnitScanner() override;
  E_ORBIQLIB_Result ReleaseUnitScanner(IUnitScanner* scanner) override;

 private:
  SimulatorCore& core_;
};

// One Initialize..Shutdown life of the simulator.
//
// Threads: the control API and the hardware objects' operations on any thread; one delivery
// thread per open driver (CallbackChannel) and one periodic-data thread, both from Start to
// Finish. Lock order: mutex_, then a channel's mutex (posting). mutex_ is never held while a
// channel waits (Close, unregistration, write questions) or while foreign code runs.
class SimulatorCore final : public CommandTarget {
 public:
  SimulatorCore(SimulatorConfig config, std::shared_ptr<LogSink> sink);
  ~SimulatorCore();
  SimulatorCore(const SimulatorCore&) = delete;
  SimulatorCore& operator=(const SimulatorCore&) = delete;

  E_ORBIQLIB_Result Start();
  E_ORBIQLIB_Result Finish();
  E_ORBIQLIB_Result Shutdown();
  bool HasOutstandingObjects() const;
  ICommFactory* Factory() { return &factory_; }
  ICommDriver* ProxyDriverObject() { return &proxyDriver_; }

  // CommandTarget, also the control API.
  E_ORBIQLIB_Result InjectData(const std::wstring& unit, std::vector<unsigned char> data) override;
  E_ORBIQLIB_Result InjectBurst(const std::wstring& unit, std::size_t size, std::uint32_t count) override;
  E_ORBIQLIB_Result InjectError(const std::wstring& unit, E_ORBIQLIB_Result code) override;
  E_ORBIQLIB_Result SetAvailability(const std::wstring& unit, std::int32_t state) override;
  E_ORBIQLIB_Result AskRestriction(const std::wstring& unit,
                                   std::vector<unsigned char> data) override;
  E_ORBIQLIB_Result SetNextOpenResult(const std::wstring& unit, E_ORBIQLIB_Result result) override {
    return SetNextResult(&Unit::nextOpenResult, unit, result);
  }
  E_ORBIQLIB_Result SetNextWriteResult(const std::wstring& unit, E_ORBIQLIB_Result result) override {
    return SetNextResult(&Unit::nextWriteResult, unit, result);
  }
  E_ORBIQLIB_Result SetNextApplicationResult(E_ORBIQLIB_Result result) override;
  E_ORBIQLIB_Result SetDataPeriod(const std::wstring& unit, std::uint32_t periodMs) override;
  E_ORBIQLIB_Result SetPeriodicData(bool enabled) override;
  std::wstring Listing() override;
  std::wstring WriteListing() override;

  E_ORBIQLIB_Result Execute(const std::wstring& command, std::wstring* output);
  bool WaitUntilQuiet(std::chrono::milliseconds timeout);
  std::vector<std::wstring> UnitNames() const;
  std::size_t OpenDriverCount(const std::wstring& logicalName) const;
  std::int32_t Availability(const std::wstring& logicalName) const;
  std::vector<WriteRecord> Writes() const;
  std::vector<ApplicationCommandRecord> ApplicationCommands() const;
  std::vector<GenericCommandRecord> GenericCommands() const;
  std::vector<RestrictionAnswerRecord> RestrictionAnswers() const;
  std::wstring LastCommandOutput() const;

  // For the hardware objects.
  ICommDriver* CreateDriver();
  E_ORBIQLIB_Result ReleaseDriver(ICommDriver* driver);
  IUnitScanner* CreateScanner();
  E_ORBIQLIB_Result ReleaseScanner(IUnitScanner* scanner);
  std::optional<std::vector<Detail::UnitEntry>> SnapshotUnits() const;
  E_ORBIQLIB_Result OpenSession(const std::wstring& logicalName, const std::wstring& applicationName,
                                const std::wstring& openArgument,
                                std::shared_ptr<const Session>& session);
  void CloseSession(const std::shared_ptr<const Session>& session);
  E_ORBIQLIB_Result Write(const Session& session, const unsigned char* data, unsigned int count,
                          int value, IRestrictionObserver* observer);
  E_ORBIQLIB_Result QueryAvailability(const Session& session, std::int32_t* state) const;
  E_ORBIQLIB_Result RecordApplicationCommand(const std::wstring& text1, const std::wstring& text2,
                                             std::int32_t code);

 private:
  struct OpenDriver {
    std::shared_ptr<CallbackChannel> channel;
    std::wstring applicationName;
    std::wstring openArgument;
  };
  struct Unit {
    UnitConfig config;
    std::int32_t availability = 1;
    std::uint32_t periodMs = 0;  // own period, before the global switch
    std::optional<E_ORBIQLIB_Result> nextOpenResult;
    std::optional<E_ORBIQLIB_Result> nextWriteResult;
    std::vector<OpenDriver> drivers;  // in open order
    std::uint32_t sequence = 0;
    Clock::time_point nextDue{};
  };
  using Lock = std::unique_lock<std::mutex>;

  E_ORBIQLIB_Result SetNextResult(std::optional<E_ORBIQLIB_Result> Unit::*next,
                                  const std::wstring& logicalName, E_ORBIQLIB_Result result);
  // A new hardware object kept in `owned`; null after Shutdown.
  template <typename T, typename Handle>
  Handle* Create(std::map<Handle*, std::unique_ptr<T>>& owned);
  // Takes `handle` out of `owned`; null for an object not handed out (any more).
  template <typename T, typename Handle>
  std::unique_ptr<T> Take(std::map<Handle*, std::unique_ptr<T>>& owned, Handle* handle);
  // Checks done by every injection; mutex_ held.
  E_ORBIQLIB_Result FindStartedUnit(const std::wstring& logicalName, Unit*& unit);
  Unit* FindUnit(const std::wstring& logicalName);
  const Unit* FindUnit(const std::wstring& logicalName) const;
  std::uint32_t EffectivePeriod(const Unit& unit) const;
  void PeriodicLoop();
  void EmitStatus(Unit& unit);
  void Retire(std::thread thread);
  void JoinRetired();
  void Record(WriteRecord record);

  const std::uint32_t restrictionTimeoutMs_;
  const std::shared_ptr<LogSink> sink_;
  const std::shared_ptr<Detail::QuietCounter> quiet_ = std::make_shared<Detail::QuietCounter>();
  SimFactory factory_{*this};
  ProxyDriver proxyDriver_{*this};

  mutable std::mutex mutex_;  // guards every field below
  std::vector<Unit> units_;
  bool periodicData_ = true;
  bool started_ = false;
  bool shutDown_ = false;
  std::map<ICommDriver*, std::unique_ptr<SimDriver>> drivers_;
  std::map<IUnitScanner*, std::unique_ptr<SimScanner>> scanners_;
  std::optional<E_ORBIQLIB_Result> nextApplicationResult_;
  std::deque<WriteRecord> writes_;
  std::deque<ApplicationCommandRecord> applicationCommands_;
  std::deque<GenericCommandRecord> genericCommands_;
  std::deque<RestrictionAnswerRecord> restrictionAnswers_;
  std::wstring lastOutput_;
  std::vector<std::thread> retired_;  // delivery threads of drivers closed on their own thread
  std::thread periodic_;
  std::condition_variable periodicWake_;
  bool periodicStop_ = true;

  friend class SimDriver;
};

// ---------------- SimDriver, ProxyDriver, scanner, factory ----------------

E_ORBIQLIB_Result SimDriver::Open(const std::wstring& logicalName,
                                  const std::wstring& applicationName,
                                  const std::wstring& openArgument) {
  std::lock_guard open(openMutex_);
  if (link_->Get()) return ORBIQLIB_E_ALREADY_OPEN;
  std::shared_ptr<const Session> session;
  const E_ORBIQLIB_Result result =
      core_.OpenSession(logicalName, applicationName, openArgument, session);
  if (result != ORBIQLIB_SUCCESS) return result;
  std::lock_guard lock(link_->mutex);
  link_->session = std::move(session);
  return ORBIQLIB_SUCCESS;
}

E_ORBIQLIB_Result SimDriver::Close() {
  std::shared_ptr<const Session> session;
  {
    std::lock_guard open(openMutex_);
    std::lock_guard lock(link_->mutex);
    session = std::move(link_->session);
    link_->session.reset();
  }
  if (!session) return ORBIQLIB_E_NOT_OPEN;
  core_.CloseSession(session);  // waits for running callbacks: no lock of ours held
  return ORBIQLIB_SUCCESS;
}

E_ORBIQLIB_Result SimDriver::GenericCommand(const std::wstring& command) {
  return core_.Execute(command, nullptr);
}

E_ORBIQLIB_Result SimDriver::ApplicationCommand(const std::wstring& text1,
                                                const std::wstring& text2, std::int32_t code) {
  return core_.RecordApplicationCommand(text1, text2, code);
}

E_ORBIQLIB_Result SimDriver::Write(const unsigned char* data, const unsigned int& count,
                                   const int& value, IRestrictionObserver* observer) {
  if (data == nullptr && count > 0) return ORBIQLIB_E_INVALID_ARGUMENT;
  const auto session = link_->Get();
  if (!session) return ORBIQLIB_E_NOT_OPEN;
  return core_.Write(*session, data, count, value, observer);
}

E_ORBIQLIB_Result SimDriver::QueryAvailability(std::int32_t* state) {
  const auto session = link_->Get();
  if (!session) return ORBIQLIB_E_NOT_OPEN;
  return core_.QueryAvailability(*session, state);
}

E_ORBIQLIB_Result ProxyDriver::GenericCommand(const std::wstring& command) {
  return core_.Execute(command, nullptr);
}

E_ORBIQLIB_Result ProxyDriver::ApplicationCommand(const std::wstring& text1,
                                                  const std::wstring& text2, std::int32_t code) {
  return core_.RecordApplicationCommand(text1, text2, code);
}

E_ORBIQLIB_Result SimScanner::Scan(IUnitList*& list) {
  const auto units = core_.SnapshotUnits();
  list = units ? lists_.Add(*units) : nullptr;
  return units ? ORBIQLIB_SUCCESS : ORBIQLIB_E_NOT_INITIALIZED;
}

ICommDriver* SimFactory::CreateCommDriver() { return core_.CreateDriver(); }
E_ORBIQLIB_Result SimFactory::ReleaseCommDriver(ICommDriver* driver) {
  return core_.ReleaseDriver(driver);
}
IUnitScanner* SimFactory::CreateUnitScanner() { return core_.CreateScanner(); }
E_ORBIQLIB_Result SimFactory::ReleaseUnitScanner(IUnitScanner* scanner) {
  return core_.ReleaseScanner(scanner);
}

// ---------------- SimulatorCore ----------------

SimulatorCore::SimulatorCore(SimulatorConfig config, std::shared_ptr<LogSink> sink)
    : restrictionTimeoutMs_(config.restrictionTimeoutMs), sink_(std::move(sink)) {
  periodicData_ = config.periodicData;
  for (auto& unitConfig : config.units) {
    Unit unit;
    unit.availability = unitConfig.available ? 1 : 0;
    unit.periodMs = std::min(unitConfig.dataPeriodMs.value_or(config.dataPeriodMs), kMaxDataPeriodMs);
    unit.config = std::move(unitConfig);
    units_.push_back(std::move(unit));
  }
}

SimulatorCore::~SimulatorCore() {
  // Shutdown normally did all of this; a core dropped without it must not leave threads.
  if (!shutDown_ && !Detail::OnLibraryThread()) Shutdown();
  drivers_.clear();
  JoinRetired();
}

E_ORBIQLIB_Result SimulatorCore::Start() {
  Lock lock(mutex_);
  if (shutDown_) return ORBIQLIB_E_NOT_INITIALIZED;
  if (started_) return ORBIQLIB_E_WRONG_STATE;
  started_ = true;
  const auto now = Clock::now();
  for (Unit& unit : units_) {
    for (OpenDriver& driver : unit.drivers) driver.channel->StartThread();
    unit.nextDue = now + std::chrono::milliseconds(unit.periodMs);
  }
  periodicStop_ = false;
  periodic_ = std::thread([this] { PeriodicLoop(); });
  return ORBIQLIB_SUCCESS;
}

E_ORBIQLIB_Result SimulatorCore::Finish() {
  if (Detail::OnLibraryThread()) return ORBIQLIB_E_WRONG_THREAD;
  std::vector<std::shared_ptr<CallbackChannel>> channels;
  std::thread periodic;
  {
    Lock lock(mutex_);
    if (shutDown_) return ORBIQLIB_E_NOT_INITIALIZED;
    if (!started_) return ORBIQLIB_E_NOT_STARTED;
    started_ = false;
    periodicStop_ = true;
    periodicWake_.notify_all();
    periodic = std::move(periodic_);
    for (const Unit& unit : units_) {
      for (const OpenDriver& driver : unit.drivers) channels.push_back(driver.channel);
    }
  }
  if (periodic.joinable()) periodic.join();
  for (const auto& channel : channels) channel->StopThread();
  JoinRetired();
  return ORBIQLIB_SUCCESS;
}

E_ORBIQLIB_Result SimulatorCore::Shutdown() {
  if (Detail::OnLibraryThread()) return ORBIQLIB_E_WRONG_THREAD;
  bool started = false;
  {
    Lock lock(mutex_);
    if (shutDown_) return ORBIQLIB_E_NOT_INITIALIZED;
    started = started_;
  }
  if (started) Finish();
  std::vector<SimDriver*> open;
  {
    Lock lock(mutex_);
    shutDown_ = true;
    for (auto& [handle, driver] : drivers_) open.push_back(driver.get());
  }
  // The drivers stay (the server may hold them); they only lose their unit.
  for (SimDriver* driver : open) driver->Close();
  JoinRetired();
  return ORBIQLIB_SUCCESS;
}

bool SimulatorCore::HasOutstandingObjects() const {
  Lock lock(mutex_);
  return !drivers_.empty() || !scanners_.empty();
}

SimulatorCore::Unit* SimulatorCore::FindUnit(const std::wstring& logicalName) {
  const auto found = std::find_if(units_.begin(), units_.end(), [&](const Unit& unit) {
    return unit.config.logicalName == logicalName;
  });
  return found == units_.end() ? nullptr : &*found;
}

const SimulatorCore::Unit* SimulatorCore::FindUnit(const std::wstring& logicalName) const {
  return const_cast<SimulatorCore*>(this)->FindUnit(logicalName);
}

E_ORBIQLIB_Result SimulatorCore::FindStartedUnit(const std::wstring& logicalName, Unit*& unit) {
  if (shutDown_) return ORBIQLIB_E_NOT_INITIALIZED;
  unit = FindUnit(logicalName);
  if (unit == nullptr) return ORBIQLIB_E_UNKNOWN_UNIT;
  if (!started_) return ORBIQLIB_E_NOT_STARTED;
  return ORBIQLIB_SUCCESS;
}

E_ORBIQLIB_Result SimulatorCore::InjectData(const std::wstring& logicalName,
                                            std::vector<unsigned char> data) {
  const auto bytes = std::make_shared<const Detail::Bytes>(std::move(data));
  Lock lock(mutex_);
  Unit* unit = nullptr;
  if (const auto found = FindStartedUnit(logicalName, unit); found != ORBIQLIB_SUCCESS) return found;
  for (const OpenDriver& driver : unit->drivers) driver.channel->PostData(bytes);
  return ORBIQLIB_SUCCESS;
}

// A burst keeps a window of blocks in flight, in buffers of its own that come back when a block's
// last owner (the delivery thread of the last driver that took it, or the burst itself) lets it
// go: a slow driver slows the burst down instead of piling up memory, and a buffer that comes
// back holds the pattern already, so only its sequence number is written again. The window
// holds up to 32 MiB, 2 to 256 blocks; a full one waits until half of it is back.
E_ORBIQLIB_Result SimulatorCore::InjectBurst(const std::wstring& logicalName, std::size_t size,
                                             std::uint32_t count) {
  struct Buffers {
    std::mutex mutex;
    std::condition_variable returned;
    std::vector<std::unique_ptr<Detail::Bytes>> free;  // guarded by mutex
    std::size_t made = 0;                              // guarded by mutex
    bool waiting = false;                              // guarded by mutex: the burst waits for room
  };
  const auto buffers = std::make_shared<Buffers>();
  const std::size_t limit = std::clamp<std::size_t>((32u << 20) / size, 2, 256);
  Detail::Bytes pattern(size);
  for (std::size_t i = 0; i < size; ++i) pattern[i] = static_cast<unsigned char>(i);
  // A full window wakes the burst once half of it has come back, not for every block: a wake-up
  // per block would cost more than the block.
  const auto giveBack = [buffers, half = limit / 2](const Detail::Bytes* block) {
    std::lock_guard lock(buffers->mutex);
    buffers->free.emplace_back(const_cast<Detail::Bytes*>(block));
    if (buffers->waiting && buffers->free.size() >= half) buffers->returned.notify_one();
  };
  for (std::uint64_t sequence = 0; sequence < count; ++sequence) {
    std::unique_ptr<Detail::Bytes> block;
    {
      std::unique_lock lock(buffers->mutex);
      if (buffers->free.empty() && buffers->made == limit) {
        buffers->waiting = true;
        const bool back = buffers->returned.wait_for(lock, std::chrono::seconds(60),
                                                     [&] { return buffers->free.size() >= limit / 2; });
        buffers->waiting = false;
        if (!back) return ORBIQLIB_E_TIMEOUT;  // a driver took nothing for a minute
      }
      if (!buffers->free.empty()) {
        block = std::move(buffers->free.back());
        buffers->free.pop_back();
      } else {
        ++buffers->made;
      }
    }
    if (!block) block = std::make_unique<Detail::Bytes>(pattern);
    std::memcpy(block->data(), &sequence, std::min(size, sizeof sequence));  // little-endian
    const Detail::SharedBytes bytes(block.release(), giveBack);
    Lock lock(mutex_);
    Unit* unit = nullptr;
    if (const auto found = FindStartedUnit(logicalName, unit); found != ORBIQLIB_SUCCESS) return found;
    for (const OpenDriver& driver : unit->drivers) driver.channel->PostData(bytes);
  }
  return ORBIQLIB_SUCCESS;
}

E_ORBIQLIB_Result SimulatorCore::InjectError(const std::wstring& logicalName,
                                             E_ORBIQLIB_Result code) {
  Lock lock(mutex_);
  Unit* unit = nullptr;
  if (const auto found = FindStartedUnit(logicalName, unit); found != ORBIQLIB_SUCCESS) return found;
  for (const OpenDriver& driver : unit->drivers) driver.channel->PostError(code);
  return ORBIQLIB_SUCCESS;
}

E_ORBIQLIB_Result SimulatorCore::SetAvailability(const std::wstring& logicalName,
                                                 std::int32_t state) {
  if (state != 0 && state != 1) return ORBIQLIB_E_INVALID_ARGUMENT;
  Lock lock(mutex_);
  Unit* unit = nullptr;
  if (const auto found = FindStartedUnit(logicalName, unit); found != ORBIQLIB_SUCCESS) return found;
  unit->availability = state;
  for (const OpenDriver& driver : unit->drivers) driver.channel->PostAvailability(state);
  return ORBIQLIB_SUCCESS;
}

E_ORBIQLIB_Result SimulatorCore::AskRestriction(const std::wstring& logicalName,
                                                std::vector<unsigned char> data) {
  const auto bytes = std::make_shared<const Detail::Bytes>(std::move(data));
  Lock lock(mutex_);
  Unit* unit = nullptr;
  if (const auto found = FindStartedUnit(logicalName, unit); found != ORBIQLIB_SUCCESS) return found;
  for (const OpenDriver& driver : unit->drivers) {
    // Runs on the delivery thread, which Finish/Shutdown join before the core goes.
    driver.channel->PostRestrictionQuestion(
        bytes, [this, bytes, logicalName, application = driver.applicationName](
                   unsigned int mode, E_ORBIQLIB_Result verdict) {
          Lock recordLock(mutex_);
          PushBounded(restrictionAnswers_,
                      RestrictionAnswerRecord{logicalName, application, *bytes, mode, verdict});
        });
  }
  return ORBIQLIB_SUCCESS;
}

E_ORBIQLIB_Result SimulatorCore::SetNextResult(std::optional<E_ORBIQLIB_Result> Unit::*next,
                                                const std::wstring& logicalName,
                                                E_ORBIQLIB_Result result) {
  Lock lock(mutex_);
  if (shutDown_) return ORBIQLIB_E_NOT_INITIALIZED;
  Unit* unit = FindUnit(logicalName);
  if (unit == nullptr) return ORBIQLIB_E_UNKNOWN_UNIT;
  unit->*next = result;
  return ORBIQLIB_SUCCESS;
}

E_ORBIQLIB_Result SimulatorCore::SetNextApplicationResult(E_ORBIQLIB_Result result) {
  Lock lock(mutex_);
  if (shutDown_) return ORBIQLIB_E_NOT_INITIALIZED;
  nextApplicationResult_ = result;
  return ORBIQLIB_SUCCESS;
}

E_ORBIQLIB_Result SimulatorCore::SetDataPeriod(const std::wstring& logicalName,
                                               std::uint32_t periodMs) {
  if (periodMs > kMaxDataPeriodMs) return ORBIQLIB_E_INVALID_ARGUMENT;
  Lock lock(mutex_);
  if (shutDown_) return ORBIQLIB_E_NOT_INITIALIZED;
  const auto now = Clock::now();
  const auto apply = [&](Unit& unit) {
    unit.periodMs = periodMs;
    unit.nextDue = now + std::chrono::milliseconds(periodMs);
  };
  if (logicalName == L"*") {
    std::for_each(units_.begin(), units_.end(), apply);
  } else {
    Unit* unit = FindUnit(logicalName);
    if (unit == nullptr) return ORBIQLIB_E_UNKNOWN_UNIT;
    apply(*unit);
  }
  periodicWake_.notify_all();
  return ORBIQLIB_SUCCESS;
}

E_ORBIQLIB_Result SimulatorCore::SetPeriodicData(bool enabled) {
  Lock lock(mutex_);
  if (shutDown_) return ORBIQLIB_E_NOT_INITIALIZED;
  if (enabled && !periodicData_) {
    const auto now = Clock::now();
    for (Unit& unit : units_) unit.nextDue = now + std::chrono::milliseconds(unit.periodMs);
  }
  periodicData_ = enabled;
  periodicWake_.notify_all();
  return ORBIQLIB_SUCCESS;
}

std::wstring SimulatorCore::Listing() {
  Lock lock(mutex_);
  std::wstring text = L"Units: " + std::to_wstring(units_.size()) + L"\n";
  for (const Unit& unit : units_) {
    const UnitConfig& c = unit.config;
    text += c.logicalName + L" MAC=" + c.mac + L" IP=" + c.ip + L" State=" + c.state +
            L" BoardID=0x" + Hex(c.boardId) + L" Available=" + std::to_wstring(unit.availability) +
            L" PeriodMs=" + std::to_wstring(unit.periodMs) +
            L" Drivers=" + std::to_wstring(unit.drivers.size()) + L" SubItems=";
    for (std::size_t i = 0; i < c.subItems.size(); ++i) {
      text += (i == 0 ? L"" : L",") + c.subItems[i];
    }
    text += L"\n";
    for (const OpenDriver& driver : unit.drivers) {
      text += L"  driver application=\"" + driver.applicationName + L"\" argument=\"" +
              driver.openArgument + L"\"\n";
    }
  }
  text += L"Periodic data: ";
  text += periodicData_ ? L"on\n" : L"off\n";
  text += L"Application commands: " + std::to_wstring(applicationCommands_.size()) + L"\n";
  for (const auto& command : applicationCommands_) {
    text += L"  code=" + std::to_wstring(command.code) + L" text1=\"" + command.text1 +
            L"\" text2=\"" + command.text2 + L"\" result=" +
            std::to_wstring(static_cast<std::int32_t>(command.result)) + L"\n";
  }
  return text;
}

std::wstring SimulatorCore::WriteListing() {
  Lock lock(mutex_);
  std::wstring text = L"Writes: " + std::to_wstring(writes_.size()) + L"\n";
  static const wchar_t* const digits = L"0123456789ABCDEF";
  for (auto record = writes_.size() > 100 ? writes_.end() - 100 : writes_.begin(); record != writes_.end(); ++record) {
    text += L"  " + record->logicalName + L" application=\"" + record->applicationName + L"\" data=";
    for (const unsigned char byte : record->data) {
      text += digits[byte >> 4];
      text += digits[byte & 0xF];
    }
    text += L" value=" + std::to_wstring(record->value) +
            (record->verdict ? L" verdict=" + std::to_wstring(static_cast<std::int32_t>(*record->verdict)) : L"") +
            L" result=" + std::to_wstring(static_cast<std::int32_t>(record->result)) + L"\n";
  }
  return text;
}

E_ORBIQLIB_Result SimulatorCore::Execute(const std::wstring& command, std::wstring* output) {
  std::wstring text;
  const E_ORBIQLIB_Result result = ExecuteCommandLine(*this, command, text);
  {
    Lock lock(mutex_);
    PushBounded(genericCommands_, GenericCommandRecord{command, result, text});
    if (!text.empty()) lastOutput_ = text;
  }
  sink_->Write(L"XRB simulator command \"" + command + L"\" -> " +
               std::to_wstring(static_cast<std::int32_t>(result)) +
               (text.empty() ? L"" : L"\n" + text));
  if (output != nullptr) *output = std::move(text);
  return result;
}

bool SimulatorCore::WaitUntilQuiet(std::chrono::milliseconds timeout) {
  if (Detail::OnLibraryThread()) return false;
  return quiet_->WaitForZero(timeout);
}

std::vector<std::wstring> SimulatorCore::UnitNames() const {
  Lock lock(mutex_);
  std::vector<std::wstring> names;
  for (const Unit& unit : units_) names.push_back(unit.config.logicalName);
  return names;
}

std::size_t SimulatorCore::OpenDriverCount(const std::wstring& logicalName) const {
  Lock lock(mutex_);
  const Unit* unit = FindUnit(logicalName);
  return unit == nullptr ? 0 : unit->drivers.size();
}

std::int32_t SimulatorCore::Availability(const std::wstring& logicalName) const {
  Lock lock(mutex_);
  const Unit* unit = FindUnit(logicalName);
  return unit == nullptr ? -1 : unit->availability;
}

std::vector<WriteRecord> SimulatorCore::Writes() const {
  Lock lock(mutex_);
  return {writes_.begin(), writes_.end()};
}

std::vector<ApplicationCommandRecord> SimulatorCore::ApplicationCommands() const {
  Lock lock(mutex_);
  return {applicationCommands_.begin(), applicationCommands_.end()};
}

std::vector<GenericCommandRecord> SimulatorCore::GenericCommands() const {
  Lock lock(mutex_);
  return {genericCommands_.begin(), genericCommands_.end()};
}

std::vector<RestrictionAnswerRecord> SimulatorCore::RestrictionAnswers() const {
  Lock lock(mutex_);
  return {restrictionAnswers_.begin(), restrictionAnswers_.end()};
}

std::wstring SimulatorCore::LastCommandOutput() const {
  Lock lock(mutex_);
  return lastOutput_;
}

template <typename T, typename Handle>
Handle* SimulatorCore::Create(std::map<Handle*, std::unique_ptr<T>>& owned) {
  Lock lock(mutex_);
  if (shutDown_) return nullptr;
  auto object = std::make_unique<T>(*this);
  Handle* handle = object.get();
  owned.emplace(handle, std::move(object));
  return handle;
}

template <typename T, typename Handle>
std::unique_ptr<T> SimulatorCore::Take(std::map<Handle*, std::unique_ptr<T>>& owned,
                                       Handle* handle) {
  Lock lock(mutex_);
  const auto found = owned.find(handle);
  if (found == owned.end()) return nullptr;
  auto object = std::move(found->second);
  owned.erase(found);
  return object;
}

ICommDriver* SimulatorCore::CreateDriver() { return Create(drivers_); }

E_ORBIQLIB_Result SimulatorCore::ReleaseDriver(ICommDriver* handle) {
  const auto driver = Take(drivers_, handle);
  if (!driver) return ORBIQLIB_E_INVALID_ARGUMENT;
  driver->Close();  // waits for running callbacks, so not under mutex_
  return ORBIQLIB_SUCCESS;
}

IUnitScanner* SimulatorCore::CreateScanner() { return Create(scanners_); }

E_ORBIQLIB_Result SimulatorCore::ReleaseScanner(IUnitScanner* handle) {
  return Take(scanners_, handle) ? ORBIQLIB_SUCCESS : ORBIQLIB_E_INVALID_ARGUMENT;
}

std::optional<std::vector<Detail::UnitEntry>> SimulatorCore::SnapshotUnits() const {
  Lock lock(mutex_);
  if (shutDown_) return std::nullopt;
  std::vector<Detail::UnitEntry> units;
  for (const Unit& unit : units_) {
    const UnitConfig& c = unit.config;
    units.push_back({CXRBDescription(c.logicalName, c.mac, c.ip, c.state, c.boardId), c.subItems});
  }
  return units;
}

E_ORBIQLIB_Result SimulatorCore::OpenSession(const std::wstring& logicalName,
                                             const std::wstring& applicationName,
                                             const std::wstring& openArgument,
                                             std::shared_ptr<const Session>& session) {
  Lock lock(mutex_);
  if (shutDown_) return ORBIQLIB_E_NOT_INITIALIZED;
  Unit* unit = FindUnit(logicalName);
  if (unit == nullptr) return ORBIQLIB_E_UNKNOWN_UNIT;
  if (unit->nextOpenResult) {
    const E_ORBIQLIB_Result result = *unit->nextOpenResult;
    unit->nextOpenResult.reset();
    if (result != ORBIQLIB_SUCCESS) return result;
  }
  auto channel = std::make_shared<CallbackChannel>(quiet_);
  if (started_) channel->StartThread();
  unit->drivers.push_back(OpenDriver{channel, applicationName, openArgument});
  session = std::make_shared<const Session>(Session{
      channel, static_cast<std::size_t>(unit - units_.data()), logicalName, applicationName});
  return ORBIQLIB_SUCCESS;
}

void SimulatorCore::CloseSession(const std::shared_ptr<const Session>& session) {
  {
    Lock lock(mutex_);
    auto& drivers = units_[session->unitIndex].drivers;
    drivers.erase(std::remove_if(drivers.begin(), drivers.end(),
                                 [&](const OpenDriver& d) { return d.channel == session->channel; }),
                  drivers.end());
  }
  std::thread own = session->channel->Close();
  if (own.joinable()) Retire(std::move(own));
}

void SimulatorCore::Record(WriteRecord record) {
  Lock lock(mutex_);
  PushBounded(writes_, std::move(record));
}

E_ORBIQLIB_Result SimulatorCore::Write(const Session& session, const unsigned char* data,
                                       unsigned int count, int value,
                                       IRestrictionObserver* observer) {
  auto bytes = std::make_shared<const Detail::Bytes>(data, data + count);
  WriteRecord record{session.logicalName, session.applicationName, *bytes, value, std::nullopt,
                     ORBIQLIB_SUCCESS};
  {
    Lock lock(mutex_);
    if (shutDown_) return ORBIQLIB_E_NOT_INITIALIZED;
    if (!started_) return ORBIQLIB_E_NOT_STARTED;
    if (units_[session.unitIndex].availability == 0) {
      record.result = ORBIQLIB_E_UNIT_UNAVAILABLE;
      PushBounded(writes_, std::move(record));
      return ORBIQLIB_E_UNIT_UNAVAILABLE;
    }
  }
  if (observer != nullptr) {
    E_ORBIQLIB_Result verdict = ORBIQLIB_SUCCESS;
    const E_ORBIQLIB_Result asked = session.channel->AskWriteQuestion(
        observer, bytes, std::chrono::milliseconds(restrictionTimeoutMs_), verdict);
    if (asked != ORBIQLIB_SUCCESS) {
      record.result = asked;
      Record(std::move(record));
      return asked;
    }
    record.verdict = verdict;
    if (verdict != ORBIQLIB_SUCCESS) {
      record.result = ORBIQLIB_E_RESTRICTED;
      Record(std::move(record));
      return ORBIQLIB_E_RESTRICTED;
    }
  }
  Lock lock(mutex_);
  Unit& unit = units_[session.unitIndex];
  record.result = unit.nextWriteResult.value_or(ORBIQLIB_SUCCESS);
  unit.nextWriteResult.reset();
  const E_ORBIQLIB_Result result = record.result;
  PushBounded(writes_, std::move(record));
  return result;
}

E_ORBIQLIB_Result SimulatorCore::QueryAvailability(const Session& session,
                                                   std::int32_t* state) const {
  Lock lock(mutex_);
  if (shutDown_) return ORBIQLIB_E_NOT_INITIALIZED;
  const std::int32_t availability = units_[session.unitIndex].availability;
  if (state != nullptr) *state = availability;
  return static_cast<E_ORBIQLIB_Result>(availability);
}

E_ORBIQLIB_Result SimulatorCore::RecordApplicationCommand(const std::wstring& text1,
                                                          const std::wstring& text2,
                                                          std::int32_t code) {
  Lock lock(mutex_);
  if (shutDown_) return ORBIQLIB_E_NOT_INITIALIZED;
  E_ORBIQLIB_Result result =
      code >= 0 && code <= 2 ? ORBIQLIB_SUCCESS : ORBIQLIB_E_UNKNOWN_APPLICATION_COMMAND;
  if (nextApplicationResult_) {
    result = *nextApplicationResult_;
    nextApplicationResult_.reset();
  }
  PushBounded(applicationCommands_, ApplicationCommandRecord{text1, text2, code, result});
  return result;
}

std::uint32_t SimulatorCore::EffectivePeriod(const Unit& unit) const {
  return periodicData_ ? unit.periodMs : 0;
}

void SimulatorCore::EmitStatus(Unit& unit) {
  // "ST", availability, 0, sequence (LE32), board id (LE32).
  const std::uint32_t sequence = unit.sequence++;
  const std::uint32_t board = unit.config.boardId;
  auto block = std::make_shared<const Detail::Bytes>(Detail::Bytes{
      0x53, 0x54, static_cast<unsigned char>(unit.availability), 0,
      static_cast<unsigned char>(sequence), static_cast<unsigned char>(sequence >> 8),
      static_cast<unsigned char>(sequence >> 16), static_cast<unsigned char>(sequence >> 24),
      static_cast<unsigned char>(board), static_cast<unsigned char>(board >> 8),
      static_cast<unsigned char>(board >> 16), static_cast<unsigned char>(board >> 24)});
  for (const OpenDriver& driver : unit.drivers) driver.channel->PostData(block);
}

void SimulatorCore::PeriodicLoop() {
  Detail::LibraryThreadScope libraryThread;
  Lock lock(mutex_);
  while (!periodicStop_) {
    const auto now = Clock::now();
    auto next = Clock::time_point::max();
    for (Unit& unit : units_) {
      const std::uint32_t period = EffectivePeriod(unit);
      if (period == 0) continue;
      if (unit.nextDue <= now) {
        if (unit.availability == 1) EmitStatus(unit);
        unit.nextDue += std::chrono::milliseconds(period);
        if (unit.nextDue <= now) unit.nextDue = now + std::chrono::milliseconds(period);
      }
      next = std::min(next, unit.nextDue);
    }
    if (next == Clock::time_point::max()) {
      periodicWake_.wait(lock);
    } else {
      periodicWake_.wait_until(lock, next);
    }
  }
}

void SimulatorCore::Retire(std::thread thread) {
  Lock lock(mutex_);
  retired_.push_back(std::move(thread));
}

void SimulatorCore::JoinRetired() {
  std::vector<std::thread> threads;
  {
    Lock lock(mutex_);
    threads.swap(retired_);
  }
  for (std::thread& thread : threads) {
    if (thread.get_id() == std::this_thread::get_id()) {
      thread.detach();  // cannot happen through the public paths; never join oneself
    } else {
      thread.join();
    }
  }
}

// ---------------- XRBSimulator ----------------

XRBSimulator::XRBSimulator() : logSink_(std::make_shared<LogSink>()) {}

XRBSimulator::XRBSimulator(SimulatorConfig config)
    : fixedConfig_(std::move(config)), logSink_(std::make_shared<LogSink>()) {}

XRBSimulator::~XRBSimulator() {
  if (Core()) Shutdown();
}

std::shared_ptr<SimulatorCore> XRBSimulator::Core() const {
  std::lock_guard lock(mutex_);
  return core_;
}

template <typename Result, typename Method, typename... Args>
Result XRBSimulator::Forward(Result whenDown, Method method, Args&&... args) const {
  const auto core = Core();
  return core ? ((*core).*method)(std::forward<Args>(args)...) : whenDown;
}

E_ORBIQLIB_Result XRBSimulator::Initialize() {
  std::lock_guard lock(mutex_);
  if (core_) return ORBIQLIB_E_WRONG_STATE;
  core_ = std::make_shared<SimulatorCore>(fixedConfig_ ? *fixedConfig_ : ReadSimulatorConfig(),
                                          logSink_);
  return ORBIQLIB_SUCCESS;
}

E_ORBIQLIB_Result XRBSimulator::Start() {
  return Forward(ORBIQLIB_E_NOT_INITIALIZED, &SimulatorCore::Start);
}

E_ORBIQLIB_Result XRBSimulator::Finish() {
  return Forward(ORBIQLIB_E_NOT_INITIALIZED, &SimulatorCore::Finish);
}

E_ORBIQLIB_Result XRBSimulator::Shutdown() {
  if (Detail::OnLibraryThread()) return ORBIQLIB_E_WRONG_THREAD;
  std::shared_ptr<SimulatorCore> core;
  {
    std::lock_guard lock(mutex_);
    core = std::move(core_);
    core_.reset();
  }
  if (!core) return ORBIQLIB_E_NOT_INITIALIZED;
  const E_ORBIQLIB_Result result = core->Shutdown();
  if (core->HasOutstandingObjects()) KeepUntilExit(std::move(core));
  return result;
}

ICommFactory* XRBSimulator::GetFactory() {
  return Forward<ICommFactory*>(nullptr, &SimulatorCore::Factory);
}

ICommDriver* XRBSimulator::GetDriver() {
  return Forward<ICommDriver*>(nullptr, &SimulatorCore::ProxyDriverObject);
}

E_ORBIQLIB_Result XRBSimulator::InjectData(const std::wstring& logicalName,
                                           std::vector<unsigned char> data) {
  return Forward(ORBIQLIB_E_NOT_INITIALIZED, &SimulatorCore::InjectData,
                 logicalName, std::move(data));
}

E_ORBIQLIB_Result XRBSimulator::InjectError(const std::wstring& logicalName,
                                            E_ORBIQLIB_Result code) {
  return Forward(ORBIQLIB_E_NOT_INITIALIZED, &SimulatorCore::InjectError, logicalName, code);
}

E_ORBIQLIB_Result XRBSimulator::SetAvailability(const std::wstring& logicalName,
                                                std::int32_t state) {
  return Forward(ORBIQLIB_E_NOT_INITIALIZED, &SimulatorCore::SetAvailability, logicalName, state);
}

E_ORBIQLIB_Result XRBSimulator::AskRestriction(const std::wstring& logicalName,
                                               std::vector<unsigned char> data) {
  return Forward(ORBIQLIB_E_NOT_INITIALIZED, &SimulatorCore::AskRestriction,
                 logicalName, std::move(data));
}

E_ORBIQLIB_Result XRBSimulator::SetNextOpenResult(const std::wstring& logicalName,
                                                  E_ORBIQLIB_Result result) {
  return Forward(ORBIQLIB_E_NOT_INITIALIZED, &SimulatorCore::SetNextOpenResult,
                 logicalName, result);
}

E_ORBIQLIB_Result XRBSimulator::SetNextWriteResult(const std::wstring& logicalName,
                                                   E_ORBIQLIB_Result result) {
  return Forward(ORBIQLIB_E_NOT_INITIALIZED, &SimulatorCore::SetNextWriteResult,
                 logicalName, result);
}

E_ORBIQLIB_Result XRBSimulator::SetNextApplicationResult(E_ORBIQLIB_Result result) {
  return Forward(ORBIQLIB_E_NOT_INITIALIZED, &SimulatorCore::SetNextApplicationResult, result);
}

E_ORBIQLIB_Result XRBSimulator::SetDataPeriod(const std::wstring& logicalName,
                                              std::uint32_t periodMs) {
  return Forward(ORBIQLIB_E_NOT_INITIALIZED, &SimulatorCore::SetDataPeriod, logicalName, periodMs);
}

E_ORBIQLIB_Result XRBSimulator::SetPeriodicData(bool enabled) {
  return Forward(ORBIQLIB_E_NOT_INITIALIZED, &SimulatorCore::SetPeriodicData, enabled);
}

E_ORBIQLIB_Result XRBSimulator::ExecuteCommand(const std::wstring& command, std::wstring* output) {
  return Forward(ORBIQLIB_E_NOT_INITIALIZED, &SimulatorCore::Execute, command, output);
}

bool XRBSimulator::WaitUntilQuiet(std::chrono::milliseconds timeout) {
  return Forward(true, &SimulatorCore::WaitUntilQuiet, timeout);
}

std::vector<std::wstring> XRBSimulator::UnitNames() const {
  return Forward(std::vector<std::wstring>{}, &SimulatorCore::UnitNames);
}

std::size_t XRBSimulator::OpenDriverCount(const std::wstring& logicalName) const {
  return Forward(std::size_t{0}, &SimulatorCore::OpenDriverCount, logicalName);
}

std::int32_t XRBSimulator::Availability(const std::wstring& logicalName) const {
  return Forward(std::int32_t{-1}, &SimulatorCore::Availability, logicalName);
}

std::vector<WriteRecord> XRBSimulator::Writes() const {
  return Forward(std::vector<WriteRecord>{}, &SimulatorCore::Writes);
}

std::vector<ApplicationCommandRecord> XRBSimulator::ApplicationCommands() const {
  return Forward(std::vector<ApplicationCommandRecord>{}, &SimulatorCore::ApplicationCommands);
}

std::vector<GenericCommandRecord> XRBSimulator::GenericCommands() const {
  return Forward(std::vector<GenericCommandRecord>{}, &SimulatorCore::GenericCommands);
}

std::vector<RestrictionAnswerRecord> XRBSimulator::RestrictionAnswers() const {
  return Forward(std::vector<RestrictionAnswerRecord>{}, &SimulatorCore::RestrictionAnswers);
}

std::wstring XRBSimulator::LastCommandOutput() const {
  return Forward(std::wstring{}, &SimulatorCore::LastCommandOutput);
}

void XRBSimulator::SetLogSink(std::function<void(const std::wstring&)> sink) {
  std::lock_guard lock(logSink_->mutex);
  logSink_->function = std::move(sink);
}

}  // namespace OrbiqCommunicationLibrary::Simulator
