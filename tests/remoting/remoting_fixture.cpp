#include "tests/remoting/remoting_fixture.h"

#include <cstdlib>

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

}  // namespace Talvaro::RemotingTest
