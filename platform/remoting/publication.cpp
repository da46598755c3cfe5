// The server side of the endpoints: the listening socket and the class files.
#include "platform/remoting/connection.h"
#include "platform/remoting/endpoints.h"
#include "platform/remoting/errors.h"
#include "platform/remoting/limits.h"
#include "platform/remoting/runtime.h"

// System headers after ours: <fcntl.h> defines LOCK_WRITE, a name of stream.h.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <utility>

namespace platform::remoting {
namespace {

constexpr const char* kDefaultRunDirectory = "/run/talvaro";

HRESULT HresultFromErrno(int error) {
  switch (error) {
    case EACCES:
    case EPERM:
    case EROFS:
      return HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED);
    case ENOENT:
    case ENOTDIR:
      return HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);
    case ENAMETOOLONG:
      return HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE);
    case ENOMEM:
      return E_OUTOFMEMORY;
    default:
      return E_FAIL;
  }
}

// The listening socket and the connections it accepted. RPC thread only.
struct Listener {
  std::string path;
  kj::Own<kj::ConnectionReceiver> receiver;
  kj::Promise<void> acceptLoop = nullptr;
};

struct ServerSide {
  kj::Maybe<Listener> listener;
  // Accepted connections stay open after listening stops: their clients keep their objects.
  std::vector<std::shared_ptr<Connection>> connections;
  // The current episodes of failed accepts and of refusals at the cap, reported once each.
  kj::Duration acceptBackoff = 0 * kj::MILLISECONDS;  // zero while accepting works
  bool refusing = false;
};

ServerSide& Server() {
  static auto* server = new ServerSide;  // RPC thread only; lives until exit
  return *server;
}

constexpr kj::Duration kFirstAcceptBackoff = 10 * kj::MILLISECONDS;
constexpr kj::Duration kLongestAcceptBackoff = 1000 * kj::MILLISECONDS;

void Serve(kj::Own<kj::AsyncIoStream> stream) {
  auto& server = Server();
  const std::size_t cap = CurrentLimits().maxConnections;
  if (server.connections.size() >= cap) {
    // Closed as it came: the client's calls fail at once instead of waiting.
    if (!std::exchange(server.refusing, true)) {
      Report(Severity::Warning, "new connections are refused: " + std::to_string(cap) +
                                    " connections are served, the configured maximum");
    }
    return;
  }
  if (std::exchange(server.refusing, false)) Report(Severity::Info, "new connections are served again");
  auto connection = Connection::Start(kj::mv(stream), Connection::Side::Server, "a client");
  server.connections.push_back(connection);
  Runtime::Get().Tasks().add(connection->WhenDisconnected().then([raw = connection.get()] {
    auto& connections = Server().connections;
    connections.erase(std::remove_if(connections.begin(), connections.end(),
                                     [raw](const auto& entry) { return entry.get() == raw; }),
                      connections.end());
  }));
}

kj::Promise<void> AcceptLoop(kj::ConnectionReceiver& receiver) {
  // evalNow: the receiver throws some failures (EMFILE among them) instead of rejecting.
  return kj::evalNow([&receiver] { return receiver.accept(); })
      .then(
          [&receiver](kj::Own<kj::AsyncIoStream> stream) {
            auto& server = Server();
            if (server.acceptBackoff != 0 * kj::MILLISECONDS) {
              server.acceptBackoff = 0 * kj::MILLISECONDS;
              Report(Severity::Info, "accepting connections again");
            }
            Serve(kj::mv(stream));
            return AcceptLoop(receiver);
          },
          [&receiver](kj::Exception&& failure) {
            // Out of descriptors or memory: the waiting clients stay in the backlog; try again
            // after a pause that grows while the shortage lasts.
            auto& server = Server();
            if (server.acceptBackoff == 0 * kj::MILLISECONDS) {
              Report(Severity::Error, "accepting connections failed, retrying: " +
                                          std::string(failure.getDescription().cStr()));
              server.acceptBackoff = kFirstAcceptBackoff;
            } else {
              server.acceptBackoff = std::min(server.acceptBackoff * 2, kLongestAcceptBackoff);
            }
            return Runtime::Get().Io().getTimer().afterDelay(server.acceptBackoff).then([&receiver] {
              return AcceptLoop(receiver);
            });
          });
}

// RPC thread.
kj::Promise<void> StartListening(const std::string& path) {
  ::unlink(path.c_str());  // a socket file outlives its server
  return Runtime::Get().Io().getNetwork().parseAddress("unix:" + path).then(
      [path](kj::Own<kj::NetworkAddress> address) {
        Listener listener;
        listener.path = path;
        listener.receiver = address->listen();
        // Its mode follows the umask; any local user may call.
        if (::chmod(path.c_str(), 0666) != 0) Trace("chmod of the socket failed");
        listener.acceptLoop = AcceptLoop(*listener.receiver).eagerlyEvaluate([](kj::Exception&& failure) {
          Trace("accept loop ended: " + std::string(failure.getDescription().cStr()));
        });
        Server().listener = kj::mv(listener);
      });
}

// RPC thread.
void StopListening() {
  KJ_IF_MAYBE(listener, Server().listener) {
    const std::string path = listener->path;
    Server().listener = nullptr;  // cancels the accept loop, closes the socket
    ::unlink(path.c_str());
  }
}

// What this process publishes. Changed by PublishClassObjects only (serialised by the class
// table); read at exit.
struct Publication {
  std::mutex mutex;
  std::vector<CLSID> published;  // guarded by mutex
  std::string socketPath;        // guarded by mutex; empty while not listening
  bool exitHookInstalled = false;
};

Publication& Published() {
  static auto* publication = new Publication;
  return *publication;
}

std::string ClassFileText(const std::string& socketPath) {
  return "socket=" + socketPath + "\npid=" + std::to_string(::getpid()) + "\n";
}

HRESULT WriteClassFile(const CLSID& clsid, const std::string& socketPath) {
  const std::string path = ClassFilePath(clsid);
  const std::string temporary = ClassDirectory() + "/." + platform::FormatGuidNarrow(clsid) + "." +
                                std::to_string(::getpid());
  const std::string text = ClassFileText(socketPath);
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return HresultFromErrno(errno);
  ::fchmod(fd, 0644);
  const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  ::close(fd);
  if (!written || ::rename(temporary.c_str(), path.c_str()) != 0) {
    const int error = errno;
    ::unlink(temporary.c_str());
    return written ? HresultFromErrno(error) : E_FAIL;
  }
  return S_OK;
}

// Removes the class file when it still names our socket (another server may have taken the
// class over since).
void RemoveClassFile(const CLSID& clsid, const std::string& socketPath) {
  const auto endpoint = ReadClassFile(clsid);
  if (endpoint && endpoint->socket == socketPath && endpoint->pid == ::getpid()) {
    ::unlink(ClassFilePath(clsid).c_str());
  }
}

void RemoveAtExit() {
  auto& publication = Published();
  std::unique_lock lock(publication.mutex, std::try_to_lock);
  if (!lock.owns_lock()) return;  // a publication is under way; leave the files to the next server
  for (const auto& clsid : publication.published) RemoveClassFile(clsid, publication.socketPath);
  if (!publication.socketPath.empty()) ::unlink(publication.socketPath.c_str());
}

// Whether `pid` names no process any more (a process of another user counts as alive).
bool ProcessGone(pid_t pid) { return pid > 0 && ::kill(pid, 0) != 0 && errno == ESRCH; }

// The pid in `name` after `prefix` (digits up to `suffix`), or 0.
pid_t PidInName(const std::string& name, const std::string& prefix, const std::string& suffix) {
  if (name.size() <= prefix.size() + suffix.size() || name.rfind(prefix, 0) != 0 ||
      name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) {
    return 0;
  }
  const std::string digits = name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
  if (digits.size() > 9 || digits.find_first_not_of("0123456789") != std::string::npos) return 0;
  return static_cast<pid_t>(std::stol(digits));
}

// What servers that died left behind: a process ended by _exit (ExitProcess) or a signal runs no
// exit handler, so its socket and class files stay. Removed when a server starts publishing:
// sockets com-<pid>.sock, class files and their temporaries whose pid is gone. Files of live
// processes are left alone. A class file that a live server renames over a dead one's between
// our read and the unlink would go too; one class is published by one server at a time (the
// servers' single-instance guards), so that does not arise.
void RemoveStaleEndpoints() {
  namespace fs = std::filesystem;
  std::error_code ignored;
  for (const auto& entry : fs::directory_iterator(RunDirectory(), ignored)) {
    if (ProcessGone(PidInName(entry.path().filename().string(), "com-", ".sock"))) fs::remove(entry.path(), ignored);
  }
  for (const auto& entry : fs::directory_iterator(ClassDirectory(), ignored)) {
    const std::string name = entry.path().filename().string();
    pid_t pid = 0;
    if (name.rfind('.', 0) == 0) {
      pid = PidInName(name.substr(name.rfind('.')), ".", "");  // .{CLSID}.<pid>, being written
    } else if (const auto clsid = platform::ParseGuid(std::string_view(name))) {
      if (const auto endpoint = ReadClassFile(*clsid)) pid = endpoint->pid;
    }
    if (ProcessGone(pid)) fs::remove(entry.path(), ignored);
  }
}

}  // namespace

std::string RunDirectory() {
  const char* configured = std::getenv("TALVARO_RUN_DIR");
  std::string directory = configured != nullptr && *configured != '\0' ? configured : kDefaultRunDirectory;
  while (directory.size() > 1 && directory.back() == '/') directory.pop_back();
  return directory;
}

std::string ClassDirectory() { return RunDirectory() + "/classes"; }

std::string ClassFilePath(const CLSID& clsid) {
  return ClassDirectory() + "/" + platform::FormatGuidNarrow(clsid);
}

std::optional<Endpoint> ReadClassFile(const CLSID& clsid) {
  std::ifstream file(ClassFilePath(clsid));
  if (!file) return std::nullopt;
  Endpoint endpoint;
  std::string line;
  while (std::getline(file, line)) {
    if (line.rfind("socket=", 0) == 0) endpoint.socket = line.substr(7);
    if (line.rfind("pid=", 0) == 0) endpoint.pid = static_cast<pid_t>(std::atol(line.c_str() + 4));
  }
  if (endpoint.socket.empty() || endpoint.socket.size() > kMaxSocketPath) return std::nullopt;
  return endpoint;
}

bool MakeDirectories(const std::string& path) {
  for (std::size_t end = 1; end <= path.size(); ++end) {
    if (end != path.size() && path[end] != '/') continue;
    const std::string prefix = path.substr(0, end);
    if (::mkdir(prefix.c_str(), 0755) == 0) {
      ::chmod(prefix.c_str(), 0755);
    } else if (errno != EEXIST) {
      return false;
    }
  }
  return true;
}

HRESULT PublishClassObjects(const std::vector<CLSID>& clsids) {
  // Publishing waits for the RPC thread, which never runs object code and so never registers.
  if (Runtime::OnRpcThread()) return RPC_E_CANTCALLOUT_ININPUTSYNCCALL_HR;
  auto& publication = Published();
  std::lock_guard lock(publication.mutex);
  if (clsids.empty() && publication.published.empty() && publication.socketPath.empty()) return S_OK;

  if (!clsids.empty() && publication.socketPath.empty()) {
    const std::string path = RunDirectory() + "/com-" + std::to_string(::getpid()) + ".sock";
    if (path.size() > kMaxSocketPath) return HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE);
    if (!MakeDirectories(ClassDirectory())) return HresultFromErrno(errno);
    RemoveStaleEndpoints();
    try {
      Runtime::Get().RunSync([&] { return StartListening(path); });
    } catch (const kj::Exception& failure) {
      Trace("cannot listen on " + path + ": " + failure.getDescription().cStr());
      return HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED);
    }
    publication.socketPath = path;
    if (!publication.exitHookInstalled) {
      publication.exitHookInstalled = std::atexit(RemoveAtExit) == 0;
    }
  }

  for (const auto& clsid : publication.published) {
    if (std::find(clsids.begin(), clsids.end(), clsid) == clsids.end()) {
      RemoveClassFile(clsid, publication.socketPath);
    }
  }
  std::vector<CLSID> published;
  HRESULT result = S_OK;
  for (const auto& clsid : clsids) {
    const bool already =
        std::find(publication.published.begin(), publication.published.end(), clsid) != publication.published.end();
    const HRESULT hr = already ? S_OK : WriteClassFile(clsid, publication.socketPath);
    if (SUCCEEDED(hr)) {
      published.push_back(clsid);
    } else if (SUCCEEDED(result)) {
      result = hr;
    }
  }
  publication.published = std::move(published);

  if (publication.published.empty() && !publication.socketPath.empty()) {
    try {
      Runtime::Get().RunSync([] {
        StopListening();
        return kj::Promise<void>(kj::READY_NOW);
      });
    } catch (const kj::Exception& failure) {
      Trace("stopping to listen failed: " + std::string(failure.getDescription().cStr()));
    }
    publication.socketPath.clear();
  }
  return result;
}

}  // namespace platform::remoting
