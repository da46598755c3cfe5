#include "platform/automation/bstr.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

namespace {

using ByteCount = std::uint32_t;
constexpr std::size_t kPrefix = sizeof(ByteCount);
static_assert(kPrefix % alignof(wchar_t) == 0, "characters must stay aligned after the prefix");

// Allocates room for `bytes` bytes of characters plus the prefix and a full wchar_t of NULs
// after the last whole or partial character, so a byte length that is not a multiple of the
// character size still ends in a terminator. The character area is zeroed.
BSTR Allocate(std::size_t bytes) {
  if (bytes > UINT32_MAX) return nullptr;
  const std::size_t padded = (bytes + sizeof(wchar_t) - 1) / sizeof(wchar_t) * sizeof(wchar_t);
  auto* block = static_cast<unsigned char*>(std::calloc(1, kPrefix + padded + sizeof(wchar_t)));
  if (block == nullptr) return nullptr;
  const auto count = static_cast<ByteCount>(bytes);
  std::memcpy(block, &count, sizeof count);
  return reinterpret_cast<BSTR>(block + kPrefix);
}

unsigned char* BlockOf(BSTR text) { return reinterpret_cast<unsigned char*>(text) - kPrefix; }

}  // namespace

BSTR SysAllocString(const OLECHAR* text) {
  if (text == nullptr) return nullptr;
  const std::size_t length = std::wcslen(text);
  if (length > UINT32_MAX / sizeof(wchar_t)) return nullptr;
  return SysAllocStringLen(text, static_cast<UINT>(length));
}

BSTR SysAllocStringLen(const OLECHAR* text, UINT length) {
  BSTR result = Allocate(std::size_t{length} * sizeof(wchar_t));
  if (result != nullptr && text != nullptr && length != 0) {
    std::memcpy(result, text, std::size_t{length} * sizeof(wchar_t));
  }
  return result;
}

BSTR SysAllocStringByteLen(const char* bytes, UINT length) {
  BSTR result = Allocate(length);
  if (result != nullptr && bytes != nullptr && length != 0) std::memcpy(result, bytes, length);
  return result;
}

INT SysReAllocString(BSTR* target, const OLECHAR* text) {
  if (target == nullptr) return FALSE;
  if (text == nullptr) {
    SysFreeString(std::exchange(*target, nullptr));
    return TRUE;
  }
  BSTR fresh = SysAllocString(text);
  if (fresh == nullptr) return FALSE;
  SysFreeString(std::exchange(*target, fresh));
  return TRUE;
}

INT SysReAllocStringLen(BSTR* target, const OLECHAR* text, UINT length) {
  if (target == nullptr) return FALSE;
  BSTR fresh = SysAllocStringLen(text, length);
  if (fresh == nullptr) return FALSE;
  if (text == nullptr && *target != nullptr) {
    const UINT kept = std::min(length, SysStringLen(*target));
    std::memcpy(fresh, *target, std::size_t{kept} * sizeof(wchar_t));
  }
  SysFreeString(std::exchange(*target, fresh));
  return TRUE;
}

void SysFreeString(BSTR text) {
  if (text != nullptr) std::free(BlockOf(text));
}

UINT SysStringByteLen(BSTR text) {
  if (text == nullptr) return 0;
  ByteCount count;
  std::memcpy(&count, BlockOf(text), sizeof count);
  return count;
}

UINT SysStringLen(BSTR text) { return SysStringByteLen(text) / sizeof(wchar_t); }

namespace platform::automation {

namespace {
BSTR CopyOrThrow(BSTR source) {
  BSTR copy = CopyBstr(source);
  if (copy == nullptr && source != nullptr) throw std::bad_alloc();
  return copy;
}
}  // namespace

Bstr::Bstr(std::wstring_view text) {
  if (text.size() > UINT32_MAX / sizeof(wchar_t)) throw std::bad_alloc();
  value_ = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  if (value_ == nullptr) throw std::bad_alloc();
}

Bstr::Bstr(const Bstr& other) : value_(CopyOrThrow(other.value_)) {}

Bstr& Bstr::operator=(const Bstr& other) {
  if (this != &other) Attach(CopyOrThrow(other.value_));
  return *this;
}

Bstr& Bstr::operator=(Bstr&& other) noexcept {
  if (this != &other) Attach(std::exchange(other.value_, nullptr));
  return *this;
}

HRESULT Bstr::CopyTo(BSTR* out) const noexcept {
  if (out == nullptr) return E_POINTER;
  *out = CopyBstr(value_);
  return *out == nullptr && value_ != nullptr ? E_OUTOFMEMORY : S_OK;
}

}  // namespace platform::automation
