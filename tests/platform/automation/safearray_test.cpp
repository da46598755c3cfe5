#include "platform/automation/safearray.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "platform/automation/variant.h"
#include "tests/platform/automation/counting_dispatch.h"

namespace platform::automation {
namespace {

using testing::CountingDispatch;

// Three dimensions, left to right: 2 elements from -1, 3 from -2, 4 from 5.
struct ThreeDimensional : ::testing::Test {
  void SetUp() override {
    std::array<SAFEARRAYBOUND, 3> bounds{{{2, -1}, {3, -2}, {4, 5}}};
    array.Attach(SafeArrayCreate(VT_I4, 3, bounds.data()));
    ASSERT_TRUE(array);
  }
  static std::size_t Cell(LONG i, LONG j, LONG k) { return (i + 1) + 2 * ((j + 2) + 3 * (k - 5)); }
  SafeArray array;
};

TEST_F(ThreeDimensional, BoundsAreReportedPerDimensionAndStoredRightToLeft) {
  SAFEARRAY* psa = array.Get();
  EXPECT_EQ(SafeArrayGetDim(psa), 3u);
  EXPECT_EQ(SafeArrayGetElemsize(psa), 4u);
  const std::array<std::pair<LONG, LONG>, 3> expected{{{-1, 0}, {-2, 0}, {5, 8}}};
  for (UINT dim = 1; dim <= 3; ++dim) {
    LONG lower = 0, upper = 0;
    ASSERT_EQ(SafeArrayGetLBound(psa, dim, &lower), S_OK);
    ASSERT_EQ(SafeArrayGetUBound(psa, dim, &upper), S_OK);
    EXPECT_EQ(std::make_pair(lower, upper), expected[dim - 1]) << "dimension " << dim;
  }
  const SAFEARRAYBOUND* stored = psa->rgsabound;  // rightmost dimension first in memory
  EXPECT_EQ(std::make_pair(stored[0].cElements, stored[0].lLbound), (std::pair<ULONG, LONG>(4, 5)));
  EXPECT_EQ(std::make_pair(stored[2].cElements, stored[2].lLbound), (std::pair<ULONG, LONG>(2, -1)));
  LONG bound = 0;
  EXPECT_EQ(SafeArrayGetLBound(psa, 0, &bound), DISP_E_BADINDEX);
  EXPECT_EQ(SafeArrayGetUBound(psa, 4, &bound), DISP_E_BADINDEX);
}

TEST_F(ThreeDimensional, ElementsSitWhereTheLeftmostIndexVariesFastest) {
  SAFEARRAY* psa = array.Get();
  for (LONG k = 5; k <= 8; ++k) {
    for (LONG j = -2; j <= 0; ++j) {
      for (LONG i = -1; i <= 0; ++i) {
        std::array<LONG, 3> index{i, j, k};
        void* address = nullptr;
        ASSERT_EQ(SafeArrayPtrOfIndex(psa, index.data(), &address), S_OK);
        EXPECT_EQ(address, static_cast<LONG*>(psa->pvData) + Cell(i, j, k));
        LONG value = i * 100 + j * 10 + k;
        ASSERT_EQ(SafeArrayPutElement(psa, index.data(), &value), S_OK);
      }
    }
  }
  std::array<LONG, 3> index{0, -1, 7};
  LONG read = 0;
  ASSERT_EQ(SafeArrayGetElement(psa, index.data(), &read), S_OK);
  EXPECT_EQ(read, 0 * 100 - 10 + 7);
  EXPECT_EQ(static_cast<LONG*>(psa->pvData)[Cell(-1, -2, 5)], -100 - 20 + 5);
  EXPECT_EQ(psa->cLocks, 0u);  // element access locks only for its own duration

  // Each index just outside its dimension, at either end.
  for (auto outside : std::array<std::array<LONG, 3>, 6>{
           {{-2, 0, 5}, {1, 0, 5}, {0, -3, 5}, {0, 1, 5}, {0, 0, 4}, {0, 0, 9}}}) {
    void* address = nullptr;
    EXPECT_EQ(SafeArrayPtrOfIndex(psa, outside.data(), &address), DISP_E_BADINDEX);
    EXPECT_EQ(SafeArrayPutElement(psa, outside.data(), &read), DISP_E_BADINDEX);
    EXPECT_EQ(SafeArrayGetElement(psa, outside.data(), &read), DISP_E_BADINDEX);
  }
}

TEST(SafeArrayTest, CreationChecksTypeShapeAndSize) {
  SAFEARRAYBOUND one{1, 0};
  EXPECT_EQ(SafeArrayCreate(VT_EMPTY, 1, &one), nullptr);
  EXPECT_EQ(SafeArrayCreate(VT_RECORD, 1, &one), nullptr);
  EXPECT_EQ(SafeArrayCreate(VT_I4, 0, &one), nullptr);
  EXPECT_EQ(SafeArrayCreate(VT_I4, 1, nullptr), nullptr);
  std::array<SAFEARRAYBOUND, 3> huge{{{0x10000, 0}, {0x10000, 0}, {0x10000, 0}}};
  EXPECT_EQ(SafeArrayCreate(VT_UI1, 3, huge.data()), nullptr);
  EXPECT_EQ(SafeArrayCreateVector(VT_I4, 0, 0x40000000), nullptr);  // 4 GiB of data

  // Every element type with its size; the owning kinds carry their feature flag.
  constexpr USHORT kPlain = FADF_HAVEVARTYPE;
  const struct {
    VARTYPE vt;
    ULONG size;
    USHORT features;
  } types[] = {
      {VT_UI1, 1, kPlain}, {VT_I1, 1, kPlain}, {VT_I2, 2, kPlain}, {VT_UI2, 2, kPlain},
      {VT_BOOL, 2, kPlain}, {VT_I4, 4, kPlain}, {VT_UI4, 4, kPlain}, {VT_INT, 4, kPlain},
      {VT_UINT, 4, kPlain}, {VT_R4, 4, kPlain}, {VT_ERROR, 4, kPlain}, {VT_I8, 8, kPlain},
      {VT_UI8, 8, kPlain}, {VT_R8, 8, kPlain},
      {VT_BSTR, sizeof(BSTR), FADF_HAVEVARTYPE | FADF_BSTR},
      {VT_VARIANT, sizeof(VARIANT), FADF_HAVEVARTYPE | FADF_VARIANT},
      {VT_UNKNOWN, sizeof(IUnknown*), FADF_HAVEIID | FADF_UNKNOWN},
      {VT_DISPATCH, sizeof(IDispatch*), FADF_HAVEIID | FADF_DISPATCH},
  };
  for (const auto& type : types) {
    SafeArray array = SafeArray::Adopt(SafeArrayCreateVector(type.vt, 0, 2));
    ASSERT_TRUE(array) << type.vt;
    VARTYPE vt = VT_EMPTY;
    ASSERT_EQ(SafeArrayGetVartype(array.Get(), &vt), S_OK);
    EXPECT_EQ(vt, type.vt);
    EXPECT_EQ(array.Get()->cbElements, type.size) << type.vt;
    EXPECT_EQ(array.Get()->fFeatures, type.features) << type.vt;
  }
}

TEST(SafeArrayTest, NullArgumentsAreInvalid) {
  SafeArray array = SafeArray::Adopt(SafeArrayCreateVector(VT_I4, 0, 1));
  LONG index = 0;
  LONG value = 0;
  void* data = nullptr;
  VARTYPE vt = 0;
  EXPECT_EQ(SafeArrayDestroy(nullptr), S_OK);
  EXPECT_EQ(SafeArrayLock(nullptr), E_INVALIDARG);
  EXPECT_EQ(SafeArrayAccessData(nullptr, &data), E_INVALIDARG);
  EXPECT_EQ(SafeArrayAccessData(array.Get(), nullptr), E_INVALIDARG);
  EXPECT_EQ(SafeArrayGetLBound(array.Get(), 1, nullptr), E_INVALIDARG);
  EXPECT_EQ(SafeArrayGetVartype(nullptr, &vt), E_INVALIDARG);
  EXPECT_EQ(SafeArrayPutElement(array.Get(), nullptr, &value), E_INVALIDARG);
  EXPECT_EQ(SafeArrayPutElement(array.Get(), &index, nullptr), E_INVALIDARG);
  EXPECT_EQ(SafeArrayGetElement(array.Get(), &index, nullptr), E_INVALIDARG);
  EXPECT_EQ(SafeArrayRedim(array.Get(), nullptr), E_INVALIDARG);
  EXPECT_EQ(SafeArrayCopy(array.Get(), nullptr), E_INVALIDARG);
  EXPECT_EQ(SafeArrayGetDim(nullptr), 0u);
  SAFEARRAY* copy = array.Get();
  EXPECT_EQ(SafeArrayCopy(nullptr, &copy), S_OK);
  EXPECT_EQ(copy, nullptr);
}

TEST(SafeArrayTest, LockedArraysCannotBeDestroyedOrReshaped) {
  SAFEARRAY* psa = SafeArrayCreateVector(VT_BSTR, 0, 2);
  ASSERT_NE(psa, nullptr);
  void* data = nullptr;
  ASSERT_EQ(SafeArrayAccessData(psa, &data), S_OK);
  EXPECT_EQ(data, psa->pvData);
  ASSERT_EQ(SafeArrayLock(psa), S_OK);
  EXPECT_EQ(psa->cLocks, 2u);

  SAFEARRAYBOUND bigger{4, 0};
  EXPECT_EQ(SafeArrayDestroy(psa), DISP_E_ARRAYISLOCKED);
  EXPECT_EQ(SafeArrayRedim(psa, &bigger), DISP_E_ARRAYISLOCKED);
  EXPECT_EQ(psa->rgsabound[0].cElements, 2u);

  ASSERT_EQ(SafeArrayUnlock(psa), S_OK);
  EXPECT_EQ(SafeArrayDestroy(psa), DISP_E_ARRAYISLOCKED);  // AccessData still holds a lock
  ASSERT_EQ(SafeArrayUnaccessData(psa), S_OK);
  EXPECT_EQ(SafeArrayUnaccessData(psa), E_UNEXPECTED);  // no lock left to give back
  EXPECT_EQ(SafeArrayDestroy(psa), S_OK);
}

TEST(SafeArrayTest, RedimOfStringsFreesDroppedElementsAndMayMoveTheLowerBound) {
  SafeArray array = SafeArray::Adopt(SafeArrayCreateVector(VT_BSTR, 0, 3));
  ASSERT_TRUE(array);
  SAFEARRAY* psa = array.Get();
  const std::array<const wchar_t*, 3> texts{L"zero", L"one", L"two"};
  for (LONG i = 0; i < 3; ++i) {
    Bstr text{texts[i]};
    ASSERT_EQ(SafeArrayPutElement(psa, &i, text.Get()), S_OK);
  }

  SAFEARRAYBOUND shrunk{1, 10};                   // the lower bound may change too
  ASSERT_EQ(SafeArrayRedim(psa, &shrunk), S_OK);  // "one" and "two" freed (ASan checks)
  LONG lower = 0, upper = 0;
  SafeArrayGetLBound(psa, 1, &lower);
  SafeArrayGetUBound(psa, 1, &upper);
  EXPECT_EQ(std::make_pair(lower, upper), (std::pair<LONG, LONG>(10, 10)));
  BSTR first = nullptr;
  LONG index = 10;
  ASSERT_EQ(SafeArrayGetElement(psa, &index, &first), S_OK);
  EXPECT_EQ(Bstr::Adopt(first).View(), L"zero");

  SAFEARRAYBOUND none{0, 0};
  ASSERT_EQ(SafeArrayRedim(psa, &none), S_OK);
  EXPECT_EQ(SafeArrayGetUBound(psa, 1, &upper), S_OK);
  EXPECT_EQ(upper, -1);
}

TEST(SafeArrayTest, RedimOfTwoDimensionsChangesOnlyTheLastOne) {
  std::array<SAFEARRAYBOUND, 2> bounds{{{2, 0}, {3, 0}}};
  SafeArray array = SafeArray::Adopt(SafeArrayCreate(VT_BSTR, 2, bounds.data()));
  ASSERT_TRUE(array);
  SAFEARRAY* psa = array.Get();
  const auto name = [](LONG i, LONG j) { return std::to_wstring(i) + L"," + std::to_wstring(j); };
  for (LONG i = 0; i < 2; ++i) {
    for (LONG j = 0; j < 3; ++j) {
      std::array<LONG, 2> index{i, j};
      Bstr text{name(i, j)};
      ASSERT_EQ(SafeArrayPutElement(psa, index.data(), text.Get()), S_OK);
    }
  }
  const auto expectElement = [&](LONG i, LONG j, const std::wstring& expected) {
    std::array<LONG, 2> index{i, j};
    Bstr read;
    ASSERT_EQ(SafeArrayGetElement(psa, index.data(), read.Put()), S_OK);
    EXPECT_EQ(read.ToWString(), expected) << i << "," << j;
  };

  SAFEARRAYBOUND twoColumns{2, 0};
  ASSERT_EQ(SafeArrayRedim(psa, &twoColumns), S_OK);
  LONG upper = 0;
  SafeArrayGetUBound(psa, 1, &upper);
  EXPECT_EQ(upper, 1);
  SafeArrayGetUBound(psa, 2, &upper);
  EXPECT_EQ(upper, 1);
  for (LONG i = 0; i < 2; ++i) {
    for (LONG j = 0; j < 2; ++j) expectElement(i, j, name(i, j));
  }

  SAFEARRAYBOUND fourColumns{4, 0};
  ASSERT_EQ(SafeArrayRedim(psa, &fourColumns), S_OK);
  expectElement(1, 1, name(1, 1));
  expectElement(0, 3, L"");
  expectElement(1, 2, L"");
}

TEST(SafeArrayTest, ElementsAreCopiedInAndOut) {
  CountingDispatch sink;
  {
    SafeArray interfaces = SafeArray::Adopt(SafeArrayCreateVector(VT_DISPATCH, 0, 2));
    LONG index = 0;
    ASSERT_EQ(SafeArrayPutElement(interfaces.Get(), &index, static_cast<IDispatch*>(&sink)), S_OK);
    index = 1;
    ASSERT_EQ(SafeArrayPutElement(interfaces.Get(), &index, static_cast<IDispatch*>(&sink)), S_OK);
    EXPECT_EQ(sink.References(), 2u);
    ASSERT_EQ(SafeArrayPutElement(interfaces.Get(), &index, nullptr), S_OK);  // releases the old
    EXPECT_EQ(sink.References(), 1u);

    index = 0;
    IDispatch* out = nullptr;
    ASSERT_EQ(SafeArrayGetElement(interfaces.Get(), &index, &out), S_OK);
    EXPECT_EQ(out, &sink);
    EXPECT_EQ(sink.References(), 2u);
    out->Release();

    SafeArray copy;
    ASSERT_EQ(SafeArrayCopy(interfaces.Get(), copy.Put()), S_OK);
    EXPECT_EQ(sink.References(), 2u);
  }
  EXPECT_EQ(sink.References(), 0u);  // both arrays released their elements

  SafeArray strings = SafeArray::Adopt(SafeArrayCreateVector(VT_BSTR, 0, 1));
  Bstr text{L"text"};
  LONG index = 0;
  ASSERT_EQ(SafeArrayPutElement(strings.Get(), &index, text.Get()), S_OK);
  BSTR stored = static_cast<BSTR*>(strings.Get()->pvData)[0];
  EXPECT_NE(stored, text.Get());
  Bstr read;
  ASSERT_EQ(SafeArrayGetElement(strings.Get(), &index, read.Put()), S_OK);
  EXPECT_NE(read.Get(), stored);
  EXPECT_EQ(read.View(), L"text");

  SafeArray variants = SafeArray::Adopt(SafeArrayCreateVector(VT_VARIANT, 0, 1));
  Variant element;
  element.Get()->vt = VT_BSTR;
  element.Get()->bstrVal = SysAllocString(L"inside");
  ASSERT_EQ(SafeArrayPutElement(variants.Get(), &index, element.Get()), S_OK);
  VARIANT out;  // GetElement treats the destination as uninitialised
  out.vt = 0xFFFF;
  ASSERT_EQ(SafeArrayGetElement(variants.Get(), &index, &out), S_OK);
  Variant owned = Variant::Adopt(out);
  EXPECT_EQ(owned.Type(), VT_BSTR);
  EXPECT_NE(owned.Get()->bstrVal, element.Get()->bstrVal);
  EXPECT_EQ(BstrView(owned.Get()->bstrVal), L"inside");
}

TEST(SafeArrayTest, CopyDataNeedsTheSameShapeAndReplacesElements) {
  std::vector<std::wstring> source{L"a", L"b"};
  SafeArray from;
  ASSERT_EQ(CreateStringArray(source, &from), S_OK);
  std::vector<std::wstring> target{L"old1", L"old2"};
  SafeArray to;
  ASSERT_EQ(CreateStringArray(target, &to), S_OK);
  SafeArrayLock(to.Get());  // CopyData does not reshape, so a lock does not stop it
  ASSERT_EQ(SafeArrayCopyData(from.Get(), to.Get()), S_OK);
  SafeArrayUnlock(to.Get());
  std::vector<std::wstring> result;
  ASSERT_EQ(ReadStringArray(to.Get(), &result), S_OK);
  EXPECT_EQ(result, source);
  EXPECT_NE(static_cast<BSTR*>(to.Get()->pvData)[0], static_cast<BSTR*>(from.Get()->pvData)[0]);

  SafeArray three = SafeArray::Adopt(SafeArrayCreateVector(VT_BSTR, 0, 3));
  EXPECT_EQ(SafeArrayCopyData(from.Get(), three.Get()), E_INVALIDARG);
  SafeArray integers = SafeArray::Adopt(SafeArrayCreateVector(VT_I8, 0, 2));  // same size
  EXPECT_EQ(SafeArrayCopyData(from.Get(), integers.Get()), E_INVALIDARG);
}

TEST(SafeArrayTest, StringListsAreBuiltByAppendingOneElementAtATime) {
  SafeArray list = SafeArray::Adopt(SafeArrayCreateVector(VT_BSTR, 0, 0));
  ASSERT_TRUE(list);
  std::vector<std::wstring> read;
  ASSERT_EQ(ReadStringArray(list.Get(), &read), S_OK);
  EXPECT_TRUE(read.empty());

  for (const wchar_t* name : {L"XRB-1", L"", L"XRB-3"})
    ASSERT_EQ(AppendString(list.Get(), name), S_OK);
  LONG upper = 0;
  SafeArrayGetUBound(list.Get(), 1, &upper);
  EXPECT_EQ(upper, 2);
  ASSERT_EQ(ReadStringArray(list.Get(), &read), S_OK);
  EXPECT_EQ(read, (std::vector<std::wstring>{L"XRB-1", L"", L"XRB-3"}));

  {
    ArrayDataAccess access(list.Get());
    ASSERT_EQ(access.Status(), S_OK);
    EXPECT_EQ(AppendString(list.Get(), L"refused"), DISP_E_ARRAYISLOCKED);
  }
  EXPECT_EQ(list.Get()->rgsabound[0].cElements, 3u);

  SafeArray integers = SafeArray::Adopt(SafeArrayCreateVector(VT_I4, 0, 0));
  EXPECT_EQ(AppendString(integers.Get(), L"x"), E_INVALIDARG);
  EXPECT_EQ(ReadStringArray(integers.Get(), &read), E_INVALIDARG);
}

// Filled byte arrays are read back where a sink receives them (variant tests).
TEST(SafeArrayTest, AnEmptyByteArrayStillHandsOutData) {
  SafeArray empty;
  ASSERT_EQ(CreateByteArray({}, &empty), S_OK);
  ArrayDataAccess access(empty.Get());
  EXPECT_EQ(access.Status(), S_OK);
  EXPECT_NE(access.Data(), nullptr);
  EXPECT_EQ(access.ByteSize(), 0u);
}

}  // namespace
}  // namespace platform::automation
