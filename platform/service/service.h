// The service control subset on systemd: the service side (dispatcher, control handler, status
// reports) and the manager side (install, configure, control, remove).
//
// Service side. A process that systemd started (NOTIFY_SOCKET in its environment, or
// INVOCATION_ID with PID 1 as its parent) runs its ServiceMain on a thread of its own inside
// StartServiceCtrlDispatcherW; the dispatcher's thread turns signals into controls for the
// handler: SIGTERM stop (1), SIGHUP paramchange (6), SIGUSR1 128, SIGUSR2 129. Status reports
// go out with sd_notify.
//
// Manager side. A service is the unit file "<name>.service" in the unit directory
// ($TALVARO_UNIT_DIR, default /etc/systemd/system); systemctl is asked to enable, disable,
// reload and stop only when systemd manages that directory (docs/host.md).
#pragma once

#include "platform/types/error_codes.h"

// ---- Types and values ----

struct SC_HANDLE__;
using SC_HANDLE = SC_HANDLE__*;
using SC_LOCK = void*;
struct SERVICE_STATUS_HANDLE__;
using SERVICE_STATUS_HANDLE = SERVICE_STATUS_HANDLE__*;

struct SERVICE_STATUS {
  DWORD dwServiceType;
  DWORD dwCurrentState;
  DWORD dwControlsAccepted;
  DWORD dwWin32ExitCode;
  DWORD dwServiceSpecificExitCode;
  DWORD dwCheckPoint;
  DWORD dwWaitHint;
};
using LPSERVICE_STATUS = SERVICE_STATUS*;

using LPSERVICE_MAIN_FUNCTIONW = void (*)(DWORD argc, LPWSTR* argv);
using LPHANDLER_FUNCTION = void (*)(DWORD control);

struct SERVICE_TABLE_ENTRYW {
  LPWSTR lpServiceName;
  LPSERVICE_MAIN_FUNCTIONW lpServiceProc;
};

struct SERVICE_DESCRIPTIONW {
  LPWSTR lpDescription;
};

inline constexpr DWORD SERVICE_WIN32_OWN_PROCESS = 0x10;

inline constexpr DWORD SERVICE_STOPPED = 1;
inline constexpr DWORD SERVICE_START_PENDING = 2;
inline constexpr DWORD SERVICE_STOP_PENDING = 3;
inline constexpr DWORD SERVICE_RUNNING = 4;
inline constexpr DWORD SERVICE_CONTINUE_PENDING = 5;
inline constexpr DWORD SERVICE_PAUSE_PENDING = 6;
inline constexpr DWORD SERVICE_PAUSED = 7;

inline constexpr DWORD SERVICE_ACCEPT_STOP = 0x1;
inline constexpr DWORD SERVICE_ACCEPT_PAUSE_CONTINUE = 0x2;
inline constexpr DWORD SERVICE_ACCEPT_SHUTDOWN = 0x4;
inline constexpr DWORD SERVICE_ACCEPT_PARAMCHANGE = 0x8;

inline constexpr DWORD SERVICE_CONTROL_STOP = 1;
inline constexpr DWORD SERVICE_CONTROL_PAUSE = 2;
inline constexpr DWORD SERVICE_CONTROL_CONTINUE = 3;
inline constexpr DWORD SERVICE_CONTROL_INTERROGATE = 4;
inline constexpr DWORD SERVICE_CONTROL_SHUTDOWN = 5;
inline constexpr DWORD SERVICE_CONTROL_PARAMCHANGE = 6;

inline constexpr DWORD SERVICE_BOOT_START = 0;
inline constexpr DWORD SERVICE_SYSTEM_START = 1;
inline constexpr DWORD SERVICE_AUTO_START = 2;
inline constexpr DWORD SERVICE_DEMAND_START = 3;
inline constexpr DWORD SERVICE_DISABLED = 4;

inline constexpr DWORD SERVICE_ERROR_IGNORE = 0;
inline constexpr DWORD SERVICE_ERROR_NORMAL = 1;
inline constexpr DWORD SERVICE_ERROR_SEVERE = 2;
inline constexpr DWORD SERVICE_ERROR_CRITICAL = 3;

inline constexpr DWORD SERVICE_NO_CHANGE = 0xFFFFFFFF;
inline constexpr DWORD SERVICE_CONFIG_DESCRIPTION = 1;

inline constexpr const wchar_t* SERVICES_ACTIVE_DATABASEW = L"ServicesActive";

// Access rights of the manager and of services.
inline constexpr DWORD SC_MANAGER_CONNECT = 0x0001;
inline constexpr DWORD SC_MANAGER_CREATE_SERVICE = 0x0002;
inline constexpr DWORD SC_MANAGER_ENUMERATE_SERVICE = 0x0004;
inline constexpr DWORD SC_MANAGER_LOCK = 0x0008;
inline constexpr DWORD SC_MANAGER_QUERY_LOCK_STATUS = 0x0010;
inline constexpr DWORD SC_MANAGER_MODIFY_BOOT_CONFIG = 0x0020;
inline constexpr DWORD SC_MANAGER_ALL_ACCESS = 0xF003F;

inline constexpr DWORD SERVICE_QUERY_CONFIG = 0x0001;
inline constexpr DWORD SERVICE_CHANGE_CONFIG = 0x0002;
inline constexpr DWORD SERVICE_QUERY_STATUS = 0x0004;
inline constexpr DWORD SERVICE_ENUMERATE_DEPENDENTS = 0x0008;
inline constexpr DWORD SERVICE_START = 0x0010;
inline constexpr DWORD SERVICE_STOP = 0x0020;
inline constexpr DWORD SERVICE_PAUSE_CONTINUE = 0x0040;
inline constexpr DWORD SERVICE_INTERROGATE = 0x0080;
inline constexpr DWORD SERVICE_USER_DEFINED_CONTROL = 0x0100;
inline constexpr DWORD SERVICE_ALL_ACCESS = 0xF01FF;
inline constexpr DWORD DELETE = 0x00010000;

// ---- Service side (platform/service/dispatcher.cpp) ----

// Runs the first entry's ServiceMain (argv = { name }) on a new thread and delivers controls to
// the handler it registers, on the calling thread, until ServiceMain has returned; then TRUE.
// The four signals above are blocked in the calling thread (and so in every thread created
// after) and redirected to it from any other thread, so no thread dies of them. FALSE with
// ERROR_INVALID_DATA for a malformed table, ERROR_SERVICE_ALREADY_RUNNING while a dispatcher
// runs, ERROR_FAILED_SERVICE_CONTROLLER_CONNECT (1063) when systemd did not start the process.
BOOL StartServiceCtrlDispatcherW(const SERVICE_TABLE_ENTRYW* serviceTable);

// Registers the control handler of the dispatcher's service (name compared without regard to
// case). Controls are delivered, in order, once the service has made its first status report
// through the returned handle; those that came earlier wait for it. Null with
// ERROR_SERVICE_NOT_IN_EXE when no dispatcher runs that service, ERROR_INVALID_PARAMETER for a
// null handler.
SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerW(LPCWSTR serviceName, LPHANDLER_FUNCTION handler);

// Reports the status through sd_notify: start pending "STATUS=Start pending", running
// "READY=1" + "STATUS=Running", stop pending "STOPPING=1" + "STATUS=Stop pending", stopped
// "STATUS=Stopped" (with the exit code when it is not 0), the pause states as STATUS only; a
// wait hint extends systemd's time-out by that much. Any thread. FALSE with ERROR_INVALID_HANDLE
// for a handle of no running dispatcher, ERROR_INVALID_DATA for an unknown state, and
// ERROR_FAILED_SERVICE_CONTROLLER_CONNECT when the notification socket refuses the report.
BOOL SetServiceStatus(SERVICE_STATUS_HANDLE statusHandle, LPSERVICE_STATUS status);

// ---- Manager side (platform/service/service_manager.cpp) ----
//
// Rights that change the unit directory (SC_MANAGER_CREATE_SERVICE, SC_MANAGER_LOCK,
// SC_MANAGER_MODIFY_BOOT_CONFIG; SERVICE_CHANGE_CONFIG, DELETE) are granted when this process
// may write it, or create it (it is created by the first unit or lock); otherwise
// ERROR_ACCESS_DENIED. An operation needs the right it is documented with, else
// ERROR_ACCESS_DENIED. Handles of other kinds give ERROR_INVALID_HANDLE. Any thread.

// Local machine only (ERROR_NOT_SUPPORTED for a machine name); database null or
// SERVICES_ACTIVE_DATABASEW (ERROR_DATABASE_DOES_NOT_EXIST otherwise).
SC_HANDLE OpenSCManagerW(LPCWSTR machineName, LPCWSTR databaseName, DWORD desiredAccess);

// ERROR_SERVICE_DOES_NOT_EXIST when there is no unit file of that name; ERROR_INVALID_NAME for
// an empty name, one longer than 256 characters or one holding '/' or '\'.
SC_HANDLE OpenServiceW(SC_HANDLE manager, LPCWSTR serviceName, DWORD desiredAccess);

// Writes the unit file (docs/host.md shows it). Own-process services with the local system
// account only: other types, boot/system start, load-order groups and tags give
// ERROR_INVALID_PARAMETER, another account ERROR_INVALID_SERVICE_ACCOUNT. `dependencies` is a
// list of names each ended by '\0', the list ended by another '\0'. ERROR_SERVICE_EXISTS when
// the unit exists (creation is atomic: of two creators, one wins).
SC_HANDLE CreateServiceW(SC_HANDLE manager, LPCWSTR serviceName, LPCWSTR displayName,
                         DWORD desiredAccess, DWORD serviceType, DWORD startType,
                         DWORD errorControl, LPCWSTR binaryPathName, LPCWSTR loadOrderGroup,
                         LPDWORD tagId, LPCWSTR dependencies, LPCWSTR serviceStartName,
                         LPCWSTR password);

// Removes the unit (disabled first). The handle stays open; later operations on it give
// ERROR_SERVICE_MARKED_FOR_DELETE. A running service runs on until it is stopped.
BOOL DeleteService(SC_HANDLE service);

// SERVICE_CONTROL_STOP (asks systemd to stop the unit, without waiting for it) and
// SERVICE_CONTROL_INTERROGATE. ERROR_SERVICE_NOT_ACTIVE when the unit is not running, or when
// systemd does not manage the unit directory; ERROR_INVALID_SERVICE_CONTROL for other controls;
// ERROR_SERVICE_REQUEST_TIMEOUT when systemctl does not answer in time. `status` receives the
// state seen (stop pending after a stop request).
BOOL ControlService(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status);

// SERVICE_NO_CHANGE / null leave a setting as it is. Start type automatic enables the unit,
// demand start and disabled disable it; when that fails (the systemctl errors above), the unit
// file is left as it was. Changes of type, group, tag, account or password give
// ERROR_INVALID_PARAMETER; a unit not written by CreateServiceW gives ERROR_NOT_SUPPORTED.
BOOL ChangeServiceConfigW(SC_HANDLE service, DWORD serviceType, DWORD startType,
                          DWORD errorControl, LPCWSTR binaryPathName, LPCWSTR loadOrderGroup,
                          LPDWORD tagId, LPCWSTR dependencies, LPCWSTR serviceStartName,
                          LPCWSTR password, LPCWSTR displayName);

// SERVICE_CONFIG_DESCRIPTION only (ERROR_INVALID_LEVEL otherwise): the unit's Description=; a
// null description changes nothing, an empty one removes it.
BOOL ChangeServiceConfig2W(SC_HANDLE service, DWORD infoLevel, LPVOID info);

// An exclusive lock of the unit directory's lock file, across processes; null with
// ERROR_SERVICE_DATABASE_LOCKED while someone else (this process included) holds it.
SC_LOCK LockServiceDatabase(SC_HANDLE manager);
BOOL UnlockServiceDatabase(SC_LOCK lock);  // ERROR_INVALID_SERVICE_LOCK for a bad lock

BOOL CloseServiceHandle(SC_HANDLE handle);
