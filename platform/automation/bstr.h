// BSTR: the length-prefixed wide string of the component boundary.
//
// Layout: a 32-bit count of the string's bytes (not counting the terminator) stored just before
// the characters, then the characters (4-byte wchar_t here), then a NUL. The BSTR value points
// at the first character, so it reads as an ordinary NUL-terminated wide string as long as it
// holds no embedded NULs. A null BSTR is the empty string everywhere.
#pragma once

#include <string>
#include <string_view>
#include <utility>

#include "platform/automation/vartype.h"
#include "platform/types/error_codes.h"

using BSTR = wchar_t*;

// Null for a null `text`; otherwise a copy up to its terminator. Null when memory runs out.
BSTR SysAllocString(const OLECHAR* text);
// `length` characters copied from `text` (which may hold NULs); with a null `text` the
// characters are zero. Null when memory runs out or the byte count does not fit in 32 bits.
BSTR SysAllocStringLen(const OLECHAR* text, UINT length);
// `length` bytes copied from `bytes` (zero when null); SysStringLen is then length / 4.
BSTR SysAllocStringByteLen(const char* bytes, UINT length);
// Replace *target by a fresh string; the old one is freed after the copy, so `text` may point
// into it. FALSE (and *target unchanged) when memory runs out or target is null.
INT SysReAllocString(BSTR* target, const OLECHAR* text);
// As above with an explicit length. A null `text` keeps the old characters (up to `length`,
// zero beyond them).
INT SysReAllocStringLen(BSTR* target, const OLECHAR* text, UINT length);
void SysFreeString(BSTR text);
UINT SysStringLen(BSTR text);
UINT SysStringByteLen(BSTR text);

namespace platform::automation {

// The characters of a BSTR, embedded NULs included; empty for null.
inline std::wstring_view BstrView(BSTR text) {
  return text == nullptr ? std::wstring_view{} : std::wstring_view{text, SysStringLen(text)};
}

// A fresh BSTR with the same bytes (its byte count kept, also when it is no character multiple).
// Null for a null `source`, and when memory runs out (which the caller tells by a non-null
// `source`).
inline BSTR CopyBstr(BSTR source) noexcept {
  return source == nullptr ? nullptr
                           : SysAllocStringByteLen(reinterpret_cast<const char*>(source),
                                                   SysStringByteLen(source));
}

// Owns one BSTR. Copies are deep; allocation failure throws std::bad_alloc.
class Bstr {
 public:
  Bstr() noexcept = default;
  // A non-null BSTR holding `text` (also when empty).
  explicit Bstr(std::wstring_view text);
  Bstr(const Bstr& other);
  Bstr(Bstr&& other) noexcept : value_(std::exchange(other.value_, nullptr)) {}
  Bstr& operator=(const Bstr& other);
  Bstr& operator=(Bstr&& other) noexcept;
  ~Bstr() { SysFreeString(value_); }

  // Takes ownership of a BSTR allocated by the caller.
  static Bstr Adopt(BSTR value) noexcept {
    Bstr result;
    result.value_ = value;
    return result;
  }
  // Frees what is held and takes ownership of `value`.
  void Attach(BSTR value) noexcept { SysFreeString(std::exchange(value_, value)); }
  // Hands the BSTR to the caller, who frees it.
  [[nodiscard]] BSTR Detach() noexcept { return std::exchange(value_, nullptr); }
  // Frees what is held and returns the slot for an out-parameter: obj->GetName(name.Put()).
  BSTR* Put() noexcept {
    Reset();
    return &value_;
  }
  void Reset() noexcept { SysFreeString(std::exchange(value_, nullptr)); }

  BSTR Get() const noexcept { return value_; }
  bool IsNull() const noexcept { return value_ == nullptr; }
  UINT Length() const noexcept { return SysStringLen(value_); }
  std::wstring_view View() const noexcept { return BstrView(value_); }
  std::wstring ToWString() const { return std::wstring{View()}; }

  // A fresh copy for an out-parameter: E_POINTER for null `out`, E_OUTOFMEMORY.
  HRESULT CopyTo(BSTR* out) const noexcept;

  friend bool operator==(const Bstr& a, const Bstr& b) noexcept { return a.View() == b.View(); }

 private:
  BSTR value_ = nullptr;
};

}  // namespace platform::automation
