#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>

#include "platform/automation/stream.h"

namespace platform::automation {

ULONGLONG MemoryStreamBuffer::Size() const {
  std::lock_guard lock(mutex_);
  return bytes_.size();
}

std::vector<BYTE> MemoryStreamBuffer::Bytes() const {
  std::lock_guard lock(mutex_);
  return bytes_;
}

ULONG MemoryStreamBuffer::ReadAt(ULONGLONG position, void* into, ULONG count) const {
  std::lock_guard lock(mutex_);
  if (position >= bytes_.size()) return 0;
  const auto available = static_cast<ULONG>(std::min<ULONGLONG>(count, bytes_.size() - position));
  std::memcpy(into, bytes_.data() + position, available);
  return available;
}

HRESULT MemoryStreamBuffer::WriteAt(ULONGLONG position, const void* from, ULONG count) {
  if (count == 0) return S_OK;
  if (position > kMaxSize || count > kMaxSize - position) return STG_E_MEDIUMFULL;
  std::lock_guard lock(mutex_);
  try {
    if (position + count > bytes_.size()) bytes_.resize(position + count);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  std::memcpy(bytes_.data() + position, from, count);
  return S_OK;
}

HRESULT MemoryStreamBuffer::Resize(ULONGLONG size) {
  if (size > kMaxSize) return STG_E_MEDIUMFULL;
  std::lock_guard lock(mutex_);
  try {
    bytes_.resize(size);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

MemoryStreamBuffer::AttachmentKey MemoryStreamBuffer::AddAttachment(
    std::shared_ptr<StreamAttachment> attachment) {
  std::lock_guard lock(mutex_);
  const AttachmentKey key = nextKey_++;
  attachments_[key] = std::move(attachment);
  return key;
}

void MemoryStreamBuffer::PutAttachment(AttachmentKey key,
                                       std::shared_ptr<StreamAttachment> attachment) {
  std::shared_ptr<StreamAttachment> replaced;  // destroyed after the lock is left
  std::lock_guard lock(mutex_);
  auto& slot = attachments_[key];
  replaced = std::exchange(slot, std::move(attachment));
  nextKey_ = std::max(nextKey_, key + 1);
}

std::shared_ptr<StreamAttachment> MemoryStreamBuffer::FindAttachment(AttachmentKey key) const {
  std::lock_guard lock(mutex_);
  const auto found = attachments_.find(key);
  return found == attachments_.end() ? nullptr : found->second;
}

std::shared_ptr<StreamAttachment> MemoryStreamBuffer::TakeAttachment(AttachmentKey key) {
  std::lock_guard lock(mutex_);
  const auto found = attachments_.find(key);
  if (found == attachments_.end()) return nullptr;
  auto taken = std::move(found->second);
  attachments_.erase(found);
  return taken;
}

std::vector<std::pair<MemoryStreamBuffer::AttachmentKey, std::shared_ptr<StreamAttachment>>>
MemoryStreamBuffer::Attachments() const {
  std::lock_guard lock(mutex_);
  std::vector<std::pair<AttachmentKey, std::shared_ptr<StreamAttachment>>> result(
      attachments_.begin(), attachments_.end());
  std::sort(result.begin(), result.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  return result;
}

namespace {

constexpr ULONG kCopyChunk = 64 * 1024;

// One seek pointer over a shared buffer. Any thread may call any method. Lock order: the
// stream's position mutex, then the buffer's mutex; CopyTo calls the target stream with
// neither held (the target may be a clone of this stream).
class MemoryStream final : public IStream {
 public:
  MemoryStream(std::shared_ptr<MemoryStreamBuffer> buffer, ULONGLONG position)
      : buffer_(std::move(buffer)), position_(position) {}

  HRESULT QueryInterface(REFIID riid, void** object) override {
    if (object == nullptr) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_ISequentialStream || riid == IID_IStream) {
      *object = static_cast<IStream*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return references_.fetch_add(1, std::memory_order_relaxed) + 1; }
  ULONG Release() override {
    const ULONG left = references_.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (left == 0) delete this;
    return left;
  }

  // A short read (the end of the stream) reports the bytes it got and returns S_FALSE.
  HRESULT Read(void* pv, ULONG cb, ULONG* pcbRead) override {
    if (pcbRead != nullptr) *pcbRead = 0;
    if (pv == nullptr) return STG_E_INVALIDPOINTER;
    std::lock_guard lock(positionMutex_);
    const ULONG read = buffer_->ReadAt(position_, pv, cb);
    position_ += read;
    if (pcbRead != nullptr) *pcbRead = read;
    return read == cb ? S_OK : S_FALSE;
  }

  HRESULT Write(const void* pv, ULONG cb, ULONG* pcbWritten) override {
    if (pcbWritten != nullptr) *pcbWritten = 0;
    if (pv == nullptr) return STG_E_INVALIDPOINTER;
    std::lock_guard lock(positionMutex_);
    const HRESULT hr = buffer_->WriteAt(position_, pv, cb);
    if (FAILED(hr)) return hr;
    position_ += cb;
    if (pcbWritten != nullptr) *pcbWritten = cb;
    return S_OK;
  }

  // Positions past the end are allowed (a later Write fills the gap with zeros); negative ones
  // and those beyond the size limit are STG_E_INVALIDFUNCTION.
  HRESULT Seek(LARGE_INTEGER dlibMove, DWORD dwOrigin, ULARGE_INTEGER* plibNewPosition) override {
    std::lock_guard lock(positionMutex_);
    std::int64_t base = 0;
    switch (dwOrigin) {
      case STREAM_SEEK_SET:
        break;
      case STREAM_SEEK_CUR:
        base = static_cast<std::int64_t>(position_);
        break;
      case STREAM_SEEK_END:
        base = static_cast<std::int64_t>(buffer_->Size());
        break;
      default:
        return STG_E_INVALIDFUNCTION;
    }
    std::int64_t target = 0;
    if (__builtin_add_overflow(base, dlibMove.QuadPart, &target) || target < 0 ||
        static_cast<ULONGLONG>(target) > MemoryStreamBuffer::kMaxSize) {
      return STG_E_INVALIDFUNCTION;
    }
    position_ = static_cast<ULONGLONG>(target);
    if (plibNewPosition != nullptr) plibNewPosition->QuadPart = position_;
    return S_OK;
  }

  HRESULT SetSize(ULARGE_INTEGER libNewSize) override {
    return buffer_->Resize(libNewSize.QuadPart);
  }

  HRESULT CopyTo(IStream* pstm, ULARGE_INTEGER cb, ULARGE_INTEGER* pcbRead,
                 ULARGE_INTEGER* pcbWritten) override {
    ULONGLONG totalRead = 0;
    ULONGLONG totalWritten = 0;
    const auto report = [&](HRESULT hr) {
      if (pcbRead != nullptr) pcbRead->QuadPart = totalRead;
      if (pcbWritten != nullptr) pcbWritten->QuadPart = totalWritten;
      return hr;
    };
    if (pstm == nullptr) return report(STG_E_INVALIDPOINTER);
    try {
      std::vector<BYTE> chunk(
          static_cast<std::size_t>(std::min<ULONGLONG>(cb.QuadPart, kCopyChunk)));
      ULONGLONG remaining = cb.QuadPart;
      while (remaining > 0) {
        const auto wanted = static_cast<ULONG>(std::min<ULONGLONG>(remaining, kCopyChunk));
        ULONG got = 0;
        {
          std::lock_guard lock(positionMutex_);
          got = buffer_->ReadAt(position_, chunk.data(), wanted);
          position_ += got;
        }
        if (got == 0) break;
        totalRead += got;
        ULONG written = 0;
        const HRESULT hr = pstm->Write(chunk.data(), got, &written);
        totalWritten += written;
        if (FAILED(hr)) return report(hr);
        if (written < got || got < wanted) break;
        remaining -= got;
      }
    } catch (const std::bad_alloc&) {
      return report(E_OUTOFMEMORY);
    }
    return report(S_OK);
  }

  // The bytes are the stream: there is nothing to commit or revert.
  HRESULT Commit(DWORD) override { return S_OK; }
  HRESULT Revert() override { return S_OK; }
  // Region locking is not offered (Stat reports no lock types).
  HRESULT LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override {
    return STG_E_INVALIDFUNCTION;
  }
  HRESULT UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override {
    return STG_E_INVALIDFUNCTION;
  }

  // A memory stream has no name, so STATFLAG_DEFAULT also leaves pwcsName null.
  HRESULT Stat(STATSTG* pstatstg, DWORD) override {
    if (pstatstg == nullptr) return STG_E_INVALIDPOINTER;
    *pstatstg = STATSTG{};
    pstatstg->type = STGTY_STREAM;
    pstatstg->cbSize.QuadPart = buffer_->Size();
    pstatstg->grfMode = STGM_READWRITE;
    return S_OK;
  }

  HRESULT Clone(IStream** ppstm) override {
    if (ppstm == nullptr) return STG_E_INVALIDPOINTER;
    ULONGLONG position = 0;
    {
      std::lock_guard lock(positionMutex_);
      position = position_;
    }
    *ppstm = new (std::nothrow) MemoryStream(buffer_, position);
    return *ppstm == nullptr ? E_OUTOFMEMORY : S_OK;
  }

  const std::shared_ptr<MemoryStreamBuffer>& Buffer() const { return buffer_; }

 private:
  ~MemoryStream() = default;

  std::atomic<ULONG> references_{1};
  const std::shared_ptr<MemoryStreamBuffer> buffer_;
  std::mutex positionMutex_;
  ULONGLONG position_;  // guarded by positionMutex_
};

}  // namespace

HRESULT CreateMemoryStream(std::shared_ptr<MemoryStreamBuffer> buffer, IStream** stream) {
  if (stream == nullptr) return E_POINTER;
  *stream = nullptr;
  if (buffer == nullptr) return E_INVALIDARG;
  *stream = new (std::nothrow) MemoryStream(std::move(buffer), 0);
  return *stream == nullptr ? E_OUTOFMEMORY : S_OK;
}

std::shared_ptr<MemoryStreamBuffer> MemoryStreamBufferOf(IStream* stream) {
  auto* memory = dynamic_cast<MemoryStream*>(stream);
  return memory == nullptr ? nullptr : memory->Buffer();
}

}  // namespace platform::automation

HRESULT CreateStreamOnHGlobal(HGLOBAL hGlobal, BOOL, LPSTREAM* ppstm) {
  if (ppstm == nullptr) return E_INVALIDARG;
  *ppstm = nullptr;
  if (hGlobal != nullptr) return E_INVALIDARG;
  std::shared_ptr<platform::automation::MemoryStreamBuffer> buffer;
  try {
    buffer = std::make_shared<platform::automation::MemoryStreamBuffer>();
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  return platform::automation::CreateMemoryStream(std::move(buffer), ppstm);
}
