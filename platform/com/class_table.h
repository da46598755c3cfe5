// The process's class table: class objects registered by this process, and activation
// (CoGetClassObject / CoCreateInstance) through it.
//
// A registration made with REGCLS_SUSPENDED stays invisible until CoResumeClassObjects; all
// registrations become invisible again when the server-process count falls to zero
// (CoSuspendClassObjects). Revoking drops the table's reference to the class object.
#pragma once

#include <functional>

#include "platform/com/unknown.h"

inline constexpr DWORD CLSCTX_INPROC_SERVER = 0x1;
inline constexpr DWORD CLSCTX_INPROC_HANDLER = 0x2;
inline constexpr DWORD CLSCTX_LOCAL_SERVER = 0x4;
inline constexpr DWORD CLSCTX_REMOTE_SERVER = 0x10;
inline constexpr DWORD CLSCTX_INPROC = CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER;
inline constexpr DWORD CLSCTX_SERVER = CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER;
inline constexpr DWORD CLSCTX_ALL = CLSCTX_SERVER | CLSCTX_INPROC_HANDLER;

inline constexpr DWORD REGCLS_SINGLEUSE = 0;
inline constexpr DWORD REGCLS_MULTIPLEUSE = 1;
inline constexpr DWORD REGCLS_MULTI_SEPARATE = 2;
inline constexpr DWORD REGCLS_SUSPENDED = 4;

struct COSERVERINFO;

HRESULT CoRegisterClassObject(REFCLSID clsid, IUnknown* classObject, DWORD context, DWORD flags,
                              LPDWORD cookie);
HRESULT CoRevokeClassObject(DWORD cookie);
HRESULT CoResumeClassObjects();
HRESULT CoSuspendClassObjects();

// A class registered by this process and visible is used directly; otherwise, for
// CLSCTX_LOCAL_SERVER, the activation fallback below (by default the remoting runtime: a running
// server's endpoint, then the registry); without either, REGDB_E_CLASSNOTREG.
//
// Registrations for CLSCTX_LOCAL_SERVER are published to other processes while they are visible
// (platform/remoting/endpoints.h): registering one visible, resuming, suspending and revoking
// publish or withdraw them. CoRegisterClassObject fails (and registers nothing) and
// CoResumeClassObjects returns the failure (the classes stay visible in this process) when
// publishing fails.
HRESULT CoGetClassObject(REFCLSID clsid, DWORD context, COSERVERINFO* serverInfo, REFIID riid,
                         LPVOID* result);
HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID riid,
                         LPVOID* result);

namespace platform::com {

// Activation of classes that this process does not serve itself; the remoting runtime's unless
// replaced (an empty function restores it). Returns the class object for `riid`, or an
// activation failure.
using ActivationFallback = std::function<HRESULT(REFCLSID clsid, DWORD context, REFIID riid, void** result)>;
void SetActivationFallback(ActivationFallback fallback);

// The class object of a class this process publishes, for activation requests of other
// processes: visible registrations for CLSCTX_LOCAL_SERVER only, never the fallback.
// REGDB_E_CLASSNOTREG for a class not among them, CO_E_SERVER_STOPPING when none is visible.
HRESULT GetPublishedClassObject(REFCLSID clsid, REFIID riid, void** result);

}  // namespace platform::com
