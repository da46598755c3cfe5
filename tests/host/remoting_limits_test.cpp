// The server's remoting limits from the registry: values read, zero where it keeps a default,
// and the defaults without a key.
#include "host/remoting_limits.h"

#include <gtest/gtest.h>

#include "platform/registry/registry.h"
#include "platform/types/error_codes.h"
#include "platform/remoting/limits.h"
#include "tests/support/environment/isolated_environment.h"
#include "tests/support/environment/registry_values.h"

namespace Talvaro::Host {
namespace {

void SetValue(const wchar_t* name, DWORD value) { Testing::SetRegistryDword(kRemotingKeyPath, name, value); }

TEST(RemotingLimits, TheServerReadsItsBoundsAndPollingOnceAtStart) {
  Testing::IsolatedEnvironment environment;
  ApplyRemotingLimits();
  auto limits = platform::remoting::CurrentLimits();
  EXPECT_EQ(limits.outgoingCallBound, std::chrono::milliseconds(30000));
  EXPECT_EQ(limits.pollAfterWork, std::chrono::microseconds(60));

  SetValue(L"OutgoingCallTimeoutMs", 0);  // no bound
  SetValue(L"PollAfterWorkUs", 0);        // sleep at once
  SetValue(L"MaxConnections", 0);         // keeps its default
  SetValue(L"MaxMessageKB", 8);
  ApplyRemotingLimits();
  limits = platform::remoting::CurrentLimits();
  EXPECT_EQ(limits.outgoingCallBound, std::chrono::milliseconds(0));
  EXPECT_EQ(limits.pollAfterWork, std::chrono::microseconds(0));
  EXPECT_EQ(limits.maxConnections, 4096u);
  EXPECT_EQ(limits.maxMessageBytes, 8u * 1024);

  SetValue(L"PollAfterWorkUs", 5'000'000);
  ApplyRemotingLimits();
  EXPECT_EQ(platform::remoting::CurrentLimits().pollAfterWork, std::chrono::microseconds(10000)) << "at most 10 ms";
}

}  // namespace
}  // namespace Talvaro::Host
