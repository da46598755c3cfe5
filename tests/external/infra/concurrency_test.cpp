#include "external/infra/concurrency.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <future>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/com/apartment.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::system_clock;

// Generous bound for anything that should happen "soon" on a loaded machine.
constexpr auto kPatience = 30s;

class Concurrency : public ::testing::Test {
 protected:
  Infra::ConcurrencyLifetime lifetime_;
};

TEST(ConcurrencyLibrary, LaunchingUninitialisedRaisesUnexpected) {
  ASSERT_FALSE(Infra::IsConcurrencyInitialized());
  try {
    Infra::GlobalThreadPool::LaunchInNewThread(Infra::Task<void>(L"Never_thread", [] {}));
    FAIL() << "launch succeeded";
  } catch (const Infra::Unexpected& e) {
    EXPECT_EQ(e.Message(),
              L"Concurrency library not initialized before usage. Add calls to "
              L"ConcurrencyInitialize() and ConcurrencyUninitialize() or use the "
              L"ConcurrencyLifetime class.");
    EXPECT_EQ(e.StatusCode(), E_UNEXPECTED);
  }
}

TEST(ConcurrencyLibrary, InitialisationIsCounted) {
  EXPECT_FALSE(Infra::IsConcurrencyInitialized());
  Infra::ConcurrencyUninitialize();  // unbalanced: ignored, must not go negative
  {
    Infra::ConcurrencyLifetime outer;
    EXPECT_TRUE(Infra::IsConcurrencyInitialized());
    {
      Infra::ConcurrencyLifetime inner;
      Infra::ConcurrencyInitialize();
      Infra::ConcurrencyUninitialize();
    }
    EXPECT_TRUE(Infra::IsConcurrencyInitialized());
  }
  EXPECT_FALSE(Infra::IsConcurrencyInitialized());
}

// The name the operating system shows for the calling thread.
std::string OsThreadName() {
  char name[64] = {};
  pthread_getname_np(pthread_self(), name, sizeof name);
  return name;
}

TEST_F(Concurrency, TaskRunsOnItsOwnNamedThread) {
  struct Seen {
    std::thread::id id;
    std::string osName;
    std::wstring taskName;
  };
  // 17 bytes in UTF-8 with a two-byte character across the 15-byte limit: cut before it.
  const std::wstring longName = L"Liveliness_thr\u00e4ad";
  auto future = Infra::GlobalThreadPool::LaunchInNewThread(Infra::Task<Seen>(
      longName, [] { return Seen{std::this_thread::get_id(), OsThreadName(), Infra::CurrentTaskName()}; }));
  const Seen seen = future->Get();
  EXPECT_NE(seen.id, std::this_thread::get_id());
  EXPECT_EQ(seen.osName, "Liveliness_thr");
  EXPECT_EQ(seen.taskName, longName);
  EXPECT_EQ(future->TaskName(), longName);
  EXPECT_EQ(Infra::CurrentTaskName(), L"");
  EXPECT_EQ(Infra::GlobalThreadPool::LaunchInNewThread(Infra::Task<std::string>(L"Short_thread", OsThreadName))
                ->Get(),
            "Short_thread");
}

TEST_F(Concurrency, TimedWaitHonoursItsDeadline) {
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  auto future = Infra::GlobalThreadPool::LaunchInNewThread(
      Infra::Task<int>(L"Blocked_thread", [released] {
        released.wait();
        return 7;
      }));

  const auto start = Clock::now();
  const auto deadline = start + 100ms;
  EXPECT_FALSE(future->TimedWait(deadline));
  EXPECT_GE(Clock::now(), deadline) << "returned before its deadline";
  EXPECT_FALSE(future->TimedWait(Clock::now() - 1s));  // a past deadline only looks
  EXPECT_FALSE(future->IsCompleted());

  release.set_value();
  EXPECT_TRUE(future->TimedWait(Clock::now() + kPatience));
  EXPECT_TRUE(future->IsCompleted());
  EXPECT_TRUE(future->TimedWait(Clock::now() - 1s));
  EXPECT_TRUE(future->TimedWait(std::chrono::system_clock::now() + Infra::Ticks(10'000'000)));
  EXPECT_EQ(future->Get(), 7);
  EXPECT_EQ(future->Get(), 7);  // a result can be read again
}

TEST(ConcurrencyTicks, FileTimeTicksMapToSystemTime) {
  // 1970-01-01 and one second later, in 100 ns ticks since 1601.
  EXPECT_EQ(Infra::TimePointFromFileTimeTicks(116'444'736'000'000'000ull).time_since_epoch(),
            Clock::duration::zero());
  EXPECT_EQ(Infra::TimePointFromFileTimeTicks(116'444'736'010'000'000ull) - Clock::time_point(),
            std::chrono::seconds(1));
}

TEST_F(Concurrency, GetRethrowsTheTaskExceptionWithItsTypeOnEveryWaiter) {
  auto future = Infra::GlobalThreadPool::LaunchInNewThread(Infra::Task<void>(
      L"Failing_thread", [] { throw Infra::InvalidArg(L"bad argument %d", 3); }));
  future->Wait();
  // Two threads each get their own copy.
  std::vector<std::thread> waiters;
  std::atomic<int> caught{0};
  for (int i = 0; i < 2; ++i) {
    waiters.emplace_back([&] {
      try {
        future->Get();
      } catch (const Infra::InvalidArg& e) {
        if (e.Message() == L"bad argument 3" && e.StatusCode() == E_INVALIDARG) ++caught;
      } catch (...) {
      }
    });
  }
  for (auto& waiter : waiters) waiter.join();
  EXPECT_EQ(caught.load(), 2);

  auto internal = Infra::GlobalThreadPool::LaunchInNewThread(
      Infra::Task<int>(L"Internal_thread", []() -> int { throw Infra::InternalError(L"i"); }));
  EXPECT_THROW(internal->Get(), Infra::InternalError);
  // Anything else comes back as captured.
  struct Custom : std::logic_error {
    using std::logic_error::logic_error;
  };
  auto custom = Infra::GlobalThreadPool::LaunchInNewThread(
      Infra::Task<void>(L"Custom_thread", [] { throw Custom("custom"); }));
  EXPECT_THROW(custom->Get(), Custom);
  auto integer = Infra::GlobalThreadPool::LaunchInNewThread(
      Infra::Task<void>(L"Int_thread", [] { throw 42; }));
  EXPECT_THROW(integer->Get(), int);
}

TEST_F(Concurrency, MtaPolicyPutsTheTaskThreadInTheApartment) {
  const auto probe = [] {
    const HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (SUCCEEDED(hr)) CoUninitialize();
    return hr;
  };
  auto mta = Infra::GlobalThreadPool::LaunchInNewThread(
      Infra::Task<HRESULT, Infra::ComPolicyMTA, Infra::LoggingPolicyNull>(L"Mta_thread", probe));
  EXPECT_EQ(mta->Get(), S_FALSE);

  auto none = Infra::GlobalThreadPool::LaunchInNewThread(
      Infra::Task<HRESULT, Infra::ComPolicyNone, Infra::LoggingPolicyNull>(L"None_thread", probe));
  EXPECT_EQ(none->Get(), S_OK);
}

TEST_F(Concurrency, FutureOutlivesLauncherAndWorkIsReleasedBeforeCompletion) {
  auto state = std::make_shared<int>(5);
  std::shared_ptr<Infra::Future<int>> future;
  {
    Infra::ConcurrencyLifetime launcherLifetime;
    future = Infra::GlobalThreadPool::LaunchInNewThread(
        Infra::Task<int>(L"Owner_thread", [state] { return *state + 1; }));
  }
  EXPECT_EQ(future->Get(), 6);
  // The copy captured by the work is gone once the future reports completion.
  EXPECT_EQ(state.use_count(), 1);
}

TEST(ConcurrencyDeathTest, ProcessExitsCleanlyWithATaskStillRunning) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        Infra::ConcurrencyLifetime lifetime;
        auto future = Infra::GlobalThreadPool::LaunchInNewThread(
            Infra::Task<void, Infra::ComPolicyMTA>(L"Endless_thread", [] {
              for (;;) std::this_thread::sleep_for(1ms);
            }));
        (void)future->TimedWait(Clock::now() + 20ms);
        std::exit(3);
      },
      ::testing::ExitedWithCode(3), "");
}

}  // namespace
