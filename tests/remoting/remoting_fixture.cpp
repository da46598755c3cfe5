#include "tests/remoting/remoting_fixture.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "interfaces/driver_factory.h"
#include "platform/remoting/endpoints.h"

namespace Talvaro::RemotingTest {

void RemotingFixture::SetUp() {
  // The isolated environment names one run directory per process; each test takes its own
  // beside it.
  static const std::string base = std::getenv("TALVARO_RUN_DIR");
  static int next = 0;
  runDirectory_ = base + "-" + std::to_string(++next);
  ::setenv("TALVARO_RUN_DIR", runDirectory_.c_str(), 1);
  ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
}

void RemotingFixture::TearDown() { CoUninitialize(); }

std::unique_ptr<ChildProcess> RemotingFixture::StartPeer(bool real) {
  std::vector<std::string> arguments{"serve"};
  if (real) arguments.emplace_back("--real");
  auto peer = std::make_unique<ChildProcess>(PEER_BINARY, arguments);
  const auto line = peer->ReadLine();
  EXPECT_TRUE(line && line->rfind("serving", 0) == 0) << (line ? *line : "(no output)") << peer->Errors();
  return peer;
}

void ServerFixture::SetUp() {
  RemotingFixture::SetUp();
  logDirectory_ = RunDirectory() + "-log";
  eventLog_ = RunDirectory() + "-events.log";
  // Registration as a local server: the AppID and the classes with LocalServer32.
  ChildProcess registration(SERVER_BINARY, {"/RegServer"}, ServerEnvironment());
  ASSERT_EQ(registration.Wait(), 0) << registration.Errors();
}

std::vector<std::string> ServerFixture::ServerEnvironment() const {
  return {"TALVARO_LOG_DIR=" + logDirectory_, "TALVARO_EVENT_LOG=" + eventLog_};
}

void ServerFixture::StartServer() {
  server_ = std::make_unique<ChildProcess>(SERVER_BINARY, std::vector<std::string>{}, ServerEnvironment());
  ASSERT_TRUE(WaitUntil([] {
    return platform::remoting::ReadClassFile(CLSID_TalvaroCommunicationDriverFactory).has_value();
  })) << server_->Errors();
}

std::string ServerFixture::ServerLog() const {
  std::ifstream file(logDirectory_ + "/TCD.log");
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

bool ServerFixture::LogShows(const std::string& text, std::size_t times) const {
  const std::string log = ServerLog();
  std::size_t found = 0;
  for (auto at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++found;
  return found >= times;
}

}  // namespace Talvaro::RemotingTest
