#include "external/hardware/command_language.h"

#include <gtest/gtest.h>

#include "platform/types/wide_string.h"
#include "tests/external/hardware/test_support.h"

namespace HardwareTest {
namespace {

using namespace OrbiqCommunicationLibrary::Simulator;

TEST(CommandParsing, HexBytesAcceptPairsInAnyCaseWithOptionalPrefix) {
  using Bytes = std::vector<unsigned char>;
  EXPECT_EQ(ParseHexBytes({L"0a1B"}), Bytes({0x0A, 0x1B}));
  EXPECT_EQ(ParseHexBytes({L"0xFF", L"00", L"0X7e"}), Bytes({0xFF, 0x00, 0x7E}));
  for (const auto& bad : std::vector<std::vector<std::wstring>>{
           {}, {L"abc"}, {L"0x"}, {L"zz"}, {L"12", L"3"}, {L"0x0g"}, {L"-1"}, {L"1 2"}}) {
    EXPECT_FALSE(ParseHexBytes(bad)) << (bad.empty() ? std::string("(none)")
                                                     : std::string(bad[0].begin(), bad[0].end()));
  }
}

TEST(CommandParsing, IntegersAreDecimalOrHexWithinSixtyFourBits) {
  EXPECT_EQ(ParseInteger(L"0"), 0);
  EXPECT_EQ(ParseInteger(L"-1200"), -1200);
  EXPECT_EQ(ParseInteger(L"+7"), 7);
  EXPECT_EQ(ParseInteger(L"0x8000ffff"), 0x8000FFFF);
  EXPECT_EQ(ParseInteger(L"-9223372036854775808"), INT64_MIN);
  for (const wchar_t* bad : {L"", L"-", L"0x", L"12a", L"1 2", L"9223372036854775808", L"0xg"}) {
    EXPECT_FALSE(ParseInteger(bad)) << std::wstring(bad).size();
  }
  EXPECT_EQ(SplitWords(L"  data\tXRB_1 \r\n 0a  "),
            (std::vector<std::wstring>{L"data", L"XRB_1", L"0a"}));
}

class CommandLanguage : public SimulatorFixture {};

TEST_F(CommandLanguage, InjectionCommandsReachTheUnitsObservers) {
  RecordingObserver observer;
  ICommDriver* driver = OpenObserved(L"XRB_1", observer);
  ASSERT_EQ(driver->GetRestrictionInterface()->Register(1, &observer), ORBIQLIB_SUCCESS);

  EXPECT_EQ(driver->GenericCommand(L"data XRB_1 0a0B 0xff"), ORBIQLIB_SUCCESS);
  EXPECT_EQ(simulator_->ExecuteCommand(L"ERROR XRB_1 0x8000FFFF"), ORBIQLIB_SUCCESS);
  EXPECT_EQ(simulator_->ExecuteCommand(L"error XRB_1 -1200"), ORBIQLIB_SUCCESS);
  EXPECT_EQ(simulator_->ExecuteCommand(L"Availability XRB_1 0"), ORBIQLIB_SUCCESS);
  EXPECT_EQ(simulator_->ExecuteCommand(L"restrict XRB_1 C0DE"), ORBIQLIB_SUCCESS);
  Quiet();

  const auto seen = observer.Callbacks();
  ASSERT_EQ(seen.size(), 5u);
  EXPECT_EQ(seen[0].kind, ObservedCallback::Kind::Data);
  EXPECT_EQ(seen[0].data, (std::vector<unsigned char>{0x0A, 0x0B, 0xFF}));
  EXPECT_EQ(seen[1].value, static_cast<std::int32_t>(0x8000FFFF));
  EXPECT_EQ(seen[2].value, -1200);
  EXPECT_EQ(seen[3].kind, ObservedCallback::Kind::Availability);
  EXPECT_EQ(seen[3].value, 0);
  EXPECT_EQ(seen[4].kind, ObservedCallback::Kind::Restriction);
  EXPECT_EQ(seen[4].data, (std::vector<unsigned char>{0xC0, 0xDE}));
  EXPECT_EQ(simulator_->Availability(L"XRB_1"), 0);
  ASSERT_EQ(simulator_->RestrictionAnswers().size(), 1u);
  EXPECT_EQ(simulator_->RestrictionAnswers()[0].mode, 1u);
}

TEST_F(CommandLanguage, ResultCommandsAreOneShot) {
  EXPECT_EQ(simulator_->ExecuteCommand(L"open-result XRB_2 -77"), ORBIQLIB_SUCCESS);
  EXPECT_EQ(simulator_->ExecuteCommand(L"write-result XRB_2 0x10"), ORBIQLIB_SUCCESS);
  EXPECT_EQ(simulator_->ExecuteCommand(L"app-result -5"), ORBIQLIB_SUCCESS);

  ICommDriver* driver = Factory()->CreateCommDriver();
  EXPECT_EQ(driver->Open(L"XRB_2", L"App", L""), -77);
  EXPECT_EQ(driver->Open(L"XRB_2", L"App", L""), ORBIQLIB_SUCCESS);
  const unsigned char byte = 1;
  EXPECT_EQ(driver->GetDataTransferInterface()->Write(&byte, 1, 0, nullptr), 0x10);
  EXPECT_EQ(driver->GetDataTransferInterface()->Write(&byte, 1, 0, nullptr), ORBIQLIB_SUCCESS);
  ICommDriver* proxyDriver = simulator_->GetDriver();
  EXPECT_EQ(proxyDriver->ApplicationCommand(L"a", L"b", 1), -5);
  EXPECT_EQ(proxyDriver->ApplicationCommand(L"a", L"b", 1), ORBIQLIB_SUCCESS);
}

// Every command answers its result; the malformed and refused ones change nothing.
TEST_F(CommandLanguage, CommandsAnswerTheirResultAndBadOnesHaveNoEffect) {
  RecordingObserver observer;
  OpenObserved(L"XRB_1", observer);
  const std::wstring tooLong = L"data XRB_1 " + std::wstring(2 * (kMaxCommandBytes + 1), L'a');
  const std::pair<const wchar_t*, E_ORBIQLIB_Result> cases[] = {
      {L"", ORBIQLIB_E_BAD_COMMAND},
      {L"   ", ORBIQLIB_E_BAD_COMMAND},
      {L"explode XRB_1", ORBIQLIB_E_BAD_COMMAND},
      {L"data XRB_1", ORBIQLIB_E_BAD_COMMAND},
      {L"data XRB_1 abc", ORBIQLIB_E_BAD_COMMAND},
      {L"data XRB_1 0x", ORBIQLIB_E_BAD_COMMAND},
      {L"data xrb_1 00", ORBIQLIB_E_UNKNOWN_UNIT},
      {tooLong.c_str(), ORBIQLIB_E_INVALID_ARGUMENT},
      {L"error XRB_1", ORBIQLIB_E_BAD_COMMAND},
      {L"error XRB_1 1 2", ORBIQLIB_E_BAD_COMMAND},
      {L"error XRB_1 twelve", ORBIQLIB_E_BAD_COMMAND},
      {L"error XRB_1 2147483648", ORBIQLIB_E_INVALID_ARGUMENT},
      {L"error XRB_1 -2147483649", ORBIQLIB_E_INVALID_ARGUMENT},
      {L"error XRB_1 0x100000000", ORBIQLIB_E_INVALID_ARGUMENT},
      {L"availability XRB_1 2", ORBIQLIB_E_INVALID_ARGUMENT},
      {L"availability XRB_1 on", ORBIQLIB_E_BAD_COMMAND},
      {L"restrict XRB_1", ORBIQLIB_E_BAD_COMMAND},
      {L"open-result XRB_1", ORBIQLIB_E_BAD_COMMAND},
      {L"write-result Nope 0", ORBIQLIB_E_UNKNOWN_UNIT},
      {L"app-result", ORBIQLIB_E_BAD_COMMAND},
      {L"help me", ORBIQLIB_E_BAD_COMMAND},
      {L"list all", ORBIQLIB_E_BAD_COMMAND},
      {L"period XRB_1 250", ORBIQLIB_SUCCESS},
      {L"period * 0", ORBIQLIB_SUCCESS},
      {L"period * 3600001", ORBIQLIB_E_INVALID_ARGUMENT},
      {L"period XRB_1 -1", ORBIQLIB_E_INVALID_ARGUMENT},
      {L"period XRB_9 10", ORBIQLIB_E_UNKNOWN_UNIT},
      {L"periodic maybe", ORBIQLIB_E_BAD_COMMAND},
      {L"periodic OFF", ORBIQLIB_SUCCESS},
      {L"period * 3600000", ORBIQLIB_SUCCESS},
      {L"periodic on", ORBIQLIB_SUCCESS},  // the next status block is an hour away
  };
  for (const auto& [command, expected] : cases) {
    EXPECT_EQ(simulator_->ExecuteCommand(command), expected) << std::wstring(command).substr(0, 40).size();
  }
  Quiet();
  EXPECT_EQ(observer.Count(), 0u);
  EXPECT_EQ(simulator_->Availability(L"XRB_1"), 1);
  EXPECT_EQ(simulator_->GenericCommands().size(), std::size(cases));
}

TEST_F(CommandLanguage, ListAndHelpGiveRetrievableText) {
  ICommDriver* proxyDriver = simulator_->GetDriver();
  ASSERT_NE(proxyDriver, nullptr);
  Open(L"XRB_2", L"Viewer");
  EXPECT_EQ(proxyDriver->ApplicationCommand(L"first", L"second", 0), ORBIQLIB_SUCCESS);
  EXPECT_EQ(proxyDriver->ApplicationCommand(L"x", L"y", 2), ORBIQLIB_SUCCESS);
  EXPECT_EQ(proxyDriver->ApplicationCommand(L"x", L"y", 3), ORBIQLIB_E_UNKNOWN_APPLICATION_COMMAND);
  EXPECT_EQ(proxyDriver->ApplicationCommand(L"x", L"y", -1), ORBIQLIB_E_UNKNOWN_APPLICATION_COMMAND);

  std::vector<std::wstring> logged;
  simulator_->SetLogSink([&](const std::wstring& line) { logged.push_back(line); });
  EXPECT_EQ(proxyDriver->GenericCommand(L"list"), ORBIQLIB_SUCCESS);
  const std::wstring listing = simulator_->LastCommandOutput();
  EXPECT_NE(listing.find(L"Units: 2"), std::wstring::npos) << platform::ToUtf8(listing);
  EXPECT_NE(listing.find(L"XRB_1 MAC=02-58-52-42-00-01 IP=192.168.100.11 State=Running "
                         L"BoardID=0x1A01 Available=1 PeriodMs=1000 Drivers=0 "
                         L"SubItems=Sensor_A,Sensor_B"),
            std::wstring::npos);
  EXPECT_NE(listing.find(L"driver application=\"Viewer\" argument=\"arg\""), std::wstring::npos);
  EXPECT_NE(listing.find(L"Application commands: 4"), std::wstring::npos);
  EXPECT_NE(listing.find(L"code=0 text1=\"first\" text2=\"second\" result=0"), std::wstring::npos);
  ASSERT_EQ(logged.size(), 1u);
  EXPECT_NE(logged[0].find(L"Units: 2"), std::wstring::npos);

  std::wstring help;
  EXPECT_EQ(simulator_->ExecuteCommand(L"HELP", &help), ORBIQLIB_SUCCESS);
  EXPECT_EQ(help, HelpText());
}

TEST(CommandLanguageLifecycle, InjectionsNeedAStartedSimulator) {
  XRBSimulator simulator(QuietConfig());
  EXPECT_EQ(simulator.ExecuteCommand(L"data XRB_1 00"), ORBIQLIB_E_NOT_INITIALIZED);
  ASSERT_EQ(simulator.Initialize(), ORBIQLIB_SUCCESS);
  EXPECT_EQ(simulator.ExecuteCommand(L"data XRB_1 00"), ORBIQLIB_E_NOT_STARTED);
  EXPECT_EQ(simulator.ExecuteCommand(L"availability XRB_1 0"), ORBIQLIB_E_NOT_STARTED);
  EXPECT_EQ(simulator.ExecuteCommand(L"open-result XRB_1 5"), ORBIQLIB_SUCCESS);
  EXPECT_EQ(simulator.ExecuteCommand(L"list"), ORBIQLIB_SUCCESS);
  EXPECT_EQ(simulator.Shutdown(), ORBIQLIB_SUCCESS);
}

}  // namespace
}  // namespace HardwareTest
