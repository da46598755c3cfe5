// The real server against clients that die, stop or misbehave: killed watchers give back their
// connections and are removed, a stopped watcher holds up no unit's data.
#include <signal.h>

#include <filesystem>

#include "platform/com/connection_interfaces.h"
#include "tests/remoting/remoting_fixture.h"
#include "tests/support/component/event_sink.h"

namespace Talvaro::RemotingTest {
namespace {

using platform::com::ComPtr;

class ServerHardening : public ServerFixture {
 protected:
  std::size_t ServerDescriptors() const {
    std::size_t count = 0;
    std::error_code ignored;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator("/proc/" + std::to_string(server_->Pid()) + "/fd", ignored)) {
      ++count;
    }
    return count;
  }

  // A `tcdctl watch` that has seen its first notification, so it is registered.
  std::unique_ptr<ChildProcess> StartWatcher() {
    auto watcher = std::make_unique<ChildProcess>(TCDCTL_BINARY, std::vector<std::string>{"watch"});
    bool notified = false;
    for (int attempt = 0; attempt < 100 && !notified; ++attempt) {
      EXPECT_EQ(Command(L"data XRB_1 00000001"), S_OK);
      notified = watcher->ReadLine(std::chrono::milliseconds(200)).has_value();
    }
    EXPECT_TRUE(notified) << watcher->Errors();
    return watcher;
  }

  // Subscribes a sink of this process to `driver`'s events.
  ComPtr<platform::com::ComObject<Testing::CEventSink>> Subscribe(ICommunicationDriver* driver) {
    ComPtr<platform::com::ComObject<Testing::CEventSink>> sink;
    EXPECT_EQ(platform::com::CreateObject(&sink), S_OK);
    ComPtr<IConnectionPointContainer> container;
    EXPECT_EQ(driver->QueryInterface(uuidof<IConnectionPointContainer>, container.PutVoid()), S_OK);
    ComPtr<IConnectionPoint> point;
    EXPECT_EQ(container->FindConnectionPoint(uuidof<ICommunicationDriverEvents>, point.Put()), S_OK);
    DWORD cookie = 0;
    EXPECT_EQ(point->Advise(sink->GetUnknown(), &cookie), S_OK);
    return sink;
  }
};

TEST_F(ServerHardening, KilledWatchersGiveBackTheirConnectionsAtOnceAndAreRemovedAtTheirFirstFailure) {
  StartServer();
  auto factory = Factory();
  auto driver = Driver(factory.Get(), L"XRB_1");  // data flows to the watchers through it
  ASSERT_TRUE(driver);
  const std::size_t baseline = ServerDescriptors();
  std::vector<std::unique_ptr<ChildProcess>> watchers;
  for (int i = 0; i < 4; ++i) watchers.push_back(StartWatcher());
  EXPECT_GE(ServerDescriptors(), baseline + 4);
  for (auto& watcher : watchers) {
    watcher->Signal(SIGKILL);
    watcher->Wait();
  }
  EXPECT_TRUE(WaitUntil([&] { return ServerDescriptors() <= baseline; }))
      << ServerDescriptors() << " descriptors, " << baseline << " before the watchers";
  ASSERT_EQ(Command(L"data XRB_1 00000002"), S_OK);
  EXPECT_TRUE(WaitUntil([&] {
    const std::string log = ServerLog();
    std::size_t removed = 0;
    for (auto at = log.find("A watcher was removed"); at != std::string::npos; at = log.find("A watcher was removed", at + 1)) {
      ++removed;
    }
    return removed == watchers.size();
  })) << ServerLog();
  EXPECT_TRUE(LogShows("its notification failed with 0x800706BA"));
}

TEST_F(ServerHardening, AStoppedWatcherHoldsUpNoUnitsData) {
  StartServer();
  auto factory = Factory();
  auto driver = Driver(factory.Get(), L"XRB_1");
  ASSERT_TRUE(driver);
  auto watcher = StartWatcher();
  watcher->Signal(SIGSTOP);
  auto sink = Subscribe(driver.Get());
  constexpr std::size_t kBlocks = 20;
  for (std::size_t i = 0; i < kBlocks; ++i) ASSERT_EQ(Command(L"data XRB_1 0102"), S_OK);
  EXPECT_TRUE(sink->WaitForEvents(kBlocks)) << sink->Events().size() << " of " << kBlocks << " blocks arrived";
  watcher->Signal(SIGCONT);
  EXPECT_TRUE(watcher->ReadLine().has_value()) << "the watcher is served again";
}

}  // namespace
}  // namespace Talvaro::RemotingTest
