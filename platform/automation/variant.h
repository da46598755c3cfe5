// VARIANT: the tagged value of the component boundary, and its owner.
//
// Ownership: a VARIANT owns its BSTR, its SAFEARRAY (VT_ARRAY) and one reference on its
// interface (VT_UNKNOWN, VT_DISPATCH); VariantClear gives them back. VT_BYREF variants own
// nothing: they point at storage that someone else owns.
#pragma once

#include <cstdint>
#include <span>
#include <utility>

#include "platform/automation/bstr.h"
#include "platform/automation/vartype.h"
#include "platform/types/error_codes.h"

struct IUnknown;
struct IDispatch;
struct tagSAFEARRAY;
using SAFEARRAY = tagSAFEARRAY;

struct tagVARIANT {
  VARTYPE vt;
  WORD wReserved1;
  WORD wReserved2;
  WORD wReserved3;
  union {
    LONGLONG llVal;
    LONG lVal;
    BYTE bVal;
    SHORT iVal;
    FLOAT fltVal;
    DOUBLE dblVal;
    VARIANT_BOOL boolVal;
    SCODE scode;
    DATE date;
    BSTR bstrVal;
    IUnknown* punkVal;
    IDispatch* pdispVal;
    SAFEARRAY* parray;
    CHAR cVal;
    USHORT uiVal;
    ULONG ulVal;
    ULONGLONG ullVal;
    INT intVal;
    UINT uintVal;
    BYTE* pbVal;
    SHORT* piVal;
    LONG* plVal;
    LONGLONG* pllVal;
    FLOAT* pfltVal;
    DOUBLE* pdblVal;
    VARIANT_BOOL* pboolVal;
    SCODE* pscode;
    DATE* pdate;
    BSTR* pbstrVal;
    IUnknown** ppunkVal;
    IDispatch** ppdispVal;
    SAFEARRAY** pparray;
    tagVARIANT* pvarVal;
    PVOID byref;
    CHAR* pcVal;
    USHORT* puiVal;
    ULONG* pulVal;
    ULONGLONG* pullVal;
    INT* pintVal;
    UINT* puintVal;
  };
};
using VARIANT = tagVARIANT;
using VARIANTARG = VARIANT;
using LPVARIANT = VARIANT*;

// Sets VT_EMPTY; the value bits are not examined (the variant may hold garbage before).
void VariantInit(VARIANTARG* pvarg);
// Frees what the variant owns and sets VT_EMPTY. E_INVALIDARG for null, DISP_E_BADVARTYPE for a
// type tag this runtime does not know (the variant is left alone), DISP_E_ARRAYISLOCKED when
// its array is locked (the variant keeps the array).
HRESULT VariantClear(VARIANTARG* pvarg);
// Deep copy into an initialised destination: BSTRs and arrays are copied, interfaces AddRef'd,
// VT_BYREF pointers copied as they are. The destination is cleared only once the copy exists,
// so a failure leaves it unchanged.
HRESULT VariantCopy(VARIANTARG* pvargDest, const VARIANTARG* pvargSrc);

namespace platform::automation {

// Owns one VARIANT. Copies are VariantCopy (std::bad_alloc when memory runs out,
// std::invalid_argument for a type tag that cannot be copied); moves leave VT_EMPTY behind.
class Variant {
 public:
  Variant() noexcept { VariantInit(&value_); }
  Variant(const Variant& other);
  Variant(Variant&& other) noexcept : value_(other.value_) { VariantInit(&other.value_); }
  Variant& operator=(const Variant& other);
  Variant& operator=(Variant&& other) noexcept;
  ~Variant() { VariantClear(&value_); }

  // Takes over what `value` owns; the caller must not clear it afterwards.
  static Variant Adopt(const VARIANT& value) noexcept {
    Variant result;
    result.value_ = value;
    return result;
  }
  // Hands the value and what it owns to the caller.
  [[nodiscard]] VARIANT Detach() noexcept {
    VARIANT result = value_;
    VariantInit(&value_);
    return result;
  }
  // Clears and returns the slot for an out-parameter that writes a VARIANT.
  VARIANT* Put() noexcept {
    Clear();
    return &value_;
  }
  HRESULT Clear() noexcept { return VariantClear(&value_); }
  HRESULT CopyFrom(const VARIANT& source) noexcept { return VariantCopy(&value_, &source); }

  VARIANT* Get() noexcept { return &value_; }
  const VARIANT* Get() const noexcept { return &value_; }
  VARTYPE Type() const noexcept { return value_.vt; }

 private:
  VARIANT value_;
};

// A VT_UI4 variant.
Variant MakeUI4Variant(ULONG value) noexcept;
// A VT_ARRAY | VT_UI1 variant: one dimension, lower bound 0, a copy of `bytes`. E_POINTER for
// null `out`, E_OUTOFMEMORY.
HRESULT MakeByteArrayVariant(std::span<const std::uint8_t> bytes, Variant* out);

}  // namespace platform::automation
