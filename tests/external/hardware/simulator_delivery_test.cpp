// Delivery guarantees of the simulator: fan-out, order, library threads, and the waits of
// unregistration and Close.
#include <gtest/gtest.h>

#include "tests/external/hardware/test_support.h"

namespace HardwareTest {
namespace {

using Kind = ObservedCallback::Kind;

class SimulatorDelivery : public SimulatorFixture {};

TEST_F(SimulatorDelivery, EveryDriverOfAUnitGetsEveryBlockOnALibraryThread) {
  RecordingObserver first, second, otherUnit, alsoFirst;
  ICommDriver* a = OpenObserved(L"XRB_1", first, L"A");
  OpenObserved(L"XRB_1", second, L"B");
  OpenObserved(L"XRB_2", otherUnit);
  ASSERT_EQ(a->GetDataTransferInterface()->RegisterObserver(&alsoFirst), ORBIQLIB_SUCCESS);
  EXPECT_EQ(a->GetDataTransferInterface()->RegisterObserver(&alsoFirst),
            ORBIQLIB_E_ALREADY_REGISTERED);
  EXPECT_EQ(simulator_->OpenDriverCount(L"XRB_1"), 2u);

  Inject(L"XRB_1", {1, 2, 3});
  Quiet();
  for (RecordingObserver* observer : {&first, &second, &alsoFirst}) {
    const auto seen = observer->Callbacks();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].data, Bytes({1, 2, 3}));
    EXPECT_NE(seen[0].thread, std::this_thread::get_id());
  }
  EXPECT_EQ(first.Callbacks()[0].thread, alsoFirst.Callbacks()[0].thread);
  EXPECT_NE(first.Callbacks()[0].thread, second.Callbacks()[0].thread);
  EXPECT_EQ(otherUnit.Count(), 0u);
}

TEST_F(SimulatorDelivery, CallbacksOfOneDriverKeepTheirOrder) {
  RecordingObserver observer;
  OpenObserved(L"XRB_1", observer);
  std::vector<std::pair<Kind, std::int32_t>> expected;
  for (int i = 0; i < 300; ++i) {
    switch (i % 3) {
      case 0:
        Inject(L"XRB_1", {static_cast<unsigned char>(i / 3)});
        expected.emplace_back(Kind::Data, i / 3);
        break;
      case 1:
        ASSERT_EQ(simulator_->InjectError(L"XRB_1", static_cast<E_ORBIQLIB_Result>(-i)), 0);
        expected.emplace_back(Kind::Error, -i);
        break;
      default:
        ASSERT_EQ(simulator_->SetAvailability(L"XRB_1", i % 2), 0);
        expected.emplace_back(Kind::Availability, i % 2);
    }
  }
  Quiet();
  std::vector<std::pair<Kind, std::int32_t>> seen;
  for (const auto& c : observer.Callbacks()) {
    seen.emplace_back(c.kind, c.kind == Kind::Data ? c.data.at(0) : c.value);
  }
  EXPECT_EQ(seen, expected);
}

TEST_F(SimulatorDelivery, UnregistrationAndCloseWaitForTheRunningCallbackAndStopLaterOnes) {
  RecordingObserver observer;
  ICommDriver* driver = OpenObserved(L"XRB_1", observer);
  auto restriction = driver->GetRestrictionInterface();
  ASSERT_EQ(restriction->Register(3, &observer), ORBIQLIB_SUCCESS);

  ExpectWaitsForTheHeldCallback(
      observer, [&] { Inject(L"XRB_1", {1}), Inject(L"XRB_1", {2}); },
      [&] { return driver->GetDataTransferInterface()->UnregisterObserver(&observer); });
  Quiet();
  EXPECT_EQ(observer.Count(), 1u);  // block 2 was queued, but its observer had gone
  EXPECT_EQ(driver->GetDataTransferInterface()->UnregisterObserver(&observer),
            ORBIQLIB_E_NOT_REGISTERED);

  ExpectWaitsForTheHeldCallback(
      observer, [&] { ASSERT_EQ(simulator_->AskRestriction(L"XRB_1", {9}), ORBIQLIB_SUCCESS); },
      [&] { return restriction->Unregister(&observer); });
  ExpectWaitsForTheHeldCallback(
      observer, [&] { ASSERT_EQ(simulator_->SetAvailability(L"XRB_1", 0), ORBIQLIB_SUCCESS); },
      [&] { return driver->GetAvailabilityInterface()->UnregisterCallback(&observer); });

  ASSERT_EQ(driver->GetDataTransferInterface()->RegisterObserver(&observer), ORBIQLIB_SUCCESS);
  ExpectWaitsForTheHeldCallback(observer, [&] { Inject(L"XRB_1", {3}); },
                                [&] { return driver->Close(); });
  EXPECT_EQ(simulator_->OpenDriverCount(L"XRB_1"), 0u);
  // Open again: the old registrations are gone.
  ASSERT_EQ(driver->Open(L"XRB_1", L"App", L""), ORBIQLIB_SUCCESS);
  Inject(L"XRB_1", {4});
  Quiet();
  EXPECT_EQ(observer.Count(), 4u);
  EXPECT_EQ(driver->Close(), ORBIQLIB_SUCCESS);
  EXPECT_EQ(driver->Close(), ORBIQLIB_E_NOT_OPEN);
  EXPECT_EQ(Factory()->ReleaseCommDriver(driver), ORBIQLIB_SUCCESS);
  EXPECT_EQ(Factory()->ReleaseCommDriver(driver), ORBIQLIB_E_INVALID_ARGUMENT);
}

TEST_F(SimulatorDelivery, FromInsideItsCallbackADriverUnregistersWritesAndIsReleasedWithoutWaiting) {
  RecordingObserver observer, judge;
  ICommDriver* driver = OpenObserved(L"XRB_1", observer);
  const auto unregister = [&] { return driver->GetDataTransferInterface()->UnregisterObserver(&observer); };
  EXPECT_EQ(InsideNextCallback(observer, unregister, [&] { Inject(L"XRB_1", {1}), Inject(L"XRB_1", {2}); }),
            ORBIQLIB_SUCCESS);
  Quiet();
  EXPECT_EQ(observer.Count(), 1u);

  // A write's restriction question is asked inline.
  ASSERT_EQ(driver->GetDataTransferInterface()->RegisterObserver(&observer), ORBIQLIB_SUCCESS);
  const unsigned char byte = 5;
  const auto write = [&] { return driver->GetDataTransferInterface()->Write(&byte, 1, 0, &judge); };
  EXPECT_EQ(InsideNextCallback(observer, write, [&] { Inject(L"XRB_1", {3}); }), ORBIQLIB_SUCCESS);
  EXPECT_EQ(judge.Count(), 1u);

  const auto release = [&] {
    // The library's lifecycle calls are refused on its own threads.
    EXPECT_EQ(simulator_->Finish(), ORBIQLIB_E_WRONG_THREAD);
    EXPECT_EQ(CXRBProxy::GetInstance()->Finish(), ORBIQLIB_E_WRONG_THREAD);
    return Factory()->ReleaseCommDriver(driver);
  };
  EXPECT_EQ(InsideNextCallback(observer, release, [&] { Inject(L"XRB_1", {4}); }), ORBIQLIB_SUCCESS);
  Quiet();
  EXPECT_EQ(simulator_->OpenDriverCount(L"XRB_1"), 0u);
  EXPECT_EQ(simulator_->Finish(), ORBIQLIB_SUCCESS);  // joins the retired delivery thread
}

TEST_F(SimulatorDelivery, WriteAsksItsRestrictionObserverFirstOnALibraryThread) {
  RecordingObserver dataObserver, judge;
  ICommDriver* driver = OpenObserved(L"XRB_1", dataObserver, L"Writer");
  ICommDataTransfer* transfer = driver->GetDataTransferInterface();
  const Bytes payload{0xDE, 0xAD};

  EXPECT_EQ(transfer->Write(payload.data(), 2, 42, &judge), ORBIQLIB_SUCCESS);
  ASSERT_EQ(judge.Count(), 1u);
  EXPECT_EQ(judge.Callbacks()[0].kind, Kind::Restriction);
  EXPECT_EQ(judge.Callbacks()[0].data, payload);
  EXPECT_NE(judge.Callbacks()[0].thread, std::this_thread::get_id());

  // A non-zero verdict refuses the write, and a pending write result waits for a real write.
  judge.SetVerdict(static_cast<E_ORBIQLIB_Result>(1));
  ASSERT_EQ(simulator_->SetNextWriteResult(L"XRB_1", static_cast<E_ORBIQLIB_Result>(-3000)), 0);
  EXPECT_EQ(transfer->Write(payload.data(), 2, 7, &judge), ORBIQLIB_E_RESTRICTED);
  EXPECT_EQ(transfer->Write(payload.data(), 2, 8, nullptr), -3000);
  EXPECT_EQ(transfer->Write(nullptr, 0, 9, nullptr), ORBIQLIB_SUCCESS);
  EXPECT_EQ(transfer->Write(nullptr, 1, 9, nullptr), ORBIQLIB_E_INVALID_ARGUMENT);

  const auto writes = simulator_->Writes();
  ASSERT_EQ(writes.size(), 4u);
  EXPECT_EQ(writes[0].applicationName, L"Writer");
  EXPECT_EQ(writes[0].value, 42);
  EXPECT_EQ(writes[0].verdict, ORBIQLIB_SUCCESS);
  EXPECT_EQ(writes[1].result, ORBIQLIB_E_RESTRICTED);
  EXPECT_EQ(writes[1].verdict, 1);
  EXPECT_EQ(writes[2].result, -3000);
  EXPECT_FALSE(writes[2].verdict.has_value());
  EXPECT_TRUE(writes[3].data.empty());
}

TEST_F(SimulatorDelivery, AWriteQuestionStuckBehindABlockedCallbackTimesOutAndIsWithdrawn) {
  auto config = QuietConfig();
  config.restrictionTimeoutMs = 100;
  simulator_->Finish();
  simulator_->Shutdown();
  StartSimulator(config);

  RecordingObserver observer, judge;
  ICommDriver* driver = OpenObserved(L"XRB_1", observer);
  observer.BlockNext();
  Inject(L"XRB_1", {1});
  ASSERT_TRUE(observer.WaitBlocked());
  const unsigned char byte = 5;
  EXPECT_EQ(driver->GetDataTransferInterface()->Write(&byte, 1, 0, &judge), ORBIQLIB_E_TIMEOUT);
  observer.Release();
  Quiet();
  EXPECT_EQ(judge.Count(), 0u);
  ASSERT_EQ(simulator_->Writes().size(), 1u);
  EXPECT_EQ(simulator_->Writes()[0].result, ORBIQLIB_E_TIMEOUT);
}

TEST_F(SimulatorDelivery, UnitQuestionsGoToRestrictionObserversWithAModeOtherThanZero) {
  RecordingObserver muted, asked;
  auto mutedRestriction = Open(L"XRB_2", L"Muted")->GetRestrictionInterface();
  ICommDriver* second = Open(L"XRB_2", L"Asked");
  auto askedRestriction = second->GetRestrictionInterface();
  ASSERT_EQ(mutedRestriction->Register(0, &muted), ORBIQLIB_SUCCESS);
  ASSERT_EQ(askedRestriction->Register(2, &asked), ORBIQLIB_SUCCESS);
  asked.SetVerdict(static_cast<E_ORBIQLIB_Result>(4));

  EXPECT_EQ(askedRestriction->Register(1, &muted), ORBIQLIB_E_ALREADY_REGISTERED);
  EXPECT_EQ(askedRestriction->SetMode(4, &asked), ORBIQLIB_E_INVALID_ARGUMENT);
  EXPECT_EQ(askedRestriction->SetMode(1, &muted), ORBIQLIB_E_NOT_REGISTERED);
  unsigned int mode = 99;
  EXPECT_EQ(askedRestriction->GetMode(mode), ORBIQLIB_SUCCESS);
  EXPECT_EQ(mode, 2u);
  bool registered = false;
  EXPECT_EQ(askedRestriction->IsRegistered(&asked, registered), ORBIQLIB_SUCCESS);
  EXPECT_TRUE(registered);
  EXPECT_EQ(askedRestriction->IsRegistered(&muted, registered), ORBIQLIB_SUCCESS);
  EXPECT_FALSE(registered);

  ASSERT_EQ(simulator_->AskRestriction(L"XRB_2", {0xAB}), ORBIQLIB_SUCCESS);
  Quiet();
  EXPECT_EQ(muted.Count(), 0u);
  ASSERT_EQ(asked.Count(), 1u);
  const auto answers = simulator_->RestrictionAnswers();
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_EQ(answers[0].applicationName, L"Asked");
  EXPECT_EQ(answers[0].mode, 2u);
  EXPECT_EQ(answers[0].verdict, 4);

  // The shared restriction interface outlives its driver and then only fails.
  ASSERT_EQ(Factory()->ReleaseCommDriver(second), ORBIQLIB_SUCCESS);
  EXPECT_EQ(askedRestriction->GetMode(mode), ORBIQLIB_E_NOT_OPEN);
  EXPECT_EQ(askedRestriction->Unregister(&asked), ORBIQLIB_E_NOT_OPEN);
}

TEST_F(SimulatorDelivery, FinishStopsDeliveryAndStartResumesIt) {
  RecordingObserver observer;
  ICommDriver* driver = OpenObserved(L"XRB_1", observer);
  ASSERT_EQ(simulator_->Finish(), ORBIQLIB_SUCCESS);
  EXPECT_EQ(simulator_->InjectData(L"XRB_1", {1}), ORBIQLIB_E_NOT_STARTED);
  const unsigned char byte = 1;
  EXPECT_EQ(driver->GetDataTransferInterface()->Write(&byte, 1, 0, nullptr), ORBIQLIB_E_NOT_STARTED);
  ASSERT_EQ(simulator_->Start(), ORBIQLIB_SUCCESS);
  Inject(L"XRB_1", {2});
  Quiet();
  ASSERT_EQ(observer.Count(), 1u);
  EXPECT_EQ(observer.Callbacks()[0].data, Bytes({2}));
}

}  // namespace
}  // namespace HardwareTest
