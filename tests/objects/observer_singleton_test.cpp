#include "objects/observer_singleton.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <future>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/com/com_object.h"
#include "platform/types/error_codes.h"
#include "tests/support/component/call_gate.h"
#include "tests/support/component/no_dispatch.h"
#include "tests/support/component/reference_count.h"
#include "tests/support/wait/wait_until.h"

namespace Talvaro::Testing {
namespace {

using Objects::CObserverSingleton;
using Objects::DecodeWords;
using Objects::WatcherDelivery;
using platform::com::ComObject;
using platform::com::ComPtr;

struct Notification {
  ULONG first, second, third, count, value;
  bool operator==(const Notification&) const = default;
};

// A watcher that records what it is told and answers a set status; its gate can hold the next
// call, and an action may run inside OnNotify.
class CWatcher : public platform::com::ObjectRoot, public NoDispatch<IRegObserverCallback> {
 public:
  using Interfaces = platform::com::InterfaceTable<CWatcher, IRegObserverCallback>;
  HRESULT OnNotify(ULONG first, ULONG second, ULONG third, ULONG count, ULONG value) override {
    std::function<void()> run;
    HRESULT answer;
    {
      std::unique_lock lock(mutex_);
      gate.Pass(lock);
      received_.push_back({first, second, third, count, value});
      run = action;
      answer = answer_;
      changed_.notify_all();
    }
    if (run) run();
    return answer;
  }
  std::vector<Notification> Received() {
    std::lock_guard lock(mutex_);
    return received_;
  }
  std::size_t ReceivedCount() { return Received().size(); }
  void Answer(HRESULT answer) {
    std::lock_guard lock(mutex_);
    answer_ = answer;
  }
  std::function<void()> action;  // set before the watcher is registered, or while it is held

 private:
  std::mutex mutex_;
  std::condition_variable changed_;

 public:
  CallGate gate{mutex_, changed_};

 private:
  std::vector<Notification> received_;  // guarded by mutex_
  HRESULT answer_ = E_FAIL;             // guarded by mutex_; any answer but a broken call is ignored
};

ComPtr<ComObject<CWatcher>> NewWatcher() {
  ComPtr<ComObject<CWatcher>> watcher;
  EXPECT_EQ(platform::com::CreateObject(&watcher), S_OK);
  return watcher;
}

IRegObserverCallback* AsCallback(ComObject<CWatcher>* watcher) { return watcher; }

class ObserverSingletonTest : public ::testing::Test {
 protected:
  void TearDown() override { CObserverSingleton::ReleaseAll(); }
};

TEST(DecodeWords, TwelveFourteenTwoAndZeroBytes) {
  const unsigned char bytes[] = {0xAA, 0xBB, 0xCC, 0xDD, 1, 2, 3, 4, 0x10, 0x20, 0x30, 0x40, 0x05, 0x06};
  const std::tuple<ULONG, ULONG, ULONG, ULONG> cases[] = {  // count, the three words
      {12, 0xAABBCCDDu, 0x01020304u, 0x10203040u},
      {14, 0xAABBCCDDu, 0x01020304u, 0x10203040u + 5 + 6},  // later bytes summed into the third
      {2, 0xAABB00u, 0, 0},                                  // a short block keeps its shifts
      {0, 0, 0, 0}};
  for (const auto& [count, first, second, third] : cases) {
    const auto words = DecodeWords(count == 0 ? nullptr : bytes, count);
    EXPECT_EQ(words.first, first) << count;
    EXPECT_EQ(words.second, second) << count;
    EXPECT_EQ(words.third, third) << count;
  }
}

TEST_F(ObserverSingletonTest, WatchersAreToldOnceEachWithTheDecodedWords) {
  const auto observer = CObserverSingleton::GetInstance();
  ASSERT_TRUE(observer);
  EXPECT_FALSE(observer->HasObservers());
  auto a = NewWatcher(), b = NewWatcher(), c = NewWatcher(), stranger = NewWatcher();
  for (auto* w : {a.Get(), b.Get(), c.Get(), a.Get()}) EXPECT_EQ(observer->Register(AsCallback(w)), S_OK);
  EXPECT_EQ(observer->Register(nullptr), S_OK);
  EXPECT_EQ(CountOf(a->GetUnknown()), 2u) << "one entry, one reference";
  EXPECT_TRUE(observer->HasObservers());
  EXPECT_EQ(observer->Unregister(AsCallback(b.Get())), S_OK);
  EXPECT_EQ(observer->Unregister(AsCallback(stranger.Get())), S_OK);
  EXPECT_EQ(CountOf(b->GetUnknown()), 1u);
  const unsigned char bytes[] = {0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 3};
  observer->Notify(bytes, 12, 4711);
  observer->Notify(bytes, 4, 4712);
  const std::vector<Notification> expected{{1, 2, 3, 12, 4711}, {1, 0, 0, 4, 4712}};
  ASSERT_TRUE(WaitUntil([&] { return a->ReceivedCount() == 2 && c->ReceivedCount() == 2; }));
  EXPECT_EQ(a->Received(), expected);
  EXPECT_EQ(c->Received(), expected);
  EXPECT_TRUE(b->Received().empty());
  EXPECT_TRUE(stranger->Received().empty());
}

TEST_F(ObserverSingletonTest, WatcherMayRegisterAndUnregisterOnAnyThreadDuringItsCall) {
  const auto observer = CObserverSingleton::GetInstance();
  auto first = NewWatcher(), sameThread = NewWatcher(), otherThread = NewWatcher();
  first->action = [&] {
    observer->Register(AsCallback(sameThread.Get()));
    std::async(std::launch::async, [&] { observer->Register(AsCallback(otherThread.Get())); }).get();
    observer->Unregister(AsCallback(first.Get()));
  };
  observer->Register(AsCallback(first.Get()));
  const unsigned char byte = 7;
  observer->Notify(&byte, 1, 0);
  ASSERT_TRUE(WaitUntil([&] { return CountOf(first->GetUnknown()) == 1; })) << "unregistered itself";
  EXPECT_TRUE(sameThread->Received().empty()) << "a registration counts from the next notification";
  observer->Notify(&byte, 1, 1);
  ASSERT_TRUE(WaitUntil([&] { return sameThread->ReceivedCount() == 1 && otherThread->ReceivedCount() == 1; }));
  EXPECT_EQ(first->ReceivedCount(), 1u);
}

TEST_F(ObserverSingletonTest, AStalledWatcherHoldsUpNobodyQueuesBoundedAndGetsNothingAfterItsUnregister) {
  const auto observer = CObserverSingleton::GetInstance();
  auto stalled = NewWatcher(), healthy = NewWatcher();
  observer->Register(AsCallback(stalled.Get()));
  observer->Register(AsCallback(healthy.Get()));
  stalled->gate.CloseForNext();
  const unsigned char byte = 1;
  observer->Notify(&byte, 1, 0);
  ASSERT_TRUE(stalled->gate.WaitHeld(std::chrono::seconds(10)));
  ASSERT_TRUE(WaitUntil([&] { return healthy->ReceivedCount() == 1; }));
  // A full queue's worth (which the healthy watcher's empty queue takes too), then more, which
  // only the stalled one has no room for. Neither would return if Notify waited.
  const ULONG sent = WatcherDelivery::kMaxQueued + 50;
  for (ULONG i = 1; i <= WatcherDelivery::kMaxQueued; ++i) observer->Notify(&byte, 1, i);
  ASSERT_TRUE(WaitUntil([&] { return healthy->ReceivedCount() == WatcherDelivery::kMaxQueued + 1; }));
  for (ULONG i = WatcherDelivery::kMaxQueued + 1; i <= sent; ++i) observer->Notify(&byte, 1, i);
  ASSERT_TRUE(WaitUntil([&] { return healthy->ReceivedCount() == sent + 1; }));
  const auto inOrder = healthy->Received();
  for (ULONG i = 0; i <= sent; ++i) ASSERT_EQ(inOrder[i].value, i) << "in order";

  stalled->gate.Open();
  ASSERT_TRUE(WaitUntil([&] { return stalled->ReceivedCount() == WatcherDelivery::kMaxQueued + 1; }));
  const auto received = stalled->Received();
  EXPECT_EQ(received.back().value, WatcherDelivery::kMaxQueued) << "the overflow was dropped, not the queue";

  stalled->gate.CloseForNext();
  observer->Notify(&byte, 1, 9000);
  ASSERT_TRUE(stalled->gate.WaitHeld(std::chrono::seconds(10)));
  observer->Notify(&byte, 1, 9001);
  EXPECT_EQ(observer->Unregister(AsCallback(stalled.Get())), S_OK) << "returns while the call is held";
  stalled->gate.Open();
  ASSERT_TRUE(WaitUntil([&] { return CountOf(stalled->GetUnknown()) == 1; }));
  EXPECT_EQ(stalled->Received().back().value, 9000u) << "nothing queued was sent after Unregister";
}

TEST_F(ObserverSingletonTest, AWatcherWhoseCallsBreakIsRemovedOthersStay) {
  const auto observer = CObserverSingleton::GetInstance();
  const HRESULT broken[] = {RPC_S_SERVER_UNAVAILABLE_HR, RPC_S_CALL_FAILED_HR, RPC_S_CALL_FAILED_DNE_HR};
  auto failing = NewWatcher();
  failing->Answer(E_FAIL);
  observer->Register(AsCallback(failing.Get()));
  const unsigned char byte = 1;
  for (const HRESULT status : broken) {
    auto gone = NewWatcher();
    gone->Answer(status);
    observer->Register(AsCallback(gone.Get()));
    observer->Notify(&byte, 1, 0);
    observer->Notify(&byte, 1, 1);
    EXPECT_TRUE(WaitUntil([&] { return CountOf(gone->GetUnknown()) == 1; })) << std::hex << status;
    EXPECT_EQ(gone->ReceivedCount(), 1u) << "nothing after the failed call";
  }
  ASSERT_TRUE(WaitUntil([&] { return failing->ReceivedCount() == 6; }));
  EXPECT_TRUE(observer->HasObservers()) << "other failures are ignored";
  EXPECT_EQ(CountOf(failing->GetUnknown()), 2u);
}

TEST_F(ObserverSingletonTest, ReleaseAllDropsWatchersAndTheInstanceButHoldersKeepTheirs) {
  const auto observer = CObserverSingleton::GetInstance();
  ComPtr<Driver::IObserverNotification> heldByADriver(observer);
  auto watcher = NewWatcher();
  observer->Register(AsCallback(watcher.Get()));
  CObserverSingleton::ReleaseAll();
  EXPECT_EQ(CountOf(watcher->GetUnknown()), 1u);
  EXPECT_FALSE(heldByADriver->HasObservers()) << "the old instance lives on, empty";
  const auto fresh = CObserverSingleton::GetInstance();
  EXPECT_NE(static_cast<Driver::IObserverNotification*>(fresh.Get()), heldByADriver.Get());
  EXPECT_FALSE(fresh->HasObservers());
}

TEST_F(ObserverSingletonTest, ConcurrentNotificationsReachEveryWatcherInEachSendersOrder) {
  const auto observer = CObserverSingleton::GetInstance();
  auto a = NewWatcher(), b = NewWatcher();
  observer->Register(AsCallback(a.Get()));
  observer->Register(AsCallback(b.Get()));
  std::vector<std::thread> threads;
  for (unsigned char sender = 0; sender < 4; ++sender) {
    threads.emplace_back([observer, sender] {
      for (ULONG i = 0; i < 200; ++i) observer->Notify(&sender, 1, i);
    });
  }
  for (auto& thread : threads) thread.join();
  for (auto* watcher : {a.Get(), b.Get()}) {
    ASSERT_TRUE(WaitUntil([&] { return watcher->ReceivedCount() == 800; }));
    const auto received = watcher->Received();
    std::map<ULONG, ULONG> next;  // the first word carries the sender, the value its number
    for (const auto& n : received) EXPECT_EQ(n.value, next[n.first]++);
  }
}

}  // namespace
}  // namespace Talvaro::Testing
