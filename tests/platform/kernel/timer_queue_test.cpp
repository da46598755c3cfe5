// The default timer queue: firing, deletion in its three completion modes, deletion from the
// timer's own callback, overlapping runs, and process exit with live timers.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <future>
#include <limits>
#include <string>
#include <thread>

#include "platform/kernel/synch.h"
#include "platform/kernel/timer_queue.h"
#include "platform/system/last_error.h"
#include "tests/support/process/child_case.h"
#include "tests/support/wait/wait_until.h"

namespace {

constexpr DWORD kLongWait = 10'000;

HANDLE NewEvent(bool manualReset) { return CreateEventW(nullptr, manualReset, FALSE, nullptr); }

constexpr int kBlockAll = std::numeric_limits<int>::max();

void ProbeCallback(PVOID parameter, BOOLEAN timerOrWaitFired);

// What a test's callback sees and does. `release` (manual reset) holds the first `blockFirst`
// calls; `entered` is set by every callback when it starts.
struct Probe {
  explicit Probe(int blockFirstCalls = 0) : blockFirst(blockFirstCalls) {}
  HANDLE timer = nullptr;
  HANDLE entered = NewEvent(false);
  HANDLE release = NewEvent(true);
  const int blockFirst;
  std::atomic<int> calls{0};
  std::atomic<int> running{0};
  std::atomic<int> maxRunning{0};
  std::atomic<int> finished{0};
  std::atomic<int> blocked{0};  // callbacks held on `release` now
  std::atomic<int> badFlag{0};

  ~Probe() {
    CloseHandle(entered);
    CloseHandle(release);
  }
  bool Start(DWORD due, DWORD period, ULONG flags = 0) {
    return CreateTimerQueueTimer(&timer, nullptr, &ProbeCallback, this, due, period, flags);
  }
  // Whether `count` callbacks are held on `release` at once within `seconds`.
  bool WaitBlocked(int count, int seconds) {
    return Talvaro::Testing::WaitUntil([&] { return blocked.load() >= count; }, std::chrono::seconds(seconds)) &&
           blocked.load() == count;
  }
};

void ProbeCallback(PVOID parameter, BOOLEAN timerOrWaitFired) {
  auto* probe = static_cast<Probe*>(parameter);
  if (timerOrWaitFired != TRUE) ++probe->badFlag;
  const int call = ++probe->calls;
  const int running = ++probe->running;
  int max = probe->maxRunning.load();
  while (running > max && !probe->maxRunning.compare_exchange_weak(max, running)) {
  }
  SetEvent(probe->entered);
  if (call <= probe->blockFirst) {
    ++probe->blocked;
    WaitForSingleObject(probe->release, INFINITE);
    --probe->blocked;
  }
  --probe->running;
  ++probe->finished;
}

// A periodic timer used as a witness of elapsed scheduling: waits until it has fired `ticks`
// more times, which proves that the queue kept running for at least that many periods.
class Ticker {
 public:
  Ticker() { EXPECT_TRUE(probe_.Start(0, 5)); }
  ~Ticker() { DeleteTimerQueueTimer(nullptr, probe_.timer, INVALID_HANDLE_VALUE); }

  bool WaitTicks(int ticks) {
    const int target = probe_.calls.load() + ticks;
    return Talvaro::Testing::WaitUntil([&] { return probe_.calls.load() >= target; });
  }

 private:
  Probe probe_;
};

TEST(TimerQueue, PeriodicTimerFiresRepeatedlyAndOneShotOnce) {
  Probe periodic;
  Probe oneShot;
  ASSERT_TRUE(periodic.Start(10, 10));
  ASSERT_TRUE(oneShot.Start(0, 0));
  Probe onlyOnce;  // a period with WT_EXECUTEONLYONCE is ignored
  ASSERT_TRUE(onlyOnce.Start(0, 5, WT_EXECUTEONLYONCE));

  for (int i = 0; i < 5; ++i) ASSERT_EQ(WaitForSingleObject(periodic.entered, kLongWait), WAIT_OBJECT_0);
  ASSERT_EQ(WaitForSingleObject(oneShot.entered, kLongWait), WAIT_OBJECT_0);
  ASSERT_EQ(WaitForSingleObject(onlyOnce.entered, kLongWait), WAIT_OBJECT_0);
  ASSERT_TRUE(Ticker().WaitTicks(10));
  EXPECT_EQ(oneShot.calls.load(), 1);
  EXPECT_EQ(onlyOnce.calls.load(), 1);
  EXPECT_EQ(periodic.badFlag.load() + oneShot.badFlag.load(), 0) << "timers fire with TRUE";
  for (Probe* probe : {&periodic, &oneShot, &onlyOnce}) {
    EXPECT_TRUE(DeleteTimerQueueTimer(nullptr, probe->timer, INVALID_HANDLE_VALUE)) << "nothing runs";
  }
}

struct Deletion {
  BOOL result;
  DWORD error;
  int finishedAtReturn;  // callbacks of the timer that had ended when the deletion returned
};

// DeleteTimerQueueTimer of the probe's timer on a thread of its own.
std::future<Deletion> DeleteOnThread(Probe& probe, HANDLE completion) {
  return std::async(std::launch::async, [&probe, completion] {
    const BOOL result = DeleteTimerQueueTimer(nullptr, probe.timer, completion);
    return Deletion{result, GetLastError(), probe.finished.load()};
  });
}

TEST(TimerQueue, DeletionWithInvalidHandleValueWaitsForTheRunningCallback) {
  Probe probe(kBlockAll);
  ASSERT_TRUE(probe.Start(0, 0));
  ASSERT_EQ(WaitForSingleObject(probe.entered, kLongWait), WAIT_OBJECT_0);

  std::future<Deletion> deleter = DeleteOnThread(probe, INVALID_HANDLE_VALUE);
  // The callback is held: a deletion that does not wait would return within this time.
  EXPECT_EQ(deleter.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
  SetEvent(probe.release);
  const Deletion deletion = deleter.get();
  EXPECT_TRUE(deletion.result);
  EXPECT_EQ(deletion.finishedAtReturn, 1) << "returned before the callback ended";
}

TEST(TimerQueue, DeletionWithoutCompletionReturnsAtOnceAndStopsTheTimer) {
  Probe probe(1);
  ASSERT_TRUE(probe.Start(0, 5));
  ASSERT_EQ(WaitForSingleObject(probe.entered, kLongWait), WAIT_OBJECT_0);

  std::future<Deletion> deleter = DeleteOnThread(probe, nullptr);
  const auto returned = deleter.wait_for(std::chrono::milliseconds(kLongWait));
  SetEvent(probe.release);
  ASSERT_EQ(returned, std::future_status::ready) << "deletion waited for the running callback";
  const Deletion deletion = deleter.get();
  EXPECT_FALSE(deletion.result);
  EXPECT_EQ(deletion.error, ERROR_IO_PENDING);
  Ticker ticker;
  ASSERT_TRUE(ticker.WaitTicks(10));  // lets callbacks started before the deletion end
  const int calls = probe.calls.load();
  ASSERT_TRUE(ticker.WaitTicks(10));
  EXPECT_EQ(probe.calls.load(), calls) << "the deleted timer still fires";
  EXPECT_FALSE(DeleteTimerQueueTimer(nullptr, probe.timer, nullptr)) << "deleted twice";
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(TimerQueue, DeletionWithAnEventSetsItWhenTheLastCallbackEnds) {
  Probe probe(kBlockAll);
  const HANDLE done = NewEvent(true);
  ASSERT_TRUE(probe.Start(0, 0));
  ASSERT_EQ(WaitForSingleObject(probe.entered, kLongWait), WAIT_OBJECT_0);

  EXPECT_FALSE(DeleteTimerQueueTimer(nullptr, probe.timer, done));
  EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
  EXPECT_EQ(WaitForSingleObject(done, 0), WAIT_TIMEOUT) << "set while the callback runs";
  SetEvent(probe.release);
  EXPECT_EQ(WaitForSingleObject(done, kLongWait), WAIT_OBJECT_0);
  EXPECT_EQ(probe.finished.load(), 1);

  // Nothing running: the event is set at once.
  Probe idle;
  const HANDLE idleDone = NewEvent(true);
  ASSERT_TRUE(idle.Start(kLongWait * 100, 0));
  EXPECT_TRUE(DeleteTimerQueueTimer(nullptr, idle.timer, idleDone));
  EXPECT_EQ(WaitForSingleObject(idleDone, 0), WAIT_OBJECT_0);
  EXPECT_EQ(idle.calls.load(), 0);
  CloseHandle(done);
  CloseHandle(idleDone);
}

struct SelfDeleting {
  HANDLE timer = nullptr;
  HANDLE completion = INVALID_HANDLE_VALUE;
  HANDLE done = NewEvent(true);
  std::atomic<int> calls{0};
  BOOL result = TRUE;
  DWORD error = 0;
};

void DeleteSelf(PVOID parameter, BOOLEAN) {
  auto* self = static_cast<SelfDeleting*>(parameter);
  if (++self->calls != 1) return;
  self->result = DeleteTimerQueueTimer(nullptr, self->timer, self->completion);
  self->error = GetLastError();
  SetEvent(self->done);
}

TEST(TimerQueue, DeletionFromTheTimersOwnCallbackDoesNotDeadlock) {
  for (HANDLE completion : {INVALID_HANDLE_VALUE, static_cast<HANDLE>(nullptr)}) {
    SelfDeleting self;
    self.completion = completion;
    ASSERT_TRUE(CreateTimerQueueTimer(&self.timer, nullptr, &DeleteSelf, &self, 0, 5, 0));
    ASSERT_EQ(WaitForSingleObject(self.done, kLongWait), WAIT_OBJECT_0);
    EXPECT_FALSE(self.result);
    EXPECT_EQ(self.error, ERROR_IO_PENDING);

    Ticker ticker;
    ASSERT_TRUE(ticker.WaitTicks(10));
    const int calls = self.calls.load();
    ASSERT_TRUE(ticker.WaitTicks(10));
    EXPECT_EQ(self.calls.load(), calls) << "the timer survived its own deletion";
    CloseHandle(self.done);
  }
}

TEST(TimerQueue, ASlowPeriodicCallbackOverlapsItselfAndDelaysNoOtherTimer) {
  // Its first three runs block: they must overlap, and leave other timers unaffected.
  Probe slow(3);
  ASSERT_TRUE(slow.Start(0, 5));
  ASSERT_TRUE(slow.WaitBlocked(3, 10)) << "runs of one timer must overlap on several workers";
  const int callsWhileBlocked = slow.calls.load();
  EXPECT_TRUE(Ticker().WaitTicks(5)) << "blocked callbacks held up another timer";
  EXPECT_GT(slow.calls.load(), callsWhileBlocked) << "blocked runs held up their own timer";

  SetEvent(slow.release);
  EXPECT_TRUE(DeleteTimerQueueTimer(nullptr, slow.timer, INVALID_HANDLE_VALUE));
}

TEST(TimerQueue, ThePoolStopsAtItsLimitAndDeletionDropsCallbacksWaitingForAWorker) {
  Probe slow(kBlockAll);
  ASSERT_TRUE(slow.Start(0, 2));
  const int limit = static_cast<int>(platform::kernel::kTimerQueueWorkerLimit);
  ASSERT_TRUE(slow.WaitBlocked(limit, 20)) << "the pool did not grow to its limit";

  // Every worker is blocked: this timer's due callback can only wait in line.
  Probe queued;
  ASSERT_TRUE(queued.Start(0, 0));
  // Not needed for correctness: gives the timer thread time to move the callback into the
  // line, so that deletion meets it there rather than in the schedule.
  WaitForSingleObject(queued.entered, 50);
  EXPECT_TRUE(DeleteTimerQueueTimer(nullptr, queued.timer, INVALID_HANDLE_VALUE));
  EXPECT_EQ(slow.maxRunning.load(), limit) << "more workers than the limit";

  SetEvent(slow.release);
  EXPECT_TRUE(DeleteTimerQueueTimer(nullptr, slow.timer, INVALID_HANDLE_VALUE));
  ASSERT_TRUE(Ticker().WaitTicks(10));  // the line has drained behind the released callbacks
  EXPECT_EQ(queued.calls.load(), 0) << "a deleted timer's waiting callback ran";
}

TEST(TimerQueue, RefusesBadArguments) {
  Probe probe;
  HANDLE timer = nullptr;
  const HANDLE someQueue = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(0x7ffffff0));
  EXPECT_FALSE(CreateTimerQueueTimer(nullptr, nullptr, &ProbeCallback, &probe, 0, 0, 0));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(CreateTimerQueueTimer(&timer, someQueue, &ProbeCallback, &probe, 0, 0, 0));
  EXPECT_FALSE(CreateTimerQueueTimer(&timer, nullptr, nullptr, &probe, 0, 0, 0));
  EXPECT_FALSE(CreateTimerQueueTimer(&timer, nullptr, &ProbeCallback, &probe, 0, 0, 0x20));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

  ASSERT_TRUE(CreateTimerQueueTimer(&timer, nullptr, &ProbeCallback, &probe, kLongWait * 100, 0, 0));
  EXPECT_FALSE(CloseHandle(timer)) << "timers end with DeleteTimerQueueTimer only";
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(DeleteTimerQueueTimer(someQueue, timer, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(DeleteTimerQueueTimer(nullptr, timer, someQueue));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE) << "completion handle that names no event";
  EXPECT_FALSE(DeleteTimerQueueTimer(nullptr, probe.entered, nullptr)) << "an event is no timer";
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_TRUE(DeleteTimerQueueTimer(nullptr, timer, INVALID_HANDLE_VALUE)) << "failed calls kept it";
}

// Runs in a child process: exits from main's thread while timers fire and one callback is
// blocked for good. Static destruction must not crash under live timers.
std::string liveTimerState = "static state that callbacks read";

void TouchStatic(PVOID parameter, BOOLEAN) {
  static_cast<std::atomic<std::size_t>*>(parameter)->fetch_add(liveTimerState.size());
}

void BlockForever(PVOID parameter, BOOLEAN) {
  WaitForSingleObject(static_cast<HANDLE>(parameter), INFINITE);
}

TEST(TimerQueueChild, DISABLED_ExitWithLiveTimers) {
  if (!Talvaro::Testing::IsChild()) {
    GTEST_SKIP() << "runs only as a child of TimerQueue.ProcessExitWithLiveTimersIsClean";
  }
  static std::atomic<std::size_t> sum{0};
  const HANDLE never = NewEvent(true);
  HANDLE timer = nullptr;
  CreateTimerQueueTimer(&timer, nullptr, &BlockForever, never, 0, 0, 0);
  for (int i = 0; i < 4; ++i) {
    CreateTimerQueueTimer(&timer, nullptr, &TouchStatic, &sum, 0, 1, 0);
  }
  while (sum.load() < 1000) std::this_thread::yield();
  Talvaro::Testing::Report('R');
  std::exit(0);
}

TEST(TimerQueue, ProcessExitWithLiveTimersIsClean) {
  Talvaro::Testing::ChildCase child("TimerQueueChild.DISABLED_ExitWithLiveTimers");
  ASSERT_TRUE(child.started());
  EXPECT_EQ(child.ReadReport(), 'R') << "the child did not run with live timers";
  const int status = child.Wait();
  ASSERT_TRUE(WIFEXITED(status)) << "child ended by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
