// Cutting an object's clients in other processes off, for a server that goes away while they
// still hold it.
#pragma once

#include "platform/com/unknown.h"

// Ends every export of `unknown`'s object to other processes, on every connection: the
// references those exports held are released before this returns (on the calling thread, so the
// object's final release may run here), locks the clients took with IClassFactory::LockServer
// are given back, and later calls from those clients fail with RPC_E_DISCONNECTED. Calls already
// running finish; each holds its own reference until it returns. Handing the object out again
// exports it afresh. A no-op (S_OK) for an object never exported and for a proxy (the object
// lives elsewhere); E_INVALIDARG for null. `reserved` is ignored, as on the original system.
// Component threads (the remoting runtime's own thread never runs object code).
HRESULT CoDisconnectObject(IUnknown* unknown, DWORD reserved);
