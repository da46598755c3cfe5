// tcdreg's texts: the system's message for a registry error code, and the help pages.
#pragma once

#include <string>

#include "platform/types/windows_types.h"
#include "tools/tcdreg/command_line.h"

namespace tcdreg {

// The text of a Win32 error code as the system words it, e.g. for ERROR_FILE_NOT_FOUND from a
// registry call "The system was unable to find the specified registry key or value.".
std::string ErrorText(LONG code);

// The help page of one operation, or of the tool as a whole for Operation::kNone.
std::string HelpText(Operation operation);

}  // namespace tcdreg
