// The platform's own interfaces through proxies and stubs, against the server's classes in
// remoting_test_peer: a class object (creation, aggregation refused, server locks), a driver's
// connection points and both enumerators (positions, clones, the batch limit), subscriptions of
// this process's sinks, which come back as the sinks themselves.
#include "interfaces/driver_factory.h"
#include "platform/com/connection_interfaces.h"
#include "platform/remoting/remoting.h"
#include "tests/remoting/remoting_fixture.h"
#include "tests/support/component/event_sink.h"

namespace Talvaro::RemotingTest {
namespace {

using platform::automation::Bstr;
using platform::com::ComPtr;
using platform::remoting::IsProxy;
using Talvaro::Testing::CEventSink;

class PlatformMarshalersTest : public RemotingFixture {
 protected:
  ComPtr<IConnectionPointContainer> RemoteDriver() {
    ComPtr<IClassFactory> classObject;
    EXPECT_EQ(CoGetClassObject(CLSID_TalvaroCommunicationDriverFactory, CLSCTX_LOCAL_SERVER, nullptr,
                               IID_IClassFactory, classObject.PutVoid()),
              S_OK);
    if (!classObject) return {};
    EXPECT_EQ(classObject->LockServer(TRUE), S_OK);
    EXPECT_EQ(classObject->LockServer(FALSE), S_OK);
    ComPtr<IUnknown> aggregated;
    EXPECT_EQ(classObject->CreateInstance(classObject.Get(), IID_IUnknown, aggregated.PutVoid()),
              CLASS_E_NOAGGREGATION);
    EXPECT_EQ(classObject->CreateInstance(nullptr, IID_IClassFactory, aggregated.PutVoid()), E_NOINTERFACE);
    EXPECT_FALSE(aggregated);

    ComPtr<ITalvaroCommunicationDriverFactory> factory;
    EXPECT_EQ(classObject->CreateInstance(nullptr, uuidof<ITalvaroCommunicationDriverFactory>, factory.PutVoid()),
              S_OK);
    if (!factory) return {};
    ComPtr<ICommunicationDriver> driver;
    Bstr unit(L"XRB_1");
    Bstr application(L"remoting_runtime_tests");
    EXPECT_EQ(factory->CreateDriver(unit.Get(), application.Get(), nullptr, nullptr, nullptr, driver.Put()), S_OK);
    ComPtr<IConnectionPointContainer> container;
    if (driver) {
      EXPECT_EQ(driver.As(&container), S_OK);
    }
    return container;
  }
};

// Cookies of what `connections` hands out from its position on; checks that each sink is one of
// this process's objects, not a proxy.
std::vector<DWORD> Cookies(IEnumConnections* connections, ULONG count) {
  std::vector<CONNECTDATA> items(count);
  ULONG fetched = 0;
  const HRESULT hr = connections->Next(count, items.data(), &fetched);
  EXPECT_EQ(hr, fetched == count ? S_OK : S_FALSE);
  std::vector<DWORD> cookies;
  for (ULONG i = 0; i < fetched; ++i) {
    cookies.push_back(items[i].dwCookie);
    EXPECT_FALSE(IsProxy(items[i].pUnk)) << "cookie " << items[i].dwCookie;
    if (items[i].pUnk != nullptr) items[i].pUnk->Release();
  }
  return cookies;
}

TEST_F(PlatformMarshalersTest, ConnectionPointsEnumeratorsAndSubscriptionsCross) {
  auto peer = StartPeer(true);
  auto container = RemoteDriver();
  ASSERT_TRUE(container);
  ASSERT_TRUE(IsProxy(container.Get()));

  // The container's points, through the enumerator and by interface: one remote object.
  EXPECT_EQ(container->EnumConnectionPoints(nullptr), E_POINTER);
  ComPtr<IEnumConnectionPoints> points;
  ASSERT_EQ(container->EnumConnectionPoints(points.Put()), S_OK);
  IConnectionPoint* listed[2] = {};
  ULONG fetched = 0;
  ASSERT_EQ(points->Next(2, listed, &fetched), S_FALSE);
  ASSERT_EQ(fetched, 1u);
  auto point = ComPtr<IConnectionPoint>::Adopt(listed[0]);
  ComPtr<IConnectionPoint> found;
  ASSERT_EQ(container->FindConnectionPoint(uuidof<ICommunicationDriverEvents>, found.Put()), S_OK);
  EXPECT_EQ(found.Get(), point.Get());
  EXPECT_EQ(container->FindConnectionPoint(IID_IDispatch, found.Put()), CONNECT_E_NOCONNECTION);
  EXPECT_FALSE(found);
  IID events{};
  ASSERT_EQ(point->GetConnectionInterface(&events), S_OK);
  EXPECT_EQ(events, uuidof<ICommunicationDriverEvents>);
  ComPtr<IConnectionPointContainer> owner;
  ASSERT_EQ(point->GetConnectionPointContainer(owner.Put()), S_OK);
  EXPECT_TRUE(platform::com::IsSameObject(owner.Get(), container.Get()));

  // The enumerator's position travels with each call; a clone starts where its original is.
  EXPECT_EQ(points->Reset(), S_OK);
  ComPtr<IEnumConnectionPoints> clone;
  ASSERT_EQ(points->Clone(clone.Put()), S_OK);
  EXPECT_EQ(points->Skip(1), S_OK);
  EXPECT_EQ(points->Skip(1), S_FALSE);
  EXPECT_EQ(points->Next(1, listed, nullptr), S_FALSE);
  ASSERT_EQ(clone->Next(1, listed, nullptr), S_OK);
  EXPECT_EQ(ComPtr<IConnectionPoint>::Adopt(listed[0]).Get(), point.Get());
  EXPECT_EQ(points->Next(70000, listed, &fetched), E_INVALIDARG) << "beyond the batch limit";
  EXPECT_EQ(fetched, 0u);

  // Sinks of this process subscribe; the enumeration hands them back as themselves.
  std::vector<ComPtr<platform::com::ComObject<CEventSink>>> sinks(3);
  for (DWORD expected = 1; expected <= sinks.size(); ++expected) {
    auto& sink = sinks[expected - 1];
    ASSERT_EQ(platform::com::CreateObject(&sink), S_OK);
    DWORD cookie = 0;
    ASSERT_EQ(point->Advise(static_cast<ICommunicationDriverEvents*>(sink.Get()), &cookie), S_OK);
    EXPECT_EQ(cookie, expected);
  }
  EXPECT_EQ(point->Unadvise(2), S_OK);
  EXPECT_EQ(point->Unadvise(2), CONNECT_E_NOCONNECTION);

  ComPtr<IEnumConnections> connections;
  ASSERT_EQ(point->EnumConnections(connections.Put()), S_OK);
  EXPECT_EQ(Cookies(connections.Get(), 4), (std::vector<DWORD>{1, 3}));
  EXPECT_EQ(connections->Reset(), S_OK);
  EXPECT_EQ(connections->Skip(1), S_OK);
  ComPtr<IEnumConnections> rest;
  ASSERT_EQ(connections->Clone(rest.Put()), S_OK);
  EXPECT_EQ(Cookies(rest.Get(), 1), (std::vector<DWORD>{3}));
  EXPECT_EQ(connections->Skip(5), S_FALSE);
  EXPECT_EQ(Cookies(connections.Get(), 1), std::vector<DWORD>{});
  CONNECTDATA item{};
  EXPECT_EQ(connections->Next(70000, &item, &fetched), E_INVALIDARG);

  // The subscriber objects are ours: the same objects, no proxy of a proxy.
  ASSERT_EQ(connections->Reset(), S_OK);
  ASSERT_EQ(connections->Next(1, &item, nullptr), S_OK);
  auto first = ComPtr<IUnknown>::Adopt(item.pUnk);
  EXPECT_TRUE(platform::com::IsSameObject(first.Get(), static_cast<ICommunicationDriverEvents*>(sinks[0].Get())));
  EXPECT_EQ(point->Unadvise(1), S_OK);
  EXPECT_EQ(point->Unadvise(3), S_OK);
}

}  // namespace
}  // namespace Talvaro::RemotingTest
