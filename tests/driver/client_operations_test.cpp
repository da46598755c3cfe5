#include <gtest/gtest.h>

#include "platform/com/marshal.h"
#include "tests/driver/driver_fixture.h"

namespace Talvaro::Testing {
namespace {

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

ComPtr<IStream> Marshaled(platform::com::ComObject<CJudge>* judge) {
  ComPtr<IStream> stream;
  EXPECT_EQ(CreateStreamOnHGlobal(nullptr, TRUE, stream.Put()), S_OK);
  EXPECT_EQ(CoMarshalInterface(stream.Get(), uuidof<IRestrictionCallback>, judge->GetUnknown(),
                               MSHCTX_LOCAL, nullptr, MSHLFLAGS_NORMAL),
            S_OK);
  return stream;
}

TEST_F(DriverTest, WriteChecksItsArgumentsAndReturnsTheHardwareResultUnchanged) {
  auto driver = AttachedDriver();
  LONG result = 55;
  SAFEARRAYBOUND bounds[2] = {{2, 0}, {2, 0}};
  SafeArray square = SafeArray::Adopt(SafeArrayCreate(VT_UI1, 2, bounds));
  auto data = Bytes({0x10, 0x20, 0x30});
  EXPECT_EQ(driver->Write(nullptr, 0, &result), E_POINTER);
  EXPECT_EQ(driver->Write(square.Get(), 0, &result), S_FALSE);
  EXPECT_EQ(driver->Write(square.Get(), 0, nullptr), S_FALSE) << "the shape is checked first";
  EXPECT_EQ(driver->Write(data.Get(), 0, nullptr), E_POINTER);
  EXPECT_EQ(result, 55);
  EXPECT_TRUE(fake_->CallsNamed("Write").empty());

  fake_->SetWriteResult(static_cast<E_ORBIQLIB_Result>(-4242));
  ASSERT_EQ(driver->Write(data.Get(), 77, &result), S_OK);
  EXPECT_EQ(result, -4242) << "a hardware failure never becomes a status";
  const auto write = fake_->CallsNamed("Write").at(0);
  EXPECT_EQ(write.bytes, (std::vector<unsigned char>{0x10, 0x20, 0x30}));
  EXPECT_EQ(write.numbers, (std::vector<std::int64_t>{3, 77}));
  EXPECT_EQ(write.object, static_cast<const void*>(static_cast<IRestrictionObserver*>(driver.Get())))
      << "the object is the write's restriction observer";
}

TEST_F(DriverTest, AvailabilityPassesZeroAndOneAndRefusesOtherAnswers) {
  auto driver = AttachedDriver();
  const std::tuple<std::int32_t, HRESULT, LONG> cases[] = {
      {0, S_OK, 0}, {1, S_OK, 1}, {ORBIQLIB_E_NOT_OPEN, S_FALSE, 1}};
  for (const auto& [answer, status, state] : cases) {
    fake_->SetAvailabilityAnswer(answer);
    LONG seen = 1;
    EXPECT_EQ(driver->GetAvailability(&seen), status) << answer;
    EXPECT_EQ(seen, state) << answer;
  }
  EXPECT_EQ(driver->GetAvailability(nullptr), E_POINTER);
}

TEST_F(DriverTest, RestrictionModesMapAndTheRegisteredJudgeAnswersTheHardware) {
  auto driver = AttachedDriver();
  auto judge = New<platform::com::ComObject<CJudge>>();
  judge->verdictToGive = 5;
  LONG result = -1;
  ASSERT_EQ(driver->RegisterRestriction(7, Marshaled(judge.Get()).Get(), &result), S_OK);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(fake_->CallsNamed("Register").at(0).numbers, (std::vector<std::int64_t>{3}));
  ULONG mode = 0;
  fake_->SetReportedRestrictionMode(9);
  ASSERT_EQ(driver->GetRestrictionMode(&mode, &result), S_OK);
  EXPECT_EQ(mode, 3u) << "an out-of-range mode from the hardware reads as 3";
  VARIANT_BOOL registered = VARIANT_FALSE;
  ASSERT_EQ(driver->IsRestrictionRegistered(&registered, &result), S_OK);
  EXPECT_EQ(registered, VARIANT_TRUE);

  EXPECT_EQ(fake_->FireRestriction(fake_->LastDriver(), {0xCA, 0xFE}), std::optional(E_ORBIQLIB_Result{5}));
  EXPECT_EQ(judge->seen, (std::vector<std::uint8_t>{0xCA, 0xFE}));
  judge->statusToGive = E_FAIL;
  judge->verdictToGive = 0;
  EXPECT_EQ(fake_->FireRestriction(fake_->LastDriver(), {1}), std::optional(E_ORBIQLIB_Result{0}))
      << "a failing judge's verdict stands";

  ASSERT_EQ(driver->UnregisterRestriction(&result), S_OK);
  ASSERT_EQ(driver->IsRestrictionRegistered(&registered, &result), S_OK);
  EXPECT_EQ(registered, VARIANT_FALSE);
  judge->verdictToGive = 9;
  const unsigned char question = 'x';
  EXPECT_EQ(driver->OnRestriction(&question, 1), 0) << "without a judge the verdict is 0";

  // A registration the hardware refuses stores no judge.
  fake_->SetRestrictionResult(ORBIQLIB_E_ALREADY_REGISTERED);
  ASSERT_EQ(driver->RegisterRestriction(1, Marshaled(judge.Get()).Get(), &result), S_OK);
  EXPECT_EQ(result, ORBIQLIB_E_ALREADY_REGISTERED);
  EXPECT_EQ(driver->OnRestriction(&question, 1), 0);
  EXPECT_EQ(driver->RegisterRestriction(1, nullptr, &result), E_POINTER);
}

}  // namespace
}  // namespace Talvaro::Testing
