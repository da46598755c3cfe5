// SAFEARRAY: the self-describing array of the component boundary, any number of dimensions.
//
// Dimensions are numbered 1..cDims from the left, as in SafeArrayGetLBound. The descriptor keeps
// rgsabound in reverse order, as on the original system: rgsabound[0] describes the rightmost
// (last) dimension and rgsabound[cDims - 1] the leftmost. Element data is stored with the
// leftmost index varying fastest, so the last dimension owns contiguous slices; that is why
// SafeArrayRedim may change only it. Index vectors (PutElement, GetElement, PtrOfIndex) give
// the leftmost dimension first.
//
// Arrays are not synchronised, as on the original system: only the lock count is atomic, so
// that readers on several threads may AccessData the same array at once. Whoever changes an
// array's shape or elements must own it exclusively.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/automation/bstr.h"
#include "platform/automation/vartype.h"
#include "platform/types/error_codes.h"

struct SAFEARRAYBOUND {
  ULONG cElements;
  LONG lLbound;
};
using LPSAFEARRAYBOUND = SAFEARRAYBOUND*;

// Allocated with room for cDims bounds; rgsabound[1] is the classic trailing-array declaration.
struct tagSAFEARRAY {
  USHORT cDims;
  USHORT fFeatures;
  ULONG cbElements;
  ULONG cLocks;
  PVOID pvData;
  SAFEARRAYBOUND rgsabound[1];
};
using SAFEARRAY = tagSAFEARRAY;
using LPSAFEARRAY = SAFEARRAY*;

inline constexpr USHORT FADF_AUTO = 0x0001;
inline constexpr USHORT FADF_STATIC = 0x0002;
inline constexpr USHORT FADF_EMBEDDED = 0x0004;
inline constexpr USHORT FADF_FIXEDSIZE = 0x0010;
inline constexpr USHORT FADF_RECORD = 0x0020;
inline constexpr USHORT FADF_HAVEIID = 0x0040;
inline constexpr USHORT FADF_HAVEVARTYPE = 0x0080;
inline constexpr USHORT FADF_BSTR = 0x0100;
inline constexpr USHORT FADF_UNKNOWN = 0x0200;
inline constexpr USHORT FADF_DISPATCH = 0x0400;
inline constexpr USHORT FADF_VARIANT = 0x0800;
inline constexpr USHORT FADF_RESERVED = 0xF008;

// Element types: VT_UI1, VT_I1, VT_I2, VT_UI2, VT_I4, VT_UI4, VT_INT, VT_UINT, VT_I8, VT_UI8,
// VT_R4, VT_R8, VT_BOOL, VT_ERROR, VT_BSTR, VT_VARIANT, VT_UNKNOWN, VT_DISPATCH. Elements start
// zeroed (0, null BSTR, null interface, VT_EMPTY). Null for another type, no dimensions, a null
// bounds vector, or when element count x size exceeds 32 bits or memory runs out.
SAFEARRAY* SafeArrayCreate(VARTYPE vt, UINT cDims, SAFEARRAYBOUND* rgsabound);
SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lLbound, ULONG cElements);
// Frees BSTR elements, clears VARIANT elements, releases interface elements, then the array.
// Null is S_OK; DISP_E_ARRAYISLOCKED while a lock (or AccessData) is outstanding.
HRESULT SafeArrayDestroy(SAFEARRAY* psa);
// Lock counts nest up to 65535; an extra Lock or an Unlock at zero gives E_UNEXPECTED.
HRESULT SafeArrayLock(SAFEARRAY* psa);
HRESULT SafeArrayUnlock(SAFEARRAY* psa);
HRESULT SafeArrayAccessData(SAFEARRAY* psa, void** ppvData);
HRESULT SafeArrayUnaccessData(SAFEARRAY* psa);
UINT SafeArrayGetDim(SAFEARRAY* psa);
// nDim is 1-based from the left; DISP_E_BADINDEX outside 1..cDims.
HRESULT SafeArrayGetLBound(SAFEARRAY* psa, UINT nDim, LONG* plLbound);
HRESULT SafeArrayGetUBound(SAFEARRAY* psa, UINT nDim, LONG* plUbound);
UINT SafeArrayGetElemsize(SAFEARRAY* psa);
HRESULT SafeArrayGetVartype(SAFEARRAY* psa, VARTYPE* pvt);
// Copy semantics. PutElement: pv is the BSTR itself for VT_BSTR, the interface pointer itself
// for VT_UNKNOWN / VT_DISPATCH (AddRef'd, the old one released), a VARIANT* for VT_VARIANT
// (VariantCopy'd) and a pointer to the value otherwise. GetElement writes a fresh BSTR, an
// AddRef'd interface or a VariantCopy into uninitialised storage at pv. DISP_E_BADINDEX when an
// index lies outside its dimension.
HRESULT SafeArrayPutElement(SAFEARRAY* psa, LONG* rgIndices, void* pv);
HRESULT SafeArrayGetElement(SAFEARRAY* psa, LONG* rgIndices, void* pv);
HRESULT SafeArrayPtrOfIndex(SAFEARRAY* psa, LONG* rgIndices, void** ppvData);
// New bound for the last (rightmost) dimension; shrinking releases the dropped elements,
// growing adds zeroed ones. DISP_E_ARRAYISLOCKED while locked; E_OUTOFMEMORY leaves the array
// as it was.
HRESULT SafeArrayRedim(SAFEARRAY* psa, SAFEARRAYBOUND* psaboundNew);
// Deep copy (fresh BSTRs, AddRef'd interfaces, copied VARIANTs). A null source gives S_OK and
// a null copy.
HRESULT SafeArrayCopy(SAFEARRAY* psa, SAFEARRAY** ppsaOut);
// Replaces the target's elements by copies of the source's. Both must have the same element
// kind and size and the same element count in every dimension (lower bounds may differ).
HRESULT SafeArrayCopyData(SAFEARRAY* psaSource, SAFEARRAY* psaTarget);

namespace platform::automation {

// Owns one SAFEARRAY and destroys it. Move-only; use SafeArrayCopy for a deep copy. Release
// every ArrayDataAccess on the array first: a locked array cannot be destroyed.
class SafeArray {
 public:
  SafeArray() noexcept = default;
  SafeArray(SafeArray&& other) noexcept : array_(std::exchange(other.array_, nullptr)) {}
  SafeArray& operator=(SafeArray&& other) noexcept {
    if (this != &other) Attach(std::exchange(other.array_, nullptr));
    return *this;
  }
  SafeArray(const SafeArray&) = delete;
  SafeArray& operator=(const SafeArray&) = delete;
  ~SafeArray() { Reset(); }

  static SafeArray Adopt(SAFEARRAY* array) noexcept {
    SafeArray result;
    result.array_ = array;
    return result;
  }
  void Attach(SAFEARRAY* array) noexcept {
    Reset();
    array_ = array;
  }
  [[nodiscard]] SAFEARRAY* Detach() noexcept { return std::exchange(array_, nullptr); }
  SAFEARRAY** Put() noexcept {
    Reset();
    return &array_;
  }
  void Reset() noexcept { SafeArrayDestroy(std::exchange(array_, nullptr)); }

  SAFEARRAY* Get() const noexcept { return array_; }
  explicit operator bool() const noexcept { return array_ != nullptr; }

 private:
  SAFEARRAY* array_ = nullptr;
};

// SafeArrayAccessData for the lifetime of this object. Check Status() before using Data().
class ArrayDataAccess {
 public:
  explicit ArrayDataAccess(SAFEARRAY* array) noexcept : array_(array) {
    status_ = SafeArrayAccessData(array_, &data_);
  }
  ArrayDataAccess(const ArrayDataAccess&) = delete;
  ArrayDataAccess& operator=(const ArrayDataAccess&) = delete;
  ~ArrayDataAccess() {
    if (SUCCEEDED(status_)) SafeArrayUnaccessData(array_);
  }

  HRESULT Status() const noexcept { return status_; }
  void* Data() const noexcept { return data_; }
  template <class T>
  T* DataAs() const noexcept {
    return static_cast<T*>(data_);
  }
  // Elements in all dimensions times the element size.
  std::size_t ByteSize() const noexcept;

 private:
  SAFEARRAY* array_;
  void* data_ = nullptr;
  HRESULT status_;
};

// A one-dimensional VT_UI1 array, lower bound 0, holding a copy of `bytes`. E_OUTOFMEMORY.
HRESULT CreateByteArray(std::span<const std::uint8_t> bytes, SafeArray* out);
// The bytes of a one-dimensional array (element count x element size). E_INVALIDARG for null
// or another dimension count.
HRESULT ReadByteArray(SAFEARRAY* array, std::vector<std::uint8_t>* out);

// A one-dimensional VT_BSTR array, lower bound 0, holding copies of `texts`.
HRESULT CreateStringArray(std::span<const std::wstring> texts, SafeArray* out);
// Grows a one-dimensional VT_BSTR array by one element holding a fresh copy of `text`.
// E_OUTOFMEMORY leaves the array as it was; E_INVALIDARG for another array kind.
HRESULT AppendString(SAFEARRAY* array, std::wstring_view text);
// The strings of a one-dimensional VT_BSTR array, a null element read as empty.
HRESULT ReadStringArray(SAFEARRAY* array, std::vector<std::wstring>* out);

}  // namespace platform::automation
