// Where servers and clients meet: the runtime directory ($TALVARO_RUN_DIR, default
// /run/talvaro) holds each serving process's socket, com-<pid>.sock (mode 0666: any local user
// may call), and one file per published class, classes/{CLSID}, naming the socket and the pid:
//
//   socket=/run/talvaro/com-1234.sock
//   pid=1234
//
// A server writes a class file when the class becomes visible in its class table and removes it
// when the class is suspended or revoked (and at exit); a file left by a server that died names a
// socket nobody answers, which clients treat as "not running".
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/types/error_codes.h"
#include "platform/types/guid.h"

namespace platform::remoting {

// Unix socket paths are limited to this many bytes.
inline constexpr std::size_t kMaxSocketPath = 107;

struct Endpoint {
  std::string socket;
  pid_t pid = 0;
};

std::string RunDirectory();
std::string ClassDirectory();
std::string ClassFilePath(const CLSID& clsid);
// The published endpoint of a class, when a class file exists and reads well.
std::optional<Endpoint> ReadClassFile(const CLSID& clsid);
// Creates `path` and its parents (mode 0755) as needed.
bool MakeDirectories(const std::string& path);

// The class table's hook: called with the classes registered for CLSCTX_LOCAL_SERVER that are
// visible now, whenever that set may have changed; the class table serialises the calls. Starts
// listening (and so the runtime) when the first class appears, writes and removes class files,
// and stops listening when none is left. A failure to publish comes back as an HRESULT (the
// socket path too long, the directory not writable, ...).
HRESULT PublishClassObjects(const std::vector<CLSID>& clsids);

// The class table's activation fallback for CLSCTX_LOCAL_SERVER: a running server's endpoint,
// then the registry (LocalService through systemd, LocalServer32 spawned with "-Embedding"),
// else REGDB_E_CLASSNOTREG.
HRESULT ActivateClassObject(REFCLSID clsid, DWORD context, REFIID riid, void** result);

}  // namespace platform::remoting
