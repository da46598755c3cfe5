#include <gtest/gtest.h>

#include <vector>

#include "platform/com/connection_point.h"
#include "tests/platform/com/test_interfaces.h"

using platform::com::ComObject;
using platform::com::ComPtr;
using platform::com::CreateObject;

struct IEvents : IUnknown {
  virtual void Fired(int value) = 0;

 protected:
  ~IEvents() = default;
};
template <>
inline constexpr IID uuidof<IEvents> = platform::MakeGuid("{6A0E5C3B-1D52-4F39-9C5A-0D7B3F1E2A10}");

struct IOtherEvents : IUnknown {
 protected:
  ~IOtherEvents() = default;
};
template <>
inline constexpr IID uuidof<IOtherEvents> =
    platform::MakeGuid("{6A0E5C3B-1D52-4F39-9C5A-0D7B3F1E2A11}");

namespace {

class CSource : public platform::com::ObjectRoot,
                public platform::com::ConnectionPointContainer<
                    CSource, platform::com::ConnectionPoint<CSource, IEvents>>,
                public platform::com::ConnectionPoint<CSource, IEvents> {
 public:
  using Interfaces = platform::com::InterfaceTable<CSource, IConnectionPointContainer>;
  std::size_t Slots() {
    std::lock_guard guard(*this);
    return Sinks().SlotCount();
  }
};

class CSink : public platform::com::ObjectRoot, public IEvents {
 public:
  using Interfaces = platform::com::InterfaceTable<CSink, IEvents>;
  void Fired(int) override {}
};

class CDeaf : public platform::com::ObjectRoot, public IAlpha {
 public:
  using Interfaces = platform::com::InterfaceTable<CDeaf, IAlpha>;
  int Alpha() override { return 0; }
};

class ConnectionPointTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(CreateObject(&source_), S_OK);
    ASSERT_EQ(source_->FindConnectionPoint(uuidof<IEvents>, point_.Put()), S_OK);
  }
  ComPtr<ComObject<CSink>> NewSink() {
    ComPtr<ComObject<CSink>> sink;
    EXPECT_EQ(CreateObject(&sink), S_OK);
    return sink;
  }
  DWORD Advise(IUnknown* sink) {
    DWORD cookie = 0;
    EXPECT_EQ(point_->Advise(sink, &cookie), S_OK);
    return cookie;
  }
  CountingModule module_;
  ComPtr<ComObject<CSource>> source_;
  ComPtr<IConnectionPoint> point_;
};

TEST_F(ConnectionPointTest, CookiesAreSlotNumbersAndEmptySlotsAreReusedFirst) {
  EXPECT_EQ(source_->Slots(), 0u) << "no slots before the first subscription";
  std::vector<ComPtr<ComObject<CSink>>> sinks;
  for (int i = 0; i < 5; ++i) sinks.push_back(NewSink());

  EXPECT_EQ(Advise(sinks[0]->GetUnknown()), 1u);
  EXPECT_EQ(source_->Slots(), 4u);
  EXPECT_EQ(Advise(sinks[1]->GetUnknown()), 2u);
  EXPECT_EQ(Advise(sinks[2]->GetUnknown()), 3u);
  EXPECT_EQ(Advise(sinks[3]->GetUnknown()), 4u);
  EXPECT_EQ(Advise(sinks[4]->GetUnknown()), 5u);
  EXPECT_EQ(source_->Slots(), 8u) << "a full list doubles";

  EXPECT_EQ(point_->Unadvise(2), S_OK);
  EXPECT_EQ(point_->Unadvise(4), S_OK);
  EXPECT_EQ(source_->Slots(), 8u) << "unsubscribing empties a slot, the list keeps its size";
  EXPECT_EQ(Advise(sinks[1]->GetUnknown()), 2u);
  EXPECT_EQ(Advise(sinks[3]->GetUnknown()), 4u);
  EXPECT_EQ(Advise(sinks[3]->GetUnknown()), 6u) << "the same sink may subscribe twice";
}

TEST_F(ConnectionPointTest, SubscriptionHoldsAReferenceToTheEventInterface) {
  auto sink = NewSink();
  const DWORD cookie = Advise(sink->GetUnknown());
  EXPECT_EQ(CountOf(sink->GetUnknown()), 2u);
  EXPECT_EQ(point_->Unadvise(cookie), S_OK);
  EXPECT_EQ(CountOf(sink->GetUnknown()), 1u);
}

TEST_F(ConnectionPointTest, ErrorsFollowTheConnectionPointRules) {
  auto sink = NewSink();
  DWORD cookie = 77;
  EXPECT_EQ(point_->Advise(nullptr, &cookie), E_POINTER);
  EXPECT_EQ(point_->Advise(sink->GetUnknown(), nullptr), E_POINTER);

  ComPtr<ComObject<CDeaf>> deaf;
  ASSERT_EQ(CreateObject(&deaf), S_OK);
  EXPECT_EQ(point_->Advise(deaf->GetUnknown(), &cookie), CONNECT_E_CANNOTCONNECT);
  EXPECT_EQ(cookie, 0u);
  EXPECT_EQ(CountOf(deaf->GetUnknown()), 1u) << "a refused subscriber keeps no reference";

  EXPECT_EQ(point_->Unadvise(0), CONNECT_E_NOCONNECTION);
  EXPECT_EQ(point_->Unadvise(1), CONNECT_E_NOCONNECTION);
  const DWORD first = Advise(sink->GetUnknown());
  EXPECT_EQ(point_->Unadvise(first), S_OK);
  EXPECT_EQ(point_->Unadvise(first), CONNECT_E_NOCONNECTION) << "a cookie works once";
  EXPECT_EQ(point_->Unadvise(1000), CONNECT_E_NOCONNECTION);
}

TEST_F(ConnectionPointTest, ContainerFindsOnlyItsOwnPointAndNavigatesBack) {
  ComPtr<IConnectionPoint> other;
  EXPECT_EQ(source_->FindConnectionPoint(uuidof<IOtherEvents>, other.Put()), CONNECT_E_NOCONNECTION);
  EXPECT_FALSE(other);
  EXPECT_EQ(source_->FindConnectionPoint(uuidof<IEvents>, nullptr), E_POINTER);

  IID iid{};
  EXPECT_EQ(point_->GetConnectionInterface(&iid), S_OK);
  EXPECT_EQ(iid, uuidof<IEvents>);
  ComPtr<IConnectionPointContainer> container;
  EXPECT_EQ(point_->GetConnectionPointContainer(container.Put()), S_OK);
  EXPECT_TRUE(platform::com::IsSameObject(container.Get(), source_->GetUnknown()));

  ComPtr<IEnumConnectionPoints> points;
  ASSERT_EQ(source_->EnumConnectionPoints(points.Put()), S_OK);
  IConnectionPoint* found[2] = {};
  ULONG fetched = 0;
  EXPECT_EQ(points->Next(2, found, &fetched), S_FALSE);
  ASSERT_EQ(fetched, 1u);
  EXPECT_EQ(found[0], point_.Get());
  ComPtr<IConnectionPoint>::Adopt(found[0]);
}

TEST_F(ConnectionPointTest, EnumerationIsASnapshotWithCookiesAndReferences) {
  auto a = NewSink();
  auto b = NewSink();
  Advise(a->GetUnknown());
  const DWORD second = Advise(b->GetUnknown());
  Advise(a->GetUnknown());
  ASSERT_EQ(point_->Unadvise(1), S_OK);

  ComPtr<IEnumConnections> connections;
  ASSERT_EQ(point_->EnumConnections(connections.Put()), S_OK);
  Advise(b->GetUnknown());  // later subscriptions do not change the snapshot

  CONNECTDATA items[4] = {};
  ULONG fetched = 0;
  EXPECT_EQ(connections->Next(4, items, &fetched), S_FALSE);
  ASSERT_EQ(fetched, 2u);
  EXPECT_EQ(items[0].dwCookie, second);
  EXPECT_EQ(items[1].dwCookie, 3u);
  for (ULONG i = 0; i < fetched; ++i) ComPtr<IUnknown>::Adopt(items[i].pUnk);

  ComPtr<IEnumConnections> clone;
  EXPECT_EQ(connections->Reset(), S_OK);
  EXPECT_EQ(connections->Skip(1), S_OK);
  ASSERT_EQ(connections->Clone(clone.Put()), S_OK);
  EXPECT_EQ(clone->Next(1, items, nullptr), S_OK);
  EXPECT_EQ(items[0].dwCookie, 3u) << "a clone starts where its original stood";
  ComPtr<IUnknown>::Adopt(items[0].pUnk);
  EXPECT_EQ(clone->Skip(5), S_FALSE);
  EXPECT_EQ(clone->Next(2, items, nullptr), E_POINTER) << "several items need a fetched count";
}

// A source whose list may hold six subscriptions only: 4 slots, then 6 instead of 8.
class CSmallSource : public platform::com::ObjectRoot,
                     public platform::com::ConnectionPoint<CSmallSource, IEvents> {
 public:
  using Interfaces = platform::com::InterfaceTable<CSmallSource, IConnectionPoint>;
  CSmallSource() : ConnectionPoint(6) {}
  bool RemoveSink(IUnknown* sink) {
    std::lock_guard guard(*this);
    return Sinks().RemoveSink(sink) != nullptr;
  }
};

TEST(ConnectionPointLimit, DoublingStopsAtTheLimitAndAFullListGivesAdviseLimit) {
  CountingModule module;
  ComPtr<ComObject<CSmallSource>> source;
  ComPtr<ComObject<CSink>> sink;
  ASSERT_EQ(CreateObject(&source), S_OK);
  ASSERT_EQ(CreateObject(&sink), S_OK);
  DWORD cookie = 0;
  for (DWORD expected = 1; expected <= 6; ++expected) {
    EXPECT_EQ(source->Advise(sink->GetUnknown(), &cookie), S_OK);
    EXPECT_EQ(cookie, expected);
  }
  EXPECT_EQ(source->Advise(sink->GetUnknown(), &cookie), CONNECT_E_ADVISELIMIT);
  EXPECT_EQ(cookie, 0u);
  EXPECT_EQ(CountOf(sink->GetUnknown()), 7u) << "the refused subscription keeps no reference";
  // The dispatch's revocation of a sink frees its first slot for the next subscription.
  EXPECT_TRUE(source->RemoveSink(sink->GetUnknown()));
  EXPECT_EQ(source->Advise(sink->GetUnknown(), &cookie), S_OK);
  EXPECT_EQ(cookie, 1u);
}

}  // namespace
