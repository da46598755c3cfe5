// The registry: HKEY_LOCAL_MACHINE and HKEY_CLASSES_ROOT (= HKLM\SOFTWARE\Classes) kept in one
// SQLite database file, shared safely by every process that opens it.
//
// The file is TALVARO_REGISTRY, or /var/lib/talvaro/registry.db; it is created by the first
// write. Key and value names compare without regard to letter case and keep the case they were
// created with. Functions return Win32 error codes (ERROR_SUCCESS on success) exactly as the
// documented API: ERROR_FILE_NOT_FOUND for a missing key or value, ERROR_MORE_DATA with the
// needed size for a short buffer, ERROR_ACCESS_DENIED for a handle opened without the right or a
// file this process may not write, ERROR_BADDB for a database that is corrupt or not one.
// Wide string data is stored as UTF-8; the W functions hand it out as wchar_t units, the A
// functions as UTF-8 bytes.
#pragma once

#include <string>

#include "platform/types/windows_types.h"

struct RegistryKey;  // opaque; see registry_store.h
using HKEY = RegistryKey*;
using PHKEY = HKEY*;
using REGSAM = DWORD;
using LSTATUS = LONG;

// Predefined roots; never closed.
extern const HKEY HKEY_CLASSES_ROOT;
extern const HKEY HKEY_LOCAL_MACHINE;

// Value types.
inline constexpr DWORD REG_NONE = 0;
inline constexpr DWORD REG_SZ = 1;
inline constexpr DWORD REG_EXPAND_SZ = 2;
inline constexpr DWORD REG_BINARY = 3;
inline constexpr DWORD REG_DWORD = 4;
inline constexpr DWORD REG_MULTI_SZ = 7;
inline constexpr DWORD REG_QWORD = 11;

// Access rights.
inline constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
inline constexpr REGSAM KEY_SET_VALUE = 0x0002;
inline constexpr REGSAM KEY_CREATE_SUB_KEY = 0x0004;
inline constexpr REGSAM KEY_ENUMERATE_SUB_KEYS = 0x0008;
inline constexpr REGSAM KEY_NOTIFY = 0x0010;
inline constexpr REGSAM KEY_CREATE_LINK = 0x0020;
inline constexpr REGSAM KEY_WOW64_64KEY = 0x0100;
inline constexpr REGSAM KEY_WOW64_32KEY = 0x0200;
inline constexpr REGSAM DELETE_ACCESS = 0x00010000;  // the standard DELETE right
inline constexpr REGSAM READ_CONTROL = 0x00020000;
inline constexpr REGSAM WRITE_DAC = 0x00040000;
inline constexpr REGSAM WRITE_OWNER = 0x00080000;
inline constexpr REGSAM KEY_READ = 0x00020019;
inline constexpr REGSAM KEY_WRITE = 0x00020006;
inline constexpr REGSAM KEY_EXECUTE = KEY_READ;
inline constexpr REGSAM KEY_ALL_ACCESS = 0x000F003F;

// Options and dispositions of RegCreateKeyExW.
inline constexpr DWORD REG_OPTION_NON_VOLATILE = 0;
inline constexpr DWORD REG_CREATED_NEW_KEY = 1;
inline constexpr DWORD REG_OPENED_EXISTING_KEY = 2;

// Limits of names, in characters.
inline constexpr DWORD REGISTRY_MAX_KEY_NAME = 255;
inline constexpr DWORD REGISTRY_MAX_VALUE_NAME = 16383;

LSTATUS RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM desired, PHKEY result);
LSTATUS RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM desired, PHKEY result);
LSTATUS RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD reserved, LPWSTR keyClass, DWORD options,
                        REGSAM desired, const SECURITY_ATTRIBUTES* security, PHKEY result,
                        LPDWORD disposition);
LSTATUS RegCloseKey(HKEY key);

LSTATUS RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                         LPDWORD dataSize);
LSTATUS RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                         LPDWORD dataSize);
LSTATUS RegSetValueExW(HKEY key, LPCWSTR valueName, DWORD reserved, DWORD type, const BYTE* data,
                       DWORD dataSize);
LSTATUS RegDeleteValueW(HKEY key, LPCWSTR valueName);

// Deletes a key that has no subkeys (ERROR_ACCESS_DENIED otherwise, as documented).
LSTATUS RegDeleteKeyW(HKEY key, LPCWSTR subKey);
// Deletes a key with its whole subtree; a null subKey empties the key itself.
LSTATUS RegDeleteTreeW(HKEY key, LPCWSTR subKey);

// Enumeration by index; ERROR_NO_MORE_ITEMS past the end. Names in ascending case-folded order.
LSTATUS RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, LPDWORD nameLength, LPDWORD reserved,
                      LPWSTR keyClass, LPDWORD classLength, FILETIME* lastWrite);
LSTATUS RegEnumValueW(HKEY key, DWORD index, LPWSTR valueName, LPDWORD valueNameLength,
                      LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD dataSize);

namespace platform::registry {
// The database file the predefined roots use now: TALVARO_REGISTRY when set, else the default;
// read anew on each call.
std::string CurrentDatabasePath();
}  // namespace platform::registry
