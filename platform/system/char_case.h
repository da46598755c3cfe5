// CharUpperW: upper case by the locale-independent rules of platform::ToUpperChar.
#pragma once

#include "platform/types/windows_types.h"

// A pointer whose high-order bits are zero is one character in its low word: its upper case is
// returned the same way. Any other pointer names a terminated string, converted in place and
// returned.
LPWSTR CharUpperW(LPWSTR text);
