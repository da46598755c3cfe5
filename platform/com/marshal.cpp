#include "platform/com/marshal.h"

#include <array>
#include <cstring>
#include <memory>

namespace {

using platform::automation::MemoryStreamBuffer;
using platform::com::ComPtr;
using platform::com::MarshaledInterface;

// Packet layout: 4 signature bytes, the 16-byte IID, the 8-byte attachment key.
constexpr std::array<BYTE, 4> kSignature{'T', 'M', 'I', '1'};
constexpr ULONG kPacketSize = 4 + sizeof(IID) + sizeof(MemoryStreamBuffer::AttachmentKey);

struct Packet {
  IID iid;
  MemoryStreamBuffer::AttachmentKey key;
};

// The memory stream's buffer and the packet at the stream's position: E_INVALIDARG for a null
// stream or one that is no memory stream, RPC_E_INVALID_DATA for bytes that are no packet.
HRESULT ReadPacket(IStream* stream, std::shared_ptr<MemoryStreamBuffer>* buffer, Packet* packet) {
  if (stream == nullptr) return E_INVALIDARG;
  *buffer = platform::automation::MemoryStreamBufferOf(stream);
  if (!*buffer) return E_INVALIDARG;
  std::array<BYTE, kPacketSize> bytes{};
  ULONG read = 0;
  if (FAILED(stream->Read(bytes.data(), kPacketSize, &read)) || read != kPacketSize ||
      std::memcmp(bytes.data(), kSignature.data(), kSignature.size()) != 0) {
    return RPC_E_INVALID_DATA;
  }
  std::memcpy(&packet->iid, bytes.data() + 4, sizeof(IID));
  std::memcpy(&packet->key, bytes.data() + 4 + sizeof(IID), sizeof(packet->key));
  return S_OK;
}

}  // namespace

HRESULT CoMarshalInterface(IStream* stream, REFIID riid, IUnknown* unknown, DWORD destContext,
                           void* /*destContextData*/, DWORD flags) {
  if (stream == nullptr || unknown == nullptr || destContext == MSHCTX_DIFFERENTMACHINE) {
    return E_INVALIDARG;
  }
  const auto buffer = platform::automation::MemoryStreamBufferOf(stream);
  if (!buffer) return E_INVALIDARG;
  ComPtr<IUnknown> object;
  const HRESULT queried = unknown->QueryInterface(riid, object.PutVoid());
  if (FAILED(queried)) return queried;

  const bool table = flags == MSHLFLAGS_TABLESTRONG || flags == MSHLFLAGS_TABLEWEAK;
  const auto key = buffer->AddAttachment(std::make_shared<MarshaledInterface>(std::move(object), riid, table));
  std::array<BYTE, kPacketSize> bytes{};
  std::memcpy(bytes.data(), kSignature.data(), kSignature.size());
  std::memcpy(bytes.data() + 4, &riid, sizeof(IID));
  std::memcpy(bytes.data() + 4 + sizeof(IID), &key, sizeof(key));
  ULONG written = 0;
  const HRESULT hr = stream->Write(bytes.data(), kPacketSize, &written);
  if (FAILED(hr) || written != kPacketSize) {
    buffer->TakeAttachment(key);
    return FAILED(hr) ? hr : STG_E_MEDIUMFULL;
  }
  return S_OK;
}

HRESULT CoUnmarshalInterface(IStream* stream, REFIID riid, void** result) {
  if (result == nullptr) return E_POINTER;
  *result = nullptr;
  std::shared_ptr<MemoryStreamBuffer> buffer;
  Packet packet{};
  const HRESULT read = ReadPacket(stream, &buffer, &packet);
  if (FAILED(read)) return read;
  auto attachment = std::dynamic_pointer_cast<MarshaledInterface>(buffer->FindAttachment(packet.key));
  if (!attachment) return CO_E_OBJNOTCONNECTED;
  if (!attachment->TableMarshaled()) buffer->TakeAttachment(packet.key);
  return attachment->Object()->QueryInterface(riid, result);
}

HRESULT CoReleaseMarshalData(IStream* stream) {
  std::shared_ptr<MemoryStreamBuffer> buffer;
  Packet packet{};
  const HRESULT read = ReadPacket(stream, &buffer, &packet);
  if (FAILED(read)) return read;
  return buffer->TakeAttachment(packet.key) ? S_OK : CO_E_OBJNOTCONNECTED;
}

HRESULT CoMarshalInterThreadInterfaceInStream(REFIID riid, IUnknown* unknown, IStream** stream) {
  if (stream == nullptr) return E_INVALIDARG;
  *stream = nullptr;
  ComPtr<IStream> created;
  HRESULT hr = CreateStreamOnHGlobal(nullptr, TRUE, created.Put());
  if (FAILED(hr)) return hr;
  hr = CoMarshalInterface(created.Get(), riid, unknown, MSHCTX_INPROC, nullptr, MSHLFLAGS_NORMAL);
  if (FAILED(hr)) return hr;
  LARGE_INTEGER start{};
  created->Seek(start, STREAM_SEEK_SET, nullptr);
  *stream = created.Detach();
  return S_OK;
}

HRESULT CoGetInterfaceAndReleaseStream(IStream* stream, REFIID riid, void** result) {
  ComPtr<IStream> owned = ComPtr<IStream>::Adopt(stream);
  return CoUnmarshalInterface(owned.Get(), riid, result);
}
