// A private namespace: the space in which a process creates channels that only those who know
// its boundary name and alias prefix can find. It is a real object: a small shared-memory object
// that names its creator, removed when the creator's CPrivateNamespace goes, and taken over when
// its creator has died. Opening one that nobody created (or whose creator died) fails.
// docs/sharedmemory.md gives the mapping to object names. Shared-memory names are machine-wide;
// the environment variable TALVARO_SHM_SCOPE, when set, puts a process's namespaces into a scope
// of that name, which namespaces of other scopes never meet (as login sessions keep theirs
// apart elsewhere): several server instances, or tests running side by side, each with its own.
#pragma once

#include <string>

#include "external/sharedmemory/security_attributes.h"
#include "external/sharedmemory/shared_object.h"

namespace SharedMemoryTransport {

class CPrivateNamespace {
 public:
  // resource_already_used_error while a live process holds the same namespace; otherwise
  // sharedmemory_runtime_error for any failure.
  static CPrivateNamespace CreatePrivateNamespaceW(const CSecurityAttributes& attributes,
                                                   const std::wstring& boundaryName,
                                                   const std::wstring& aliasPrefix);
  // sharedmemory_runtime_error when no live process created it.
  static CPrivateNamespace OpenPrivateNamespaceW(const std::wstring& boundaryName, const std::wstring& aliasPrefix);

  CPrivateNamespace(CPrivateNamespace&& other) noexcept;
  CPrivateNamespace& operator=(CPrivateNamespace&& other) noexcept;
  CPrivateNamespace(const CPrivateNamespace&) = delete;
  CPrivateNamespace& operator=(const CPrivateNamespace&) = delete;
  virtual ~CPrivateNamespace();

  // The prefix of the names of the namespace's channels.
  std::wstring Name() const { return prefix_; }

 private:
  CPrivateNamespace(Detail::SharedObject object, std::string objectName, std::wstring prefix, bool creator);
  // The creator's removes the namespace object; an opener's leaves it to the creator, or removes
  // it once the creator has died.
  void LetGo() noexcept;

  Detail::SharedObject object_;
  std::string objectName_;
  std::wstring prefix_;
  bool creator_ = false;
};

}  // namespace SharedMemoryTransport
