// The pool on which incoming calls run: a thread that cannot be started, the cap on workers,
// workers ending under a light load, stopping at exit.
#include "platform/remoting/worker_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "tests/remoting/child_process.h"

namespace Talvaro::RemotingTest {
namespace {

using platform::remoting::Task;
using platform::remoting::WorkerPool;

constexpr auto kBound = 20s;

// Thread starts the next StartOrRefuse calls refuse, as std::thread does when the process is out
// of threads.
std::atomic<int> refusals{0};

void StartOrRefuse(Task body) {
  if (refusals.fetch_sub(1) > 0) {
    throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
  }
  std::thread([body = std::move(body)]() mutable { body(); }).detach();
}

// Like the runtime's pool, a test's pool is never destroyed: its detached workers may still be
// leaving when the test ends. Reachable from here, so not a leak.
WorkerPool& NewPool(std::size_t maxThreads, WorkerPool::StartThread start = &StartOrRefuse) {
  static auto* pools = new std::vector<std::unique_ptr<WorkerPool>>();
  static std::mutex mutex;
  std::lock_guard lock(mutex);
  pools->push_back(std::make_unique<WorkerPool>(maxThreads, 50ms, start));
  return *pools->back();
}

bool WaitForNoWorkers(const WorkerPool& pool) {
  return WaitUntil([&] { return pool.ThreadCount() == 0; }, kBound);
}

// Tasks that wait until the test opens the gate, and the counts the test waits for.
class Gate {
 public:
  Task Waiting() {
    return [this] {
      std::unique_lock lock(mutex_);
      ++started_;
      changed_.notify_all();
      changed_.wait(lock, [this] { return open_; });
      ++finished_;
      changed_.notify_all();
    };
  }
  void Open() {
    std::lock_guard lock(mutex_);
    open_ = true;
    changed_.notify_all();
  }
  // Whether at least `started` tasks started and `finished` ended within the bound.
  bool WaitFor(int started, int finished) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kBound, [&] { return started_ >= started && finished_ >= finished; });
  }
  int Started() {
    std::lock_guard lock(mutex_);
    return started_;
  }
  int Finished() {
    std::lock_guard lock(mutex_);
    return finished_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;  // signalled under mutex_ on every change
  int started_ = 0;                  // guarded by mutex_
  int finished_ = 0;                 // guarded by mutex_
  bool open_ = false;                // guarded by mutex_
};

TEST(WorkerPoolTest, AWorkerThatCannotStartLeavesItsTaskQueued) {
  WorkerPool& pool = NewPool(4);
  Gate gate;
  gate.Open();
  refusals = 1;
  // Submit runs on the RPC thread, also from destructors: a refused start must not escape.
  EXPECT_NO_THROW(pool.Submit(gate.Waiting()));
  EXPECT_EQ(pool.ThreadCount(), 0u) << "the worker that did not start is not counted";
  EXPECT_EQ(gate.Started(), 0);

  pool.Submit(gate.Waiting());
  EXPECT_TRUE(gate.WaitFor(2, 2)) << "the queued task runs once a worker starts";
  EXPECT_TRUE(WaitForNoWorkers(pool));
}

TEST(WorkerPoolTest, BeyondTheCapTasksWaitForAWorkerAndIdleWorkersEnd) {
  WorkerPool& pool = NewPool(2);
  Gate gate;
  for (int i = 0; i < 3; ++i) pool.Submit(gate.Waiting());
  ASSERT_TRUE(gate.WaitFor(2, 0));
  EXPECT_EQ(pool.ThreadCount(), 2u);
  EXPECT_EQ(gate.Started(), 2) << "both workers are blocked; the third task waits in the queue";

  gate.Open();
  EXPECT_TRUE(gate.WaitFor(3, 3));
  EXPECT_TRUE(WaitForNoWorkers(pool)) << "idle workers end";
}

TEST(WorkerPoolTest, ALightLoadKeepsOneWorkerAndLetsTheOthersEnd) {
  WorkerPool& pool = NewPool(4);
  Gate gate;
  for (int i = 0; i < 4; ++i) pool.Submit(gate.Waiting());
  ASSERT_TRUE(gate.WaitFor(4, 0));
  gate.Open();
  ASSERT_TRUE(gate.WaitFor(4, 4));
  // One task at a time, more often than the idle time: the latest idle worker takes each, so
  // the other three go idle for good and end.
  std::atomic<int> done{0};
  const bool settled = WaitUntil([&] {
    const int before = done.load();
    pool.Submit([&done] { ++done; });
    WaitUntil([&] { return done.load() > before; }, kBound);
    return pool.ThreadCount() == 1;
  }, kBound);
  EXPECT_TRUE(settled) << pool.ThreadCount() << " workers";
}

TEST(WorkerPoolTest, StopWaitsForRunningTasksWithinItsBoundAndStartsNoMore) {
  WorkerPool& pool = NewPool(2);
  Gate gate;
  pool.Submit(gate.Waiting());
  ASSERT_TRUE(gate.WaitFor(1, 0));

  pool.Stop(100ms);
  EXPECT_EQ(gate.Finished(), 0) << "the bound ends the wait for a task that does not end";

  std::thread opener([&] { gate.Open(); });
  pool.Stop(kBound);
  EXPECT_EQ(gate.Finished(), 1) << "within the bound, Stop returns once the running task ended";
  opener.join();

  pool.Submit(gate.Waiting());
  ASSERT_TRUE(WaitForNoWorkers(pool));
  EXPECT_EQ(gate.Started(), 1) << "no task starts once stopped";
}

}  // namespace
}  // namespace Talvaro::RemotingTest
