#include "platform/automation/safearray.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>

#include "platform/automation/dispatch.h"
#include "platform/automation/variant.h"

namespace {

// What SafeArrayCreate remembers beyond the descriptor: the element type (FADF_HAVEVARTYPE) or
// the interface identifier (FADF_HAVEIID). It sits just before the descriptor in one block, as
// on the original system, so the descriptor stays the published structure.
struct Hidden {
  IID iid;
  VARTYPE vt;
};
struct Block {
  Hidden hidden;
  SAFEARRAY descriptor;  // followed by cDims - 1 further bounds
};
constexpr std::size_t kDescriptorOffset = offsetof(Block, descriptor);
constexpr std::uint64_t kMaxBytes = UINT32_MAX;  // the descriptor's sizes are 32-bit
constexpr ULONG kMaxLocks = 0xFFFF;

Block* BlockOf(SAFEARRAY* psa) {
  return reinterpret_cast<Block*>(reinterpret_cast<unsigned char*>(psa) - kDescriptorOffset);
}

// Bounds through a pointer: the descriptor holds cDims of them although it declares one.
SAFEARRAYBOUND* Bounds(SAFEARRAY* psa) { return psa->rgsabound; }

enum class Kind { kPlain, kBstr, kInterface, kVariant };

Kind KindOf(const SAFEARRAY* psa) {
  if ((psa->fFeatures & FADF_BSTR) != 0) return Kind::kBstr;
  if ((psa->fFeatures & (FADF_UNKNOWN | FADF_DISPATCH)) != 0) return Kind::kInterface;
  if ((psa->fFeatures & FADF_VARIANT) != 0) return Kind::kVariant;
  return Kind::kPlain;
}

constexpr USHORT kKindFeatures = FADF_BSTR | FADF_UNKNOWN | FADF_DISPATCH | FADF_VARIANT;

struct ElementType {
  ULONG size;
  USHORT features;
};

std::optional<ElementType> ElementTypeOf(VARTYPE vt) {
  switch (vt) {
    case VT_UI1:
    case VT_I1:
      return ElementType{1, FADF_HAVEVARTYPE};
    case VT_I2:
    case VT_UI2:
    case VT_BOOL:
      return ElementType{2, FADF_HAVEVARTYPE};
    case VT_I4:
    case VT_UI4:
    case VT_INT:
    case VT_UINT:
    case VT_R4:
    case VT_ERROR:
      return ElementType{4, FADF_HAVEVARTYPE};
    case VT_I8:
    case VT_UI8:
    case VT_R8:
      return ElementType{8, FADF_HAVEVARTYPE};
    case VT_BSTR:
      return ElementType{sizeof(BSTR), FADF_HAVEVARTYPE | FADF_BSTR};
    case VT_VARIANT:
      return ElementType{sizeof(VARIANT), FADF_HAVEVARTYPE | FADF_VARIANT};
    case VT_UNKNOWN:
      return ElementType{sizeof(IUnknown*), FADF_HAVEIID | FADF_UNKNOWN};
    case VT_DISPATCH:
      return ElementType{sizeof(IDispatch*), FADF_HAVEIID | FADF_DISPATCH};
    default:
      return std::nullopt;
  }
}

// Cell count of the given bounds when cells and cells x size both fit in 32 bits.
std::optional<std::size_t> CheckedCells(const SAFEARRAYBOUND* bounds, UINT dims, ULONG size) {
  std::uint64_t cells = 1;
  for (UINT d = 0; d < dims; ++d) {
    cells *= bounds[d].cElements;
    if (cells > kMaxBytes) return std::nullopt;
  }
  if (cells * size > kMaxBytes) return std::nullopt;
  return static_cast<std::size_t>(cells);
}

std::size_t CellCount(SAFEARRAY* psa) {
  std::size_t cells = 1;
  for (UINT d = 0; d < psa->cDims; ++d) cells *= Bounds(psa)[d].cElements;
  return cells;
}

// Never null for a successful allocation, also for zero bytes, so AccessData always has data.
void* AllocateData(std::size_t bytes) { return std::calloc(bytes == 0 ? 1 : bytes, 1); }

unsigned char* CellAddress(SAFEARRAY* psa, void* data, std::size_t cell) {
  return static_cast<unsigned char*>(data) + cell * psa->cbElements;
}

// Releases what `count` elements from `first` own and zeroes them.
void ClearElements(SAFEARRAY* psa, void* data, std::size_t first, std::size_t count) {
  unsigned char* base = CellAddress(psa, data, first);
  switch (KindOf(psa)) {
    case Kind::kBstr:
      for (std::size_t i = 0; i < count; ++i) SysFreeString(reinterpret_cast<BSTR*>(base)[i]);
      break;
    case Kind::kInterface:
      for (std::size_t i = 0; i < count; ++i) {
        if (IUnknown* unknown = reinterpret_cast<IUnknown**>(base)[i]) unknown->Release();
      }
      break;
    case Kind::kVariant:
      for (std::size_t i = 0; i < count; ++i) VariantClear(reinterpret_cast<VARIANT*>(base) + i);
      break;
    case Kind::kPlain:
      break;
  }
  std::memset(base, 0, count * psa->cbElements);
}

// Copies `count` elements of `psa`'s kind from `source` into zeroed `target`. On failure the
// copies already made are released again, leaving `target` zeroed.
HRESULT CopyElements(SAFEARRAY* psa, const void* source, void* target, std::size_t count) {
  if (count == 0) return S_OK;
  HRESULT hr = S_OK;
  std::size_t done = 0;
  switch (KindOf(psa)) {
    case Kind::kPlain:
      std::memcpy(target, source, count * psa->cbElements);
      return S_OK;
    case Kind::kBstr: {
      auto* from = static_cast<const BSTR*>(source);
      auto* to = static_cast<BSTR*>(target);
      for (; done < count; ++done) {
        to[done] = platform::automation::CopyBstr(from[done]);
        if (to[done] == nullptr && from[done] != nullptr) {
          hr = E_OUTOFMEMORY;
          break;
        }
      }
      break;
    }
    case Kind::kInterface: {
      auto* from = static_cast<IUnknown* const*>(source);
      auto* to = static_cast<IUnknown**>(target);
      for (; done < count; ++done) {
        to[done] = from[done];
        if (to[done] != nullptr) to[done]->AddRef();
      }
      break;
    }
    case Kind::kVariant: {
      auto* from = static_cast<const VARIANT*>(source);
      auto* to = static_cast<VARIANT*>(target);
      for (; done < count; ++done) {
        hr = VariantCopy(to + done, from + done);
        if (FAILED(hr)) break;
      }
      break;
    }
  }
  if (FAILED(hr)) ClearElements(psa, target, 0, done);
  return hr;
}

// A descriptor block for `dims` bounds, zeroed, without data.
SAFEARRAY* AllocateDescriptor(UINT dims) {
  const std::size_t bytes =
      kDescriptorOffset + offsetof(SAFEARRAY, rgsabound) + dims * sizeof(SAFEARRAYBOUND);
  auto* block =
      static_cast<unsigned char*>(std::calloc(1, bytes < sizeof(Block) ? sizeof(Block) : bytes));
  if (block == nullptr) return nullptr;
  return reinterpret_cast<SAFEARRAY*>(block + kDescriptorOffset);
}

void FreeDescriptor(SAFEARRAY* psa) { std::free(BlockOf(psa)); }

// The cell index of an index vector (leftmost dimension first), or DISP_E_BADINDEX.
HRESULT CellOf(SAFEARRAY* psa, const LONG* indices, std::size_t* cell) {
  std::size_t result = 0;
  std::size_t stride = 1;
  for (UINT d = 0; d < psa->cDims; ++d) {
    const SAFEARRAYBOUND& bound = Bounds(psa)[psa->cDims - 1 - d];
    const std::int64_t offset = std::int64_t{indices[d]} - bound.lLbound;
    if (offset < 0 || offset >= std::int64_t{bound.cElements}) return DISP_E_BADINDEX;
    result += static_cast<std::size_t>(offset) * stride;
    stride *= bound.cElements;
  }
  *cell = result;
  return S_OK;
}

std::atomic_ref<ULONG> Locks(SAFEARRAY* psa) { return std::atomic_ref<ULONG>(psa->cLocks); }

// One more (+1) or one fewer (-1) lock; E_UNEXPECTED past kMaxLocks or below zero.
HRESULT AdjustLocks(SAFEARRAY* psa, int step) {
  if (psa == nullptr) return E_INVALIDARG;
  auto locks = Locks(psa);
  ULONG current = locks.load();
  do {
    if (step > 0 ? current >= kMaxLocks : current == 0) return E_UNEXPECTED;
  } while (!locks.compare_exchange_weak(current, step > 0 ? current + 1 : current - 1));
  return S_OK;
}

// Lock and Unlock around one element operation.
class ElementLock {
 public:
  explicit ElementLock(SAFEARRAY* psa) : psa_(psa), status_(SafeArrayLock(psa)) {}
  ElementLock(const ElementLock&) = delete;
  ElementLock& operator=(const ElementLock&) = delete;
  ~ElementLock() {
    if (SUCCEEDED(status_)) SafeArrayUnlock(psa_);
  }
  HRESULT Status() const { return status_; }

 private:
  SAFEARRAY* psa_;
  HRESULT status_;
};

}  // namespace

SAFEARRAY* SafeArrayCreate(VARTYPE vt, UINT cDims, SAFEARRAYBOUND* rgsabound) {
  const auto type = ElementTypeOf(vt);
  if (!type || cDims == 0 || cDims > 0xFFFF || rgsabound == nullptr) return nullptr;
  const auto cells = CheckedCells(rgsabound, cDims, type->size);
  if (!cells) return nullptr;

  SAFEARRAY* psa = AllocateDescriptor(cDims);
  if (psa == nullptr) return nullptr;
  psa->pvData = AllocateData(*cells * type->size);
  if (psa->pvData == nullptr) {
    FreeDescriptor(psa);
    return nullptr;
  }
  psa->cDims = static_cast<USHORT>(cDims);
  psa->fFeatures = type->features;
  psa->cbElements = type->size;
  // Stored right to left: rgsabound[0] is the last dimension the caller gave.
  for (UINT d = 0; d < cDims; ++d) Bounds(psa)[d] = rgsabound[cDims - 1 - d];
  Hidden& hidden = BlockOf(psa)->hidden;
  hidden.vt = vt;
  if (vt == VT_UNKNOWN) hidden.iid = IID_IUnknown;
  if (vt == VT_DISPATCH) hidden.iid = IID_IDispatch;
  return psa;
}

SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lLbound, ULONG cElements) {
  SAFEARRAYBOUND bound{cElements, lLbound};
  return SafeArrayCreate(vt, 1, &bound);
}

HRESULT SafeArrayDestroy(SAFEARRAY* psa) {
  if (psa == nullptr) return S_OK;
  if (Locks(psa).load() != 0) return DISP_E_ARRAYISLOCKED;
  ClearElements(psa, psa->pvData, 0, CellCount(psa));
  std::free(psa->pvData);
  FreeDescriptor(psa);
  return S_OK;
}

HRESULT SafeArrayLock(SAFEARRAY* psa) { return AdjustLocks(psa, +1); }

HRESULT SafeArrayUnlock(SAFEARRAY* psa) { return AdjustLocks(psa, -1); }

HRESULT SafeArrayAccessData(SAFEARRAY* psa, void** ppvData) {
  if (psa == nullptr || ppvData == nullptr) return E_INVALIDARG;
  const HRESULT hr = SafeArrayLock(psa);
  *ppvData = SUCCEEDED(hr) ? psa->pvData : nullptr;
  return hr;
}

HRESULT SafeArrayUnaccessData(SAFEARRAY* psa) { return SafeArrayUnlock(psa); }

UINT SafeArrayGetDim(SAFEARRAY* psa) { return psa == nullptr ? 0 : psa->cDims; }

UINT SafeArrayGetElemsize(SAFEARRAY* psa) { return psa == nullptr ? 0 : psa->cbElements; }

HRESULT SafeArrayGetLBound(SAFEARRAY* psa, UINT nDim, LONG* plLbound) {
  if (psa == nullptr || plLbound == nullptr) return E_INVALIDARG;
  if (nDim < 1 || nDim > psa->cDims) return DISP_E_BADINDEX;
  *plLbound = Bounds(psa)[psa->cDims - nDim].lLbound;
  return S_OK;
}

HRESULT SafeArrayGetUBound(SAFEARRAY* psa, UINT nDim, LONG* plUbound) {
  if (psa == nullptr || plUbound == nullptr) return E_INVALIDARG;
  if (nDim < 1 || nDim > psa->cDims) return DISP_E_BADINDEX;
  const SAFEARRAYBOUND& bound = Bounds(psa)[psa->cDims - nDim];
  // An empty dimension reports lLbound - 1; the arithmetic wraps like the original's.
  *plUbound = static_cast<LONG>(static_cast<std::int64_t>(bound.lLbound) + bound.cElements - 1);
  return S_OK;
}

HRESULT SafeArrayGetVartype(SAFEARRAY* psa, VARTYPE* pvt) {
  if (psa == nullptr || pvt == nullptr) return E_INVALIDARG;
  if ((psa->fFeatures & FADF_HAVEIID) != 0) {
    *pvt = (psa->fFeatures & FADF_DISPATCH) != 0 ? VT_DISPATCH : VT_UNKNOWN;
  } else if ((psa->fFeatures & FADF_HAVEVARTYPE) != 0) {
    *pvt = BlockOf(psa)->hidden.vt;
  } else {
    return E_INVALIDARG;
  }
  return S_OK;
}

HRESULT SafeArrayPtrOfIndex(SAFEARRAY* psa, LONG* rgIndices, void** ppvData) {
  if (psa == nullptr || rgIndices == nullptr || ppvData == nullptr) return E_INVALIDARG;
  std::size_t cell = 0;
  const HRESULT hr = CellOf(psa, rgIndices, &cell);
  if (FAILED(hr)) return hr;
  *ppvData = CellAddress(psa, psa->pvData, cell);
  return S_OK;
}

HRESULT SafeArrayPutElement(SAFEARRAY* psa, LONG* rgIndices, void* pv) {
  if (psa == nullptr || rgIndices == nullptr) return E_INVALIDARG;
  const Kind kind = KindOf(psa);
  if (pv == nullptr && (kind == Kind::kPlain || kind == Kind::kVariant)) return E_INVALIDARG;
  ElementLock lock(psa);
  if (FAILED(lock.Status())) return lock.Status();
  void* slot = nullptr;
  const HRESULT hr = SafeArrayPtrOfIndex(psa, rgIndices, &slot);
  if (FAILED(hr)) return hr;

  switch (kind) {
    case Kind::kPlain:
      std::memcpy(slot, pv, psa->cbElements);
      return S_OK;
    case Kind::kBstr: {
      // Copy first, so that a failed allocation keeps the old element.
      auto source = static_cast<BSTR>(pv);
      BSTR copy = platform::automation::CopyBstr(source);
      if (copy == nullptr && source != nullptr) return E_OUTOFMEMORY;
      SysFreeString(std::exchange(*static_cast<BSTR*>(slot), copy));
      return S_OK;
    }
    case Kind::kInterface: {
      auto* unknown = static_cast<IUnknown*>(pv);
      if (unknown != nullptr) unknown->AddRef();
      if (IUnknown* old = std::exchange(*static_cast<IUnknown**>(slot), unknown)) old->Release();
      return S_OK;
    }
    case Kind::kVariant:
      return VariantCopy(static_cast<VARIANT*>(slot), static_cast<const VARIANT*>(pv));
  }
  return E_UNEXPECTED;
}

HRESULT SafeArrayGetElement(SAFEARRAY* psa, LONG* rgIndices, void* pv) {
  if (psa == nullptr || rgIndices == nullptr || pv == nullptr) return E_INVALIDARG;
  ElementLock lock(psa);
  if (FAILED(lock.Status())) return lock.Status();
  void* slot = nullptr;
  const HRESULT hr = SafeArrayPtrOfIndex(psa, rgIndices, &slot);
  if (FAILED(hr)) return hr;
  if (KindOf(psa) == Kind::kVariant)
    VariantInit(static_cast<VARIANT*>(pv));
  else
    std::memset(pv, 0, psa->cbElements);
  return CopyElements(psa, slot, pv, 1);
}

HRESULT SafeArrayRedim(SAFEARRAY* psa, SAFEARRAYBOUND* psaboundNew) {
  if (psa == nullptr || psaboundNew == nullptr || psa->cDims == 0) return E_INVALIDARG;
  if (Locks(psa).load() != 0) return DISP_E_ARRAYISLOCKED;

  SAFEARRAYBOUND* bounds = Bounds(psa);
  std::size_t otherCells = 1;
  for (UINT d = 1; d < psa->cDims; ++d) otherCells *= bounds[d].cElements;
  const std::size_t oldCells = otherCells * bounds[0].cElements;
  const std::uint64_t newCells64 = std::uint64_t{otherCells} * psaboundNew->cElements;
  if (newCells64 > kMaxBytes || newCells64 * psa->cbElements > kMaxBytes) return E_OUTOFMEMORY;
  const auto newCells = static_cast<std::size_t>(newCells64);
  const std::size_t newBytes = newCells * psa->cbElements;

  if (newCells < oldCells) {
    ClearElements(psa, psa->pvData, newCells, oldCells - newCells);
    // A shrinking realloc that fails keeps the larger block, which is still valid.
    if (void* shrunk = std::realloc(psa->pvData, newBytes == 0 ? 1 : newBytes))
      psa->pvData = shrunk;
  } else if (newCells > oldCells) {
    void* grown = std::realloc(psa->pvData, newBytes);
    if (grown == nullptr) return E_OUTOFMEMORY;
    psa->pvData = grown;
    std::memset(CellAddress(psa, grown, oldCells), 0, (newCells - oldCells) * psa->cbElements);
  }
  bounds[0] = *psaboundNew;
  return S_OK;
}

HRESULT SafeArrayCopy(SAFEARRAY* psa, SAFEARRAY** ppsaOut) {
  if (ppsaOut == nullptr) return E_INVALIDARG;
  *ppsaOut = nullptr;
  if (psa == nullptr) return S_OK;

  SAFEARRAY* copy = AllocateDescriptor(psa->cDims);
  if (copy == nullptr) return E_OUTOFMEMORY;
  BlockOf(copy)->hidden = BlockOf(psa)->hidden;
  copy->cDims = psa->cDims;
  copy->fFeatures = psa->fFeatures;
  copy->cbElements = psa->cbElements;
  for (UINT d = 0; d < psa->cDims; ++d) Bounds(copy)[d] = Bounds(psa)[d];
  const std::size_t cells = CellCount(psa);
  copy->pvData = AllocateData(cells * psa->cbElements);
  if (copy->pvData == nullptr) {
    FreeDescriptor(copy);
    return E_OUTOFMEMORY;
  }
  const HRESULT hr = CopyElements(psa, psa->pvData, copy->pvData, cells);
  if (FAILED(hr)) {
    std::free(copy->pvData);
    FreeDescriptor(copy);
    return hr;
  }
  *ppsaOut = copy;
  return S_OK;
}

HRESULT SafeArrayCopyData(SAFEARRAY* psaSource, SAFEARRAY* psaTarget) {
  if (psaSource == nullptr || psaTarget == nullptr) return E_INVALIDARG;
  if (psaSource->cDims != psaTarget->cDims || psaSource->cbElements != psaTarget->cbElements ||
      (psaSource->fFeatures & kKindFeatures) != (psaTarget->fFeatures & kKindFeatures)) {
    return E_INVALIDARG;
  }
  for (UINT d = 0; d < psaSource->cDims; ++d) {
    if (Bounds(psaSource)[d].cElements != Bounds(psaTarget)[d].cElements) return E_INVALIDARG;
  }
  if (psaSource == psaTarget) return S_OK;
  const std::size_t cells = CellCount(psaSource);
  const std::size_t bytes = cells * psaSource->cbElements;
  // Copies land in a scratch block first: a failure leaves the target's elements untouched.
  void* scratch = AllocateData(bytes);
  if (scratch == nullptr) return E_OUTOFMEMORY;
  const HRESULT hr = CopyElements(psaSource, psaSource->pvData, scratch, cells);
  if (SUCCEEDED(hr)) {
    ClearElements(psaTarget, psaTarget->pvData, 0, cells);
    std::memcpy(psaTarget->pvData, scratch, bytes);
  }
  std::free(scratch);
  return hr;
}

namespace platform::automation {

std::size_t ArrayDataAccess::ByteSize() const noexcept {
  if (FAILED(status_)) return 0;
  return CellCount(array_) * array_->cbElements;
}

HRESULT CreateByteArray(std::span<const std::uint8_t> bytes, SafeArray* out) {
  if (out == nullptr) return E_POINTER;
  if (bytes.size() > kMaxBytes) return E_OUTOFMEMORY;
  SafeArray array =
      SafeArray::Adopt(SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(bytes.size())));
  if (!array) return E_OUTOFMEMORY;
  if (!bytes.empty()) std::memcpy(array.Get()->pvData, bytes.data(), bytes.size());
  *out = std::move(array);
  return S_OK;
}

HRESULT ReadByteArray(SAFEARRAY* array, std::vector<std::uint8_t>* out) {
  if (out == nullptr) return E_POINTER;
  if (array == nullptr || array->cDims != 1) return E_INVALIDARG;
  ArrayDataAccess access(array);
  if (FAILED(access.Status())) return access.Status();
  try {
    const auto* data = access.DataAs<const std::uint8_t>();
    out->assign(data, data + access.ByteSize());
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

namespace {
bool IsStringVector(SAFEARRAY* array) {
  VARTYPE vt = VT_EMPTY;
  return array != nullptr && array->cDims == 1 && SUCCEEDED(SafeArrayGetVartype(array, &vt)) &&
         vt == VT_BSTR;
}

BSTR CopyText(std::wstring_view text) {
  if (text.size() > kMaxBytes / sizeof(wchar_t)) return nullptr;
  return SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
}
}  // namespace

HRESULT CreateStringArray(std::span<const std::wstring> texts, SafeArray* out) {
  if (out == nullptr) return E_POINTER;
  if (texts.size() > kMaxBytes) return E_OUTOFMEMORY;
  SafeArray array =
      SafeArray::Adopt(SafeArrayCreateVector(VT_BSTR, 0, static_cast<ULONG>(texts.size())));
  if (!array) return E_OUTOFMEMORY;
  auto* slots = static_cast<BSTR*>(array.Get()->pvData);
  for (std::size_t i = 0; i < texts.size(); ++i) {
    slots[i] = CopyText(texts[i]);
    if (slots[i] == nullptr) return E_OUTOFMEMORY;  // `array` frees the copies made so far
  }
  *out = std::move(array);
  return S_OK;
}

HRESULT AppendString(SAFEARRAY* array, std::wstring_view text) {
  if (!IsStringVector(array)) return E_INVALIDARG;
  SAFEARRAYBOUND bound = array->rgsabound[0];
  if (bound.cElements == UINT32_MAX) return E_OUTOFMEMORY;
  BSTR copy = CopyText(text);
  if (copy == nullptr) return E_OUTOFMEMORY;
  ++bound.cElements;
  const HRESULT hr = SafeArrayRedim(array, &bound);
  if (FAILED(hr)) {
    SysFreeString(copy);
    return hr;
  }
  static_cast<BSTR*>(array->pvData)[bound.cElements - 1] = copy;
  return S_OK;
}

HRESULT ReadStringArray(SAFEARRAY* array, std::vector<std::wstring>* out) {
  if (out == nullptr) return E_POINTER;
  if (!IsStringVector(array)) return E_INVALIDARG;
  ArrayDataAccess access(array);
  if (FAILED(access.Status())) return access.Status();
  try {
    std::vector<std::wstring> texts;
    texts.reserve(array->rgsabound[0].cElements);
    const BSTR* slots = access.DataAs<const BSTR>();
    for (ULONG i = 0; i < array->rgsabound[0].cElements; ++i)
      texts.emplace_back(BstrView(slots[i]));
    *out = std::move(texts);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

}  // namespace platform::automation
