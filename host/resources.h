// The program's resources: the string table and the registry scripts (type "REGISTRY"), kept
// as data in the executable as they would be in its resource section.
#pragma once

#include <optional>
#include <string_view>

#include "platform/types/windows_types.h"

namespace Talvaro::Host {

inline constexpr UINT IDS_SERVICENAME = 100;
inline constexpr UINT IDR_TALVAROCOMMUNICATIONDRIVER = 101;       // the application identity
inline constexpr UINT IDR_TALVAROCOMMUNICATIONDRIVERFACTORY = 102;
inline constexpr UINT IDR_COMMUNICATIONDRIVER = 103;              // no script exists for it
inline constexpr UINT IDR_OBSERVERSINGLETON = 104;
inline constexpr UINT IDR_TALVAROCOMMUNICATIONDRIVERGAPP = 203;

// The string of the string table, or empty.
std::optional<std::wstring_view> FindStringResource(UINT id);

// The registry script's text in the registrar syntax (host/registrar.h), or empty.
std::optional<std::string_view> FindRegistryScript(UINT id);

}  // namespace Talvaro::Host
