#include "platform/com/marshal.h"

#include <gtest/gtest.h>

#include "tests/platform/com/test_interfaces.h"

using platform::com::ComObject;
using platform::com::ComPtr;
using platform::com::CreateObject;

namespace {

class MarshalTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Census::Reset();
    ASSERT_EQ(CreateObject(&object_), S_OK);
    ASSERT_EQ(CreateStreamOnHGlobal(nullptr, TRUE, stream_.Put()), S_OK);
  }
  void Rewind() {
    LARGE_INTEGER start{};
    ASSERT_EQ(stream_->Seek(start, STREAM_SEEK_SET, nullptr), S_OK);
  }
  CountingModule module_;
  ComPtr<ComObject<CAlphaBeta>> object_;
  ComPtr<IStream> stream_;
};

TEST_F(MarshalTest, NormalMarshalingUnmarshalsOnceAndCarriesTheReference) {
  ASSERT_EQ(CoMarshalInterface(stream_.Get(), uuidof<IAlpha>, object_->GetUnknown(), MSHCTX_LOCAL,
                               nullptr, MSHLFLAGS_NORMAL),
            S_OK);
  EXPECT_EQ(CountOf(object_->GetUnknown()), 2u) << "the stream holds a reference";
  Rewind();
  ComPtr<IBeta> beta;
  ASSERT_EQ(CoUnmarshalInterface(stream_.Get(), uuidof<IBeta>, beta.PutVoid()), S_OK);
  EXPECT_EQ(beta->Beta(), 2);
  EXPECT_EQ(CountOf(object_->GetUnknown()), 2u) << "the stream's reference moved to the caller";
  Rewind();
  EXPECT_EQ(CoUnmarshalInterface(stream_.Get(), uuidof<IBeta>, beta.PutVoid()), CO_E_OBJNOTCONNECTED);
}

TEST_F(MarshalTest, ReleaseMarshalDataDropsTheReference) {
  ASSERT_EQ(CoMarshalInterface(stream_.Get(), uuidof<IAlpha>, object_->GetUnknown(), MSHCTX_LOCAL,
                               nullptr, MSHLFLAGS_TABLESTRONG),
            S_OK);
  Rewind();
  ComPtr<IAlpha> first;
  ASSERT_EQ(CoUnmarshalInterface(stream_.Get(), uuidof<IAlpha>, first.PutVoid()), S_OK);
  Rewind();
  ComPtr<IAlpha> second;
  ASSERT_EQ(CoUnmarshalInterface(stream_.Get(), uuidof<IAlpha>, second.PutVoid()), S_OK)
      << "table marshaling may be unmarshaled again";
  first = nullptr;
  second = nullptr;
  Rewind();
  EXPECT_EQ(CoReleaseMarshalData(stream_.Get()), S_OK);
  EXPECT_EQ(CountOf(object_->GetUnknown()), 1u);
  Rewind();
  EXPECT_EQ(CoReleaseMarshalData(stream_.Get()), CO_E_OBJNOTCONNECTED);
}

TEST_F(MarshalTest, RejectsMissingInterfacesAndGarbage) {
  EXPECT_EQ(CoMarshalInterface(stream_.Get(), uuidof<IHidden>, object_->GetUnknown(), MSHCTX_LOCAL,
                               nullptr, MSHLFLAGS_NORMAL),
            E_NOINTERFACE);
  EXPECT_EQ(CountOf(object_->GetUnknown()), 1u);
  const char garbage[] = "definitely not a marshal packet, long enough though";
  ASSERT_EQ(stream_->Write(garbage, sizeof garbage, nullptr), S_OK);
  Rewind();
  ComPtr<IAlpha> alpha;
  EXPECT_EQ(CoUnmarshalInterface(stream_.Get(), uuidof<IAlpha>, alpha.PutVoid()), RPC_E_INVALID_DATA);
  EXPECT_EQ(CoUnmarshalInterface(nullptr, uuidof<IAlpha>, alpha.PutVoid()), E_INVALIDARG);
}

TEST_F(MarshalTest, InterThreadStreamIsAOneShotHandOver) {
  IStream* raw = nullptr;
  ASSERT_EQ(CoMarshalInterThreadInterfaceInStream(uuidof<IAlpha>, object_->GetUnknown(), &raw), S_OK);
  ComPtr<IAlpha> alpha;
  ASSERT_EQ(CoGetInterfaceAndReleaseStream(raw, uuidof<IAlpha>, alpha.PutVoid()), S_OK);
  EXPECT_EQ(alpha->Alpha(), 1);
  alpha = nullptr;
  EXPECT_EQ(CountOf(object_->GetUnknown()), 1u) << "nothing is left in the released stream";
}

}  // namespace
