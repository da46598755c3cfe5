// The systemd unit file that stands for one service: its rendering from the service's settings
// and the reading back of those settings.
//
// The settings are written twice: as systemd directives ([Unit], [Service], [Install]) and
// verbatim in a section "[X-ServiceControl]" that systemd ignores, from which
// ChangeServiceConfigW reads them back. Text values are kept on one line (line breaks become
// blanks).
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/types/windows_types.h"

namespace platform::service {

struct ServiceConfig {
  std::wstring displayName;
  std::wstring description;  // empty: none (systemd then shows the display name)
  std::wstring binaryPath;   // a command line: words in blanks, double quotes group
  std::vector<std::wstring> dependencies;
  DWORD startType = 3;     // SERVICE_DEMAND_START
  DWORD errorControl = 1;  // SERVICE_ERROR_NORMAL; recorded only, systemd has no equivalent
  // Environment of the service process, "NAME" and value.
  std::vector<std::pair<std::string, std::string>> environment;
};

std::string RenderUnit(const std::wstring& serviceName, const ServiceConfig& config);

// The settings of a unit that RenderUnit wrote; empty for any other file.
std::optional<ServiceConfig> ParseUnit(const std::string& text);

// The words of a command line: blanks separate, double quotes group (and are dropped).
std::vector<std::wstring> SplitCommandLine(std::wstring_view commandLine);

// One word of ExecStart=: in double quotes, with '\', '"', '%' and '$' escaped as systemd wants.
std::string QuoteExecWord(std::string_view word);

}  // namespace platform::service
