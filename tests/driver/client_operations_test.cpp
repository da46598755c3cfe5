#include <gtest/gtest.h>

#include "platform/com/marshal.h"
#include "tests/driver/driver_fixture.h"

namespace Talvaro::Testing {
namespace {

using platform::automation::SafeArray;

SafeArray Bytes(std::vector<std::uint8_t> bytes) {
  SafeArray array;
  EXPECT_EQ(platform::automation::CreateByteArray(bytes, &array), S_OK);
  return array;
}

// A client's restriction judge with a fixed verdict.
class CJudge : public platform::com::ObjectRoot, public IRestrictionCallback {
 public:
  using Interfaces = platform::com::InterfaceTable<CJudge, IRestrictionCallback>;
  HRESULT IsRestricted(SAFEARRAY* data, LONG* verdict) override {
    platform::automation::ReadByteArray(data, &seen);
    *verdict = verdictToGive;
    return statusToGive;
  }
  std::vector<std::uint8_t> seen;
  LONG verdictToGive = 0;
  HRESULT statusToGive = S_OK;
};

class ClientOperationsTest : public DriverTest {
 protected:
  ComPtr<IStream> MarshaledJudge(platform::com::ComObject<CJudge>* judge) {
    ComPtr<IStream> stream;
    EXPECT_EQ(CreateStreamOnHGlobal(nullptr, TRUE, stream.Put()), S_OK);
    EXPECT_EQ(CoMarshalInterface(stream.Get(), uuidof<IRestrictionCallback>, judge->GetUnknown(),
                                 MSHCTX_LOCAL, nullptr, MSHLFLAGS_NORMAL),
              S_OK);
    return stream;
  }
};

TEST_F(ClientOperationsTest, WriteSendsTheBytesAndReturnsTheHardwareResultUnchanged) {
  auto driver = AttachedDriver();
  fake_->SetWriteResult(static_cast<E_ORBIQLIB_Result>(-4242));
  auto data = Bytes({0x10, 0x20, 0x30});
  LONG result = 0;
  ASSERT_EQ(driver->Write(data.Get(), 77, &result), S_OK);
  EXPECT_EQ(result, -4242) << "a hardware failure never becomes a status";
  const auto write = fake_->CallsNamed("Write").at(0);
  EXPECT_EQ(write.bytes, (std::vector<unsigned char>{0x10, 0x20, 0x30}));
  EXPECT_EQ(write.numbers, (std::vector<std::int64_t>{3, 77}));
  EXPECT_EQ(write.object, static_cast<const void*>(static_cast<IRestrictionObserver*>(driver.Get())))
      << "the object is the write's restriction observer";
}

TEST_F(ClientOperationsTest, WriteChecksItsArgumentsInOrder) {
  auto driver = AttachedDriver();
  LONG result = 55;
  EXPECT_EQ(driver->Write(nullptr, 0, &result), E_POINTER);
  SAFEARRAYBOUND bounds[2] = {{2, 0}, {2, 0}};
  SafeArray square = SafeArray::Adopt(SafeArrayCreate(VT_UI1, 2, bounds));
  EXPECT_EQ(driver->Write(square.Get(), 0, &result), S_FALSE);
  EXPECT_EQ(driver->Write(square.Get(), 0, nullptr), S_FALSE) << "the shape is checked first";
  EXPECT_EQ(result, 55) << "the result is untouched";
  auto valid = Bytes({1});
  EXPECT_EQ(driver->Write(valid.Get(), 0, nullptr), E_POINTER);
  EXPECT_TRUE(fake_->CallsNamed("Write").empty());
}

TEST_F(ClientOperationsTest, EmptyArrayIsWrittenWithCountZero) {
  auto driver = AttachedDriver();
  auto empty = Bytes({});
  LONG result = -1;
  ASSERT_EQ(driver->Write(empty.Get(), 0, &result), S_OK);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(fake_->CallsNamed("Write").at(0).numbers.at(0), 0);
}

TEST_F(ClientOperationsTest, AvailabilityPassesZeroAndOneAndRefusesOtherAnswers) {
  auto driver = AttachedDriver();
  LONG state = -1;
  fake_->SetAvailabilityAnswer(0);
  EXPECT_EQ(driver->GetAvailability(&state), S_OK);
  EXPECT_EQ(state, 0);
  fake_->SetAvailabilityAnswer(1);
  EXPECT_EQ(driver->GetAvailability(&state), S_OK);
  EXPECT_EQ(state, 1);
  fake_->SetAvailabilityAnswer(ORBIQLIB_E_NOT_OPEN);
  EXPECT_EQ(driver->GetAvailability(&state), S_FALSE);
  EXPECT_EQ(driver->GetAvailability(nullptr), E_POINTER);
}

TEST_F(ClientOperationsTest, RestrictionModesAreMappedBothWays) {
  auto driver = AttachedDriver();
  platform::com::ComPtr<platform::com::ComObject<CJudge>> judge;
  ASSERT_EQ(platform::com::CreateObject(&judge), S_OK);
  auto stream = MarshaledJudge(judge.Get());
  LONG result = -1;
  ASSERT_EQ(driver->RegisterRestriction(7, stream.Get(), &result), S_OK);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(fake_->CallsNamed("Register").at(0).numbers, (std::vector<std::int64_t>{3}));
  ULONG mode = 0;
  ASSERT_EQ(driver->GetRestrictionMode(&mode, &result), S_OK);
  EXPECT_EQ(mode, 3u);
  ASSERT_EQ(driver->SetRestrictionMode(2, &result), S_OK);
  ASSERT_EQ(driver->GetRestrictionMode(&mode, &result), S_OK);
  EXPECT_EQ(mode, 2u);
  fake_->SetReportedRestrictionMode(9);
  ASSERT_EQ(driver->GetRestrictionMode(&mode, &result), S_OK);
  EXPECT_EQ(mode, 3u) << "an out-of-range mode from the hardware reads as 3";
  VARIANT_BOOL registered = VARIANT_FALSE;
  ASSERT_EQ(driver->IsRestrictionRegistered(&registered, &result), S_OK);
  EXPECT_EQ(registered, VARIANT_TRUE);
}

TEST_F(ClientOperationsTest, RegisteredJudgeAnswersTheHardwaresQuestions) {
  auto driver = AttachedDriver();
  platform::com::ComPtr<platform::com::ComObject<CJudge>> judge;
  ASSERT_EQ(platform::com::CreateObject(&judge), S_OK);
  judge->verdictToGive = 5;
  auto stream = MarshaledJudge(judge.Get());
  LONG result = -1;
  ASSERT_EQ(driver->RegisterRestriction(1, stream.Get(), &result), S_OK);
  EXPECT_EQ(fake_->FireRestriction(fake_->LastDriver(), {0xCA, 0xFE}), std::optional(E_ORBIQLIB_Result{5}));
  EXPECT_EQ(judge->seen, (std::vector<std::uint8_t>{0xCA, 0xFE}));

  // A judge that fails leaves the verdict it wrote.
  judge->statusToGive = E_FAIL;
  judge->verdictToGive = 0;
  EXPECT_EQ(fake_->FireRestriction(fake_->LastDriver(), {1}), std::optional(E_ORBIQLIB_Result{0}));

  ASSERT_EQ(driver->UnregisterRestriction(&result), S_OK);
  EXPECT_EQ(result, 0);
  VARIANT_BOOL registered = VARIANT_TRUE;
  ASSERT_EQ(driver->IsRestrictionRegistered(&registered, &result), S_OK);
  EXPECT_EQ(registered, VARIANT_FALSE);
  EXPECT_EQ(driver->OnRestriction(reinterpret_cast<const unsigned char*>("x"), 1), 0)
      << "without a judge the verdict is 0";
}

TEST_F(ClientOperationsTest, RefusedRegistrationStoresNoJudge) {
  auto driver = AttachedDriver();
  fake_->SetRestrictionResult(ORBIQLIB_E_ALREADY_REGISTERED);
  platform::com::ComPtr<platform::com::ComObject<CJudge>> judge;
  ASSERT_EQ(platform::com::CreateObject(&judge), S_OK);
  auto stream = MarshaledJudge(judge.Get());
  LONG result = 0;
  ASSERT_EQ(driver->RegisterRestriction(1, stream.Get(), &result), S_OK);
  EXPECT_EQ(result, ORBIQLIB_E_ALREADY_REGISTERED);
  judge->verdictToGive = 9;
  fake_->SetRestrictionResult(ORBIQLIB_SUCCESS);
  EXPECT_EQ(driver->OnRestriction(reinterpret_cast<const unsigned char*>("x"), 1), 0);
  EXPECT_EQ(driver->RegisterRestriction(1, nullptr, &result), E_POINTER);
  EXPECT_EQ(driver->RegisterRestriction(1, stream.Get(), nullptr), E_POINTER);
}

}  // namespace
}  // namespace Talvaro::Testing
