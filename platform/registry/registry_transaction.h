// An extension beyond the Win32 registry API: several registry calls as one atomic change.
//
// Between construction and Commit(), every registry call that the constructing thread makes on
// the file that TALVARO_REGISTRY named at construction joins one database transaction: other
// processes see all of it or nothing, and a Transaction destroyed without Commit() undoes it.
// Each call inside stays all-or-nothing by itself, so a failed call can be reported and the rest
// committed. Other threads of this process wait for the registry file until the Transaction
// ends, and other processes' writers wait up to their busy time-out; keep it short.
//
// Create and destroy it on one thread. If status() is not ERROR_SUCCESS nothing was started, and
// calls made anyway run on their own. A kWrite Transaction creates the file when it is missing;
// a write call inside a kRead one fails with ERROR_INVALID_FUNCTION.
#pragma once

#include <memory>

#include "platform/registry/registry.h"

namespace platform::registry {

class Session;

class Transaction {
 public:
  enum class Mode { kRead, kWrite };

  explicit Transaction(Mode mode);
  ~Transaction();
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;

  LSTATUS status() const;
  // Makes the changes durable; ERROR_CANTWRITE when another process kept the file locked.
  LSTATUS Commit();

 private:
  std::unique_ptr<Session> session_;
};

}  // namespace platform::registry
