// The names of the shared-memory connector, which clients rely on to find their channels
// (docs/connector.md): the namespaces, the channels' suffixes and the access of what either side
// creates.
#pragma once

namespace Talvaro::Connector {

// The access of every namespace and channel: every local user and the creator.
inline constexpr const wchar_t* kServerSecurityDescriptor = L"D:(A;;GA;;;AU)(A;;GA;;;CO)";
// The server's namespace, one per server process.
inline constexpr const wchar_t* kServerBoundaryName = L"TALVARO_TalvaroCommunicationDriver";
inline constexpr const wchar_t* kServerAliasPrefix = L"TalvaroCommunicationDriver";
// A client's namespace: this boundary prefix + its namespace name, alias prefix the name itself.
inline constexpr const wchar_t* kClientBoundaryPrefix = L"TALVARO_Connector_";
// Channel base name + suffix: data and liveliness in the server's namespace, write in the client's.
inline constexpr const wchar_t* kDataChannelSuffix = L"_OnData";
inline constexpr const wchar_t* kWriteChannelSuffix = L"_Write";
inline constexpr const wchar_t* kLivelinessChannelSuffix = L"_OnLiveliness";

}  // namespace Talvaro::Connector
