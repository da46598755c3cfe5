#include "external/infra/exception_factory.h"

#include <map>
#include <mutex>
#include <shared_mutex>
#include <utility>

namespace Infra {
namespace {

// The process's thrower table. Guarded by `lock`: Register writes, Throw reads. Created on first
// use and never destroyed, so a thread that raises an error while the process exits still finds
// it.
struct ThrowerTable {
  std::shared_mutex lock;
  std::map<HRESULT, ExceptionFactory::Thrower> byStatus;
  std::map<std::pair<std::wstring, DWORD>, ExceptionFactory::Thrower> byName;
};

ThrowerTable& Table() {
  static auto* table = new ThrowerTable;
  return *table;
}

template <class T>
[[noreturn]] void ThrowAs(const ErrorStorage& error) {
  throw T(error);
}

}  // namespace

void ExceptionFactory::Register(HRESULT statusCode, Thrower thrower) {
  ThrowerTable& table = Table();
  std::unique_lock guard(table.lock);
  table.byStatus[statusCode] = thrower;
}

void ExceptionFactory::Register(const std::wstring& name, DWORD identifier, Thrower thrower) {
  ThrowerTable& table = Table();
  std::unique_lock guard(table.lock);
  table.byName[{name, identifier}] = thrower;
}

void ExceptionFactory::Throw(const ErrorStorage& error) {
  Thrower thrower = nullptr;
  {
    ThrowerTable& table = Table();
    std::shared_lock guard(table.lock);
    if (error.HasStatusCode()) {
      const auto found = table.byStatus.find(error.StatusCode());
      if (found != table.byStatus.end()) thrower = found->second;
    } else {
      const auto found = table.byName.find({error.Name(), error.Identifier()});
      if (found != table.byName.end()) thrower = found->second;
    }
  }
  if (thrower != nullptr) thrower(error);
  if (error.HasStatusCode()) throw ExceptionCOM(error);
  throw ExceptionBase(error);
}

void RegisterStandardExceptions() {
  ExceptionFactory::Register(std::wstring(), InternalError::kIdentifier, &ThrowAs<InternalError>);
  ExceptionFactory::Register(NotImplemented::kStatusCode, &ThrowAs<NotImplemented>);
  ExceptionFactory::Register(OutOfMemory::kStatusCode, &ThrowAs<OutOfMemory>);
  ExceptionFactory::Register(Unexpected::kStatusCode, &ThrowAs<Unexpected>);
  ExceptionFactory::Register(InvalidArg::kStatusCode, &ThrowAs<InvalidArg>);
  ExceptionFactory::Register(NoInterface::kStatusCode, &ThrowAs<NoInterface>);
  ExceptionFactory::Register(Pointer::kStatusCode, &ThrowAs<Pointer>);
  ExceptionFactory::Register(AccessDenied::kStatusCode, &ThrowAs<AccessDenied>);
  ExceptionFactory::Register(ElevationRequired::kStatusCode, &ThrowAs<ElevationRequired>);
}

}  // namespace Infra
