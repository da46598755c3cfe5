#include "external/infra/exceptions.h"

#include <cwchar>
#include <vector>

namespace Infra {
namespace {

constexpr const char* kWhatText = "Message not specified";

std::wstring Cut(std::wstring_view message) {
  return std::wstring(message.substr(0, ErrorStorage::kMaxMessageLength));
}

}  // namespace

ErrorStorage::ErrorStorage() : std::runtime_error(kWhatText) {}

ErrorStorage::ErrorStorage(HRESULT statusCode, REFIID iid, std::wstring_view message)
    : std::runtime_error(kWhatText),
      kind_(kComponentModelErrorKind),
      hasStatusCode_(true),
      statusCode_(statusCode),
      iid_(iid),
      message_(Cut(message)) {}

ErrorStorage::ErrorStorage(USHORT kind, std::wstring name, DWORD identifier,
                           std::wstring_view message)
    : std::runtime_error(kWhatText),
      kind_(kind),
      hasStatusCode_(false),
      name_(std::move(name)),
      identifier_(identifier),
      message_(Cut(message)) {}

void ErrorStorage::SetMessage(std::wstring_view message) { message_ = Cut(message); }

std::unique_ptr<CloneableExceptionBase> ExceptionBase::Clone() const {
  return std::make_unique<ExceptionBase>(*this);
}

void ExceptionBase::Rethrow() const { throw *this; }

InternalError::InternalError(std::wstring_view message)
    : Cloneable(kInfraErrorKind, std::wstring(), kIdentifier, message) {}

InternalError::InternalError(const ErrorStorage& storage) : Cloneable(storage) {}

std::wstring FormatMessageText(const wchar_t* format, va_list args) {
  if (format == nullptr) return {};
  // vswprintf reports a too small buffer and a conversion error alike (-1), so grow a few
  // times before giving up; the result is cut to the message limit anyway.
  for (std::size_t capacity : {std::size_t{ErrorStorage::kMaxMessageLength + 1}, std::size_t{8192},
                               std::size_t{65536}}) {
    std::vector<wchar_t> buffer(capacity);
    va_list copy;
    va_copy(copy, args);
    const int written = std::vswprintf(buffer.data(), buffer.size(), format, copy);
    va_end(copy);
    if (written >= 0) {
      return Cut(std::wstring_view(buffer.data(), static_cast<std::size_t>(written)));
    }
  }
  return Cut(format);
}

ExceptionCOM::ExceptionCOM(HRESULT statusCode, REFIID iid) : Cloneable(statusCode, iid) {}

ExceptionCOM::ExceptionCOM(HRESULT statusCode, REFIID iid, const wchar_t* format, ...)
    : Cloneable(statusCode, iid) {
  va_list args;
  va_start(args, format);
  SetMessage(FormatMessageText(format, args));
  va_end(args);
}

ExceptionCOM::ExceptionCOM(const ErrorStorage& storage) : Cloneable(storage) {}

}  // namespace Infra
