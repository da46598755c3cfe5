// Helpers shared by the hardware library's tests.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "external/hardware/xrb_simulator.h"
#include "platform/types/wide_string.h"
#include "tests/support/hardware/recording_observer.h"

namespace HardwareTest {

using namespace std::chrono_literals;
using OrbiqCommunicationLibrary::Simulator::SimulatorConfig;
using OrbiqCommunicationLibrary::Simulator::XRBSimulator;
using Talvaro::Testing::ObservedCallback;
using Talvaro::Testing::RecordingObserver;

inline constexpr auto kWait = std::chrono::seconds(20);

// Points TALVARO_REGISTRY at a fresh file of this test; removed with the object.
class ScopedRegistry {
 public:
  ScopedRegistry() {
    char pattern[] = "/tmp/talvaro-hw-XXXXXX";
    directory_ = ::mkdtemp(pattern);
    ::setenv("TALVARO_REGISTRY", (directory_ / "registry.db").c_str(), 1);
  }
  ~ScopedRegistry() {
    ::unsetenv("TALVARO_REGISTRY");
    std::error_code ignored;
    std::filesystem::remove_all(directory_, ignored);
  }

 private:
  std::filesystem::path directory_;
};

// The two default units without periodic data.
inline SimulatorConfig QuietConfig() {
  SimulatorConfig config = OrbiqCommunicationLibrary::Simulator::DefaultConfig();
  config.periodicData = false;
  return config;
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

  void Quiet() { ASSERT_TRUE(simulator_->WaitUntilQuiet(kWait)); }

  std::unique_ptr<XRBSimulator> simulator_;
};

}  // namespace HardwareTest
