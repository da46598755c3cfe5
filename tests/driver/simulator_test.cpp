// Driver objects on the embedded XRB simulator, the hardware a new user meets first.
#include <gtest/gtest.h>

#include "external/hardware/xrb_simulator.h"
#include "tests/driver/driver_fixture.h"

namespace Talvaro::Testing {
namespace {

using OrbiqCommunicationLibrary::Simulator::XRBSimulator;

class SimulatorDriverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(CXRBProxy::GetInstance()->Initialize(), ORBIQLIB_SUCCESS);
    ASSERT_EQ(CXRBProxy::GetInstance()->Start(), ORBIQLIB_SUCCESS);
    simulator_ = std::dynamic_pointer_cast<XRBSimulator>(CXRBProxy::GetInstance()->GetBackend());
    ASSERT_TRUE(simulator_);
    ASSERT_EQ(simulator_->SetPeriodicData(false), ORBIQLIB_SUCCESS);
  }
  void TearDown() override {
    simulator_.reset();
    CXRBProxy::GetInstance()->Finish();
    CXRBProxy::GetInstance()->Shutdown();
  }
  std::shared_ptr<XRBSimulator> simulator_;
};

TEST_F(SimulatorDriverTest, TwoDriverObjectsOnOneUnitBothReceiveADataBlock) {
  ComPtr<DriverObject> first, second;
  ASSERT_EQ(platform::com::CreateObject(&first), S_OK);
  ASSERT_EQ(platform::com::CreateObject(&second), S_OK);
  ASSERT_EQ(first->Initialize(L"XRB_1", L"First", L"", L"", L"", nullptr), ORBIQLIB_SUCCESS);
  ASSERT_EQ(second->Initialize(L"XRB_1", L"Second", L"", L"", L"", nullptr), ORBIQLIB_SUCCESS);
  ComPtr<platform::com::ComObject<CEventSink>> sinkA, sinkB;
  ASSERT_EQ(platform::com::CreateObject(&sinkA), S_OK);
  ASSERT_EQ(platform::com::CreateObject(&sinkB), S_OK);
  DWORD cookie = 0;
  ASSERT_EQ(first->Advise(sinkA->GetUnknown(), &cookie), S_OK);
  ASSERT_EQ(second->Advise(sinkB->GetUnknown(), &cookie), S_OK);

  ASSERT_EQ(simulator_->InjectData(L"XRB_1", {0xDE, 0xAD}), ORBIQLIB_SUCCESS);
  ASSERT_TRUE(sinkA->WaitForEvents(1));
  ASSERT_TRUE(sinkB->WaitForEvents(1));
  EXPECT_EQ(sinkA->DataBlocks().at(0), (std::vector<std::uint8_t>{0xDE, 0xAD}));
  EXPECT_EQ(sinkB->DataBlocks().at(0), (std::vector<std::uint8_t>{0xDE, 0xAD}));
}

TEST_F(SimulatorDriverTest, UnknownUnitFailsToOpen) {
  ComPtr<DriverObject> driver;
  ASSERT_EQ(platform::com::CreateObject(&driver), S_OK);
  EXPECT_EQ(driver->Initialize(L"xrb_1", L"App", L"", L"", L"", nullptr), ORBIQLIB_SERVER_E_OPEN)
      << "logical names are exact";
}

TEST_F(SimulatorDriverTest, WriteReachesTheUnitAndReportsItsResult) {
  ComPtr<DriverObject> driver;
  ASSERT_EQ(platform::com::CreateObject(&driver), S_OK);
  ASSERT_EQ(driver->Initialize(L"XRB_2", L"App", L"", L"", L"", nullptr), ORBIQLIB_SUCCESS);
  platform::automation::SafeArray data;
  ASSERT_EQ(platform::automation::CreateByteArray(std::vector<std::uint8_t>{1, 2, 3}, &data), S_OK);
  LONG result = -1;
  ASSERT_EQ(driver->Write(data.Get(), 0, &result), S_OK);
  EXPECT_EQ(result, 0);
  ASSERT_EQ(simulator_->SetNextWriteResult(L"XRB_2", static_cast<E_ORBIQLIB_Result>(-31)), ORBIQLIB_SUCCESS);
  ASSERT_EQ(driver->Write(data.Get(), 0, &result), S_OK);
  EXPECT_EQ(result, -31);
}

}  // namespace
}  // namespace Talvaro::Testing
