// Events, waits, threads and handle validation.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/kernel/synch.h"
#include "platform/kernel/thread.h"
#include "platform/system/last_error.h"
#include "tests/support/wait/wait_until.h"

namespace {

constexpr DWORD kLongWait = 10'000;  // generous bound for things that must happen

// An event for a test's scope.
struct Event {
  explicit Event(bool manualReset, bool initialState = false)
      : handle(CreateEventW(nullptr, manualReset, initialState, nullptr)) {}
  ~Event() { CloseHandle(handle); }
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;
  HANDLE get() const { return handle; }
  const HANDLE handle;
};

using Talvaro::Testing::WaitUntil;

// Starts `count` threads that each wait once on `event` and count a successful wait.
std::vector<std::thread> Waiters(int count, HANDLE event, std::atomic<int>& released) {
  std::vector<std::thread> waiters;
  for (int i = 0; i < count; ++i) {
    waiters.emplace_back([event, &released] {
      if (WaitForSingleObject(event, kLongWait) == WAIT_OBJECT_0) ++released;
    });
  }
  return waiters;
}

TEST(Events, ManualResetReleasesEveryWaiterAndStaysSetUntilReset) {
  Event event(true);
  std::atomic<int> released{0};
  std::vector<std::thread> waiters = Waiters(3, event.get(), released);
  ASSERT_TRUE(SetEvent(event.get()));
  for (auto& waiter : waiters) waiter.join();
  EXPECT_EQ(released.load(), 3);
  EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_OBJECT_0);
  ASSERT_TRUE(ResetEvent(event.get()));
  EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_TIMEOUT);
}

TEST(Events, AutoResetReleasesExactlyOneWaiterPerSet) {
  Event event(false, true);
  EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_TIMEOUT) << "the first wait consumed it";

  constexpr int kWaiters = 4;
  std::atomic<int> released{0};
  std::vector<std::thread> waiters = Waiters(kWaiters, event.get(), released);
  for (int set = 1; set <= kWaiters; ++set) {
    ASSERT_TRUE(SetEvent(event.get()));
    ASSERT_TRUE(WaitUntil([&] { return released.load() >= set; }));
    EXPECT_EQ(released.load(), set) << "one SetEvent released more than one waiter";
  }
  for (auto& waiter : waiters) waiter.join();
  EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_TIMEOUT);
}

TEST(Waits, WaitAnyGivesLowestSignalledIndexAndConsumesOnlyIt) {
  Event a(false), b(false), c(false);
  const HANDLE handles[] = {a.get(), b.get(), c.get()};
  SetEvent(c.get());
  SetEvent(b.get());
  EXPECT_EQ(WaitForMultipleObjects(3, handles, FALSE, kLongWait), WAIT_OBJECT_0 + 1);
  EXPECT_EQ(WaitForMultipleObjects(3, handles, FALSE, kLongWait), WAIT_OBJECT_0 + 2);
  EXPECT_EQ(WaitForMultipleObjects(3, handles, FALSE, 30), WAIT_TIMEOUT);
}

TEST(Waits, WaitAllTakesNothingUntilEveryObjectIsSignalled) {
  Event a(false), b(false), started(true);
  const HANDLE handles[] = {a.get(), b.get()};
  std::atomic<DWORD> result{WAIT_FAILED};
  std::thread waiter([&] {
    SetEvent(started.get());
    result = WaitForMultipleObjects(2, handles, TRUE, kLongWait);
  });
  ASSERT_EQ(WaitForSingleObject(started.get(), kLongWait), WAIT_OBJECT_0);
  // The short waits on (unset) b are not needed for correctness: they give the waiter time to
  // block, and then to look at a, which is the case under test.
  WaitForSingleObject(b.get(), 20);
  SetEvent(a.get());
  // While b is not set, the all-waiter must leave a alone, also once it has looked at a.
  WaitForSingleObject(b.get(), 20);
  EXPECT_EQ(WaitForSingleObject(a.get(), 0), WAIT_OBJECT_0);
  EXPECT_EQ(result.load(), WAIT_FAILED);
  // Nor does a wait-all that times out take a.
  SetEvent(a.get());
  EXPECT_EQ(WaitForMultipleObjects(2, handles, TRUE, 30), WAIT_TIMEOUT);

  SetEvent(b.get());
  waiter.join();
  EXPECT_EQ(result.load(), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(a.get(), 0), WAIT_TIMEOUT) << "waitAll consumes every auto-reset";
  EXPECT_EQ(WaitForSingleObject(b.get(), 0), WAIT_TIMEOUT);
}

TEST(Waits, WaitAllAgainstCompetingSingleWaitersNeverLosesASignal) {
  // A manual-reset gate and an auto-reset token: an all-waiter and a single waiter on the token
  // compete; every token set must be consumed by exactly one of them.
  Event gate(true, true), token(false);
  const HANDLE both[] = {gate.get(), token.get()};
  constexpr int kRounds = 200;
  std::atomic<int> taken{0};
  std::atomic<bool> stop{false};
  std::thread allTaker([&] {
    while (!stop) {
      if (WaitForMultipleObjects(2, both, TRUE, 5) == WAIT_OBJECT_0) ++taken;
    }
  });
  std::thread singleTaker([&] {
    while (!stop) {
      if (WaitForSingleObject(token.get(), 5) == WAIT_OBJECT_0) ++taken;
    }
  });
  for (int round = 1; round <= kRounds; ++round) {
    SetEvent(token.get());
    ASSERT_TRUE(WaitUntil([&] { return taken.load() >= round; }));
  }
  stop = true;
  allTaker.join();
  singleTaker.join();
  EXPECT_EQ(taken.load(), kRounds);
  EXPECT_EQ(WaitForSingleObject(gate.get(), 0), WAIT_OBJECT_0) << "manual reset stays set";
}

TEST(Waits, RefusesBadArgumentsWithWaitFailed) {
  Event event(false);
  HANDLE many[MAXIMUM_WAIT_OBJECTS + 1];
  for (auto& handle : many) handle = event.get();
  SetLastError(0);
  EXPECT_EQ(WaitForMultipleObjects(0, many, FALSE, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS + 1, many, FALSE, 0), WAIT_FAILED);
  EXPECT_EQ(WaitForMultipleObjects(1, nullptr, FALSE, 0), WAIT_FAILED);
  EXPECT_EQ(WaitForMultipleObjects(2, many, TRUE, 0), WAIT_FAILED) << "duplicate with waitAll";
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS, many, FALSE, 0), WAIT_TIMEOUT);
}

TEST(Handles, CloseRefusesInvalidAndStaleHandles) {
  SetLastError(0);
  EXPECT_FALSE(CloseHandle(nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(CloseHandle(INVALID_HANDLE_VALUE));
  const HANDLE garbage = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(0x12345678));
  EXPECT_FALSE(CloseHandle(garbage));
  EXPECT_EQ(WaitForSingleObject(garbage, 0), WAIT_FAILED);

  const HANDLE first = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(first, nullptr);
  EXPECT_TRUE(CloseHandle(first));
  SetLastError(0);
  EXPECT_FALSE(CloseHandle(first));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);

  // A new object never answers to a closed handle's value.
  Event second(true);
  EXPECT_NE(second.get(), first);
  EXPECT_FALSE(SetEvent(first));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(WaitForSingleObject(first, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(WaitForSingleObject(second.get(), 0), WAIT_TIMEOUT);
}

struct ThreadProbe {
  HANDLE release;
  std::atomic<DWORD> seenId{0};
};

DWORD ProbeThread(LPVOID parameter) {
  auto* probe = static_cast<ThreadProbe*>(parameter);
  probe->seenId = GetCurrentThreadId();
  WaitForSingleObject(probe->release, INFINITE);
  return 42;
}

TEST(Threads, HandleIsSignalledWithTheExitCodeWhenTheThreadEnds) {
  Event release(true);
  ThreadProbe probe{release.get()};
  DWORD id = 0;
  const HANDLE thread = CreateThread(nullptr, 64 * 1024, &ProbeThread, &probe, 0, &id);
  ASSERT_NE(thread, nullptr);
  ASSERT_TRUE(WaitUntil([&] { return probe.seenId.load() != 0; }));
  EXPECT_EQ(probe.seenId.load(), id);
  EXPECT_EQ(GetCurrentThreadId(), static_cast<DWORD>(::gettid())) << "ids are the kernel's";

  DWORD code = 0;
  ASSERT_TRUE(GetExitCodeThread(thread, &code));
  EXPECT_EQ(code, STILL_ACTIVE);
  EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_TIMEOUT);
  SetEvent(release.get());
  // A thread handle is manual-reset: every wait after the end succeeds.
  EXPECT_EQ(WaitForSingleObject(thread, kLongWait), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_OBJECT_0);
  ASSERT_TRUE(GetExitCodeThread(thread, &code));
  EXPECT_EQ(code, 42u);
  EXPECT_FALSE(SetEvent(thread)) << "a thread is no event";
  EXPECT_FALSE(GetExitCodeThread(release.get(), &code)) << "an event is no thread";
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  CloseHandle(thread);

  EXPECT_EQ(CreateThread(nullptr, 0, nullptr, nullptr, 0, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(CreateThread(nullptr, 0, &ProbeThread, &probe, CREATE_SUSPENDED, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

}  // namespace
