// The infrastructure library's exception family.
//
//   std::runtime_error
//     ErrorStorage                  kind, message, status code + IID or name + identifier
//       ExceptionBase               + CloneableExceptionBase (crosses threads with its type)
//         InternalError             Infra's own failures: no name, identifier 1
//         ExceptionCOM              status code + IID + printf-style wide message
//           NotImplemented, OutOfMemory, Unexpected, InvalidArg, NoInterface, Pointer,
//           AccessDenied, ElevationRequired     FixedStatusException<code>: null IID
//
// what() is always "Message not specified": the real text is the wide Message(). Every class
// of the family derives through Cloneable<Derived, Base>, so Clone() and Rethrow() keep the
// most derived type; a class deriving from the family must do the same or it is cloned as
// its base.
//
// All objects are plain values: copying is cheap enough and any thread may read a const one.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

#include "platform/types/error_codes.h"
#include "platform/types/guid.h"

namespace Infra {

// Carries an exception from the thread that caught it to another thread with its dynamic type:
// Clone() copies it as its most derived type, Rethrow() throws a copy of it as that type.
class CloneableExceptionBase {
 public:
  virtual ~CloneableExceptionBase() = default;
  virtual std::unique_ptr<CloneableExceptionBase> Clone() const = 0;
  [[noreturn]] virtual void Rethrow() const = 0;

 protected:
  CloneableExceptionBase() = default;
  CloneableExceptionBase(const CloneableExceptionBase&) = default;
  CloneableExceptionBase& operator=(const CloneableExceptionBase&) = default;
};

// Implements Clone() and Rethrow() for Derived; Base is the class Derived extends.
template <class Derived, class Base>
class Cloneable : public Base {
 public:
  using Base::Base;

  std::unique_ptr<CloneableExceptionBase> Clone() const override {
    return std::make_unique<Derived>(static_cast<const Derived&>(*this));
  }
  [[noreturn]] void Rethrow() const override { throw static_cast<const Derived&>(*this); }
};

// Kinds of error. 0 is reserved for component-model errors (status code + IID); other kinds
// identify errors by name + identifier and are chosen by the library that defines them.
inline constexpr USHORT kComponentModelErrorKind = 0;
inline constexpr USHORT kInfraErrorKind = 1;

class ErrorStorage : public std::runtime_error {
 public:
  static constexpr std::size_t kMaxMessageLength = 1024;  // wide characters; longer is cut

  // An empty component-model error: status S_OK, null IID, no message.
  ErrorStorage();
  // A component-model error (kind 0).
  ErrorStorage(HRESULT statusCode, REFIID iid, std::wstring_view message = {});
  // A named error of the given kind.
  ErrorStorage(USHORT kind, std::wstring name, DWORD identifier, std::wstring_view message = {});

  USHORT Kind() const noexcept { return kind_; }
  const std::wstring& Message() const noexcept { return message_; }
  void SetMessage(std::wstring_view message);

  // Which of the two identifications the error carries.
  bool HasStatusCode() const noexcept { return hasStatusCode_; }
  HRESULT StatusCode() const noexcept { return statusCode_; }
  const IID& InterfaceId() const noexcept { return iid_; }
  const std::wstring& Name() const noexcept { return name_; }
  DWORD Identifier() const noexcept { return identifier_; }

 private:
  USHORT kind_ = kComponentModelErrorKind;
  bool hasStatusCode_ = true;
  HRESULT statusCode_ = S_OK;
  IID iid_{};
  std::wstring name_;
  DWORD identifier_ = 0;
  std::wstring message_;
};

// The root of the throwable family.
class ExceptionBase : public ErrorStorage, public CloneableExceptionBase {
 public:
  using ErrorStorage::ErrorStorage;
  explicit ExceptionBase(const ErrorStorage& storage) : ErrorStorage(storage) {}

  std::unique_ptr<CloneableExceptionBase> Clone() const override;
  [[noreturn]] void Rethrow() const override;
};

// A failure inside the infrastructure itself: kind kInfraErrorKind, no name, identifier 1.
class InternalError : public Cloneable<InternalError, ExceptionBase> {
 public:
  static constexpr DWORD kIdentifier = 1;

  explicit InternalError(std::wstring_view message = {});
  explicit InternalError(const ErrorStorage& storage);
};

// A component-model error with a printf-style wide message (vswprintf rules: %ls for wide
// strings, %s for narrow ones). The format is always a format: pass "%ls" and the text when the
// text may contain '%'. A format that cannot be expanded leaves the format text as the message.
class ExceptionCOM : public Cloneable<ExceptionCOM, ExceptionBase> {
 public:
  ExceptionCOM(HRESULT statusCode, REFIID iid);
  ExceptionCOM(HRESULT statusCode, REFIID iid, const wchar_t* format, ...);
  explicit ExceptionCOM(const ErrorStorage& storage);
};

// Formats a printf-style wide message, cut to ErrorStorage::kMaxMessageLength characters.
std::wstring FormatMessageText(const wchar_t* format, va_list args);

// The fixed-status classes: status code `Code`, null IID. Each can be built with or without a
// printf-style message (ExceptionCOM's rules), or from a stored error (the factory's throwers use
// that one), which keeps the stored message. One template, so each code is a class of its own.
template <HRESULT Code>
class FixedStatusException : public Cloneable<FixedStatusException<Code>, ExceptionCOM> {
  using Base = Cloneable<FixedStatusException<Code>, ExceptionCOM>;

 public:
  static constexpr HRESULT kStatusCode = Code;

  FixedStatusException() : Base(Code, IID_NULL) {}
  explicit FixedStatusException(const wchar_t* format, ...) : Base(Code, IID_NULL) {
    va_list args;
    va_start(args, format);
    this->SetMessage(FormatMessageText(format, args));
    va_end(args);
  }
  explicit FixedStatusException(const ErrorStorage& storage) : Base(storage) {}
};

using NotImplemented = FixedStatusException<E_NOTIMPL>;
using OutOfMemory = FixedStatusException<E_OUTOFMEMORY>;
using Unexpected = FixedStatusException<E_UNEXPECTED>;
using InvalidArg = FixedStatusException<E_INVALIDARG>;
using NoInterface = FixedStatusException<E_NOINTERFACE>;
using Pointer = FixedStatusException<E_POINTER>;
using AccessDenied = FixedStatusException<E_ACCESSDENIED>;
using ElevationRequired = FixedStatusException<E_ELEVATION_REQUIRED>;

}  // namespace Infra
