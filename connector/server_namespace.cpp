#include "connector/server_namespace.h"

#include <memory>
#include <mutex>
#include <optional>

#include "external/sharedmemory/private_namespace.h"

namespace Talvaro::Connector {
namespace {

using SharedMemoryTransport::CPrivateNamespace;
using SharedMemoryTransport::CSecurityAttributes;

// Built once, thread-safely, and kept until the process ends; a namespace that failed to be
// created does not build them again.
const CSecurityAttributes& ServerAttributes() {
  static const CSecurityAttributes attributes(kServerSecurityDescriptor);
  return attributes;
}

}  // namespace

std::wstring GetServerNamespaceName() {
  const CSecurityAttributes& attributes = ServerAttributes();
  static std::mutex mutex;
  static std::optional<CPrivateNamespace> serverNamespace;  // guarded by mutex; removed at exit
  std::lock_guard guard(mutex);
  if (!serverNamespace) {
    serverNamespace.emplace(
        CPrivateNamespace::CreatePrivateNamespaceW(attributes, kServerBoundaryName, kServerAliasPrefix));
  }
  return serverNamespace->Name();
}

}  // namespace Talvaro::Connector
