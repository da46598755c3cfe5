// The access of the objects a process creates, given as an SDDL text and mapped to what Linux
// enforces on a shared-memory object: its file mode (the creator owns it). Supported: a DACL
// ("D:") of allow entries ("A", no flags, no object types) granting GA (read and write: both sides
// of a channel write to it) to the creator (CO, OW), to every local user (AU, WD, IU), or to the
// administrators and the system (BA, SY: root has access anyway, so they add nothing); the
// creator must be granted access. Anything else cannot be enforced and is refused with
// sharedmemory_runtime_error rather than ignored.
#pragma once

#include <string>
#include <sys/types.h>

namespace SharedMemoryTransport {

class CSecurityAttributes {
 public:
  explicit CSecurityAttributes(const std::wstring& sddl);

  // The file mode of objects created with these attributes.
  mode_t Mode() const { return mode_; }

 private:
  mode_t mode_ = 0;
};

}  // namespace SharedMemoryTransport
