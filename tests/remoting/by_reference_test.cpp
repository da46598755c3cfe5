// What a by-reference argument of IDispatch::Invoke brings back into the caller's storage.
#include <gtest/gtest.h>

#include "platform/remoting/values.h"

namespace platform::remoting {
namespace {

TEST(ByReference, NumbersRealsAndStringsAreStoredThroughOtherKindsAndTypesAreLeftAlone) {
  EXPECT_TRUE(VariantValue::CarriedBack(VT_I2));
  EXPECT_TRUE(VariantValue::CarriedBack(VT_BSTR));
  EXPECT_FALSE(VariantValue::CarriedBack(VT_UNKNOWN));
  EXPECT_FALSE(VariantValue::CarriedBack(VT_ARRAY | VT_UI1));

  struct {
    SHORT number = 5;
    SHORT neighbour = 77;  // a store must not run past the two bytes
  } storage;
  VARIANT target;
  VariantInit(&target);
  target.vt = VT_I2 | VT_BYREF;
  target.piVal = &storage.number;
  VariantValue value;
  value.type = VT_I2;
  value.integer = -3;
  EXPECT_EQ(value.StoreThrough(target), S_OK);
  EXPECT_EQ(storage.number, -3);
  EXPECT_EQ(storage.neighbour, 77);

  BSTR text = SysAllocString(L"old");
  target.vt = VT_BSTR | VT_BYREF;
  target.pbstrVal = &text;
  VariantValue answer;
  answer.type = VT_BSTR;
  answer.text = L"the folder";
  EXPECT_EQ(answer.StoreThrough(target), S_OK);
  EXPECT_STREQ(text, L"the folder");
  value.type = VT_I4;
  EXPECT_EQ(value.StoreThrough(target), S_OK) << "another type: left alone";
  EXPECT_STREQ(text, L"the folder");
  answer.text.reset();
  EXPECT_EQ(answer.StoreThrough(target), S_OK);
  EXPECT_EQ(text, nullptr) << "a null string comes back as null";
}

}  // namespace
}  // namespace platform::remoting
