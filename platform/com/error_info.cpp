#include "platform/com/error_info.h"

#include <mutex>
#include <string>

#include "platform/automation/bstr.h"
#include "platform/com/com_object.h"
#include "platform/com/interface_table.h"

namespace platform::com {
namespace {

// The error object: written through ICreateErrorInfo, read through IErrorInfo. Its fields are
// guarded by the object lock; the object may be read on another thread than the one that made it.
class ErrorObject : public ObjectRoot, public IErrorInfo, public ICreateErrorInfo {
 public:
  using Interfaces = InterfaceTable<ErrorObject, IErrorInfo, ICreateErrorInfo>;

  HRESULT GetGUID(GUID* guid) override {
    if (guid == nullptr) return E_INVALIDARG;
    std::lock_guard guard(*this);
    *guid = guid_;
    return S_OK;
  }
  HRESULT GetSource(wchar_t** source) override { return Hand(source_, source); }
  HRESULT GetDescription(wchar_t** description) override { return Hand(description_, description); }
  HRESULT GetHelpFile(wchar_t** helpFile) override { return Hand(helpFile_, helpFile); }
  HRESULT GetHelpContext(DWORD* helpContext) override {
    if (helpContext == nullptr) return E_INVALIDARG;
    std::lock_guard guard(*this);
    *helpContext = helpContext_;
    return S_OK;
  }

  HRESULT SetGUID(REFGUID guid) override {
    std::lock_guard guard(*this);
    guid_ = guid;
    return S_OK;
  }
  HRESULT SetSource(const wchar_t* source) override { return Keep(source, source_); }
  HRESULT SetDescription(const wchar_t* description) override { return Keep(description, description_); }
  HRESULT SetHelpFile(const wchar_t* helpFile) override { return Keep(helpFile, helpFile_); }
  HRESULT SetHelpContext(DWORD helpContext) override {
    std::lock_guard guard(*this);
    helpContext_ = helpContext;
    return S_OK;
  }

 private:
  HRESULT Hand(const std::wstring& field, wchar_t** out) {
    if (out == nullptr) return E_INVALIDARG;
    std::lock_guard guard(*this);
    *out = SysAllocStringLen(field.data(), static_cast<UINT>(field.size()));
    return *out != nullptr ? S_OK : E_OUTOFMEMORY;
  }
  HRESULT Keep(const wchar_t* text, std::wstring& field) {
    std::lock_guard guard(*this);
    field = text != nullptr ? text : L"";
    return S_OK;
  }

  GUID guid_{};
  std::wstring source_;
  std::wstring description_;
  std::wstring helpFile_;
  DWORD helpContext_ = 0;
};

thread_local ComPtr<IErrorInfo> threadErrorInfo;

}  // namespace
}  // namespace platform::com

HRESULT CreateErrorInfo(ICreateErrorInfo** result) {
  if (result == nullptr) return E_INVALIDARG;
  return platform::com::CreateObjectFor<platform::com::ComObject<platform::com::ErrorObject>>(
      uuidof<ICreateErrorInfo>, reinterpret_cast<void**>(result));
}

HRESULT SetErrorInfo(ULONG reserved, IErrorInfo* errorInfo) {
  if (reserved != 0) return E_INVALIDARG;
  platform::com::threadErrorInfo = platform::com::ComPtr<IErrorInfo>(errorInfo);
  return S_OK;
}

HRESULT GetErrorInfo(ULONG reserved, IErrorInfo** errorInfo) {
  if (reserved != 0 || errorInfo == nullptr) return E_INVALIDARG;
  *errorInfo = platform::com::threadErrorInfo.Detach();
  return *errorInfo != nullptr ? S_OK : S_FALSE;
}
