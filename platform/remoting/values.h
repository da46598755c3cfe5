// Component values by value on the wire: GUIDs, strings, VARIANTs, SAFEARRAYs and memory
// streams with their marshaled interfaces.
//
// Each value type is a plain copy that can be taken on the thread that has the component value
// (From..., To...: component threads, object code allowed) and written to or read from a Cap'n
// Proto message on the RPC thread (Write, Read: no object code). Read throws a kj::Exception
// (type FAILED) for input that does not describe a valid value; the call then fails without
// reaching the object.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/automation/safearray.h"
#include "platform/automation/stream.h"
#include "platform/automation/variant.h"
#include "platform/remoting/com.capnp.h"
#include "platform/remoting/object_ref.h"
#include "platform/types/wide_string.h"

namespace platform::remoting {

// RPC thread: fails the call whose parameters carry `what` in a form no value has.
[[noreturn]] void Malformed(const char* what);

void WriteGuid(const GUID& guid, wire::Guid::Builder out);
GUID ReadGuid(wire::Guid::Reader in);

// A BSTR by value; nullopt is the null string.
using TextValue = std::optional<std::wstring>;
TextValue TextOf(BSTR text);
// A fresh BSTR for an out-parameter or a call (null for nullopt). std::bad_alloc when memory
// runs out.
platform::automation::Bstr MakeBstr(const TextValue& text);
// Calls `set` with the UTF-8 text when the value is not null (a null string leaves the field
// unset).
template <class Setter>
void WriteText(const TextValue& text, Setter&& set) {
  if (!text) return;
  const std::string utf8 = platform::ToUtf8(*text);
  set(capnp::Text::Reader(utf8.data(), utf8.size()));
}
inline TextValue ReadText(bool present, capnp::Text::Reader text) {
  if (!present) return std::nullopt;
  return platform::FromUtf8(std::string_view(text.begin(), text.size()));
}

struct VariantValue;

struct ArrayValue {
  bool null = true;
  VARTYPE elementType = VT_EMPTY;
  std::vector<SAFEARRAYBOUND> bounds;  // leftmost dimension first
  std::vector<std::uint8_t> bytes;     // fixed-size elements
  std::vector<TextValue> texts;        // VT_BSTR
  std::vector<VariantValue> variants;  // VT_VARIANT
  std::vector<ObjectRef> objects;      // VT_UNKNOWN, VT_DISPATCH

  // Component thread. A null array gives a null value. E_INVALIDARG for an element type the
  // wire does not carry, E_OUTOFMEMORY.
  static HRESULT FromSafeArray(SAFEARRAY* array, ArrayValue* out);
  // Component thread. A new array (null for a null value). E_OUTOFMEMORY.
  HRESULT ToSafeArray(platform::automation::SafeArray* out) const;
  // RPC thread.
  void Write(wire::SafeArray::Builder out, WireContext& context);
  static ArrayValue Read(wire::SafeArray::Reader in, WireContext& context);
};

struct VariantValue {
  VARTYPE type = VT_EMPTY;
  std::int64_t integer = 0;    // signed kinds, and the bits of unsigned ones
  double real = 0;
  TextValue text;
  ObjectRef object;
  std::unique_ptr<ArrayValue> array;

  // Component thread. By-reference variants are read through (the wire carries values only).
  // DISP_E_BADVARTYPE for a type the wire does not carry, E_OUTOFMEMORY.
  static HRESULT FromVariant(const VARIANT& variant, VariantValue* out);
  // Component thread. Fills `out` (taken as uninitialised), which the caller then owns.
  HRESULT ToVariant(VARIANT* out) const;
  // Whether a by-reference argument of this type has its value carried back after a call:
  // numbers, reals and strings.
  static bool CarriedBack(VARTYPE type);
  // Component thread. Stores the value where the by-reference `target` of the same type points
  // (a string there is freed first); a target of another type is left alone. E_OUTOFMEMORY.
  HRESULT StoreThrough(const VARIANT& target) const;
  // RPC thread.
  void Write(wire::Variant::Builder out, WireContext& context);
  static VariantValue Read(wire::Variant::Reader in, WireContext& context);
};

struct StreamValue {
  struct Attachment {
    std::uint64_t key = 0;
    IID iid{};
    ObjectRef object;
    bool tableMarshaled = false;
  };

  bool null = true;
  std::vector<std::uint8_t> bytes;
  std::uint64_t position = 0;
  std::vector<Attachment> attachments;

  // Component thread. A memory stream of this runtime travels with its marshaled interfaces;
  // any other stream with its bytes only. The stream's position is left as it was.
  static HRESULT FromStream(IStream* stream, StreamValue* out);
  // Component thread. A new memory stream holding the bytes and attachments, positioned as the
  // original was (null for a null value).
  HRESULT ToStream(IStream** out) const;
  // RPC thread.
  void Write(wire::Stream::Builder out, WireContext& context);
  static StreamValue Read(wire::Stream::Reader in, WireContext& context);
};

}  // namespace platform::remoting
