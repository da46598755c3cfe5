// The command-line grammar of the service host: only '/' introduces a switch; the first '/'
// anywhere in the line (program name included) is the only one examined; its word matches a
// keyword when both agree character by character after CharUpperW and the word ends there
// (end of line, blank or tab). Keywords in matching order: UnregServer, RegServer, Service,
// debug, help.
#pragma once

#include <string_view>

namespace Talvaro::Host {

enum class CommandLineSwitch { None, UnregServer, RegServer, Service, Debug, Help };

CommandLineSwitch FindSwitch(std::wstring_view commandLine);

// The process's exit status for the entry's exit code. The shell sees only the low byte, so a
// non-zero code whose low byte is 0 becomes 1; every other code is returned as it is.
int ProcessExitStatus(int exitCode);

// The text of the /help message box, and its caption.
inline constexpr const wchar_t* kHelpText =
    L"Talvaro Communication Driver service.\n\nParameters:\n   /Service\t\t... register as service\n"
    L"   /Unregserver\t... unregister service\n   /RegServer \t... register as out-of-process Local COM "
    L"server\n\n   -debug \t\t... run Local COM server";
inline constexpr const wchar_t* kHelpCaption = L"Talvaro Communication Driver";

}  // namespace Talvaro::Host
