// A driver object on the programmable hardware double, with the log records collected.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "driver/communication_driver.h"
#include "external/hardware/xrb_proxy.h"
#include "external/logging/record_sink.h"
#include "platform/com/com_object.h"
#include "platform/com/server_process.h"
#include "tests/support/component/event_sink.h"
#include "tests/support/component/reference_count.h"
#include "tests/support/hardware/fake_hardware.h"
#include "tests/support/wait/wait_until.h"

namespace Talvaro::Testing {

using DriverObject = platform::com::ComObject<Driver::CCommunicationDriver>;
using Sink = platform::com::ComObject<CEventSink>;
using platform::automation::SafeArray;
using platform::com::ComPtr;

inline SafeArray Bytes(std::vector<std::uint8_t> bytes) {
  SafeArray array;
  EXPECT_EQ(platform::automation::CreateByteArray(bytes, &array), S_OK);
  return array;
}

template <class Object>
ComPtr<Object> New() {
  ComPtr<Object> object;
  EXPECT_EQ(platform::com::CreateObject(&object), S_OK);
  return object;
}

// Stands in for the observer singleton: records Notify, answers HasObservers as told.
class CWatchersDouble : public platform::com::ObjectRoot, public Driver::IObserverNotification {
 public:
  using Interfaces = platform::com::InterfaceTable<CWatchersDouble, Driver::IObserverNotification>;
  using Handing = std::pair<std::vector<unsigned char>, ULONG>;  // bytes, value
  bool HasObservers() override { return watching; }
  void Notify(const unsigned char* data, ULONG count, ULONG value) override {
    std::lock_guard guard(*this);
    handed_.emplace_back(std::vector<unsigned char>(data, data + count), value);
  }
  std::vector<Handing> Handed() {
    std::lock_guard guard(*this);
    return handed_;
  }
  std::atomic<bool> watching{true};

 private:
  std::vector<Handing> handed_;  // guarded by the object lock
};

// Lets a held liveliness event go at the end of the scope, also when an assertion returns early.
struct LivelinessReleased {
  Sink& sink;
  ~LivelinessReleased() { sink.UnblockLiveliness(); }
};

class DriverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(installation_.Installed());
    ASSERT_EQ(CXRBProxy::GetInstance()->Initialize(), ORBIQLIB_SUCCESS);
    ASSERT_EQ(CXRBProxy::GetInstance()->Start(), ORBIQLIB_SUCCESS);
    fake_->SetUnits({{CXRBDescription(L"XRB_A", L"00:11:22:33:44:55", L"10.0.0.5", L"Online", 7), {}}});
    fake_->ClearCalls();
    objectsBefore_ = platform::com::ServerProcessCount();
  }
  // A liveliness check running at the end of a test holds its object; the hardware double must
  // outlive it.
  void TearDown() override {
    EXPECT_TRUE(WaitUntil([&] { return platform::com::ServerProcessCount() == objectsBefore_; },
                          std::chrono::seconds(20)))
        << "driver objects outlived the test";
  }

  ComPtr<DriverObject> AttachedDriver(ComPtr<Driver::IObserverNotification> watchers = nullptr) {
    auto driver = New<DriverObject>();
    EXPECT_EQ(Initialize(*driver, std::move(watchers)), ORBIQLIB_SUCCESS);
    return driver;
  }
  static E_ORBIQLIB_Result Initialize(DriverObject& driver,
                                      ComPtr<Driver::IObserverNotification> watchers = nullptr) {
    return driver.Initialize(L"XRB_A", L"App", L"open", L"Channel", L"Namespace", std::move(watchers));
  }
  // A subscriber whose first liveliness event is held, so that no liveliness check touches the
  // gap log or the timings while the test runs (later checks stop at the check's try-lock).
  ComPtr<Sink> SubscribeWithLivelinessHeld(DriverObject& driver) {
    auto sink = Subscribe(driver);
    sink->BlockNextLiveliness();
    EXPECT_TRUE(sink->WaitLivelinessBlocked(std::chrono::seconds(20)));
    return sink;
  }
  ComPtr<Sink> Subscribe(DriverObject& driver, DWORD* cookie = nullptr) {
    auto sink = New<Sink>();
    DWORD assigned = 0;
    EXPECT_EQ(driver.Advise(sink->GetUnknown(), &assigned), S_OK);
    if (cookie != nullptr) *cookie = assigned;
    return sink;
  }
  std::size_t CleanupRecords() const { return records_->Matching(L"Performing cleaup").size(); }

  ULONG objectsBefore_ = 0;
  std::shared_ptr<FakeHardware> fake_ = FakeHardware::Create();
  FakeHardware::Installation installation_{fake_};
  std::shared_ptr<Logging::RecordCollector> records_ = std::make_shared<Logging::RecordCollector>();
  Logging::ScopedRecordSink tap_{records_};
};

}  // namespace Talvaro::Testing
