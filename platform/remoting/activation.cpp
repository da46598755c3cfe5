// The client side of the endpoints: activation of classes that this process does not serve.
//
// Order: a running server's endpoint; then the registry, HKCR\CLSID\{clsid}: its AppID's
// "LocalService" asks systemd to start that service (when systemd runs), else LocalServer32 is
// spawned with "-Embedding"; either way we wait, bounded, for the class to be published. Without
// a registration the answer is REGDB_E_CLASSNOTREG. Nothing here starts a thread until an
// endpoint has been found, and a client never creates the run directory: that is the server's.
#include "platform/remoting/activation.h"

#include "platform/registry/registry.h"
#include "platform/remoting/connection.h"
#include "platform/remoting/endpoints.h"
#include "platform/remoting/errors.h"
#include "platform/remoting/limits.h"
#include "platform/remoting/marshaling.h"
#include "platform/remoting/runtime.h"

// System headers after ours: <fcntl.h> defines LOCK_WRITE, a name of stream.h.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <condition_variable>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <thread>
#include <vector>

extern char** environ;

namespace platform::remoting {
namespace {

// How long a launched server may take to publish its class.
constexpr std::chrono::seconds kServerStartTimeout{30};
// How often the wait looks at the launched process besides the directory's changes.
constexpr int kWaitSliceMilliseconds = 100;
// How long a launch that did not publish may take to end once killed.
constexpr std::chrono::seconds kLaunchEndTimeout{5};

// A client connection to one server socket: connecting, then connected. Threads that activate
// at the same time share one connect (the forked promise), so that one server is one connection
// here and its objects arrive as one proxy each. RPC thread only.
struct ClientConnection {
  kj::ForkedPromise<std::shared_ptr<Connection>> ready = nullptr;
  std::shared_ptr<Connection> connection;  // set once connected
  bool failed = false;                     // the connect failed; the next activation tries again
};

std::map<std::string, kj::Own<ClientConnection>>& ClientConnections() {
  static auto* connections = new std::map<std::string, kj::Own<ClientConnection>>;
  return *connections;
}

// RPC thread: the connection to `path`: the live one, the one being made, or a new one.
kj::Promise<std::shared_ptr<Connection>> ConnectTo(const std::string& path) {
  auto& connections = ClientConnections();
  const auto found = connections.find(path);
  if (found != connections.end()) {
    ClientConnection& entry = *found->second;
    if (entry.connection && entry.connection->Alive()) return std::shared_ptr<Connection>(entry.connection);
    if (!entry.connection && !entry.failed) return entry.ready.addBranch();
    // Gone or failed: replaced below. Its promise has settled, so nothing of it is running.
    connections.erase(found);
  }
  auto entry = kj::heap<ClientConnection>();
  ClientConnection* const raw = entry.get();  // lives until replaced, never while connecting
  entry->ready = Runtime::Get()
                     .Io()
                     .getNetwork()
                     .parseAddress("unix:" + path)
                     .then([](kj::Own<kj::NetworkAddress> address) { return address->connect(); })
                     .then(
                         [path, raw](kj::Own<kj::AsyncIoStream> stream) {
                           auto connection = Connection::Start(kj::mv(stream), Connection::Side::Client, path);
                           raw->connection = connection;
                           Runtime::Get().Tasks().add(connection->WhenDisconnected().then([path, gone = connection.get()] {
                             auto& all = ClientConnections();
                             const auto current = all.find(path);
                             if (current != all.end() && current->second->connection.get() == gone) all.erase(current);
                           }));
                           return connection;
                         },
                         [raw](kj::Exception&& failure) -> std::shared_ptr<Connection> {
                           raw->failed = true;
                           kj::throwFatalException(kj::mv(failure));
                         })
                     .fork();
  auto branch = entry->ready.addBranch();
  connections[path] = kj::mv(entry);
  return branch;
}

// Asks a running server for the class object. `running` is false when no server answers for
// the class (no class file, nobody listening, or a server withdrawing it).
HRESULT FromRunningServer(REFCLSID clsid, REFIID riid, void** result, bool* running) {
  *running = false;
  const auto endpoint = ReadClassFile(clsid);
  if (!endpoint) return S_OK;
  HRESULT hr = S_OK;
  ObjectRef classObject;
  bool timedOut = false;
  try {
    Runtime::Get().RunSync([&]() -> kj::Promise<void> {
      return BoundOutgoingCall(ConnectTo(endpoint->socket).then([&](std::shared_ptr<Connection> connection) {
        auto request = connection->Activator().getClassObjectRequest();
        WriteGuid(clsid, request.initClsid());
        WriteGuid(riid, request.initIid());
        return request.send().then([&, connection](capnp::Response<wire::Activator::GetClassObjectResults>&& response) {
          hr = response.getHr();
          if (response.hasClassObject()) {
            classObject = ObjectRef::FromWire(response.getClassObject(), riid, *connection);
          }
        });
      }), timedOut);
    });
  } catch (const kj::Exception& failure) {
    if (timedOut) {
      // A server is there but does not answer: starting another would not help.
      *running = true;
      return RPC_S_CALL_FAILED_HR;
    }
    // A class file nobody answers (its server died), or a server that went while we asked.
    Trace("no server at " + endpoint->socket + ": " + failure.getDescription().cStr());
    return S_OK;
  } catch (const std::bad_alloc&) {
    *running = true;  // not a reason to start another server
    return E_OUTOFMEMORY;
  }
  if (hr == CO_E_SERVER_STOPPING || hr == REGDB_E_CLASSNOTREG) return S_OK;
  *running = true;
  if (FAILED(hr)) return hr;
  return classObject.ToPointer(riid, result);
}

// ---- the registry ---------------------------------------------------------------------------

class RegistryKeyHandle {
 public:
  RegistryKeyHandle() = default;
  RegistryKeyHandle(const RegistryKeyHandle&) = delete;
  RegistryKeyHandle& operator=(const RegistryKeyHandle&) = delete;
  ~RegistryKeyHandle() {
    if (key_ != nullptr) RegCloseKey(key_);
  }
  LSTATUS Open(HKEY parent, const std::wstring& path) { return RegOpenKeyExW(parent, path.c_str(), 0, KEY_READ, &key_); }
  HKEY Get() const { return key_; }

 private:
  HKEY key_ = nullptr;
};

// A string value (REG_SZ or REG_EXPAND_SZ; the latter is not expanded).
std::optional<std::wstring> ReadString(HKEY key, const wchar_t* name) {
  DWORD type = 0;
  DWORD size = 0;
  if (RegQueryValueExW(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return std::nullopt;
  if (type != REG_SZ && type != REG_EXPAND_SZ) return std::nullopt;
  std::wstring text(size / sizeof(wchar_t) + 1, L'\0');
  size = static_cast<DWORD>(text.size() * sizeof(wchar_t));
  if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(text.data()), &size) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  text.resize(size / sizeof(wchar_t));
  while (!text.empty() && text.back() == L'\0') text.pop_back();
  return text;
}

struct Registration {
  std::optional<std::wstring> localService;  // the AppID's service name
  std::optional<std::wstring> localServer;   // LocalServer32's command line
};

// REGDB_E_CLASSNOTREG when the class has no key; a damaged registry is said as such, so that a
// client does not report its server as not registered.
HRESULT ReadRegistration(REFCLSID clsid, Registration* out) {
  RegistryKeyHandle classKey;
  const LSTATUS opened = classKey.Open(HKEY_CLASSES_ROOT, L"CLSID\\" + platform::FormatGuid(clsid));
  if (opened == ERROR_BADDB) return HRESULT_FROM_WIN32(ERROR_BADDB);
  if (opened != ERROR_SUCCESS) return REGDB_E_CLASSNOTREG;
  if (const auto appId = ReadString(classKey.Get(), L"AppID")) {
    RegistryKeyHandle appKey;
    if (appKey.Open(HKEY_CLASSES_ROOT, L"AppID\\" + *appId) == ERROR_SUCCESS) {
      const auto service = ReadString(appKey.Get(), L"LocalService");
      if (service && !service->empty()) out->localService = service;
    }
  }
  RegistryKeyHandle serverKey;
  if (serverKey.Open(classKey.Get(), L"LocalServer32") == ERROR_SUCCESS) {
    const auto command = ReadString(serverKey.Get(), nullptr);
    if (command && !command->empty()) out->localServer = command;
  }
  return S_OK;
}

// ---- starting a server ----------------------------------------------------------------------

// The command line of LocalServer32 as words: a program, in double quotes when it holds blanks,
// then arguments separated by blanks (double quotes group, as on the original system).
std::vector<std::string> SplitCommandLine(const std::string& line) {
  std::vector<std::string> words;
  std::string word;
  bool quoted = false;
  bool inWord = false;
  for (const char c : line) {
    if (c == '"') {
      quoted = !quoted;
      inWord = true;
    } else if ((c == ' ' || c == '\t') && !quoted) {
      if (inWord) words.push_back(std::move(word));
      word.clear();
      inWord = false;
    } else {
      word.push_back(c);
      inWord = true;
    }
  }
  if (inWord) words.push_back(std::move(word));
  return words;
}

// The registration scripts double single quotes in the program path; take the path that exists.
std::string ExistingProgram(const std::string& program) {
  struct stat status {};
  if (::stat(program.c_str(), &status) == 0) return program;
  std::string undoubled;
  for (std::size_t i = 0; i < program.size(); ++i) {
    undoubled.push_back(program[i]);
    if (program[i] == '\'' && i + 1 < program.size() && program[i + 1] == '\'') ++i;
  }
  return ::stat(undoubled.c_str(), &status) == 0 ? undoubled : program;
}

bool ProcessAlive(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  if (!std::getline(stat, text)) return false;
  const auto end = text.rfind(')');
  if (end == std::string::npos || end + 2 >= text.size()) return false;
  const char state = text[end + 2];
  return state != 'Z' && state != 'X';
}

// The child's side of SpawnDetached, after the second fork: only async-signal-safe calls.
[[noreturn]] void ExecDetached(char* const* argv, int closeAbove) {
  // A process group of its own, so that a launch that never publishes can be ended whole.
  ::setpgid(0, 0);
  // Default dispositions and an empty mask: ours (SIGPIPE ignored by the event loop, stop
  // signals blocked by the application) are not the server's.
  struct sigaction byDefault {};
  byDefault.sa_handler = SIG_DFL;
  for (int signal = 1; signal < NSIG; ++signal) ::sigaction(signal, &byDefault, nullptr);
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  const int null = ::open("/dev/null", O_RDWR);
  if (null >= 0) {
    ::dup2(null, STDIN_FILENO);
    ::dup2(null, STDOUT_FILENO);
    ::dup2(null, STDERR_FILENO);
  }
  // Nothing else of the client: a pipe it holds must reach its end when the client exits.
  if (::close_range(3, ~0U, 0) != 0) {
    for (int fd = 3; fd < closeAbove; ++fd) ::close(fd);
  }
  ::execve(argv[0], argv, environ);
  ::_exit(127);
}

// Starts `words` (the program, then its arguments) detached from this process: the server is
// the child of a short-lived intermediate that made a new session, so it outlives the client,
// is not the client's child, and no terminal signal reaches it. Returns its pid, or 0.
pid_t SpawnDetached(std::vector<std::string> words) {
  std::vector<char*> argv;
  for (auto& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  rlimit descriptors{};
  const int closeAbove = ::getrlimit(RLIMIT_NOFILE, &descriptors) == 0 && descriptors.rlim_cur < 65536
                             ? static_cast<int>(descriptors.rlim_cur)
                             : 65536;
  int report[2];
  if (::pipe2(report, O_CLOEXEC) != 0) return 0;
  // Everything the children need is prepared above: a child of a multithreaded process may only
  // make async-signal-safe calls.
  const pid_t intermediate = ::fork();
  if (intermediate == 0) {
    ::setsid();
    const pid_t server = ::fork();
    if (server == 0) ExecDetached(argv.data(), closeAbove);
    [[maybe_unused]] const ssize_t written = ::write(report[1], &server, sizeof server);
    ::_exit(server > 0 ? 0 : 1);
  }
  ::close(report[1]);
  pid_t server = 0;
  if (intermediate > 0) {
    std::size_t got = 0;
    while (got < sizeof server) {
      const ssize_t read = ::read(report[0], reinterpret_cast<char*>(&server) + got, sizeof server - got);
      if (read > 0) {
        got += static_cast<std::size_t>(read);
      } else if (read == 0 || errno != EINTR) {
        break;
      }
    }
    if (got < sizeof server) server = 0;
    int status = 0;
    while (::waitpid(intermediate, &status, 0) < 0 && errno == EINTR) {
    }
  }
  ::close(report[0]);
  return server > 0 ? server : 0;
}

// The LocalServer32 command line as the words to start: the program, its arguments and
// "-Embedding"; empty when it names no program.
std::vector<std::string> LocalServerCommand(const std::wstring& commandLine) {
  auto words = SplitCommandLine(platform::ToUtf8(commandLine));
  if (words.empty()) return words;
  words.front() = ExistingProgram(words.front());
  words.emplace_back("-Embedding");
  return words;
}

// Asks systemd to start `service`. False when systemd does not run or refuses.
bool StartService(const std::wstring& service) {
  if (sd_booted() <= 0) return false;
  std::string unit = platform::ToUtf8(service);
  if (unit.find('.') == std::string::npos) unit += ".service";
  sd_bus* bus = nullptr;
  if (sd_bus_open_system(&bus) < 0) return false;
  sd_bus_error error = SD_BUS_ERROR_NULL;
  sd_bus_message* reply = nullptr;
  const int called = sd_bus_call_method(bus, "org.freedesktop.systemd1", "/org/freedesktop/systemd1",
                                        "org.freedesktop.systemd1.Manager", "StartUnit", &error, &reply,
                                        "ss", unit.c_str(), "replace");
  if (called < 0) Trace("systemd refused to start " + unit + ": " + (error.message ? error.message : ""));
  sd_bus_message_unref(reply);
  sd_bus_error_free(&error);
  sd_bus_flush_close_unref(bus);
  return called >= 0;
}

// The nearest directory of `path` or above it that exists.
std::string NearestExistingDirectory(std::string path) {
  for (;;) {
    struct stat status {};
    if (::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) return path;
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    path.resize(slash);
  }
}

// Wakes the wait for a server when its class file may have appeared: watches the class
// directory or, while that does not exist yet, its nearest existing ancestor, following the
// server's directories down as they appear. Owned by one waiting thread.
class ClassDirectoryWatch {
 public:
  ClassDirectoryWatch() : fd_(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK)) {}
  ~ClassDirectoryWatch() {
    if (fd_ >= 0) ::close(fd_);
  }
  ClassDirectoryWatch(const ClassDirectoryWatch&) = delete;
  ClassDirectoryWatch& operator=(const ClassDirectoryWatch&) = delete;

  // Waits up to `milliseconds` for a change there (the whole time when watching is impossible).
  void Wait(int milliseconds) {
    Follow();
    if (fd_ < 0 || watch_ < 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
      return;
    }
    pollfd ready{fd_, POLLIN, 0};
    if (::poll(&ready, 1, milliseconds) > 0) {
      char events[4096];
      while (::read(fd_, events, sizeof events) > 0) {
      }
    }
  }

 private:
  // A directory created between finding the nearest one and watching it is seen one slice later.
  void Follow() {
    if (fd_ < 0) return;
    const std::string nearest = NearestExistingDirectory(ClassDirectory());
    if (nearest == watched_ && watch_ >= 0) return;
    if (watch_ >= 0) ::inotify_rm_watch(fd_, watch_);
    watch_ = ::inotify_add_watch(fd_, nearest.c_str(), IN_CREATE | IN_MOVED_TO | IN_CLOSE_WRITE);
    watched_ = nearest;
  }

  const int fd_;
  int watch_ = -1;
  std::string watched_;
};

// Waits until the class is published and answers (its result), the launched process (when
// known) ends, or the time runs out (nullopt for both).
std::optional<HRESULT> WaitForServer(REFCLSID clsid, REFIID riid, void** result, pid_t launched) {
  const auto deadline = std::chrono::steady_clock::now() + kServerStartTimeout;
  ClassDirectoryWatch watch;
  for (;;) {
    bool running = false;
    const HRESULT answer = FromRunningServer(clsid, riid, result, &running);
    if (running) return answer;
    if (launched != 0 && !ProcessAlive(launched)) return std::nullopt;
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return std::nullopt;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count();
    watch.Wait(static_cast<int>(std::min<long long>(left, kWaitSliceMilliseconds)));
  }
}

// A launch that did not publish: its process group is killed, so that nothing of it keeps
// running and the next activation starts afresh, and what of it is our child (this process may
// be a subreaper) is reaped; init reaps the rest.
void EndLaunch(pid_t launched) {
  if (ProcessAlive(launched)) {
    Trace("ending launch " + std::to_string(launched) + ": it did not publish in time");
    ::kill(-launched, SIGKILL);
  }
  const auto deadline = std::chrono::steady_clock::now() + kLaunchEndTimeout;
  for (;;) {
    siginfo_t ended{};
    while (::waitid(P_PGID, static_cast<id_t>(launched), &ended, WEXITED | WNOHANG) == 0 && ended.si_pid != 0) {
      ended = {};
    }
    if (!ProcessAlive(launched) || std::chrono::steady_clock::now() >= deadline) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

// One launch per program at a time in this process: two classes served by one program share its
// start (a second start would find the first's single-instance guard and end), while unrelated
// programs start in parallel. Any thread; no lock is held while a launch runs.
class LaunchGates {
 public:
  class Pass {
   public:
    Pass(LaunchGates& gates, std::string key) : gates_(gates), key_(std::move(key)) {}
    ~Pass() { gates_.Leave(key_); }
    Pass(const Pass&) = delete;
    Pass& operator=(const Pass&) = delete;

   private:
    LaunchGates& gates_;
    std::string key_;
  };

  // Waits while another thread launches `key`, then holds it until the pass goes.
  [[nodiscard]] Pass Enter(const std::string& key) {
    std::unique_lock lock(mutex_);
    left_.wait(lock, [&] { return launching_.count(key) == 0; });
    launching_.insert(key);
    return Pass(*this, key);
  }

 private:
  void Leave(const std::string& key) {
    {
      std::lock_guard lock(mutex_);
      launching_.erase(key);
    }
    left_.notify_all();
  }

  std::mutex mutex_;
  std::condition_variable left_;     // signalled when a key leaves launching_
  std::set<std::string> launching_;  // guarded by mutex_
};

LaunchGates& Launches() {
  static auto* gates = new LaunchGates;
  return *gates;
}

struct LaunchObserverSlot {
  std::mutex mutex;
  LaunchObserver observer;  // guarded by mutex; called on a copy, outside it
};

LaunchObserverSlot& ObserverSlot() {
  static auto* slot = new LaunchObserverSlot;
  return *slot;
}

void ReportLaunch(const LaunchedServer& launched) {
  LaunchObserver observer;
  {
    std::lock_guard lock(ObserverSlot().mutex);
    observer = ObserverSlot().observer;
  }
  if (observer) observer(launched);
}

}  // namespace

void SetLaunchObserver(LaunchObserver observer) {
  std::lock_guard lock(ObserverSlot().mutex);
  ObserverSlot().observer = std::move(observer);
}

HRESULT ActivateClassObject(REFCLSID clsid, DWORD /*context*/, REFIID riid, void** result) {
  if (result == nullptr) return E_POINTER;
  *result = nullptr;
  // An object whose calls run on the RPC thread must not wait there for a server.
  if (Runtime::OnRpcThread()) return RPC_E_CANTCALLOUT_ININPUTSYNCCALL_HR;
  bool running = false;
  HRESULT hr = FromRunningServer(clsid, riid, result, &running);
  if (running) return hr;

  Registration registration;
  hr = ReadRegistration(clsid, &registration);
  if (FAILED(hr)) return hr;
  if (!registration.localService && !registration.localServer) return REGDB_E_CLASSNOTREG;

  // Whoever waited at the gate may find the server already up.
  const auto pass = Launches().Enter(registration.localService
                                         ? "service " + platform::ToUtf8(*registration.localService)
                                         : "program " + platform::ToUtf8(*registration.localServer));
  hr = FromRunningServer(clsid, riid, result, &running);
  if (running) return hr;
  if (registration.localService) {
    // A service runs only under the service manager; without systemd it cannot start.
    if (!StartService(*registration.localService)) return CO_E_SERVER_EXEC_FAILURE;
    return WaitForServer(clsid, riid, result, 0).value_or(CO_E_SERVER_EXEC_FAILURE);
  }
  auto command = LocalServerCommand(*registration.localServer);
  if (command.empty()) return CO_E_SERVER_EXEC_FAILURE;
  const std::string program = command.front();
  const pid_t launched = SpawnDetached(std::move(command));
  if (launched == 0) return CO_E_SERVER_EXEC_FAILURE;
  Trace("launched " + platform::ToUtf8(*registration.localServer) + " as " + std::to_string(launched));
  ReportLaunch({program, launched});
  const auto answer = WaitForServer(clsid, riid, result, launched);
  if (answer) return *answer;
  EndLaunch(launched);
  return CO_E_SERVER_EXEC_FAILURE;
}

}  // namespace platform::remoting
