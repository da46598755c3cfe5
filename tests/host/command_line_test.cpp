// The command-line grammar, and the exit status that the shell sees.
#include <gtest/gtest.h>

#include "host/command_line.h"
#include "platform/types/error_codes.h"

namespace host_test {
namespace {

using Talvaro::Host::CommandLineSwitch;
using Talvaro::Host::FindSwitch;

TEST(CommandLine, OnlyTheFirstSlashCountsAndTheWordMustEnd) {
  const struct {
    const wchar_t* line;
    CommandLineSwitch expected;
  } cases[] = {
      {L"TalvaroCommunicationDriver", CommandLineSwitch::None},
      {L"TalvaroCommunicationDriver /RegServer", CommandLineSwitch::RegServer},
      {L"TalvaroCommunicationDriver /UnregServer", CommandLineSwitch::UnregServer},
      {L"TalvaroCommunicationDriver /Unregserver", CommandLineSwitch::UnregServer},
      {L"TalvaroCommunicationDriver /service", CommandLineSwitch::Service},
      {L"TalvaroCommunicationDriver /DEBUG", CommandLineSwitch::Debug},
      {L"TalvaroCommunicationDriver /dEbUg\tmore", CommandLineSwitch::Debug},
      {L"TalvaroCommunicationDriver /help", CommandLineSwitch::Help},
      // Only '/' introduces a switch.
      {L"TalvaroCommunicationDriver -debug", CommandLineSwitch::None},
      {L"TalvaroCommunicationDriver -Embedding", CommandLineSwitch::None},
      // Only the first '/' is examined.
      {L"TalvaroCommunicationDriver /debug /help", CommandLineSwitch::Debug},
      {L"TalvaroCommunicationDriver /x /debug", CommandLineSwitch::None},
      {L"TalvaroCommunicationDriver -debug /help", CommandLineSwitch::Help},
      // The word ends with the line, a blank or a tab; anything else is another word.
      {L"TalvaroCommunicationDriver /debugger", CommandLineSwitch::None},
      {L"TalvaroCommunicationDriver /debug2", CommandLineSwitch::None},
      {L"TalvaroCommunicationDriver /debug:", CommandLineSwitch::None},
      {L"TalvaroCommunicationDriver /deb", CommandLineSwitch::None},
      {L"TalvaroCommunicationDriver /", CommandLineSwitch::None},
      {L"TalvaroCommunicationDriver /RegServerX", CommandLineSwitch::None},
      // A slash anywhere, even inside the program's own word, starts the switch word.
      {L"bin/debug", CommandLineSwitch::Debug},
      {L"TalvaroCommunicationDriver \U0001F600/debug", CommandLineSwitch::Debug},
      {L"TalvaroCommunicationDriver /d\U0001F600bug", CommandLineSwitch::None},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FindSwitch(c.line), c.expected) << testing::PrintToString(std::wstring(c.line));
  }
}

TEST(ExitStatus, AFailureNeverReadsAsSuccessInTheLowByte) {
  using Talvaro::Host::ProcessExitStatus;
  EXPECT_EQ(ProcessExitStatus(0), 0);
  // Codes whose low byte is not 0 pass unchanged; the shell sees that byte.
  EXPECT_EQ(ProcessExitStatus(static_cast<int>(E_FAIL)), static_cast<int>(E_FAIL));
  EXPECT_EQ(ProcessExitStatus(-1), -1);
  // A failure whose low byte is 0 would read as success: it becomes 1.
  for (const HRESULT failure : {HRESULT_FROM_WIN32(256), static_cast<HRESULT>(0x80040000), HRESULT{0x100}}) {
    EXPECT_EQ(ProcessExitStatus(static_cast<int>(failure)), 1) << std::hex << failure;
  }
}

}  // namespace
}  // namespace host_test
