// tcdcapture against real traffic on the loopback network, as root: the continuous capture's
// files rotate, stay within the dump count and read back with tcpdump; failures cross the process
// boundary with their description; the on-demand capture writes its buffer on request; and the
// server, configured for a continuous capture, starts it through the capture service and its end
// closes the file. Without the rights to capture (or without tcpdump) the tests skip.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <memory>

#include "interfaces/network_capture.h"
#include "platform/automation/bstr.h"
#include "platform/com/error_info.h"
#include "platform/types/wide_string.h"
#include "tests/remoting/remoting_fixture.h"
#include "tests/support/environment/registry_values.h"

namespace Talvaro::RemotingTest {
namespace {

namespace fs = std::filesystem;
using platform::automation::Bstr;
using platform::com::ComPtr;

std::string ReadAll(const fs::path& file) {
  std::ifstream in(file);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// UDP datagrams to 127.0.0.1:`port`; nobody needs to listen for them to cross the loopback.
void SendDatagrams(std::uint16_t port, int count) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const std::string payload(100, 'x');
  for (int i = 0; i < count; ++i) {
    ::sendto(fd, payload.data(), payload.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
  }
  ::close(fd);
}

std::vector<fs::path> FilesIn(const fs::path& folder, const std::string& prefix) {
  std::vector<fs::path> files;
  std::error_code ignored;
  for (const auto& entry : fs::directory_iterator(folder, ignored)) {
    if (entry.path().filename().string().rfind(prefix, 0) == 0) files.push_back(entry.path());
  }
  return files;
}

// The packets tcpdump reads back from `file` (those whose line holds `mark`, when given);
// nullopt when it cannot read the file whole.
std::optional<std::size_t> PacketsReadBack(const fs::path& file, const std::string& mark = "") {
  ChildProcess tcpdump("/usr/bin/tcpdump", {"-n", "-r", file.string()});
  if (tcpdump.Wait() != 0) return std::nullopt;
  std::size_t count = 0;
  std::istringstream lines(tcpdump.Output());
  for (std::string line; std::getline(lines, line);) {
    if (line.find(mark) != std::string::npos) ++count;
  }
  return count;
}

// The description of the error information the failed call left on this thread.
std::string LastErrorDescription() {
  ComPtr<IErrorInfo> info;
  if (GetErrorInfo(0, info.Put()) != S_OK || !info) return "(none)";
  wchar_t* text = nullptr;
  info->GetDescription(&text);
  const std::string description = platform::ToUtf8(text != nullptr ? text : L"");
  SysFreeString(text);
  return description;
}

class CaptureService : public ServerFixture {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "capturing needs root (CAP_NET_RAW, CAP_NET_ADMIN)";
    if (!fs::exists("/usr/bin/tcpdump")) GTEST_SKIP() << "tcpdump is not installed";
    ServerFixture::SetUp();
    ChildProcess registration(TCDCAPTURE_BINARY, {"--register"});
    ASSERT_EQ(registration.Wait(), 0) << registration.Errors();
    folder_ = fs::path(RunDirectory() + "-captures");
  }
  template <class I>
  ComPtr<I> Capture(REFCLSID clsid) {
    ComPtr<I> capture;
    EXPECT_EQ(Create(clsid, &capture), S_OK);
    return capture;
  }
  HRESULT StartContinuous(IContinuousCapture* capture, const char* network, const std::string& filter,
                          const fs::path& folder, ULONG fileSize = 3000) {
    Bstr networkText(platform::FromUtf8(network)), filterText(platform::FromUtf8(filter)),
        folderText(platform::FromUtf8(folder.string()));
    return capture->StartCapture(networkText.Get(), filterText.Get(), fileSize, 3, folderText.Get(), 7);
  }

  fs::path folder_;
};

TEST_F(CaptureService, AContinuousCaptureRotatesKeepsTheDumpCountAndClosesReadableFiles) {
  auto capture = Capture<IContinuousCapture>(CLSID_ContinuousCapture);
  ASSERT_TRUE(capture);
  ASSERT_EQ(StartContinuous(capture.Get(), "127.0.0.1", "udp port 40111", folder_), S_OK) << LastErrorDescription();
  EXPECT_EQ(StartContinuous(capture.Get(), "127.0.0.1", "", folder_), static_cast<HRESULT>(0x8000FFFF));
  EXPECT_EQ(LastErrorDescription(), "a capture is running already");
  // About 19 datagrams fill a file of 3000 bytes: 200 make ten files, of which three stay.
  std::size_t most = 0;
  for (int round = 0; round < 20; ++round) {
    SendDatagrams(40111, 10);
    most = std::max(most, FilesIn(folder_, "capture-").size());
  }
  EXPECT_TRUE(WaitUntil([&] { return FilesIn(folder_, "capture-").size() == 3; })) << "the dump count bounds the files";
  EXPECT_LE(most, 3u + 1u) << "a new file may exist a moment before the oldest goes";
  ASSERT_EQ(capture->StopCapture(), S_OK);
  std::size_t packets = 0;
  for (const auto& file : FilesIn(folder_, "capture-")) {
    const auto read = PacketsReadBack(file);
    ASSERT_TRUE(read) << file << " is not a whole pcap file";
    packets += *read;
  }
  EXPECT_GE(packets, 20u);
}

TEST_F(CaptureService, FailuresSayWhatWentWrongAcrossTheProcessBoundary) {
  auto capture = Capture<IContinuousCapture>(CLSID_ContinuousCapture);
  ASSERT_TRUE(capture);
  EXPECT_TRUE(FAILED(StartContinuous(capture.Get(), "203.0.113.9", "", folder_)));
  EXPECT_EQ(LastErrorDescription(), "no interface carries the network 203.0.113.9");
  EXPECT_TRUE(FAILED(StartContinuous(capture.Get(), "127.0.0.1", "udp port (", folder_)));
  EXPECT_EQ(LastErrorDescription().rfind("bad capture filter \"udp port (\"", 0), 0u) << LastErrorDescription();
  EXPECT_TRUE(FAILED(StartContinuous(capture.Get(), "127.0.0.1", "", "/proc/no-such-folder")));
  EXPECT_EQ(LastErrorDescription(), "the folder /proc/no-such-folder cannot be written");
  EXPECT_EQ(StartContinuous(capture.Get(), "127.0.0.1", "", folder_), S_OK) << "nothing stays of the failures";
}

TEST_F(CaptureService, AnOnDemandCaptureWritesItsNewestPacketsWhenAsked) {
  auto capture = Capture<IOnDemandCapture>(CLSID_OnDemandCapture);
  ASSERT_TRUE(capture);
  Bstr network(L"127.0.0.1");
  ASSERT_EQ(capture->StartCapture(network.Get(), 1 << 20), S_OK) << LastErrorDescription();
  // The service we launched has our log directory.
  const fs::path flushes = fs::path(std::getenv("TALVARO_LOG_DIR")) / "captures";
  SendDatagrams(40112, 50);
  // Each flush writes what the ring holds by then into a new file; the packets are captured a
  // moment after they were sent, so the test asks again until a file holds them all.
  std::size_t most = 0;
  EXPECT_TRUE(WaitUntil([&] {
    const auto before = FilesIn(flushes, "ondemand-").size();
    ChildProcess flush(TCDCAPTURE_BINARY, {"--flush"});
    if (flush.Wait() != 0 || !WaitUntil([&] { return FilesIn(flushes, "ondemand-").size() > before; }, 5s)) {
      return false;
    }
    for (const auto& file : FilesIn(flushes, "ondemand-")) {
      most = std::max(most, PacketsReadBack(file, ".40112:").value_or(0));  // the datagrams, not the replies
    }
    return most >= 50;
  })) << "the fullest flush held " << most << " packets";
}

TEST_F(CaptureService, TheServerStartsItsConfiguredCaptureAndItsEndClosesTheFile) {
  const wchar_t* settings = L"SOFTWARE\\TALVARO\\Orbiq\\TalvaroCommunicationDriver\\WinPcap\\";
  Testing::SetRegistryText(settings, L"MpcNetwork", L"127.0.0.1");
  Testing::SetRegistryText(settings, L"CaptureMode", L"continuous");
  Testing::SetRegistryText(settings, L"DestinationFolder", platform::FromUtf8(folder_.string()));
  Testing::SetRegistryText(settings, L"CaptureFilter", L"udp port 40113");
  StartServer();
  ASSERT_TRUE(WaitUntil([&] { return FilesIn(folder_, "capture-").size() == 1; })) << ServerLog();
  EXPECT_TRUE(LogShows("OrbiqWpcap capture starting in continuous mode. Network IP: 127.0.0.1"));
  SendDatagrams(40113, 30);
  const fs::path file = FilesIn(folder_, "capture-").front();
  server_->Signal(SIGKILL);  // however the server ends, the service stops what it started
  server_->Wait();
  EXPECT_TRUE(WaitUntil([&] { return PacketsReadBack(file).value_or(0) >= 30; }))
      << "closed whole: " << PacketsReadBack(file).value_or(0) << "\n"
      << ServerLog() << ReadAll(fs::path(ServerLogPath()).parent_path() / "CaptureService.log");
}

// Without the capture service (and without capture rights): the set-up fails and waits for its
// next attempt while the server serves.
class CaptureSetUp : public ServerFixture {};

TEST_F(CaptureSetUp, TheServerServesWhileTheCaptureServiceIsAbsent) {
  const wchar_t* settings = L"SOFTWARE\\TALVARO\\Orbiq\\TalvaroCommunicationDriver\\WinPcap\\";
  Testing::SetRegistryText(settings, L"MpcNetwork", L"127.0.0.1");
  Testing::SetRegistryText(settings, L"CaptureMode", L"FlushOnDemand");
  StartServer();
  ASSERT_TRUE(WaitUntil([&] { return LogShows("Class not registered"); })) << ServerLog();
  EXPECT_TRUE(LogShows("OrbiqWpcap capture starting in on demand mode. Network IP: 127.0.0.1"));
  auto factory = Factory();
  ASSERT_TRUE(factory);
  EXPECT_TRUE(Driver(factory.Get(), L"XRB_1")) << "the hardware is served meanwhile";
}

}  // namespace
}  // namespace Talvaro::RemotingTest
