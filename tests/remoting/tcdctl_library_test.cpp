// tcdctl's command line and output, in-process.
#include <gtest/gtest.h>

#include "platform/automation/variant.h"
#include "tools/tcdctl/command_line.h"
#include "tools/tcdctl/output.h"

namespace tcdctl {
namespace {

ParsedCommandLine Parse(std::vector<std::string> args) { return ParseCommandLine(args); }

TEST(TcdctlCommandLine, GlobalOptionsCommandsAndTheirArguments) {
  auto parsed = Parse({"--json", "--app", "monitor", "write", "XRB_1", "0x01A0ff", "-7"});
  ASSERT_EQ(parsed.error, "");
  EXPECT_EQ(parsed.command.verb, Verb::kWrite);
  EXPECT_TRUE(parsed.command.json);
  EXPECT_EQ(parsed.command.application, "monitor");
  EXPECT_EQ(parsed.command.unit, "XRB_1");
  EXPECT_EQ(parsed.command.data, (std::vector<std::uint8_t>{0x01, 0xA0, 0xFF}));
  EXPECT_EQ(parsed.command.value, -7);

  parsed = Parse({"--app=x", "write", "XRB_1", ""});
  ASSERT_EQ(parsed.error, "");
  EXPECT_TRUE(parsed.command.data.empty()) << "an empty write is a write of no bytes";
  EXPECT_EQ(parsed.command.value, 0);
  EXPECT_EQ(parsed.command.application, "x");

  parsed = Parse({"shutdown", "one", "two words"});
  ASSERT_EQ(parsed.error, "");
  EXPECT_EQ(parsed.command.firstText, "one");
  EXPECT_EQ(parsed.command.secondText, "two words");
  EXPECT_EQ(Parse({"units"}).command.application, "tcdctl");
  EXPECT_EQ(Parse({"units"}).command.timeout, kDefaultTimeout);

  // Options after the command word too; "--" ends them.
  parsed = Parse({"info", "--json", "XRB_1", "--timeout", "2.5", "--app=late"});
  ASSERT_EQ(parsed.error, "");
  EXPECT_TRUE(parsed.command.json);
  EXPECT_EQ(parsed.command.unit, "XRB_1");
  EXPECT_EQ(parsed.command.timeout, std::chrono::milliseconds(2500));
  EXPECT_EQ(parsed.command.application, "late");
  parsed = Parse({"--timeout=0", "info", "--", "--odd-name"});
  ASSERT_EQ(parsed.error, "");
  EXPECT_EQ(parsed.command.unit, "--odd-name");
  EXPECT_EQ(parsed.command.timeout, std::chrono::milliseconds(0)) << "no bound";
  parsed = Parse({"open", "XRB_2", "--shm"});
  ASSERT_EQ(parsed.error, "");
  EXPECT_TRUE(parsed.command.sharedMemory);
  EXPECT_EQ(parsed.command.unit, "XRB_2");
  EXPECT_FALSE(Parse({"open", "XRB_2"}).command.sharedMemory);
}

TEST(TcdctlCommandLine, HelpInEveryForm) {
  for (const auto& [args, verb] : std::vector<std::pair<std::vector<std::string>, Verb>>{
           {{"--help"}, Verb::kNone},
           {{"-h"}, Verb::kNone},
           {{"help"}, Verb::kNone},
           {{"open", "--help"}, Verb::kOpen},
           {{"help", "open"}, Verb::kOpen},
           {{"open", "XRB_1", "-h"}, Verb::kOpen}}) {
    const auto parsed = Parse(args);
    EXPECT_EQ(parsed.error, "");
    EXPECT_TRUE(parsed.command.help);
    EXPECT_EQ(parsed.command.verb, verb);
  }
}

TEST(TcdctlCommandLine, UsageErrorsSayWhatIsWrong) {
  EXPECT_EQ(Parse({}).error, "no command given");
  EXPECT_EQ(Parse({"--json"}).error, "no command given");
  EXPECT_EQ(Parse({"frobnicate"}).error, "unknown command 'frobnicate'");
  EXPECT_EQ(Parse({"--verbose", "units"}).error, "unknown option '--verbose'");
  EXPECT_EQ(Parse({"--app"}).error, "--app needs an application name");
  EXPECT_EQ(Parse({"info"}).error, "info: wrong number of arguments");
  EXPECT_EQ(Parse({"units", "extra"}).error, "units: wrong number of arguments");
  EXPECT_EQ(Parse({"write", "XRB_1", "0G"}).error, "write: '0G' is not hexadecimal bytes");
  EXPECT_EQ(Parse({"write", "XRB_1", "012"}).error, "write: '012' is not hexadecimal bytes");
  EXPECT_EQ(Parse({"write", "XRB_1", "01", "4294967296"}).error, "write: '4294967296' is not a 32-bit number");
  EXPECT_EQ(Parse({"create", "only-one"}).error, "create: wrong number of arguments");
  EXPECT_EQ(Parse({"--shm", "watch"}).error, "--shm applies to open only");
  for (const char* bad : {"", "-1", "1e3", "86401", "x"}) {
    EXPECT_EQ(Parse({"units", "--timeout", bad}).error, "--timeout needs a number of seconds, not '" + std::string(bad) + "'")
        << bad;
  }
  // What a user typed is echoed with its control characters escaped.
  EXPECT_EQ(Parse({"un\x1b[2Jits"}).error, "unknown command 'un\\x1b[2Jits'");
  EXPECT_EQ(Parse({"--v\n", "units"}).error, "unknown option '--v\\x0a'");
  EXPECT_EQ(Parse({"write", "XRB_1", "\x7f"}).error, "write: '\\x7f' is not hexadecimal bytes");
}

TEST(TcdctlCommandLine, NumbersInDecimalOrAsThirtyTwoHexBits) {
  std::int32_t value = 0;
  EXPECT_TRUE(ParseValue("0x8000FFFF", &value));
  EXPECT_EQ(value, static_cast<std::int32_t>(0x8000FFFF));
  EXPECT_TRUE(ParseValue("-2147483648", &value));
  EXPECT_EQ(value, INT32_MIN);
  EXPECT_FALSE(ParseValue("0x123456789", &value));
  EXPECT_FALSE(ParseValue("12abc", &value));
  EXPECT_FALSE(ParseValue("", &value));
}

DISPPARAMS OneArgument(VARIANT& argument) { return DISPPARAMS{&argument, nullptr, 1, 0}; }

TEST(TcdctlOutput, EventsInTextAndJson) {
  platform::automation::Variant block;
  const std::uint8_t bytes[] = {0x01, 0x02, 0xA0, 0xFF};
  ASSERT_EQ(platform::automation::MakeByteArrayVariant(bytes, &block), S_OK);
  DISPPARAMS data = OneArgument(*block.Get());
  EXPECT_EQ(EventLine("XRB_1", 3, data, false), "data 0102A0FF");
  EXPECT_EQ(EventLine("XRB_1", 3, data, true), R"({"event":"data","unit":"XRB_1","data":"0102A0FF"})");

  auto code = platform::automation::MakeUI4Variant(static_cast<ULONG>(-1200));
  DISPPARAMS error = OneArgument(*code.Get());
  EXPECT_EQ(EventLine("XRB_1", 4, error, false), "error -1200");
  EXPECT_EQ(EventLine("XRB_1", 4, error, true), R"({"event":"error","unit":"XRB_1","code":-1200})");

  auto available = platform::automation::MakeUI4Variant(1);
  DISPPARAMS state = OneArgument(*available.Get());
  EXPECT_EQ(EventLine("XRB_1", 2, state, false), "state 1");
  EXPECT_EQ(EventLine("U \"x\"", 2, state, true), R"({"event":"state","unit":"U \"x\"","state":1})");

  const DISPPARAMS none{nullptr, nullptr, 0, 0};
  EXPECT_EQ(EventLine("XRB_1", 1, none, false), "liveliness");
  EXPECT_EQ(EventLine("XRB_1", 1, none, true), R"({"event":"liveliness","unit":"XRB_1"})");
  EXPECT_EQ(EventLine("XRB_1", 9, none, false), "event 9");
}

TEST(TcdctlOutput, NotificationsAndJsonStrings) {
  EXPECT_EQ(NotificationLine(1, 2, 0xABCDEF01, 14, 77, false), "notify 00000001 00000002 ABCDEF01 bytes=14 value=77");
  EXPECT_EQ(NotificationLine(1, 2, 3, 12, 77, true),
            R"({"event":"notify","first":1,"second":2,"third":3,"bytes":12,"value":77})");
  EXPECT_EQ(JsonString("a\"b\\c\nd\x01"), R"("a\"b\\c\nd\u0001")");
  EXPECT_EQ(JsonArray({}), "[]");
}

}  // namespace
}  // namespace tcdctl
