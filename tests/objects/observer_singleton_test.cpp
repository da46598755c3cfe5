#include "objects/observer_singleton.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/com/com_object.h"
#include "tests/support/component/no_dispatch.h"
#include "tests/support/component/reference_count.h"

namespace Talvaro::Testing {
namespace {

using Objects::CObserverSingleton;
using Objects::DecodeWords;
using platform::com::ComObject;
using platform::com::ComPtr;

struct Notification {
  ULONG first, second, third, count, value;
  bool operator==(const Notification&) const = default;
};

// A watcher that records what it is told, optionally running an action inside OnNotify.
class CWatcher : public platform::com::ObjectRoot, public NoDispatch<IRegObserverCallback> {
 public:
  using Interfaces = platform::com::InterfaceTable<CWatcher, IRegObserverCallback>;
  HRESULT OnNotify(ULONG first, ULONG second, ULONG third, ULONG count, ULONG value) override {
    {
      std::lock_guard guard(*this);
      received.push_back({first, second, third, count, value});
      if (order != nullptr) order->push_back(this);
    }
    if (action) action();
    return E_FAIL;  // ignored by the observer
  }
  std::vector<Notification> Received() {
    std::lock_guard guard(*this);
    return received;
  }
  std::vector<Notification> received;
  std::vector<CWatcher*>* order = nullptr;
  std::function<void()> action;
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

TEST_F(ObserverSingletonTest, WatchersAreCalledOnceEachInRegistrationOrderWithTheDecodedWords) {
  const auto observer = CObserverSingleton::GetInstance();
  ASSERT_TRUE(observer);
  EXPECT_FALSE(observer->HasObservers());
  std::vector<CWatcher*> order;
  auto a = NewWatcher(), b = NewWatcher(), c = NewWatcher(), stranger = NewWatcher();
  for (auto* w : {a.Get(), b.Get(), c.Get(), a.Get()}) {
    w->order = &order;
    EXPECT_EQ(observer->Register(AsCallback(w)), S_OK);
  }
  EXPECT_EQ(observer->Register(nullptr), S_OK);
  EXPECT_EQ(CountOf(a->GetUnknown()), 2u) << "one entry, one reference";
  EXPECT_TRUE(observer->HasObservers());
  EXPECT_EQ(observer->Unregister(AsCallback(b.Get())), S_OK);
  EXPECT_EQ(observer->Unregister(AsCallback(stranger.Get())), S_OK);
  EXPECT_EQ(CountOf(b->GetUnknown()), 1u);
  const unsigned char bytes[] = {0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 3};
  observer->Notify(bytes, 12, 4711);
  EXPECT_EQ(order, (std::vector<CWatcher*>{a.Get(), c.Get()})) << "order kept after Unregister";
  EXPECT_EQ(a->Received(), (std::vector<Notification>{{1, 2, 3, 12, 4711}}));
  EXPECT_TRUE(b->Received().empty());
}

TEST_F(ObserverSingletonTest, WatcherMayRegisterOthersOnAnyThreadDuringNotify) {
  const auto observer = CObserverSingleton::GetInstance();
  auto first = NewWatcher(), sameThread = NewWatcher(), otherThread = NewWatcher();
  first->action = [&] {
    observer->Register(AsCallback(sameThread.Get()));
    // Would deadlock if Notify held the list lock across the callbacks.
    std::async(std::launch::async, [&] { observer->Register(AsCallback(otherThread.Get())); }).get();
  };
  observer->Register(AsCallback(first.Get()));
  const unsigned char byte = 7;
  observer->Notify(&byte, 1, 0);
  EXPECT_TRUE(sameThread->Received().empty()) << "a registration counts from the next notification";
  first->action = nullptr;
  observer->Notify(&byte, 1, 0);
  EXPECT_EQ(sameThread->Received().size(), 1u);
  EXPECT_EQ(otherThread->Received().size(), 1u);
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
    const auto received = watcher->Received();
    EXPECT_EQ(received.size(), 800u);
    std::map<ULONG, ULONG> next;  // the first word carries the sender, the value its number
    for (const auto& n : received) EXPECT_EQ(n.value, next[n.first]++);
  }
}

}  // namespace
}  // namespace Talvaro::Testing
