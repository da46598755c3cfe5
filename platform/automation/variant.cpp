#include "platform/automation/variant.h"

#include <new>
#include <stdexcept>

#include "platform/automation/dispatch.h"
#include "platform/automation/safearray.h"

namespace {

// The tags a VARIANT of this runtime may carry. CY and DECIMAL have no member here and are
// refused like any unknown tag.
bool IsValidType(VARTYPE vt) {
  if ((vt & (VT_VECTOR | VT_RESERVED)) != 0) return false;
  const bool modified = (vt & (VT_ARRAY | VT_BYREF)) != 0;
  switch (vt & VT_TYPEMASK) {
    case VT_EMPTY:
    case VT_NULL:
      return !modified;
    case VT_VARIANT:
      return modified;
    case VT_I2:
    case VT_I4:
    case VT_R4:
    case VT_R8:
    case VT_DATE:
    case VT_BSTR:
    case VT_DISPATCH:
    case VT_ERROR:
    case VT_BOOL:
    case VT_UNKNOWN:
    case VT_I1:
    case VT_UI1:
    case VT_UI2:
    case VT_UI4:
    case VT_I8:
    case VT_UI8:
    case VT_INT:
    case VT_UINT:
      return true;
    default:
      return false;
  }
}

}  // namespace

void VariantInit(VARIANTARG* pvarg) {
  if (pvarg == nullptr) return;
  pvarg->vt = VT_EMPTY;
  pvarg->wReserved1 = pvarg->wReserved2 = pvarg->wReserved3 = 0;
  pvarg->llVal = 0;
}

HRESULT VariantClear(VARIANTARG* pvarg) {
  if (pvarg == nullptr) return E_INVALIDARG;
  const VARTYPE vt = pvarg->vt;
  if (!IsValidType(vt)) return DISP_E_BADVARTYPE;
  if ((vt & VT_BYREF) == 0) {
    if ((vt & VT_ARRAY) != 0) {
      const HRESULT hr = SafeArrayDestroy(pvarg->parray);
      if (FAILED(hr)) return hr;
    } else if (vt == VT_BSTR) {
      SysFreeString(pvarg->bstrVal);
    } else if (vt == VT_UNKNOWN) {
      if (pvarg->punkVal != nullptr) pvarg->punkVal->Release();
    } else if (vt == VT_DISPATCH) {
      if (pvarg->pdispVal != nullptr) pvarg->pdispVal->Release();
    }
  }
  VariantInit(pvarg);
  return S_OK;
}

HRESULT VariantCopy(VARIANTARG* pvargDest, const VARIANTARG* pvargSrc) {
  if (pvargDest == nullptr || pvargSrc == nullptr) return E_INVALIDARG;
  const VARTYPE vt = pvargSrc->vt;
  if (!IsValidType(vt)) return DISP_E_BADVARTYPE;
  if (pvargDest == pvargSrc) return S_OK;

  VARIANT copy = *pvargSrc;
  if ((vt & VT_BYREF) == 0) {
    if ((vt & VT_ARRAY) != 0) {
      const HRESULT hr = SafeArrayCopy(pvargSrc->parray, &copy.parray);
      if (FAILED(hr)) return hr;
    } else if (vt == VT_BSTR) {
      copy.bstrVal = platform::automation::CopyBstr(pvargSrc->bstrVal);
      if (copy.bstrVal == nullptr && pvargSrc->bstrVal != nullptr) return E_OUTOFMEMORY;
    } else if (vt == VT_UNKNOWN) {
      if (copy.punkVal != nullptr) copy.punkVal->AddRef();
    } else if (vt == VT_DISPATCH) {
      if (copy.pdispVal != nullptr) copy.pdispVal->AddRef();
    }
  }
  const HRESULT hr = VariantClear(pvargDest);
  if (FAILED(hr)) {
    VariantClear(&copy);
    return hr;
  }
  *pvargDest = copy;
  return S_OK;
}

namespace platform::automation {

namespace {
void ThrowFor(HRESULT hr) {
  if (hr == E_OUTOFMEMORY) throw std::bad_alloc();
  throw std::invalid_argument("VariantCopy failed");
}
}  // namespace

Variant::Variant(const Variant& other) {
  VariantInit(&value_);
  const HRESULT hr = VariantCopy(&value_, &other.value_);
  if (FAILED(hr)) ThrowFor(hr);
}

Variant& Variant::operator=(const Variant& other) {
  const HRESULT hr = VariantCopy(&value_, &other.value_);
  if (FAILED(hr)) ThrowFor(hr);
  return *this;
}

Variant& Variant::operator=(Variant&& other) noexcept {
  if (this != &other) {
    VariantClear(&value_);
    value_ = other.value_;
    VariantInit(&other.value_);
  }
  return *this;
}

Variant MakeUI4Variant(ULONG value) noexcept {
  Variant result;
  result.Get()->vt = VT_UI4;
  result.Get()->ulVal = value;
  return result;
}

HRESULT MakeByteArrayVariant(std::span<const std::uint8_t> bytes, Variant* out) {
  if (out == nullptr) return E_POINTER;
  SafeArray array;
  const HRESULT hr = CreateByteArray(bytes, &array);
  if (FAILED(hr)) return hr;
  VARIANT* slot = out->Put();
  slot->vt = VT_ARRAY | VT_UI1;
  slot->parray = array.Detach();
  return S_OK;
}

}  // namespace platform::automation
