// Rich error information: ISupportErrorInfo on objects, and the per-thread error object that a
// failing method leaves for its caller (SetErrorInfo / GetErrorInfo / CreateErrorInfo).
#pragma once

#include "platform/com/unknown.h"

struct ISupportErrorInfo : IUnknown {
  // S_OK when methods of `riid` leave error information on failure, S_FALSE otherwise.
  virtual HRESULT InterfaceSupportsErrorInfo(REFIID riid) = 0;

 protected:
  ~ISupportErrorInfo() = default;
};
inline constexpr IID IID_ISupportErrorInfo =
    platform::MakeGuid("{DF0B3D60-548F-101B-8E65-08002B2BD119}");
template <>
inline constexpr IID uuidof<ISupportErrorInfo> = IID_ISupportErrorInfo;

// Strings are handed out as BSTRs that the caller frees (SysFreeString); declared as wchar_t*
// here so that this header does not depend on the automation types.
struct IErrorInfo : IUnknown {
  virtual HRESULT GetGUID(GUID* guid) = 0;
  virtual HRESULT GetSource(wchar_t** source) = 0;
  virtual HRESULT GetDescription(wchar_t** description) = 0;
  virtual HRESULT GetHelpFile(wchar_t** helpFile) = 0;
  virtual HRESULT GetHelpContext(DWORD* helpContext) = 0;

 protected:
  ~IErrorInfo() = default;
};
inline constexpr IID IID_IErrorInfo = platform::MakeGuid("{1CF2B120-547D-101B-8E65-08002B2BD119}");
template <>
inline constexpr IID uuidof<IErrorInfo> = IID_IErrorInfo;

struct ICreateErrorInfo : IUnknown {
  virtual HRESULT SetGUID(REFGUID guid) = 0;
  virtual HRESULT SetSource(const wchar_t* source) = 0;
  virtual HRESULT SetDescription(const wchar_t* description) = 0;
  virtual HRESULT SetHelpFile(const wchar_t* helpFile) = 0;
  virtual HRESULT SetHelpContext(DWORD helpContext) = 0;

 protected:
  ~ICreateErrorInfo() = default;
};
inline constexpr IID IID_ICreateErrorInfo =
    platform::MakeGuid("{22F03340-547D-101B-8E65-08002B2BD119}");
template <>
inline constexpr IID uuidof<ICreateErrorInfo> = IID_ICreateErrorInfo;

HRESULT CreateErrorInfo(ICreateErrorInfo** result);
// Replaces the calling thread's error object (null clears it). `reserved` must be 0.
HRESULT SetErrorInfo(ULONG reserved, IErrorInfo* errorInfo);
// Hands the thread's error object over and clears it: S_FALSE with null when there is none.
HRESULT GetErrorInfo(ULONG reserved, IErrorInfo** errorInfo);
