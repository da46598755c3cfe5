// Events, waits, threads and handle validation.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/kernel/synch.h"
#include "platform/kernel/thread.h"
#include "platform/system/last_error.h"

namespace {

constexpr DWORD kLongWait = 10'000;  // generous bound for things that must happen

// Owns a handle for a test's scope.
class Handle {
 public:
  explicit Handle(HANDLE handle) : handle_(handle) {}
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle() {
    if (handle_ != nullptr) {
      CloseHandle(handle_);
    }
  }
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_;
};

HANDLE NewEvent(bool manualReset, bool initialState = false) {
  return CreateEventW(nullptr, manualReset ? TRUE : FALSE, initialState ? TRUE : FALSE, nullptr);
}

// Polls a condition that other threads make true; fails after `seconds`.
template <class Predicate>
bool Eventually(Predicate predicate, int seconds = 10) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!predicate()) {
    if (std::chrono::steady_clock::now() > deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

TEST(Events, ManualResetReleasesEveryWaiterAndStaysSetUntilReset) {
  Handle event(NewEvent(true));
  std::atomic<int> released{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 3; ++i) {
    waiters.emplace_back([&] {
      if (WaitForSingleObject(event.get(), kLongWait) == WAIT_OBJECT_0) {
        ++released;
      }
    });
  }
  ASSERT_TRUE(SetEvent(event.get()));
  for (auto& waiter : waiters) {
    waiter.join();
  }
  EXPECT_EQ(released.load(), 3);
  EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_OBJECT_0);
  ASSERT_TRUE(ResetEvent(event.get()));
  EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_TIMEOUT);
}

TEST(Events, AutoResetReleasesExactlyOneWaiterPerSet) {
  Handle event(NewEvent(false, true));
  EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_TIMEOUT) << "the first wait consumed it";

  constexpr int kWaiters = 4;
  std::atomic<int> released{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < kWaiters; ++i) {
    waiters.emplace_back([&] {
      if (WaitForSingleObject(event.get(), INFINITE) == WAIT_OBJECT_0) {
        ++released;
      }
    });
  }
  for (int set = 1; set <= kWaiters; ++set) {
    ASSERT_TRUE(SetEvent(event.get()));
    ASSERT_TRUE(Eventually([&] { return released.load() >= set; }));
    EXPECT_EQ(released.load(), set) << "one SetEvent released more than one waiter";
  }
  for (auto& waiter : waiters) {
    waiter.join();
  }
  EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_TIMEOUT);
}

TEST(Waits, WaitAnyGivesLowestSignalledIndexAndConsumesOnlyIt) {
  Handle a(NewEvent(false));
  Handle b(NewEvent(false));
  Handle c(NewEvent(false));
  const HANDLE handles[] = {a.get(), b.get(), c.get()};
  SetEvent(c.get());
  SetEvent(b.get());
  EXPECT_EQ(WaitForMultipleObjects(3, handles, FALSE, kLongWait), WAIT_OBJECT_0 + 1);
  EXPECT_EQ(WaitForMultipleObjects(3, handles, FALSE, kLongWait), WAIT_OBJECT_0 + 2);
  EXPECT_EQ(WaitForMultipleObjects(3, handles, FALSE, 0), WAIT_TIMEOUT);
}

TEST(Waits, WaitAllTakesNothingUntilEveryObjectIsSignalled) {
  Handle a(NewEvent(false));
  Handle b(NewEvent(false));
  const HANDLE handles[] = {a.get(), b.get()};
  Handle started(NewEvent(true));
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

  SetEvent(b.get());
  SetEvent(a.get());
  waiter.join();
  EXPECT_EQ(result.load(), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(a.get(), 0), WAIT_TIMEOUT) << "waitAll consumes every auto-reset";
  EXPECT_EQ(WaitForSingleObject(b.get(), 0), WAIT_TIMEOUT);
}

TEST(Waits, WaitAllAgainstCompetingSingleWaitersNeverLosesASignal) {
  // A manual-reset gate and an auto-reset token: an all-waiter and single waiters on the token
  // compete; every token set must be consumed by exactly one of them.
  Handle gate(NewEvent(true, true));
  Handle token(NewEvent(false));
  const HANDLE both[] = {gate.get(), token.get()};
  constexpr int kRounds = 200;
  std::atomic<int> taken{0};
  std::atomic<bool> stop{false};
  std::vector<std::thread> takers;
  takers.emplace_back([&] {
    while (!stop) {
      if (WaitForMultipleObjects(2, both, TRUE, 5) == WAIT_OBJECT_0) ++taken;
    }
  });
  takers.emplace_back([&] {
    while (!stop) {
      if (WaitForSingleObject(token.get(), 5) == WAIT_OBJECT_0) ++taken;
    }
  });
  for (int round = 1; round <= kRounds; ++round) {
    SetEvent(token.get());
    ASSERT_TRUE(Eventually([&] { return taken.load() >= round; }));
  }
  stop = true;
  for (auto& taker : takers) {
    taker.join();
  }
  EXPECT_EQ(taken.load(), kRounds);
  EXPECT_EQ(WaitForSingleObject(gate.get(), 0), WAIT_OBJECT_0) << "manual reset stays set";
}

TEST(Waits, TimeoutsReturnWaitTimeout) {
  Handle a(NewEvent(false));
  Handle b(NewEvent(true));
  const HANDLE handles[] = {a.get(), b.get()};
  EXPECT_EQ(WaitForSingleObject(a.get(), 0), WAIT_TIMEOUT);
  EXPECT_EQ(WaitForSingleObject(a.get(), 30), WAIT_TIMEOUT);
  EXPECT_EQ(WaitForMultipleObjects(2, handles, FALSE, 30), WAIT_TIMEOUT);
  SetEvent(a.get());
  EXPECT_EQ(WaitForMultipleObjects(2, handles, TRUE, 30), WAIT_TIMEOUT);
  EXPECT_EQ(WaitForSingleObject(a.get(), 0), WAIT_OBJECT_0) << "a timed-out waitAll took a";
}

TEST(Waits, RefusesBadArgumentsWithWaitFailed) {
  Handle event(NewEvent(false));
  HANDLE many[MAXIMUM_WAIT_OBJECTS + 1];
  for (auto& handle : many) {
    handle = event.get();
  }
  SetLastError(0);
  EXPECT_EQ(WaitForMultipleObjects(0, many, FALSE, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS + 1, many, FALSE, 0), WAIT_FAILED);
  EXPECT_EQ(WaitForMultipleObjects(1, nullptr, FALSE, 0), WAIT_FAILED);
  EXPECT_EQ(WaitForMultipleObjects(2, many, TRUE, 0), WAIT_FAILED) << "duplicate with waitAll";
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS, many, FALSE, 0), WAIT_TIMEOUT);

  const HANDLE garbage = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(0x5a5a5a50));
  EXPECT_EQ(WaitForSingleObject(garbage, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(Handles, CloseRefusesInvalidAndStaleHandles) {
  SetLastError(0);
  EXPECT_FALSE(CloseHandle(nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(CloseHandle(INVALID_HANDLE_VALUE));
  EXPECT_FALSE(CloseHandle(reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(0x12345678))));

  const HANDLE first = NewEvent(true);
  ASSERT_NE(first, nullptr);
  EXPECT_TRUE(CloseHandle(first));
  SetLastError(0);
  EXPECT_FALSE(CloseHandle(first));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);

  // A new object never answers to a closed handle's value.
  Handle second(NewEvent(true));
  EXPECT_NE(second.get(), first);
  EXPECT_FALSE(SetEvent(first));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(WaitForSingleObject(first, 0), WAIT_FAILED);
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
  Handle release(NewEvent(true));
  ThreadProbe probe{release.get()};
  DWORD id = 0;
  Handle thread(CreateThread(nullptr, 64 * 1024, &ProbeThread, &probe, 0, &id));
  ASSERT_NE(thread.get(), nullptr);
  ASSERT_TRUE(Eventually([&] { return probe.seenId.load() != 0; }));
  EXPECT_EQ(probe.seenId.load(), id);
  EXPECT_EQ(GetCurrentThreadId(), static_cast<DWORD>(::gettid())) << "ids are the kernel's";

  DWORD code = 0;
  ASSERT_TRUE(GetExitCodeThread(thread.get(), &code));
  EXPECT_EQ(code, STILL_ACTIVE);
  EXPECT_EQ(WaitForSingleObject(thread.get(), 0), WAIT_TIMEOUT);

  SetEvent(release.get());
  // A thread handle is manual-reset: every wait after the end succeeds.
  EXPECT_EQ(WaitForSingleObject(thread.get(), kLongWait), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(thread.get(), 0), WAIT_OBJECT_0);
  ASSERT_TRUE(GetExitCodeThread(thread.get(), &code));
  EXPECT_EQ(code, 42u);
  EXPECT_FALSE(SetEvent(thread.get())) << "a thread is no event";
}

TEST(Threads, RefusesWhatItCannotDo) {
  Handle release(NewEvent(true));
  ThreadProbe probe{release.get()};
  EXPECT_EQ(CreateThread(nullptr, 0, nullptr, nullptr, 0, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(CreateThread(nullptr, 0, &ProbeThread, &probe, CREATE_SUSPENDED, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  DWORD code = 0;
  EXPECT_FALSE(GetExitCodeThread(release.get(), &code)) << "an event is no thread";
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

}  // namespace
