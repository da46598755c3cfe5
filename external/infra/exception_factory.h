// Raises a stored error (ErrorStorage) as the exception class registered for it, so an error that
// was kept as data (for example across a process or library boundary) comes back as the type
// its handlers catch.
//
// Threads: Register and Throw may be called from any thread at any time. The table is guarded by
// one process-wide lock, which is released before a thrower runs.
#pragma once

#include <string>

#include "external/infra/exceptions.h"

namespace Infra {

class ExceptionFactory {
 public:
  // Must throw; a thrower that returns is treated as if nothing were registered.
  using Thrower = void (*)(const ErrorStorage& error);

  // The thrower for component-model errors with this status code. Replaces an earlier one.
  static void Register(HRESULT statusCode, Thrower thrower);
  // The thrower for named errors with this name and identifier (names compare exactly).
  // Replaces an earlier one.
  static void Register(const std::wstring& name, DWORD identifier, Thrower thrower);

  // Throws `error` as its registered class, chosen by its status code or by its name and
  // identifier. With no thrower registered, a component-model error is thrown as a plain
  // ExceptionCOM and a named one as a plain ExceptionBase, each carrying all of `error`'s data.
  [[noreturn]] static void Throw(const ErrorStorage& error);
};

// Registers the throwers of InternalError (no name, identifier 1) and of the eight fixed-status
// classes. Each part of the program that uses the family calls it at start-up; calling it again
// is harmless.
void RegisterStandardExceptions();

}  // namespace Infra
