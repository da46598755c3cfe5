#include "platform/remoting/values.h"

#include <kj/debug.h>

#include <cstring>
#include <limits>
#include <new>

#include "platform/automation/dispatch.h"
#include "platform/com/marshal.h"

namespace platform::remoting {
namespace {

using platform::automation::ArrayDataAccess;
using platform::automation::Bstr;
using platform::automation::SafeArray;

// Element kinds of an array on the wire.
enum class ElementKind { Fixed, Text, Variant, Object, Unsupported };

ElementKind KindOfElement(VARTYPE vt) {
  switch (vt) {
    case VT_UI1:
    case VT_I1:
    case VT_I2:
    case VT_UI2:
    case VT_BOOL:
    case VT_I4:
    case VT_UI4:
    case VT_INT:
    case VT_UINT:
    case VT_R4:
    case VT_ERROR:
    case VT_I8:
    case VT_UI8:
    case VT_R8:
      return ElementKind::Fixed;
    case VT_BSTR:
      return ElementKind::Text;
    case VT_VARIANT:
      return ElementKind::Variant;
    case VT_UNKNOWN:
    case VT_DISPATCH:
      return ElementKind::Object;
    default:
      return ElementKind::Unsupported;
  }
}

std::size_t FixedElementSize(VARTYPE vt) {
  switch (vt) {
    case VT_UI1:
    case VT_I1:
      return 1;
    case VT_I2:
    case VT_UI2:
    case VT_BOOL:
      return 2;
    case VT_I4:
    case VT_UI4:
    case VT_INT:
    case VT_UINT:
    case VT_R4:
    case VT_ERROR:
      return 4;
    default:
      return 8;
  }
}

const IID& ObjectIid(VARTYPE vt) { return vt == VT_DISPATCH ? IID_IDispatch : IID_IUnknown; }

// Element count of a shape; nullopt when it does not fit in 32 bits (no SAFEARRAY is larger).
std::optional<std::size_t> CellCount(const std::vector<SAFEARRAYBOUND>& bounds) {
  std::uint64_t cells = 1;
  for (const auto& bound : bounds) {
    cells *= bound.cElements;
    if (cells > std::numeric_limits<std::uint32_t>::max()) return std::nullopt;
  }
  return static_cast<std::size_t>(cells);
}

// The variant kinds on the wire.
enum class ValueKind { Empty, Signed, Unsigned, Real, Text, Object, Array, Unsupported };

ValueKind KindOfValue(VARTYPE type) {
  if ((type & VT_ARRAY) != 0) {
    return (type & ~(VT_ARRAY | VT_TYPEMASK)) == 0 &&
                   KindOfElement(static_cast<VARTYPE>(type & VT_TYPEMASK)) != ElementKind::Unsupported
               ? ValueKind::Array
               : ValueKind::Unsupported;
  }
  switch (type) {
    case VT_EMPTY:
    case VT_NULL:
      return ValueKind::Empty;
    case VT_I1:
    case VT_I2:
    case VT_I4:
    case VT_I8:
    case VT_INT:
    case VT_ERROR:
    case VT_BOOL:
      return ValueKind::Signed;
    case VT_UI1:
    case VT_UI2:
    case VT_UI4:
    case VT_UI8:
    case VT_UINT:
      return ValueKind::Unsigned;
    case VT_R4:
    case VT_R8:
    case VT_DATE:
      return ValueKind::Real;
    case VT_BSTR:
      return ValueKind::Text;
    case VT_UNKNOWN:
    case VT_DISPATCH:
      return ValueKind::Object;
    default:
      return ValueKind::Unsupported;
  }
}

}  // namespace

void Malformed(const char* what) {
  kj::throwFatalException(KJ_EXCEPTION(FAILED, "malformed value on the wire", what));
}

// ---- identifiers and strings ------------------------------------------------------------

void WriteGuid(const GUID& guid, wire::Guid::Builder out) {
  out.setHigh((std::uint64_t{guid.Data1} << 32) | (std::uint64_t{guid.Data2} << 16) | guid.Data3);
  std::uint64_t low = 0;
  for (BYTE byte : guid.Data4) low = (low << 8) | byte;
  out.setLow(low);
}

GUID ReadGuid(wire::Guid::Reader in) {
  GUID guid{};
  const std::uint64_t high = in.getHigh();
  guid.Data1 = static_cast<DWORD>(high >> 32);
  guid.Data2 = static_cast<WORD>(high >> 16);
  guid.Data3 = static_cast<WORD>(high);
  std::uint64_t low = in.getLow();
  for (int i = 7; i >= 0; --i) {
    guid.Data4[i] = static_cast<BYTE>(low);
    low >>= 8;
  }
  return guid;
}

TextValue TextOf(BSTR text) {
  if (text == nullptr) return std::nullopt;
  return std::wstring(platform::automation::BstrView(text));
}

Bstr MakeBstr(const TextValue& text) {
  if (!text) return Bstr();
  return Bstr(*text);
}

// ---- SAFEARRAY ----------------------------------------------------------------------------

HRESULT ArrayValue::FromSafeArray(SAFEARRAY* array, ArrayValue* out) {
  *out = ArrayValue();
  if (array == nullptr) return S_OK;
  VARTYPE vt = VT_EMPTY;
  if (FAILED(SafeArrayGetVartype(array, &vt))) return E_INVALIDARG;
  const ElementKind kind = KindOfElement(vt);
  if (kind == ElementKind::Unsupported) return E_INVALIDARG;
  try {
    out->null = false;
    out->elementType = vt;
    const UINT dims = SafeArrayGetDim(array);
    for (UINT d = 0; d < dims; ++d) out->bounds.push_back(array->rgsabound[dims - 1 - d]);
    const auto cells = CellCount(out->bounds);
    if (!cells) return E_INVALIDARG;
    ArrayDataAccess access(array);
    if (FAILED(access.Status())) return access.Status();
    switch (kind) {
      case ElementKind::Fixed: {
        const auto* data = access.DataAs<std::uint8_t>();
        out->bytes.assign(data, data + *cells * FixedElementSize(vt));
        break;
      }
      case ElementKind::Text: {
        const auto* data = access.DataAs<BSTR>();
        for (std::size_t i = 0; i < *cells; ++i) out->texts.push_back(TextOf(data[i]));
        break;
      }
      case ElementKind::Variant: {
        const auto* data = access.DataAs<VARIANT>();
        out->variants.resize(*cells);
        for (std::size_t i = 0; i < *cells; ++i) {
          const HRESULT hr = VariantValue::FromVariant(data[i], &out->variants[i]);
          if (FAILED(hr)) return hr;
        }
        break;
      }
      case ElementKind::Object: {
        auto* const* data = access.DataAs<IUnknown*>();
        out->objects.resize(*cells);
        for (std::size_t i = 0; i < *cells; ++i) {
          const HRESULT hr = ObjectRef::FromPointer(data[i], ObjectIid(vt), &out->objects[i]);
          if (FAILED(hr)) return hr;
        }
        break;
      }
      case ElementKind::Unsupported:
        break;
    }
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

HRESULT ArrayValue::ToSafeArray(SafeArray* out) const {
  out->Reset();
  if (null) return S_OK;
  std::vector<SAFEARRAYBOUND> shape = bounds;
  SafeArray array = SafeArray::Adopt(
      SafeArrayCreate(elementType, static_cast<UINT>(shape.size()), shape.data()));
  if (!array) return E_OUTOFMEMORY;
  {
    ArrayDataAccess access(array.Get());
    if (FAILED(access.Status())) return access.Status();
    switch (KindOfElement(elementType)) {
      case ElementKind::Fixed:
        if (!bytes.empty()) std::memcpy(access.Data(), bytes.data(), bytes.size());
        break;
      case ElementKind::Text: {
        auto* data = access.DataAs<BSTR>();
        for (std::size_t i = 0; i < texts.size(); ++i) {
          if (!texts[i]) continue;
          data[i] = SysAllocStringLen(texts[i]->data(), static_cast<UINT>(texts[i]->size()));
          if (data[i] == nullptr) return E_OUTOFMEMORY;
        }
        break;
      }
      case ElementKind::Variant: {
        auto* data = access.DataAs<VARIANT>();
        for (std::size_t i = 0; i < variants.size(); ++i) {
          const HRESULT hr = variants[i].ToVariant(&data[i]);
          if (FAILED(hr)) return hr;
        }
        break;
      }
      case ElementKind::Object: {
        auto* data = access.DataAs<IUnknown*>();
        for (std::size_t i = 0; i < objects.size(); ++i) {
          const HRESULT hr = objects[i].ToPointer(ObjectIid(elementType), reinterpret_cast<void**>(&data[i]));
          if (FAILED(hr)) return hr;
        }
        break;
      }
      case ElementKind::Unsupported:
        return E_INVALIDARG;
    }
  }
  *out = std::move(array);
  return S_OK;
}

void ArrayValue::Write(wire::SafeArray::Builder out, WireContext& context) {
  out.setElementType(elementType);
  auto shape = out.initBounds(static_cast<unsigned>(bounds.size()));
  for (std::size_t d = 0; d < bounds.size(); ++d) {
    shape[d].setCount(bounds[d].cElements);
    shape[d].setLowerBound(bounds[d].lLbound);
  }
  switch (KindOfElement(elementType)) {
    case ElementKind::Fixed:
      out.setBytes(capnp::Data::Reader(bytes.data(), bytes.size()));
      break;
    case ElementKind::Text: {
      auto list = out.initTexts(static_cast<unsigned>(texts.size()));
      for (std::size_t i = 0; i < texts.size(); ++i) {
        WriteText(texts[i], [&](capnp::Text::Reader text) { list.set(i, text); });
      }
      break;
    }
    case ElementKind::Variant: {
      auto list = out.initVariants(static_cast<unsigned>(variants.size()));
      for (std::size_t i = 0; i < variants.size(); ++i) variants[i].Write(list[i], context);
      break;
    }
    case ElementKind::Object: {
      auto list = out.initObjects(static_cast<unsigned>(objects.size()));
      for (std::size_t i = 0; i < objects.size(); ++i) {
        KJ_IF_MAYBE(capability, objects[i].ToWire(context)) {
          list[i].setObject(capability->castAs<wire::Unknown>());
        }
      }
      break;
    }
    case ElementKind::Unsupported:
      Malformed("array element type");
  }
}

ArrayValue ArrayValue::Read(wire::SafeArray::Reader in, WireContext& context) {
  ArrayValue value;
  value.null = false;
  value.elementType = in.getElementType();
  const ElementKind kind = KindOfElement(value.elementType);
  if (kind == ElementKind::Unsupported) Malformed("array element type");
  const auto shape = in.getBounds();
  if (shape.size() == 0 || shape.size() > 0xFFFF) Malformed("array dimensions");
  for (const auto bound : shape) value.bounds.push_back({bound.getCount(), bound.getLowerBound()});
  const auto cells = CellCount(value.bounds);
  if (!cells) Malformed("array size");
  switch (kind) {
    case ElementKind::Fixed: {
      if (!in.isBytes()) Malformed("array elements");
      const auto bytes = in.getBytes();
      if (bytes.size() != *cells * FixedElementSize(value.elementType)) Malformed("array elements");
      value.bytes.assign(bytes.begin(), bytes.end());
      break;
    }
    case ElementKind::Text: {
      if (!in.isTexts() || in.getTexts().size() != *cells) Malformed("array elements");
      // A null element travels as an unset pointer and arrives as an empty string, which this
      // system treats alike.
      for (const auto text : in.getTexts()) value.texts.push_back(ReadText(true, text));
      break;
    }
    case ElementKind::Variant: {
      if (!in.isVariants() || in.getVariants().size() != *cells) Malformed("array elements");
      for (const auto element : in.getVariants()) value.variants.push_back(VariantValue::Read(element, context));
      break;
    }
    case ElementKind::Object: {
      if (!in.isObjects() || in.getObjects().size() != *cells) Malformed("array elements");
      const IID& iid = ObjectIid(value.elementType);
      for (const auto element : in.getObjects()) {
        value.objects.push_back(element.hasObject()
                                    ? ObjectRef::FromWire(element.getObject(), iid, context)
                                    : ObjectRef());
      }
      break;
    }
    case ElementKind::Unsupported:
      break;
  }
  return value;
}

// ---- VARIANT ------------------------------------------------------------------------------

HRESULT VariantValue::FromVariant(const VARIANT& variant, VariantValue* out) {
  *out = VariantValue();
  const VARIANT* source = &variant;
  if (source->vt == (VT_BYREF | VT_VARIANT)) {
    if (source->pvarVal == nullptr) return E_POINTER;
    source = source->pvarVal;
    if (source->vt == (VT_BYREF | VT_VARIANT)) return DISP_E_BADVARTYPE;
  }
  const bool byRef = (source->vt & VT_BYREF) != 0;
  const auto type = static_cast<VARTYPE>(source->vt & ~VT_BYREF);
  if (byRef && source->byref == nullptr) return E_POINTER;
  out->type = type;
  try {
    switch (KindOfValue(type)) {
      case ValueKind::Empty:
        if (byRef) return DISP_E_BADVARTYPE;
        return S_OK;
      case ValueKind::Array: {
        out->array = std::make_unique<ArrayValue>();
        return ArrayValue::FromSafeArray(byRef ? *source->pparray : source->parray, out->array.get());
      }
      case ValueKind::Signed:
      case ValueKind::Unsigned:
        switch (type) {
          case VT_I1: out->integer = byRef ? *source->pcVal : source->cVal; break;
          case VT_I2: out->integer = byRef ? *source->piVal : source->iVal; break;
          case VT_I4: out->integer = byRef ? *source->plVal : source->lVal; break;
          case VT_I8: out->integer = byRef ? *source->pllVal : source->llVal; break;
          case VT_INT: out->integer = byRef ? *source->pintVal : source->intVal; break;
          case VT_ERROR: out->integer = byRef ? *source->pscode : source->scode; break;
          case VT_BOOL: out->integer = byRef ? *source->pboolVal : source->boolVal; break;
          case VT_UI1: out->integer = byRef ? *source->pbVal : source->bVal; break;
          case VT_UI2: out->integer = byRef ? *source->puiVal : source->uiVal; break;
          case VT_UI4: out->integer = byRef ? *source->pulVal : source->ulVal; break;
          case VT_UI8:
            out->integer = static_cast<std::int64_t>(byRef ? *source->pullVal : source->ullVal);
            break;
          case VT_UINT: out->integer = byRef ? *source->puintVal : source->uintVal; break;
          default: return DISP_E_BADVARTYPE;
        }
        return S_OK;
      case ValueKind::Real:
        switch (type) {
          case VT_R4: out->real = byRef ? *source->pfltVal : source->fltVal; break;
          case VT_R8: out->real = byRef ? *source->pdblVal : source->dblVal; break;
          default: out->real = byRef ? *source->pdate : source->date; break;
        }
        return S_OK;
      case ValueKind::Text:
        out->text = TextOf(byRef ? *source->pbstrVal : source->bstrVal);
        return S_OK;
      case ValueKind::Object: {
        IUnknown* pointer = byRef ? *source->ppunkVal : source->punkVal;
        return ObjectRef::FromPointer(pointer, ObjectIid(type), &out->object);
      }
      case ValueKind::Unsupported:
        return DISP_E_BADVARTYPE;
    }
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  return DISP_E_BADVARTYPE;
}

bool VariantValue::CarriedBack(VARTYPE type) {
  switch (KindOfValue(type)) {
    case ValueKind::Signed:
    case ValueKind::Unsigned:
    case ValueKind::Real:
    case ValueKind::Text:
      return true;
    default:
      return false;
  }
}

HRESULT VariantValue::StoreThrough(const VARIANT& target) const {
  if ((target.vt & VT_BYREF) == 0 || target.byref == nullptr || static_cast<VARTYPE>(target.vt & ~VT_BYREF) != type ||
      !CarriedBack(type)) {
    return S_OK;
  }
  if (KindOfValue(type) == ValueKind::Text) {
    BSTR fresh = nullptr;
    if (text) {
      fresh = SysAllocStringLen(text->data(), static_cast<UINT>(text->size()));
      if (fresh == nullptr) return E_OUTOFMEMORY;
    }
    SysFreeString(*target.pbstrVal);
    *target.pbstrVal = fresh;
    return S_OK;
  }
  VARIANT value;
  const HRESULT hr = ToVariant(&value);
  if (FAILED(hr)) return hr;
  // Every scalar member of the union starts at its beginning; the target holds one of its type.
  std::memcpy(target.byref, &value.llVal, FixedElementSize(type));
  return S_OK;
}

HRESULT VariantValue::ToVariant(VARIANT* out) const {
  VariantInit(out);
  switch (KindOfValue(type)) {
    case ValueKind::Empty:
      out->vt = type;
      return S_OK;
    case ValueKind::Signed:
    case ValueKind::Unsigned:
      switch (type) {
        case VT_I1: out->cVal = static_cast<CHAR>(integer); break;
        case VT_I2: out->iVal = static_cast<SHORT>(integer); break;
        case VT_I4: out->lVal = static_cast<LONG>(integer); break;
        case VT_I8: out->llVal = integer; break;
        case VT_INT: out->intVal = static_cast<INT>(integer); break;
        case VT_ERROR: out->scode = static_cast<SCODE>(integer); break;
        case VT_BOOL: out->boolVal = static_cast<VARIANT_BOOL>(integer); break;
        case VT_UI1: out->bVal = static_cast<BYTE>(integer); break;
        case VT_UI2: out->uiVal = static_cast<USHORT>(integer); break;
        case VT_UI4: out->ulVal = static_cast<ULONG>(integer); break;
        case VT_UI8: out->ullVal = static_cast<ULONGLONG>(integer); break;
        case VT_UINT: out->uintVal = static_cast<UINT>(integer); break;
        default: return DISP_E_BADVARTYPE;
      }
      break;
    case ValueKind::Real:
      if (type == VT_R4) {
        out->fltVal = static_cast<FLOAT>(real);
      } else if (type == VT_R8) {
        out->dblVal = real;
      } else {
        out->date = real;
      }
      break;
    case ValueKind::Text:
      if (text) {
        out->bstrVal = SysAllocStringLen(text->data(), static_cast<UINT>(text->size()));
        if (out->bstrVal == nullptr) return E_OUTOFMEMORY;
      }
      break;
    case ValueKind::Object: {
      const HRESULT hr = object.ToPointer(ObjectIid(type), reinterpret_cast<void**>(&out->punkVal));
      if (FAILED(hr)) return hr;
      break;
    }
    case ValueKind::Array: {
      SafeArray converted;
      if (array) {
        const HRESULT hr = array->ToSafeArray(&converted);
        if (FAILED(hr)) return hr;
      }
      out->parray = converted.Detach();
      break;
    }
    case ValueKind::Unsupported:
      return DISP_E_BADVARTYPE;
  }
  out->vt = type;
  return S_OK;
}

void VariantValue::Write(wire::Variant::Builder out, WireContext& context) {
  out.setType(type);
  switch (KindOfValue(type)) {
    case ValueKind::Empty:
      out.setEmpty();
      break;
    case ValueKind::Signed:
      out.setSigned(integer);
      break;
    case ValueKind::Unsigned:
      out.setUnsigned(static_cast<std::uint64_t>(integer));
      break;
    case ValueKind::Real:
      out.setReal(real);
      break;
    case ValueKind::Text:
      if (text) {
        WriteText(text, [&](capnp::Text::Reader value) { out.setText(value); });
      } else {
        out.adoptText(capnp::Orphan<capnp::Text>());
      }
      break;
    case ValueKind::Object:
      KJ_IF_MAYBE(capability, object.ToWire(context)) {
        out.setObject(capability->castAs<wire::Unknown>());
      } else {
        out.adoptObject(capnp::Orphan<wire::Unknown>());
      }
      break;
    case ValueKind::Array:
      if (array && !array->null) {
        array->Write(out.initArray(), context);
      } else {
        out.adoptArray(capnp::Orphan<wire::SafeArray>());
      }
      break;
    case ValueKind::Unsupported:
      Malformed("variant type");
  }
}

VariantValue VariantValue::Read(wire::Variant::Reader in, WireContext& context) {
  VariantValue value;
  value.type = in.getType();
  const ValueKind kind = KindOfValue(value.type);
  const auto which = in.which();
  switch (kind) {
    case ValueKind::Empty:
      if (which != wire::Variant::EMPTY) Malformed("variant value");
      break;
    case ValueKind::Signed:
      if (which != wire::Variant::SIGNED) Malformed("variant value");
      value.integer = in.getSigned();
      break;
    case ValueKind::Unsigned:
      if (which != wire::Variant::UNSIGNED) Malformed("variant value");
      value.integer = static_cast<std::int64_t>(in.getUnsigned());
      break;
    case ValueKind::Real:
      if (which != wire::Variant::REAL) Malformed("variant value");
      value.real = in.getReal();
      break;
    case ValueKind::Text:
      if (which != wire::Variant::TEXT) Malformed("variant value");
      value.text = ReadText(in.hasText(), in.getText());
      break;
    case ValueKind::Object:
      if (which != wire::Variant::OBJECT) Malformed("variant value");
      if (in.hasObject()) value.object = ObjectRef::FromWire(in.getObject(), ObjectIid(value.type), context);
      break;
    case ValueKind::Array:
      if (which != wire::Variant::ARRAY) Malformed("variant value");
      value.array = std::make_unique<ArrayValue>();
      if (in.hasArray()) {
        *value.array = ArrayValue::Read(in.getArray(), context);
        if (value.array->elementType != (value.type & VT_TYPEMASK)) Malformed("variant array type");
      }
      break;
    case ValueKind::Unsupported:
      Malformed("variant type");
  }
  return value;
}

// ---- memory streams -----------------------------------------------------------------------

HRESULT StreamValue::FromStream(IStream* stream, StreamValue* out) {
  *out = StreamValue();
  if (stream == nullptr) return S_OK;
  out->null = false;
  LARGE_INTEGER none{};
  ULARGE_INTEGER position{};
  HRESULT hr = stream->Seek(none, STREAM_SEEK_CUR, &position);
  if (FAILED(hr)) return hr;
  out->position = position.QuadPart;
  try {
    if (const auto buffer = platform::automation::MemoryStreamBufferOf(stream)) {
      out->bytes = buffer->Bytes();
      for (auto& [key, attachment] : buffer->Attachments()) {
        const auto marshaled = std::dynamic_pointer_cast<platform::com::MarshaledInterface>(attachment);
        if (!marshaled) continue;  // only marshaled interfaces travel
        Attachment entry;
        entry.key = key;
        entry.iid = marshaled->Iid();
        entry.tableMarshaled = marshaled->TableMarshaled();
        hr = ObjectRef::FromPointer(marshaled->Object().Get(), marshaled->Iid(), &entry.object);
        if (FAILED(hr)) return hr;
        out->attachments.push_back(std::move(entry));
      }
      return S_OK;
    }
    // Another kind of stream: read its bytes through a clone, leaving its position alone.
    platform::com::ComPtr<IStream> clone;
    hr = stream->Clone(clone.Put());
    if (FAILED(hr)) return hr;
    hr = clone->Seek(none, STREAM_SEEK_SET, nullptr);
    if (FAILED(hr)) return hr;
    std::uint8_t chunk[4096];
    for (;;) {
      ULONG read = 0;
      hr = clone->Read(chunk, sizeof chunk, &read);
      if (FAILED(hr)) return hr;
      out->bytes.insert(out->bytes.end(), chunk, chunk + read);
      if (read < sizeof chunk) break;
    }
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

HRESULT StreamValue::ToStream(IStream** out) const {
  *out = nullptr;
  if (null) return S_OK;
  platform::com::ComPtr<IStream> stream;
  HRESULT hr = CreateStreamOnHGlobal(nullptr, TRUE, stream.Put());
  if (FAILED(hr)) return hr;
  const auto buffer = platform::automation::MemoryStreamBufferOf(stream.Get());
  if (bytes.size() > platform::automation::MemoryStreamBuffer::kMaxSize) return STG_E_MEDIUMFULL;
  hr = buffer->WriteAt(0, bytes.data(), static_cast<ULONG>(bytes.size()));
  if (FAILED(hr)) return hr;
  try {
    for (const auto& attachment : attachments) {
      platform::com::ComPtr<IUnknown> object;
      hr = attachment.object.ToPointer(attachment.iid, object.PutVoid());
      if (FAILED(hr)) return hr;
      buffer->PutAttachment(attachment.key, std::make_shared<platform::com::MarshaledInterface>(
                                                std::move(object), attachment.iid,
                                                attachment.tableMarshaled));
    }
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  LARGE_INTEGER offset{};
  offset.QuadPart = static_cast<LONGLONG>(position);
  hr = stream->Seek(offset, STREAM_SEEK_SET, nullptr);
  if (FAILED(hr)) return hr;
  *out = stream.Detach();
  return S_OK;
}

void StreamValue::Write(wire::Stream::Builder out, WireContext& context) {
  out.setBytes(capnp::Data::Reader(bytes.data(), bytes.size()));
  out.setPosition(position);
  auto list = out.initAttachments(static_cast<unsigned>(attachments.size()));
  for (std::size_t i = 0; i < attachments.size(); ++i) {
    auto& attachment = attachments[i];
    list[i].setKey(attachment.key);
    WriteGuid(attachment.iid, list[i].initIid());
    list[i].setTableMarshaled(attachment.tableMarshaled);
    KJ_IF_MAYBE(capability, attachment.object.ToWire(context)) {
      list[i].setObject(capability->castAs<wire::Unknown>());
    }
  }
}

StreamValue StreamValue::Read(wire::Stream::Reader in, WireContext& context) {
  StreamValue value;
  value.null = false;
  const auto bytes = in.getBytes();
  if (bytes.size() > platform::automation::MemoryStreamBuffer::kMaxSize) Malformed("stream size");
  value.bytes.assign(bytes.begin(), bytes.end());
  value.position = in.getPosition();
  if (value.position > platform::automation::MemoryStreamBuffer::kMaxSize) Malformed("stream position");
  for (const auto attachment : in.getAttachments()) {
    Attachment entry;
    entry.key = attachment.getKey();
    if (entry.key == 0) Malformed("attachment key");
    entry.iid = ReadGuid(attachment.getIid());
    entry.tableMarshaled = attachment.getTableMarshaled();
    if (attachment.hasObject()) entry.object = ObjectRef::FromWire(attachment.getObject(), entry.iid, context);
    value.attachments.push_back(std::move(entry));
  }
  return value;
}

}  // namespace platform::remoting
