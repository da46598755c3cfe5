// Interface pointers marshaled into memory streams.
//
// A marshaled pointer is a small packet in the stream's bytes (a signature, the interface
// identifier and a key) plus an attachment of the stream's buffer that holds the live
// reference. The packet is read from the stream's current position. A stream travels by value,
// bytes and attachments together: within the process as it is, to another process through the
// remoting runtime, which turns attachments into remote references and back.
//
// Normal marshaling (MSHLFLAGS_NORMAL) can be unmarshaled once: unmarshaling takes the
// reference out of the stream. Table marshaling keeps it until CoReleaseMarshalData.
#pragma once

#include "platform/automation/stream.h"
#include "platform/com/com_ptr.h"

inline constexpr DWORD MSHCTX_LOCAL = 0;
inline constexpr DWORD MSHCTX_NOSHAREDMEM = 1;
inline constexpr DWORD MSHCTX_DIFFERENTMACHINE = 2;
inline constexpr DWORD MSHCTX_INPROC = 3;

inline constexpr DWORD MSHLFLAGS_NORMAL = 0;
inline constexpr DWORD MSHLFLAGS_TABLESTRONG = 1;
inline constexpr DWORD MSHLFLAGS_TABLEWEAK = 2;

// E_INVALIDARG for null arguments or a stream that is not a memory stream of this runtime;
// E_NOINTERFACE when `unknown` lacks `riid`. MSHCTX_DIFFERENTMACHINE is refused (E_INVALIDARG).
HRESULT CoMarshalInterface(IStream* stream, REFIID riid, IUnknown* unknown, DWORD destContext,
                           void* destContextData, DWORD flags);
// Reads a packet and hands out `riid` of the object it names. RPC_E_INVALID_DATA when no valid
// packet stands at the current position, CO_E_OBJNOTCONNECTED when its reference was already
// taken or released.
HRESULT CoUnmarshalInterface(IStream* stream, REFIID riid, void** result);
// Reads a packet and drops the reference it holds, whatever its marshaling flags.
HRESULT CoReleaseMarshalData(IStream* stream);

// Convenience of the original system: a new stream holding `unknown` marshaled normally, and
// the one-shot unmarshal that releases the stream.
HRESULT CoMarshalInterThreadInterfaceInStream(REFIID riid, IUnknown* unknown, IStream** stream);
HRESULT CoGetInterfaceAndReleaseStream(IStream* stream, REFIID riid, void** result);

namespace platform::com {

// The attachment that holds a marshaled reference; the remoting runtime reads and builds them.
class MarshaledInterface : public platform::automation::StreamAttachment {
 public:
  MarshaledInterface(ComPtr<IUnknown> object, const IID& iid, bool tableMarshaled)
      : object_(std::move(object)), iid_(iid), tableMarshaled_(tableMarshaled) {}
  const ComPtr<IUnknown>& Object() const { return object_; }
  const IID& Iid() const { return iid_; }
  bool TableMarshaled() const { return tableMarshaled_; }

 private:
  ComPtr<IUnknown> object_;
  IID iid_;
  bool tableMarshaled_;
};

}  // namespace platform::com
