// The simulator's units: discovery, opening, availability, periodic data and its life cycle.
#include <gtest/gtest.h>

#include "tests/external/hardware/test_support.h"

namespace HardwareTest {
namespace {

class SimulatorUnits : public SimulatorFixture {};

TEST_F(SimulatorUnits, ScannerListsTheUnitsWithDescriptionsAndSubItems) {
  IUnitScanner* scanner = Factory()->CreateUnitScanner();
  ASSERT_NE(scanner, nullptr);
  IUnitList* list = nullptr;
  ASSERT_EQ(scanner->Scan(list), ORBIQLIB_SUCCESS);
  ASSERT_EQ(list->GetCount(), 2u);
  EXPECT_EQ(Describe(*list->GetItem(0)),
            L"XRB_1 02-58-52-42-00-01 192.168.100.11 Running 6657 Sensor_A,Sensor_B");
  EXPECT_EQ(Describe(*list->GetItem(1)),
            L"XRB_2 02-58-52-42-00-02 192.168.100.12 Running 6658 Sensor_A,Actuator_1");
  EXPECT_EQ(list->GetItem(2), nullptr);
  EXPECT_EQ(list->GetItem(1)->GetSubItem(2), nullptr);

  IUnitList* another = nullptr;
  ASSERT_EQ(scanner->Scan(another), ORBIQLIB_SUCCESS);
  EXPECT_NE(another, list);
  EXPECT_EQ(scanner->ReleaseList(list), ORBIQLIB_SUCCESS);
  EXPECT_EQ(scanner->ReleaseList(list), ORBIQLIB_E_INVALID_ARGUMENT);
  // `another` goes with its scanner.
  EXPECT_EQ(Factory()->ReleaseUnitScanner(scanner), ORBIQLIB_SUCCESS);
  EXPECT_EQ(Factory()->ReleaseUnitScanner(scanner), ORBIQLIB_E_INVALID_ARGUMENT);
}

TEST_F(SimulatorUnits, OpenFailsForUnknownNamesAndForAProgrammedResult) {
  ICommDriver* driver = Factory()->CreateCommDriver();
  EXPECT_EQ(driver->Open(L"XRB_3", L"App", L""), ORBIQLIB_E_UNKNOWN_UNIT);
  EXPECT_EQ(driver->Open(L"xrb_1", L"App", L""), ORBIQLIB_E_UNKNOWN_UNIT);
  EXPECT_EQ(driver->GetDataTransferInterface()->RegisterObserver(nullptr), ORBIQLIB_E_NOT_OPEN);

  ASSERT_EQ(simulator_->SetNextOpenResult(L"XRB_1", ORBIQLIB_E_UNIT_UNAVAILABLE), 0);
  EXPECT_EQ(driver->Open(L"XRB_1", L"App", L""), ORBIQLIB_E_UNIT_UNAVAILABLE);
  EXPECT_EQ(simulator_->OpenDriverCount(L"XRB_1"), 0u);
  EXPECT_EQ(driver->Open(L"XRB_1", L"App", L""), ORBIQLIB_SUCCESS);
  EXPECT_EQ(driver->Open(L"XRB_2", L"App", L""), ORBIQLIB_E_ALREADY_OPEN);
  EXPECT_EQ(driver->GetDataTransferInterface()->RegisterObserver(nullptr),
            ORBIQLIB_E_INVALID_ARGUMENT);
  EXPECT_EQ(simulator_->SetNextOpenResult(L"Nope", ORBIQLIB_SUCCESS), ORBIQLIB_E_UNKNOWN_UNIT);

  // The proxy's own driver has no unit.
  ICommDriver* proxyDriver = simulator_->GetDriver();
  EXPECT_EQ(proxyDriver->Open(L"XRB_1", L"App", L""), ORBIQLIB_E_NOT_SUPPORTED);
  EXPECT_EQ(proxyDriver->GetDataTransferInterface(), nullptr);
  EXPECT_EQ(proxyDriver->GetRestrictionInterface(), nullptr);
}

TEST_F(SimulatorUnits, AvailabilityIsQueriedAndGatesWrites) {
  RecordingObserver observer;
  ICommDriver* driver = OpenObserved(L"XRB_1", observer);
  ICommAvailability* availability = driver->GetAvailabilityInterface();
  std::int32_t state = -1;
  EXPECT_EQ(availability->QueryAvailability(&state), 1);
  EXPECT_EQ(state, 1);
  EXPECT_EQ(availability->QueryAvailability(nullptr), 1);

  ASSERT_EQ(simulator_->SetAvailability(L"XRB_1", 0), ORBIQLIB_SUCCESS);
  EXPECT_EQ(simulator_->SetAvailability(L"XRB_1", 2), ORBIQLIB_E_INVALID_ARGUMENT);
  EXPECT_EQ(availability->QueryAvailability(&state), 0);
  EXPECT_EQ(state, 0);
  const unsigned char byte = 1;
  RecordingObserver judge;
  EXPECT_EQ(driver->GetDataTransferInterface()->Write(&byte, 1, 0, &judge),
            ORBIQLIB_E_UNIT_UNAVAILABLE);
  EXPECT_EQ(judge.Count(), 0u);
  Quiet();
  ASSERT_EQ(observer.Count(), 1u);
  EXPECT_EQ(observer.Callbacks()[0].value, 0);

  ASSERT_EQ(driver->Close(), ORBIQLIB_SUCCESS);
  EXPECT_EQ(availability->QueryAvailability(&state), ORBIQLIB_E_NOT_OPEN);
}

TEST(SimulatorPeriodicData, StatusBlocksFlowUntilSwitchedOff) {
  auto config = OrbiqCommunicationLibrary::Simulator::DefaultConfig();
  config.dataPeriodMs = 10;
  config.units[1].dataPeriodMs = 0;  // XRB_2 has none of its own
  XRBSimulator simulator(config);
  ASSERT_EQ(simulator.Initialize(), ORBIQLIB_SUCCESS);
  ICommFactory* factory = simulator.GetFactory();
  RecordingObserver first, second;
  ICommDriver* a = factory->CreateCommDriver();
  ICommDriver* b = factory->CreateCommDriver();
  ASSERT_EQ(a->Open(L"XRB_1", L"App", L""), ORBIQLIB_SUCCESS);
  ASSERT_EQ(b->Open(L"XRB_2", L"App", L""), ORBIQLIB_SUCCESS);
  ASSERT_EQ(a->GetDataTransferInterface()->RegisterObserver(&first), ORBIQLIB_SUCCESS);
  ASSERT_EQ(b->GetDataTransferInterface()->RegisterObserver(&second), ORBIQLIB_SUCCESS);
  ASSERT_EQ(simulator.Start(), ORBIQLIB_SUCCESS);

  ASSERT_TRUE(first.WaitForCount(3, kWait));
  const auto blocks = first.Callbacks();
  for (std::size_t i = 0; i < 3; ++i) {
    // "ST", availability, 0, sequence (LE32), board id (LE32)
    EXPECT_EQ(blocks[i].data, Bytes({0x53, 0x54, 1, 0, static_cast<unsigned char>(i), 0, 0, 0,
                                     0x01, 0x1A, 0, 0}));
  }

  ASSERT_EQ(simulator.SetPeriodicData(false), ORBIQLIB_SUCCESS);
  ASSERT_TRUE(simulator.WaitUntilQuiet(kWait));
  const std::size_t seen = first.Count();
  // Nothing more within many periods.
  EXPECT_FALSE(first.WaitForCount(seen + 1, 300ms));
  EXPECT_EQ(second.Count(), 0u);

  ASSERT_EQ(simulator.ExecuteCommand(L"periodic on"), ORBIQLIB_SUCCESS);
  ASSERT_EQ(simulator.ExecuteCommand(L"period XRB_2 10"), ORBIQLIB_SUCCESS);
  EXPECT_TRUE(second.WaitForCount(1, kWait));
  EXPECT_TRUE(first.WaitForCount(seen + 1, kWait));
  EXPECT_EQ(factory->ReleaseCommDriver(a), ORBIQLIB_SUCCESS);
  EXPECT_EQ(factory->ReleaseCommDriver(b), ORBIQLIB_SUCCESS);
  EXPECT_EQ(simulator.Finish(), ORBIQLIB_SUCCESS);
  EXPECT_EQ(simulator.Shutdown(), ORBIQLIB_SUCCESS);
}

TEST(SimulatorLifecycle, OutOfOrderCallsFailAndTheSimulatorComesBackUp) {
  XRBSimulator simulator(QuietConfig());
  EXPECT_EQ(simulator.Start(), ORBIQLIB_E_NOT_INITIALIZED);
  EXPECT_EQ(simulator.Finish(), ORBIQLIB_E_NOT_INITIALIZED);
  EXPECT_EQ(simulator.Shutdown(), ORBIQLIB_E_NOT_INITIALIZED);
  EXPECT_EQ(simulator.GetFactory(), nullptr);
  EXPECT_EQ(simulator.GetDriver(), nullptr);

  for (int round = 0; round < 2; ++round) {
    ASSERT_EQ(simulator.Initialize(), ORBIQLIB_SUCCESS);
    EXPECT_EQ(simulator.Initialize(), ORBIQLIB_E_WRONG_STATE);
    EXPECT_EQ(simulator.Finish(), ORBIQLIB_E_NOT_STARTED);
    ASSERT_EQ(simulator.Start(), ORBIQLIB_SUCCESS);
    EXPECT_EQ(simulator.Start(), ORBIQLIB_E_WRONG_STATE);
    ASSERT_NE(simulator.GetFactory(), nullptr);
    ASSERT_EQ(simulator.Finish(), ORBIQLIB_SUCCESS);
    ASSERT_EQ(simulator.Shutdown(), ORBIQLIB_SUCCESS);
    EXPECT_EQ(simulator.GetFactory(), nullptr);
  }
  // Shutdown of a started simulator finishes it first.
  ASSERT_EQ(simulator.Initialize(), ORBIQLIB_SUCCESS);
  ASSERT_EQ(simulator.Start(), ORBIQLIB_SUCCESS);
  EXPECT_EQ(simulator.Shutdown(), ORBIQLIB_SUCCESS);
}

TEST(SimulatorLifecycle, ObjectsNotGivenBackStayValidButInertAfterShutdown) {
  XRBSimulator simulator(QuietConfig());
  ASSERT_EQ(simulator.Initialize(), ORBIQLIB_SUCCESS);
  ASSERT_EQ(simulator.Start(), ORBIQLIB_SUCCESS);
  ICommFactory* factory = simulator.GetFactory();
  ICommDriver* driver = factory->CreateCommDriver();
  RecordingObserver observer;
  ASSERT_EQ(driver->Open(L"XRB_1", L"App", L""), ORBIQLIB_SUCCESS);
  ASSERT_EQ(driver->GetDataTransferInterface()->RegisterObserver(&observer), ORBIQLIB_SUCCESS);
  auto restriction = driver->GetRestrictionInterface();
  IUnitScanner* scanner = factory->CreateUnitScanner();

  ASSERT_EQ(simulator.Shutdown(), ORBIQLIB_SUCCESS);
  EXPECT_EQ(simulator.GetFactory(), nullptr);
  // What the server's cleanup would still call on them:
  EXPECT_EQ(driver->GetDataTransferInterface()->UnregisterObserver(&observer),
            ORBIQLIB_E_NOT_REGISTERED);
  EXPECT_EQ(driver->GetAvailabilityInterface()->UnregisterCallback(&observer),
            ORBIQLIB_E_NOT_REGISTERED);
  EXPECT_EQ(restriction->Unregister(&observer), ORBIQLIB_E_NOT_OPEN);
  EXPECT_EQ(driver->Close(), ORBIQLIB_E_NOT_OPEN);
  EXPECT_EQ(driver->Open(L"XRB_1", L"App", L""), ORBIQLIB_E_NOT_INITIALIZED);
  EXPECT_EQ(driver->GenericCommand(L"help"), ORBIQLIB_SUCCESS);
  IUnitList* list = nullptr;
  EXPECT_EQ(scanner->Scan(list), ORBIQLIB_E_NOT_INITIALIZED);
  EXPECT_EQ(list, nullptr);
  EXPECT_EQ(observer.Count(), 0u);
}

}  // namespace
}  // namespace HardwareTest
