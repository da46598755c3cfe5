// Helpers shared by the hardware library's tests.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <string>

#include "external/hardware/xrb_simulator.h"
#include "tests/support/hardware/recording_observer.h"

namespace HardwareTest {

using namespace std::chrono_literals;
using OrbiqCommunicationLibrary::Simulator::SimulatorConfig;
using OrbiqCommunicationLibrary::Simulator::XRBSimulator;
using Talvaro::Testing::ObservedCallback;
using Talvaro::Testing::RecordingObserver;
using Bytes = std::vector<unsigned char>;

inline constexpr auto kWait = std::chrono::seconds(20);

// The two default units without periodic data.
inline SimulatorConfig QuietConfig() {
  SimulatorConfig config = OrbiqCommunicationLibrary::Simulator::DefaultConfig();
  config.periodicData = false;
  return config;
}

// A listed unit in one line: "name MAC IP state board-id sub,items".
inline std::wstring Describe(const IUnitItem& item) {
  const CXRBDescription d = item.GetDescription();
  std::wstring text = d.GetLogicalName() + L" " + d.GetMAC() + L" " + d.GetIP() + L" " +
                      d.GetState() + L" " + std::to_wstring(d.GetBoardID()) + L" ";
  for (unsigned int i = 0; i < item.GetSubItemCount(); ++i) {
    text += (i == 0 ? L"" : L",") + item.GetSubItem(i)->GetName();
  }
  return text;
}

// Holds `observer`'s next callback, which `trigger` causes, and checks that `call` (on another
// thread) does not return while it is held and returns 0 once it is released.
inline void ExpectWaitsForTheHeldCallback(RecordingObserver& observer,
                                          const std::function<void()>& trigger,
                                          const std::function<E_ORBIQLIB_Result()>& call) {
  observer.BlockNext();
  trigger();
  ASSERT_TRUE(observer.WaitBlocked());
  auto returned = std::async(std::launch::async, call);
  EXPECT_EQ(returned.wait_for(200ms), std::future_status::timeout);
  observer.Release();
  EXPECT_EQ(returned.get(), ORBIQLIB_SUCCESS);
}

// Runs `action` inside `observer`'s next callback, which `trigger` causes; its result, or a
// failed check when no callback came.
inline E_ORBIQLIB_Result InsideNextCallback(RecordingObserver& observer,
                                            const std::function<E_ORBIQLIB_Result()>& action,
                                            const std::function<void()>& trigger) {
  // Shared: the callback may still be inside set_value when this returns.
  auto result = std::make_shared<std::promise<E_ORBIQLIB_Result>>();
  auto future = result->get_future();
  observer.SetAction([&observer, action, result] {
    observer.SetAction({});
    result->set_value(action());
  });
  trigger();
  EXPECT_EQ(future.wait_for(kWait), std::future_status::ready);
  return future.wait_for(0s) == std::future_status::ready ? future.get() : ORBIQLIB_E_TIMEOUT;
}

// A started simulator of its own (not the proxy's), with helpers to open drivers.
class SimulatorFixture : public ::testing::Test {
 protected:
  void StartSimulator(SimulatorConfig config = QuietConfig()) {
    simulator_ = std::make_unique<XRBSimulator>(std::move(config));
    ASSERT_EQ(simulator_->Initialize(), ORBIQLIB_SUCCESS);
    ASSERT_EQ(simulator_->Start(), ORBIQLIB_SUCCESS);
  }
  void SetUp() override { StartSimulator(); }
  void TearDown() override {
    if (!simulator_) return;
    simulator_->Finish();
    simulator_->Shutdown();
  }

  ICommFactory* Factory() { return simulator_->GetFactory(); }

  ICommDriver* Open(const std::wstring& unit, const std::wstring& application = L"App") {
    ICommDriver* driver = Factory()->CreateCommDriver();
    EXPECT_NE(driver, nullptr);
    EXPECT_EQ(driver->Open(unit, application, L"arg"), ORBIQLIB_SUCCESS);
    return driver;
  }

  // Opens a driver on `unit` with `observer` registered for data and availability.
  ICommDriver* OpenObserved(const std::wstring& unit, RecordingObserver& observer,
                            const std::wstring& application = L"App") {
    ICommDriver* driver = Open(unit, application);
    EXPECT_EQ(driver->GetDataTransferInterface()->RegisterObserver(&observer), ORBIQLIB_SUCCESS);
    EXPECT_EQ(driver->GetAvailabilityInterface()->RegisterCallback(&observer), ORBIQLIB_SUCCESS);
    return driver;
  }

  // Injects one data block into `unit`, failing the test when refused.
  void Inject(const std::wstring& unit, Bytes data) {
    ASSERT_EQ(simulator_->InjectData(unit, std::move(data)), ORBIQLIB_SUCCESS);
  }

  void Quiet() { ASSERT_TRUE(simulator_->WaitUntilQuiet(kWait)); }

  std::unique_ptr<XRBSimulator> simulator_;
};

}  // namespace HardwareTest
