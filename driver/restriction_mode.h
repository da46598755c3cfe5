// The restriction mode shared by client and hardware: 0, 1 and 2 pass unchanged, any other
// value as 3, in both directions.
#pragma once

#include "platform/types/windows_types.h"

namespace Talvaro::Driver {

constexpr ULONG MapRestrictionMode(ULONG mode) { return mode <= 2 ? mode : 3; }

}  // namespace Talvaro::Driver
