#include "platform/automation/variant.h"

#include <gtest/gtest.h>

#include <array>
#include <stdexcept>
#include <vector>

#include "platform/automation/dispatch.h"
#include "platform/automation/safearray.h"
#include "tests/platform/automation/counting_dispatch.h"

namespace platform::automation {
namespace {

using testing::CountingDispatch;

Variant DispatchVariant(CountingDispatch& object) {
  Variant result;
  result.Get()->vt = VT_DISPATCH;
  result.Get()->pdispVal = &object;
  object.AddRef();  // the variant's own reference
  return result;
}

TEST(VariantTest, CopiesAddReferencesAndClearReleasesThem) {
  CountingDispatch object;
  {
    Variant original = DispatchVariant(object);
    EXPECT_EQ(object.References(), 1u);
    Variant copy = original;
    EXPECT_EQ(object.References(), 2u);
    EXPECT_EQ(copy.Get()->pdispVal, &object);

    Variant asUnknown;
    asUnknown.Get()->vt = VT_UNKNOWN;
    ASSERT_EQ(
        object.QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&asUnknown.Get()->punkVal)),
        S_OK);
    EXPECT_EQ(object.References(), 3u);

    ASSERT_EQ(VariantCopy(asUnknown.Get(), original.Get()), S_OK);  // clears the destination first
    EXPECT_EQ(object.References(), 3u);
    EXPECT_EQ(asUnknown.Type(), VT_DISPATCH);

    ASSERT_EQ(copy.Clear(), S_OK);
    EXPECT_EQ(copy.Type(), VT_EMPTY);
    EXPECT_EQ(object.References(), 2u);

    Variant moved = std::move(original);
    EXPECT_EQ(object.References(), 2u);
  }
  EXPECT_EQ(object.References(), 0u);
}

TEST(VariantTest, StringsAndArraysAreCopiedDeeply) {
  Variant text;
  text.Get()->vt = VT_BSTR;
  text.Get()->bstrVal = SysAllocStringLen(L"a\0b", 3);
  Variant textCopy = text;
  EXPECT_NE(textCopy.Get()->bstrVal, text.Get()->bstrVal);
  EXPECT_EQ(SysStringLen(textCopy.Get()->bstrVal), 3u);

  Variant nullText;
  nullText.Get()->vt = VT_BSTR;  // a null BSTR is the empty string and copies as null
  Variant nullCopy = nullText;
  EXPECT_EQ(nullCopy.Get()->bstrVal, nullptr);

  CountingDispatch object;
  {
    Variant array;
    array.Get()->vt = VT_ARRAY | VT_DISPATCH;
    array.Get()->parray = SafeArrayCreateVector(VT_DISPATCH, 0, 3);
    for (LONG i = 0; i < 3; ++i) {
      ASSERT_EQ(SafeArrayPutElement(array.Get()->parray, &i, static_cast<IDispatch*>(&object)),
                S_OK);
    }
    EXPECT_EQ(object.References(), 3u);
    Variant arrayCopy = array;
    EXPECT_NE(arrayCopy.Get()->parray, array.Get()->parray);
    EXPECT_EQ(object.References(), 6u);
    ASSERT_EQ(array.Clear(), S_OK);
    EXPECT_EQ(object.References(), 3u);
  }
  EXPECT_EQ(object.References(), 0u);
}

TEST(VariantTest, FailedCopiesAndClearsLeaveTheirTargetsAlone) {
  CountingDispatch object;
  Variant destination = DispatchVariant(object);

  VARIANT bad;
  VariantInit(&bad);
  bad.vt = VT_EMPTY | VT_BYREF;
  EXPECT_EQ(VariantCopy(destination.Get(), &bad), DISP_E_BADVARTYPE);
  bad.vt = VT_CY;
  EXPECT_EQ(VariantCopy(destination.Get(), &bad), DISP_E_BADVARTYPE);
  EXPECT_EQ(VariantClear(&bad), DISP_E_BADVARTYPE);
  EXPECT_EQ(destination.Type(), VT_DISPATCH);
  EXPECT_EQ(object.References(), 1u);

  // A destination whose array is locked cannot be cleared: the copy made for it is dropped.
  Variant locked;
  ASSERT_EQ(MakeByteArrayVariant(std::array<std::uint8_t, 2>{1, 2}, &locked), S_OK);
  SAFEARRAY* array = locked.Get()->parray;
  ASSERT_EQ(SafeArrayLock(array), S_OK);
  EXPECT_EQ(VariantCopy(locked.Get(), destination.Get()), DISP_E_ARRAYISLOCKED);
  EXPECT_EQ(object.References(), 1u);
  EXPECT_EQ(locked.Clear(), DISP_E_ARRAYISLOCKED);
  EXPECT_EQ(locked.Get()->parray, array);
  ASSERT_EQ(SafeArrayUnlock(array), S_OK);
  EXPECT_EQ(locked.Clear(), S_OK);

  EXPECT_EQ(VariantClear(nullptr), E_INVALIDARG);
  EXPECT_EQ(VariantCopy(nullptr, destination.Get()), E_INVALIDARG);
}

TEST(VariantTest, ByReferenceVariantsOwnNothing) {
  Bstr text{L"owned elsewhere"};
  BSTR slot = text.Get();
  Variant reference;
  reference.Get()->vt = VT_BSTR | VT_BYREF;
  reference.Get()->pbstrVal = &slot;
  Variant copy = reference;
  EXPECT_EQ(copy.Get()->pbstrVal, &slot);
  ASSERT_EQ(reference.Clear(), S_OK);
  ASSERT_EQ(copy.Clear(), S_OK);
  EXPECT_EQ(text.View(), L"owned elsewhere");  // still alive: ASan would flag a free
}

// The event argument shapes (VT_UI4, a byte array) reach a sink in call order, as copies.
TEST(VariantTest, InvokeSeesPositionalArgumentsInCallOrder) {
  CountingDispatch sink;
  std::array<VARIANTARG, 2> arguments{};
  Variant first = MakeUI4Variant(0x800706BA);
  Variant second;
  ASSERT_EQ(MakeByteArrayVariant(std::array<std::uint8_t, 3>{7, 8, 9}, &second), S_OK);
  arguments[0] = *second.Get();  // last argument first
  arguments[1] = *first.Get();
  DISPPARAMS params{arguments.data(), nullptr, 2, 0};

  ASSERT_EQ(sink.Invoke(3, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, nullptr,
                        nullptr, nullptr),
            S_OK);
  ASSERT_EQ(sink.arguments.size(), 2u);
  EXPECT_EQ(sink.arguments[0].Type(), VT_UI4);
  EXPECT_EQ(sink.arguments[0].Get()->ulVal, 0x800706BAu);
  EXPECT_EQ(sink.arguments[1].Type(), VT_ARRAY | VT_UI1);
  EXPECT_NE(sink.arguments[1].Get()->parray, second.Get()->parray);  // the sink kept a copy
  EXPECT_EQ(sink.arguments[1].Get()->parray->rgsabound[0].lLbound, 0);
  std::vector<std::uint8_t> bytes;
  ASSERT_EQ(ReadByteArray(sink.arguments[1].Get()->parray, &bytes), S_OK);
  EXPECT_EQ(bytes, (std::vector<std::uint8_t>{7, 8, 9}));
  EXPECT_EQ(PositionalArgument(params, 2), nullptr);

  DISPPARAMS named{arguments.data(), nullptr, 2, 1};  // rgvarg[0] is then the named one
  EXPECT_EQ(PositionalArgument(named, 0), &arguments[1]);
  EXPECT_EQ(PositionalArgument(named, 1), nullptr);
}

}  // namespace
}  // namespace platform::automation
