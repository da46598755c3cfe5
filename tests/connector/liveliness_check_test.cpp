// The liveliness check of a shared-memory link, against a real channel whose reader in this
// process can be made to stop taking probes.
#include "connector/shared_memory_liveliness_check.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <optional>

#include "external/logging/record_sink.h"
#include "external/sharedmemory/private_namespace.h"
#include "external/sharedmemory/shared_memory_consumer.h"
#include "tests/support/wait/wait_until.h"

namespace Talvaro::Connector {
namespace {

using namespace std::chrono_literals;
namespace Transport = SharedMemoryTransport;
using Clock = std::chrono::steady_clock;

constexpr auto kBound = 30s;

class LivelinessCheck : public ::testing::Test {
 protected:
  // The liveliness channel (10 bytes) and its reader, which holds each probe while `stalled`.
  void Link(std::size_t size = 10) {
    producer_ = std::make_shared<Transport::CSharedMemoryProducer>(attributes_, space_.Name(), L"live", size);
    reader_.emplace(space_.Name(), L"live", [this](const unsigned char*, std::size_t) {
      std::unique_lock lock(mutex_);
      ++probes_;
      firstProbe_ = firstProbe_.value_or(Clock::now());
      changed_.notify_all();
      changed_.wait(lock, [this] { return !stalled_; });
    }, size);
  }
  void Start() {
    started_ = Clock::now();
    check_.emplace(producer_, L"XRB_1_App", [this] { ++deaths_; });
  }
  void Stall(bool stalled) {
    std::lock_guard lock(mutex_);
    stalled_ = stalled;
    changed_.notify_all();
  }
  std::size_t Count(const std::wstring& text) const { return records_->Matching(text).size(); }
  void TearDown() override {
    Stall(false);
    check_.reset();
    reader_.reset();
  }

  const Transport::CSecurityAttributes attributes_{L"D:(A;;GA;;;AU)(A;;GA;;;CO)"};
  Transport::CPrivateNamespace space_ = Transport::CPrivateNamespace::CreatePrivateNamespaceW(
      attributes_, L"TALVARO_LivelinessTest", L"tcdlive" + std::to_wstring(::getpid()));
  std::shared_ptr<Logging::RecordCollector> records_ = std::make_shared<Logging::RecordCollector>();
  Logging::ScopedRecordSink tap_{records_};
  std::shared_ptr<Transport::CSharedMemoryProducer> producer_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool stalled_ = false;                     // guarded by mutex_
  std::size_t probes_ = 0;                   // guarded by mutex_
  std::optional<Clock::time_point> firstProbe_;  // guarded by mutex_
  std::optional<Transport::CSharedMemoryConsumer> reader_;
  std::atomic<int> deaths_{0};
  Clock::time_point started_;
  std::optional<SharedMemoryLivelinessCheck> check_;
};

TEST_F(LivelinessCheck, AReaderThatStopsIsDeadAfterFiveFailedProbesAndTheCheckEnds) {
  Link();
  Stall(true);  // the first probe is taken and held: the reader takes nothing more
  Start();
  ASSERT_TRUE(Testing::WaitUntil([&] { return deaths_ == 1; }, kBound));
  {
    std::lock_guard lock(mutex_);
    ASSERT_TRUE(firstProbe_);
    EXPECT_GE(*firstProbe_ - started_, 1s) << "the first probe waits a period";
  }
  EXPECT_GE(Clock::now() - started_, 5s);
  EXPECT_EQ(Count(L"Write to shared memory timeout ("), 5u);
  const auto rounds = Count(L"Do liveliness check (XRB_1_App)");
  EXPECT_EQ(rounds, 6u) << "the one taken, then five that failed";
  ASSERT_TRUE(records_->WaitForText(L"Liveliness check done (XRB_1_App)", kBound));
  const auto beforeRelease = Clock::now();
  check_.reset();
  EXPECT_LT(Clock::now() - beforeRelease, 1s) << "the task had ended";
  EXPECT_EQ(Count(L"Do liveliness check (XRB_1_App)"), rounds) << "no probe after the callback";
  EXPECT_EQ(deaths_, 1);
  EXPECT_EQ(Count(L"hasn't been stopped yet"), 0u);
}

TEST_F(LivelinessCheck, DestroyedFromItsOwnCallbackItEndsWithoutWaitingForItself) {
  Link();
  Stall(true);
  struct Owner {
    std::mutex mutex;
    std::unique_ptr<SharedMemoryLivelinessCheck> check;  // guarded by mutex
  };
  auto owner = std::make_shared<Owner>();
  std::atomic<bool> released{false};
  auto check = std::make_unique<SharedMemoryLivelinessCheck>(producer_, L"XRB_1_App", [owner, &released] {
    std::unique_ptr<SharedMemoryLivelinessCheck> mine;
    {
      std::lock_guard lock(owner->mutex);
      mine = std::move(owner->check);
    }
    mine.reset();  // what a client-dead callback that lets go of the link does
    released = true;
  });
  {
    std::lock_guard lock(owner->mutex);
    owner->check = std::move(check);
  }
  ASSERT_TRUE(Testing::WaitUntil([&] { return released.load(); }, kBound));
  EXPECT_EQ(Count(L"hasn't been stopped yet"), 0u);
}

TEST_F(LivelinessCheck, FourFailuresAndASuccessStartTheCountAfresh) {
  Link();
  Stall(true);
  Start();
  ASSERT_TRUE(Testing::WaitUntil([&] { return Count(L"Write to shared memory timeout (") == 4; }, kBound));
  Stall(false);
  const auto seen = Count(L"Liveliness check done (XRB_1_App)");
  ASSERT_TRUE(Testing::WaitUntil([&] { return Count(L"Liveliness check done (XRB_1_App)") >= seen + 3; }, kBound));
  EXPECT_EQ(deaths_, 0);
  EXPECT_EQ(Count(L"Write to shared memory timeout ("), 4u);
}

TEST_F(LivelinessCheck, AChannelTooSmallForAProbeEndsTheCheckWithoutCallingBack) {
  Link(0);
  Start();
  ASSERT_TRUE(records_->WaitForText(L"Write to shared memory failed - buffer is too small (", kBound));
  ASSERT_TRUE(records_->WaitForText(L") - finishing thread", kBound));
  const auto beforeRelease = Clock::now();
  check_.reset();
  EXPECT_LT(Clock::now() - beforeRelease, 1s);
  EXPECT_EQ(Count(L"Do liveliness check (XRB_1_App)"), 1u);
  EXPECT_EQ(deaths_, 0);
}

TEST_F(LivelinessCheck, ReleasedWhileItWaitsItEndsAtOnceAndQuietly) {
  Link();
  Start();
  const auto beforeRelease = Clock::now();
  check_.reset();
  EXPECT_LT(Clock::now() - beforeRelease, 500ms);
  EXPECT_EQ(Count(L"Do liveliness check"), 0u);
  EXPECT_EQ(Count(L"hasn't been stopped yet"), 0u);
}

}  // namespace
}  // namespace Talvaro::Connector
