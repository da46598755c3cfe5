// The calling thread's last Win32 error code.
#pragma once

#include "platform/types/windows_types.h"

DWORD GetLastError();
void SetLastError(DWORD error);
