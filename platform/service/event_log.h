// The event log: records go to syslog (journald) with the source name as identifier and the
// daemon facility; when TALVARO_EVENT_LOG names a file, one line per record is appended there
// instead:
//
//   2024-05-01T12:03:27.045Z TalvaroCommunicationDriver[4711] Information 0: Service stopped
//
// (UTC time, source, process id, type, event identifier, the strings joined by blanks; line
// breaks inside them are written as "\n" / "\r"). Raw data and user identities are not kept.
#pragma once

#include "platform/types/error_codes.h"

inline constexpr WORD EVENTLOG_SUCCESS = 0x0000;
inline constexpr WORD EVENTLOG_ERROR_TYPE = 0x0001;
inline constexpr WORD EVENTLOG_WARNING_TYPE = 0x0002;
inline constexpr WORD EVENTLOG_INFORMATION_TYPE = 0x0004;
inline constexpr WORD EVENTLOG_AUDIT_SUCCESS = 0x0008;
inline constexpr WORD EVENTLOG_AUDIT_FAILURE = 0x0010;

using PSID = void*;

// Local machine only (ERROR_NOT_SUPPORTED for a server name); ERROR_INVALID_PARAMETER for a
// null or empty source. Any thread.
HANDLE RegisterEventSourceW(LPCWSTR serverName, LPCWSTR sourceName);
BOOL DeregisterEventSource(HANDLE eventLog);

// One record. ERROR_INVALID_HANDLE for a handle that is no event source, ERROR_INVALID_PARAMETER
// for an unknown type or strings announced but missing; a record that cannot be written gives
// the file's error (ERROR_ACCESS_DENIED, ERROR_PATH_NOT_FOUND, ...). Any thread.
BOOL ReportEventW(HANDLE eventLog, WORD type, WORD category, DWORD eventId, PSID userSid,
                  WORD numStrings, DWORD dataSize, LPCWSTR* strings, LPVOID rawData);
