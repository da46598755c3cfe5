// The names a side leaves to its peer. A side that ends while its peer still runs leaves the
// removal of the name to the peer's end; a peer that is killed never ends, and its exit may not
// be complete yet when the side looks (a process closes its files before the kernel counts it as
// gone). So the name is watched here until the peer has ended or died, then removed.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "external/sharedmemory/shared_object.h"

namespace SharedMemoryTransport::Detail {

// Takes `object`, kept mapped meanwhile, and removes `name` (when it still names that object)
// once `*peerGone` is set (when given) or `*peer`'s process has ended; both point into the
// object's mapping. Checked every 100 ms on a thread of its own, which runs while any name
// waits. Any thread.
void RemoveWhenPeerEnds(SharedObject object, std::string name, const std::atomic<std::uint32_t>* peerGone,
                        const SharedStamp* peer);

}  // namespace SharedMemoryTransport::Detail
