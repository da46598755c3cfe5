// IStream and the memory stream (CreateStreamOnHGlobal).
//
// A memory stream keeps its bytes in a MemoryStreamBuffer that all its clones share; each
// stream object has its own seek pointer. Besides bytes the buffer holds attachments: objects
// that travel with the bytes, so that marshaled interface pointers written into a stream can
// carry the live reference the bytes name (see CoMarshalInterface). This file stores and hands
// out attachments; what they contain is up to the marshaling code.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/automation/vartype.h"
#include "platform/com/unknown.h"

using HGLOBAL = void*;

inline constexpr DWORD STREAM_SEEK_SET = 0;
inline constexpr DWORD STREAM_SEEK_CUR = 1;
inline constexpr DWORD STREAM_SEEK_END = 2;

inline constexpr DWORD STGC_DEFAULT = 0;
inline constexpr DWORD STGC_OVERWRITE = 1;
inline constexpr DWORD STGC_ONLYIFCURRENT = 2;
inline constexpr DWORD STGC_DANGEROUSLYCOMMITMERELYTODISKCACHE = 4;
inline constexpr DWORD STGC_CONSOLIDATE = 8;

inline constexpr DWORD STATFLAG_DEFAULT = 0;
inline constexpr DWORD STATFLAG_NONAME = 1;
inline constexpr DWORD STGTY_STORAGE = 1;
inline constexpr DWORD STGTY_STREAM = 2;
inline constexpr DWORD STGM_READ = 0x0;
inline constexpr DWORD STGM_WRITE = 0x1;
inline constexpr DWORD STGM_READWRITE = 0x2;
inline constexpr DWORD LOCK_WRITE = 1;
inline constexpr DWORD LOCK_EXCLUSIVE = 2;
inline constexpr DWORD LOCK_ONLYONCE = 4;

struct STATSTG {
  LPOLESTR pwcsName;
  DWORD type;
  ULARGE_INTEGER cbSize;
  FILETIME mtime;
  FILETIME ctime;
  FILETIME atime;
  DWORD grfMode;
  DWORD grfLocksSupported;
  CLSID clsid;
  DWORD grfStateBits;
  DWORD reserved;
};

struct ISequentialStream : IUnknown {
  virtual HRESULT Read(void* pv, ULONG cb, ULONG* pcbRead) = 0;
  virtual HRESULT Write(const void* pv, ULONG cb, ULONG* pcbWritten) = 0;

 protected:
  ~ISequentialStream() = default;
};
inline constexpr IID IID_ISequentialStream =
    platform::MakeGuid("{0C733A30-2A1C-11CE-ADE5-00AA0044773A}");
template <>
inline constexpr IID uuidof<ISequentialStream> = IID_ISequentialStream;

struct IStream : ISequentialStream {
  virtual HRESULT Seek(LARGE_INTEGER dlibMove, DWORD dwOrigin, ULARGE_INTEGER* plibNewPosition) = 0;
  virtual HRESULT SetSize(ULARGE_INTEGER libNewSize) = 0;
  virtual HRESULT CopyTo(IStream* pstm, ULARGE_INTEGER cb, ULARGE_INTEGER* pcbRead,
                         ULARGE_INTEGER* pcbWritten) = 0;
  virtual HRESULT Commit(DWORD grfCommitFlags) = 0;
  virtual HRESULT Revert() = 0;
  virtual HRESULT LockRegion(ULARGE_INTEGER libOffset, ULARGE_INTEGER cb, DWORD dwLockType) = 0;
  virtual HRESULT UnlockRegion(ULARGE_INTEGER libOffset, ULARGE_INTEGER cb, DWORD dwLockType) = 0;
  virtual HRESULT Stat(STATSTG* pstatstg, DWORD grfStatFlag) = 0;
  virtual HRESULT Clone(IStream** ppstm) = 0;

 protected:
  ~IStream() = default;
};
inline constexpr IID IID_IStream = platform::MakeGuid("{0000000C-0000-0000-C000-000000000046}");
template <>
inline constexpr IID uuidof<IStream> = IID_IStream;
using LPSTREAM = IStream*;

// A new, empty memory stream. There are no global memory blocks in this runtime, so hGlobal
// must be null (E_INVALIDARG otherwise) and fDeleteOnRelease has nothing to act on: the bytes
// live as long as the stream or one of its clones does. E_INVALIDARG for null ppstm.
HRESULT CreateStreamOnHGlobal(HGLOBAL hGlobal, BOOL fDeleteOnRelease, LPSTREAM* ppstm);

namespace platform::automation {

// Something that travels with a stream's bytes. Destroyed when the last buffer holding it lets
// go (the stream and its clones are gone, or the attachment was taken out).
class StreamAttachment {
 public:
  virtual ~StreamAttachment() = default;
};

// The bytes of a memory stream and its attachments, shared by the stream and its clones.
// Thread-safe: every member takes the buffer's mutex, and none calls out while holding it.
class MemoryStreamBuffer {
 public:
  using AttachmentKey = std::uint64_t;
  // Streams stay below 4 GiB, like memory streams on the original system.
  static constexpr ULONGLONG kMaxSize = UINT32_MAX;

  MemoryStreamBuffer() = default;
  explicit MemoryStreamBuffer(std::vector<BYTE> bytes) : bytes_(std::move(bytes)) {}
  MemoryStreamBuffer(const MemoryStreamBuffer&) = delete;
  MemoryStreamBuffer& operator=(const MemoryStreamBuffer&) = delete;

  ULONGLONG Size() const;
  std::vector<BYTE> Bytes() const;
  // Up to `count` bytes from `position`; returns how many there were.
  ULONG ReadAt(ULONGLONG position, void* into, ULONG count) const;
  // Writes at `position`, extending the buffer (zero-filling any gap). STG_E_MEDIUMFULL past
  // kMaxSize, E_OUTOFMEMORY.
  HRESULT WriteAt(ULONGLONG position, const void* from, ULONG count);
  HRESULT Resize(ULONGLONG size);

  // Stores an attachment under a new key (never 0, never reused by this buffer).
  AttachmentKey AddAttachment(std::shared_ptr<StreamAttachment> attachment);
  // Stores under a given key, replacing what was there: for rebuilding a received stream.
  void PutAttachment(AttachmentKey key, std::shared_ptr<StreamAttachment> attachment);
  std::shared_ptr<StreamAttachment> FindAttachment(AttachmentKey key) const;
  // Removes and returns the attachment (null when there is none).
  std::shared_ptr<StreamAttachment> TakeAttachment(AttachmentKey key);
  std::vector<std::pair<AttachmentKey, std::shared_ptr<StreamAttachment>>> Attachments() const;

 private:
  mutable std::mutex mutex_;
  std::vector<BYTE> bytes_;  // guarded by mutex_
  std::unordered_map<AttachmentKey, std::shared_ptr<StreamAttachment>> attachments_;  // mutex_
  AttachmentKey nextKey_ = 1;  // guarded by mutex_
};

// A memory stream over an existing buffer, its seek pointer at 0.
HRESULT CreateMemoryStream(std::shared_ptr<MemoryStreamBuffer> buffer, IStream** stream);
// The buffer behind a memory stream of this runtime; null for any other stream.
std::shared_ptr<MemoryStreamBuffer> MemoryStreamBufferOf(IStream* stream);

}  // namespace platform::automation
