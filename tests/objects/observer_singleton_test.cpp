#include "objects/observer_singleton.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/com/com_object.h"
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
class CWatcher : public platform::com::ObjectRoot, public IRegObserverCallback {
 public:
  using Interfaces = platform::com::InterfaceTable<CWatcher, IRegObserverCallback>;
  HRESULT GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
  HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  HRESULT Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
    return E_NOTIMPL;
  }
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

TEST(DecodeWords, TwelveBytesAreThreeBigEndianWords) {
  const unsigned char bytes[] = {0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 3};
  const auto words = DecodeWords(bytes, 12);
  EXPECT_EQ(words.first, 1u);
  EXPECT_EQ(words.second, 2u);
  EXPECT_EQ(words.third, 3u);
}

TEST(DecodeWords, BytesAfterTheTwelfthAreSummedIntoTheThirdWord) {
  const unsigned char bytes[] = {0xAA, 0xBB, 0xCC, 0xDD, 1, 2, 3, 4, 0x10, 0x20, 0x30, 0x40, 0x05, 0x06};
  const auto twelve = DecodeWords(bytes, 12);
  const auto fourteen = DecodeWords(bytes, 14);
  EXPECT_EQ(twelve.first, 0xAABBCCDDu);
  EXPECT_EQ(twelve.second, 0x01020304u);
  EXPECT_EQ(twelve.third, 0x10203040u);
  EXPECT_EQ(fourteen.third, twelve.third + 11);
}

TEST(DecodeWords, ShortBlocksKeepTheirShiftAndEmptyIsZero) {
  const unsigned char two[] = {0x12, 0x34};
  EXPECT_EQ(DecodeWords(two, 2).first, 0x123400u);
  EXPECT_EQ(DecodeWords(two, 2).second, 0u);
  const auto none = DecodeWords(nullptr, 0);
  EXPECT_EQ(none.first + none.second + none.third, 0u);
  // Wrapping arithmetic: a long run of 0xFF bytes sums modulo 2^32 without trouble.
  std::vector<unsigned char> many(100000, 0xFF);
  const auto words = DecodeWords(many.data(), static_cast<ULONG>(many.size()));
  EXPECT_EQ(words.first, 0xFFFFFFFFu);
  EXPECT_EQ(words.third, 0xFFFFFFFFu + 0xFFu * (100000u - 12u));
}

TEST_F(ObserverSingletonTest, WatchersAreCalledInRegistrationOrderWithTheDecodedWords) {
  const auto observer = CObserverSingleton::GetInstance();
  ASSERT_TRUE(observer);
  EXPECT_FALSE(observer->HasObservers());
  std::vector<CWatcher*> order;
  auto a = NewWatcher(), b = NewWatcher(), c = NewWatcher();
  for (auto* w : {a.Get(), b.Get(), c.Get()}) {
    w->order = &order;
    EXPECT_EQ(observer->Register(AsCallback(w)), S_OK);
  }
  EXPECT_TRUE(observer->HasObservers());
  EXPECT_EQ(observer->Unregister(AsCallback(b.Get())), S_OK);
  const unsigned char bytes[] = {0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 3};
  observer->Notify(bytes, 12, 4711);
  EXPECT_EQ(order, (std::vector<CWatcher*>{a.Get(), c.Get()})) << "order kept after Unregister";
  EXPECT_EQ(a->Received(), (std::vector<Notification>{{1, 2, 3, 12, 4711}}));
  EXPECT_TRUE(b->Received().empty());
}

TEST_F(ObserverSingletonTest, RegistrationIsOncePerPointerAndNullOrUnknownChangeNothing) {
  const auto observer = CObserverSingleton::GetInstance();
  auto watcher = NewWatcher();
  EXPECT_EQ(observer->Register(AsCallback(watcher.Get())), S_OK);
  EXPECT_EQ(observer->Register(AsCallback(watcher.Get())), S_OK);
  EXPECT_EQ(CountOf(watcher->GetUnknown()), 2u) << "one entry, one reference";
  EXPECT_EQ(observer->Register(nullptr), S_OK);
  auto stranger = NewWatcher();
  EXPECT_EQ(observer->Unregister(AsCallback(stranger.Get())), S_OK);
  observer->Notify(nullptr, 0, 0);
  EXPECT_EQ(watcher->Received(), (std::vector<Notification>{{0, 0, 0, 0, 0}}));
  EXPECT_EQ(observer->Unregister(AsCallback(watcher.Get())), S_OK);
  EXPECT_FALSE(observer->HasObservers());
  EXPECT_EQ(CountOf(watcher->GetUnknown()), 1u);
}

TEST_F(ObserverSingletonTest, WatcherMayRegisterOnItsOwnThreadDuringNotify) {
  const auto observer = CObserverSingleton::GetInstance();
  auto first = NewWatcher(), late = NewWatcher();
  first->action = [&] { observer->Register(AsCallback(late.Get())); };
  observer->Register(AsCallback(first.Get()));
  const unsigned char byte = 7;
  observer->Notify(&byte, 1, 0);
  EXPECT_TRUE(late->Received().empty()) << "a registration counts from the next notification";
  first->action = nullptr;
  observer->Notify(&byte, 1, 0);
  EXPECT_EQ(late->Received().size(), 1u);
}

TEST_F(ObserverSingletonTest, WatcherMayRegisterFromAnotherThreadDuringNotify) {
  const auto observer = CObserverSingleton::GetInstance();
  auto first = NewWatcher(), late = NewWatcher();
  first->action = [&] {
    std::async(std::launch::async, [&] { observer->Register(AsCallback(late.Get())); }).get();
  };
  observer->Register(AsCallback(first.Get()));
  const unsigned char byte = 7;
  observer->Notify(&byte, 1, 0);  // would deadlock if Notify held the list lock across calls
  EXPECT_TRUE(observer->HasObservers());
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
    // The first word carries the sender (one byte, shifted), the value its running number.
    std::map<ULONG, ULONG> next;
    for (const auto& notification : received) {
      EXPECT_EQ(notification.value, next[notification.first]++) << "a sender's blocks stay in order";
    }
  }
}

TEST_F(ObserverSingletonTest, WatcherMayWriteToADriverFromInsideItsNotification) {
  // A watcher's reaction may lead straight back into Notify on the same thread (a write it
  // makes is reported to the watchers too); nothing may be held across the call.
  const auto observer = CObserverSingleton::GetInstance();
  auto watcher = NewWatcher();
  int depth = 0;
  watcher->action = [&] {
    if (++depth < 3) {
      const unsigned char inner = 2;
      observer->Notify(&inner, 1, 0);
    }
  };
  observer->Register(AsCallback(watcher.Get()));
  const unsigned char outer = 1;
  observer->Notify(&outer, 1, 0);
  EXPECT_EQ(watcher->Received().size(), 3u);
}

}  // namespace
}  // namespace Talvaro::Testing
