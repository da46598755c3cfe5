// The server's bounds on its clients, read from the registry once at start-up and handed to
// the remoting, whose reports go to the driver log.
#pragma once

namespace Talvaro::Host {

inline constexpr const wchar_t* kRemotingKeyPath = L"SOFTWARE\\TALVARO\\ORBIQ\\TalvaroCommunicationDriver\\Remoting";

// Main thread, before the class objects are published. Also raises the soft limit on open
// descriptors to the hard one, so that the connection cap, not the kernel, refuses clients.
void ApplyRemotingLimits();

}  // namespace Talvaro::Host
