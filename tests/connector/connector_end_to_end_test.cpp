// The shared-memory connector end to end: the real server on its simulator in shared-memory mode,
// tcdctl open --shm as the client process, and this process as a client of its own where a test
// needs to break the protocol.
#include <signal.h>
#include <unistd.h>

#include <filesystem>

#include "external/sharedmemory/private_namespace.h"
#include "external/sharedmemory/shared_memory_producer.h"
#include "interfaces/shared_memory_names.h"
#include "platform/automation/bstr.h"
#include "tests/remoting/remoting_fixture.h"
#include "tests/support/environment/registry_values.h"

namespace Talvaro::RemotingTest {
namespace {

namespace Transport = SharedMemoryTransport;
using platform::com::ComPtr;
using Testing::SetRegistryText;

const wchar_t* const kConnectorKey = L"SOFTWARE\\TALVARO\\Nimbrel\\TalvaroCommunicationDriver";

std::size_t Occurrences(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++count;
  return count;
}

// The shared-memory objects whose names contain `fragment`.
std::vector<std::string> ObjectsNamed(const std::string& fragment) {
  std::vector<std::string> found;
  for (const auto& entry : std::filesystem::directory_iterator("/dev/shm")) {
    const std::string name = entry.path().filename().string();
    if (name.find(fragment) != std::string::npos) found.push_back(name);
  }
  return found;
}

// The channels and the namespace of the link tcdctl `pid` made: the client library names them by
// its pid.
std::vector<std::string> ObjectsOf(pid_t pid) {
  auto found = ObjectsNamed("tcdlink" + std::to_string(pid) + "_");
  for (auto& name : ObjectsNamed("tcdclient" + std::to_string(pid) + "_")) found.push_back(name);
  return found;
}

constexpr HRESULT kLinkFailed = -1050;  // the server's failure of a driver object's set-up

class ConnectorEndToEnd : public ServerFixture {
 protected:
  void StartSharedMemoryServer() {
    SetRegistryText(kConnectorKey, L"ConnectorType", L"SHARED_MEMORY");
    StartServer();
    ASSERT_EQ(Command(L"period * 0"), S_OK);  // only the blocks a test injects
  }
  // The server, killed at the end of each test, leaves its namespace object: taken over and
  // removed here (its clients' namespaces the server removes itself once they died).
  void TearDown() override {
    ServerFixture::TearDown();
    try {
      Transport::CPrivateNamespace::CreatePrivateNamespaceW(
          Transport::CSecurityAttributes(Connector::kServerSecurityDescriptor), Connector::kServerBoundaryName,
          Connector::kServerAliasPrefix);
    } catch (const std::runtime_error&) {
    }
  }
  // tcdctl open --shm, with its stdin ours to write.
  std::unique_ptr<ChildProcess> OpenOverSharedMemory(const std::string& application) {
    return std::make_unique<ChildProcess>(
        TCDCTL_BINARY, std::vector<std::string>{"--json", "--app", application, "open", "--shm", "XRB_1"},
        std::vector<std::string>{}, true);
  }
  // Injects `block` until `client` printed it: its link exists from then on.
  bool Linked(ChildProcess& client, const std::string& hex = "5A") {
    return WaitUntil([&] {
      Command((L"data XRB_1 " + std::wstring(hex.begin(), hex.end())).c_str());
      return client.Output().find("\"data\":\"" + hex + "\"") != std::string::npos;
    });
  }
};

TEST_F(ConnectorEndToEnd, TcdctlCarriesBlocksAndWritesOverTheLinkWhileErrorsAndStateStayEvents) {
  StartSharedMemoryServer();
  auto client = OpenOverSharedMemory("shm");
  ASSERT_TRUE(Linked(*client)) << client->Errors() << ServerLog();

  // A block larger than the event path's command may carry, and byte for byte.
  ASSERT_EQ(Command(L"burst XRB_1 70000 1"), S_OK);
  std::string expected = "\"data\":\"";
  static const char* const digits = "0123456789ABCDEF";
  for (std::size_t i = 0; i < 70000; ++i) {
    const auto byte = static_cast<unsigned char>(i < 8 ? 0 : i);
    expected += digits[byte >> 4];
    expected += digits[byte & 0xF];
  }
  ASSERT_TRUE(WaitUntil([&] { return client->Output().find(expected + "\"}") != std::string::npos; }));
  ASSERT_EQ(Command(L"error XRB_1 -5"), S_OK);
  ASSERT_EQ(Command(L"availability XRB_1 0"), S_OK);
  ASSERT_TRUE(WaitUntil([&] { return client->Output().find("{\"event\":\"state\",\"unit\":\"XRB_1\",\"state\":0}") !=
                                     std::string::npos; }));
  EXPECT_NE(client->Output().find("{\"event\":\"error\",\"unit\":\"XRB_1\",\"code\":-5}"), std::string::npos);
  ASSERT_EQ(Command(L"availability XRB_1 1"), S_OK);

  // Writes with their trailer, an empty payload, a line that is no write, a refused write.
  ASSERT_TRUE(client->WriteInput("0102A0 7\n\"\" -3\nzz\n"));
  EXPECT_TRUE(SimulatorRecorded("application=\"shm\" data=0102A0 value=7 verdict=0 result=0")) << ServerLog();
  EXPECT_TRUE(SimulatorRecorded("application=\"shm\" data= value=-3 verdict=0 result=0"));
  ASSERT_EQ(Command(L"write-result XRB_1 -4"), S_OK);
  ASSERT_TRUE(client->WriteInput("0B\n"));
  EXPECT_TRUE(WaitUntil([&] { return LogShows("Write failed - ") && LogShows(" (-4)"); })) << ServerLog();
  EXPECT_TRUE(WaitUntil([&] { return client->Errors().find("input line 3: 'zz' is not hexadecimal bytes") !=
                                     std::string::npos; }))
      << client->Errors();

  ASSERT_TRUE(WaitUntil([&] { return LogShows("Liveliness check done (XRB_1_shm)"); })) << "a probe was answered";
  client->Signal(SIGINT);
  ASSERT_EQ(client->Wait(), 0) << client->Errors();
  const std::string out = client->Output();
  EXPECT_EQ(out.find("liveliness"), std::string::npos) << "probes are not events";
  EXPECT_EQ(out.find("{\"unit\":\"XRB_1\",\"probes\":0}"), std::string::npos) << out.substr(out.size() - 40);
  EXPECT_NE(out.find("{\"unit\":\"XRB_1\",\"probes\":"), std::string::npos);
  EXPECT_TRUE(WaitUntil([&] { return Occurrences(ServerLog(), "Performing cleaup") == 1; }));
  EXPECT_TRUE(WaitUntil([&] { return ObjectsOf(client->Pid()).empty(); })) << "the link's channels went";
}

TEST_F(ConnectorEndToEnd, AKilledAndAStoppedClientAreEachDetachedOnceAndTheOthersKeepTheUnit) {
  StartSharedMemoryServer();
  auto killed = OpenOverSharedMemory("killed");
  auto stopped = OpenOverSharedMemory("stopped");
  auto healthy = OpenOverSharedMemory("healthy");
  ASSERT_TRUE(Linked(*killed)) << killed->Errors();
  ASSERT_TRUE(Linked(*stopped)) << stopped->Errors();
  ASSERT_TRUE(Linked(*healthy)) << healthy->Errors();

  killed->Signal(SIGKILL);
  stopped->Signal(SIGSTOP);
  const auto since = std::chrono::steady_clock::now();
  // The killed one goes as its connection does (or at its first probe); the stopped one after
  // five probes that time out, a second each.
  ASSERT_TRUE(WaitUntil([&] { return Occurrences(ServerLog(), "Performing cleaup") == 2; }, 40s)) << ServerLog();
  EXPECT_GE(std::chrono::steady_clock::now() - since, 4s);
  EXPECT_GE(Occurrences(ServerLog(), "Write to shared memory timeout ("), 5u);
  EXPECT_TRUE(WaitUntil([&] { return ObjectsOf(killed->Pid()).empty(); })) << "its channels and namespace went";

  ASSERT_TRUE(Linked(*healthy, "C0FFEE")) << "the unit still serves the others";
  EXPECT_EQ(Occurrences(ServerLog(), "Performing cleaup"), 2u) << "once each";
  stopped->Signal(SIGKILL);
  stopped->Wait();
  EXPECT_TRUE(WaitUntil([&] { return ObjectsOf(stopped->Pid()).empty(); })) << "all of its link went as it died";
  EXPECT_EQ(Occurrences(ServerLog(), "Performing cleaup"), 2u) << "a detached object does not clean up again";
  healthy->Signal(SIGINT);
  EXPECT_EQ(healthy->Wait(), 0);
}

TEST_F(ConnectorEndToEnd, LinksThatCannotBeMadeFailWith1050AndAnEventModeServerIsNamed) {
  StartSharedMemoryServer();
  auto factory = Factory();
  ASSERT_TRUE(factory);
  const auto create = [&](const wchar_t* base, const wchar_t* space) {
    ComPtr<ICommunicationDriver> driver;
    platform::automation::Bstr unit(L"XRB_1"), application(L"e2e"), none(L""), baseName(base), spaceName(space);
    const HRESULT hr =
        factory->CreateDriver(unit.Get(), application.Get(), none.Get(), baseName.Get(), spaceName.Get(), driver.Put());
    return std::make_pair(hr, driver);
  };
  EXPECT_EQ(create(L"Lonely", L"NeverCreated").first, kLinkFailed);
  EXPECT_TRUE(WaitUntil([&] { return LogShows("Creating shared memory failed - unexpected error ("); }));

  const Transport::CSecurityAttributes access(Connector::kServerSecurityDescriptor);
  const std::wstring spaceName = L"e2e" + std::to_wstring(::getpid());
  auto space = Transport::CPrivateNamespace::CreatePrivateNamespaceW(
      access, Connector::kClientBoundaryPrefix + spaceName, spaceName);
  Transport::CSharedMemoryProducer write(access, space.Name(), L"Twin_Write", 16);
  auto first = create(L"Twin", spaceName.c_str());
  EXPECT_EQ(first.first, S_OK);
  EXPECT_EQ(create(L"Twin", spaceName.c_str()).first, kLinkFailed);
  EXPECT_TRUE(WaitUntil([&] { return LogShows("Creating shared memory failed - identification already used ("); }));
  EXPECT_EQ(ObjectsNamed("Lonely_"), std::vector<std::string>{}) << "the failed link's data channel went again";
  factory = nullptr;
  first.second = nullptr;
  EXPECT_TRUE(WaitUntil([] { return ObjectsNamed("Twin_On").empty(); })) << "released with the driver object";

  // tcdctl against a server that runs in event mode (whose namespace exists from the links above).
  SetRegistryText(kConnectorKey, L"ConnectorType", L"EVENTS");
  ChildProcess tcdctl(TCDCTL_BINARY, {"open", "--shm", "XRB_1"});
  EXPECT_EQ(tcdctl.Wait(), 1);
  EXPECT_EQ(tcdctl.Errors(),
            "tcdctl: cannot open XRB_1 over shared memory: the server made no channels for the link: it does "
            "not use the shared-memory connector (ConnectorType is not SHARED_MEMORY)\n");
  EXPECT_TRUE(ObjectsOf(tcdctl.Pid()).empty());
}

}  // namespace
}  // namespace Talvaro::RemotingTest
