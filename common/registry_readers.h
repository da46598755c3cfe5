// Readers of single configuration values under HKEY_LOCAL_MACHINE. Each returns whether the value
// was read; on failure the output is untouched and nothing is logged. The stored type is not
// checked: the bytes are taken as they come.
#pragma once

#include <string>

#include "platform/types/windows_types.h"

namespace Talvaro::Common {

// Reads at most four bytes into `value`; shorter data is zero-extended.
bool ReadRegistryDword(const std::wstring& valueName, const std::wstring& keyPath, DWORD& value);

// Reads through a buffer of 50 characters, so a value of more than 49 characters (terminator
// excluded) cannot be read. The result is the returned data without its terminator.
bool ReadRegistryString(const std::wstring& valueName, const std::wstring& keyPath,
                        std::wstring& value);

}  // namespace Talvaro::Common
