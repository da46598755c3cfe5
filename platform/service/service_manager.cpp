// The manager side on unit files: handles, rights, the unit directory and its lock.
//
// Handles are entries of the kernel handle table (platform/kernel/handle.h) that CloseHandle
// refuses; CloseServiceHandle and UnlockServiceDatabase end them. Unit files are replaced by
// rename, so a reader never sees half a file; creation links a finished file into place, so of
// two creators exactly one wins.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include "platform/kernel/handle.h"
#include "platform/service/service.h"
#include "platform/service/systemctl.h"
#include "platform/service/unit_file.h"
#include "platform/system/last_error.h"
#include "platform/types/wide_string.h"

namespace platform::service {
namespace {

constexpr DWORD kManagerWriteRights = SC_MANAGER_CREATE_SERVICE | SC_MANAGER_LOCK | SC_MANAGER_MODIFY_BOOT_CONFIG;
constexpr DWORD kServiceWriteRights = SERVICE_CHANGE_CONFIG | DELETE;
constexpr const char* kLockFileName = ".service-database.lock";
constexpr const char* kWantsDirectory = "multi-user.target.wants";
// Variables that place the "machine" (registry, runtime and log directories, event log); a
// service gets those of the process that created it, so that it finds the registry it was
// registered in.
constexpr const char* kInheritedVariables[] = {"TALVARO_REGISTRY", "TALVARO_RUN_DIR", "TALVARO_LOG_DIR",
                                               "TALVARO_EVENT_LOG"};

std::string UnitDirectory() {
  const char* configured = std::getenv("TALVARO_UNIT_DIR");
  std::string directory = configured != nullptr && *configured != '\0' ? configured : "/etc/systemd/system";
  while (directory.size() > 1 && directory.back() == '/') directory.pop_back();
  return directory;
}

class ScmObject : public kernel::KernelObject {
 public:
  ScmObject(DWORD grantedAccess, std::string directory)
      : access(grantedAccess), unitDirectory(std::move(directory)) {}
  bool ClosableByCloseHandle() const override { return false; }

  const DWORD access;
  const std::string unitDirectory;
};

class ManagerObject final : public ScmObject {
 public:
  using ScmObject::ScmObject;
};

class ServiceObject final : public ScmObject {
 public:
  ServiceObject(DWORD grantedAccess, std::string directory, std::wstring serviceName)
      : ScmObject(grantedAccess, std::move(directory)), name(std::move(serviceName)) {}

  std::string UnitName() const { return ToUtf8(name) + ".service"; }
  std::string UnitPath() const { return unitDirectory + "/" + UnitName(); }
  std::string WantsLink() const { return unitDirectory + "/" + kWantsDirectory + "/" + UnitName(); }

  const std::wstring name;
  std::atomic<bool> deleted{false};
};

class LockObject final : public kernel::KernelObject {
 public:
  explicit LockObject(int fd) : fd_(fd) {}
  ~LockObject() override { ::close(fd_); }  // closing gives the flock up
  bool ClosableByCloseHandle() const override { return false; }

 private:
  const int fd_;
};

template <class T>
std::shared_ptr<T> Lookup(SC_HANDLE handle) {
  auto object = kernel::ReferenceHandleAs<T>(reinterpret_cast<HANDLE>(handle));
  if (!object) SetLastError(ERROR_INVALID_HANDLE);
  return object;
}

// The service behind a handle, checked for a right and for deletion; null with the error set.
std::shared_ptr<ServiceObject> UsableService(SC_HANDLE handle, DWORD right) {
  auto service = Lookup<ServiceObject>(handle);
  if (!service) return nullptr;
  if ((service->access & right) != right) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  if (service->deleted.load()) {
    SetLastError(ERROR_SERVICE_MARKED_FOR_DELETE);
    return nullptr;
  }
  return service;
}

SC_HANDLE Insert(std::shared_ptr<kernel::KernelObject> object) {
  return reinterpret_cast<SC_HANDLE>(kernel::InsertHandle(std::move(object)));
}

// Whether this process may write the directory, or create it: the nearest existing ancestor is
// a writable directory (below a file, nothing can be created). Nothing is created here: only
// writing a unit or taking the lock does that.
bool MayWrite(const std::string& directory) {
  std::filesystem::path path(directory);
  std::error_code error;
  while (!std::filesystem::exists(path, error) && path.has_parent_path() && path != path.parent_path()) {
    path = path.parent_path();
  }
  return std::filesystem::is_directory(path, error) && ::access(path.c_str(), W_OK) == 0;
}

bool CreateDirectory(const std::string& directory) {
  std::error_code error;
  std::filesystem::create_directories(directory, error);
  if (error) SetLastError(ERROR_ACCESS_DENIED);
  return !error;
}

bool ValidServiceName(LPCWSTR name) {
  if (name == nullptr) return false;
  const std::wstring_view view(name);
  return !view.empty() && view.size() <= 256 && view.find_first_of(L"/\\") == std::wstring_view::npos;
}

std::optional<std::string> ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return std::nullopt;
  return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

// A unit file as read back for a change: its text (to put back when the change cannot be
// applied) and the configuration in it. Nullopt with the error set when the file is gone or is
// not one this manager wrote.
struct UnitContents {
  std::string text;
  ServiceConfig config;
};

std::optional<UnitContents> ReadUnitContents(const ServiceObject& service) {
  auto text = ReadFile(service.UnitPath());
  if (!text) {
    SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
    return std::nullopt;
  }
  auto config = ParseUnit(*text);
  if (!config) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return std::nullopt;
  }
  return UnitContents{std::move(*text), std::move(*config)};
}

DWORD ErrorFromErrno(int error) {
  switch (error) {
    case EACCES:
    case EPERM:
    case EROFS:
      return ERROR_ACCESS_DENIED;
    case ENOSPC:
    case ENOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    default:
      return ERROR_CANTWRITE;
  }
}

// Writes `text` to a new temporary file beside `path`; its name, or empty with the error set.
std::string WriteTemporary(const std::string& path, const std::string& text) {
  std::string temporary = path + ".XXXXXX";
  const int fd = ::mkstemp(temporary.data());
  if (fd < 0) {
    SetLastError(ErrorFromErrno(errno));
    return {};
  }
  ::fchmod(fd, 0644);
  std::size_t written = 0;
  while (written < text.size()) {
    const ssize_t n = ::write(fd, text.data() + written, text.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int error = errno;
      ::close(fd);
      ::unlink(temporary.c_str());
      SetLastError(ErrorFromErrno(error));
      return {};
    }
    written += static_cast<std::size_t>(n);
  }
  ::close(fd);
  return temporary;
}

// `create`: fails with ERROR_SERVICE_EXISTS when the unit exists; otherwise replaces it.
bool WriteUnitText(const ServiceObject& service, const std::string& text, bool create) {
  const std::string path = service.UnitPath();
  const std::string temporary = WriteTemporary(path, text);
  if (temporary.empty()) return false;
  int result = 0;
  if (create) {
    result = ::link(temporary.c_str(), path.c_str());
    const int error = errno;
    ::unlink(temporary.c_str());
    if (result != 0) {
      SetLastError(error == EEXIST ? ERROR_SERVICE_EXISTS : ErrorFromErrno(error));
      return false;
    }
    return true;
  }
  if (::rename(temporary.c_str(), path.c_str()) != 0) {
    const int error = errno;
    ::unlink(temporary.c_str());
    SetLastError(ErrorFromErrno(error));
    return false;
  }
  return true;
}

bool WriteUnit(const ServiceObject& service, const ServiceConfig& config, bool create) {
  return WriteUnitText(service, RenderUnit(service.name, config), create);
}

void ReloadSystemd(const std::string& unitDirectory) {
  // Best effort: a failed reload leaves systemd with the old view until the next one.
  if (SystemctlManages(unitDirectory)) RunSystemctl({"daemon-reload"});
}

// Enabled for automatic start, disabled otherwise: through systemctl where it manages the
// directory, else by the wants link that `systemctl enable` would make.
bool ApplyStartType(const ServiceObject& service, DWORD startType) {
  const bool enable = startType == SERVICE_AUTO_START;
  if (SystemctlManages(service.unitDirectory)) {
    const ProgramResult result = RunSystemctl({enable ? "enable" : "disable", service.UnitName()});
    if (result.exitStatus != 0) {
      SetLastError(SystemctlError(result));
      return false;
    }
    return true;
  }
  const std::string link = service.WantsLink();
  if (!enable) {
    if (::unlink(link.c_str()) != 0 && errno != ENOENT) {
      SetLastError(ErrorFromErrno(errno));
      return false;
    }
    return true;
  }
  std::error_code error;
  std::filesystem::create_directories(service.unitDirectory + "/" + kWantsDirectory, error);
  if (::symlink(service.UnitPath().c_str(), link.c_str()) != 0 && errno != EEXIST) {
    SetLastError(ErrorFromErrno(errno));
    return false;
  }
  return true;
}

std::vector<std::wstring> DependencyList(LPCWSTR dependencies) {
  std::vector<std::wstring> list;
  for (const wchar_t* name = dependencies; name != nullptr && *name != L'\0'; name += list.back().size() + 1) {
    list.emplace_back(name);
  }
  return list;
}

bool IsLocalSystem(LPCWSTR account) {
  return account == nullptr || EqualsIgnoreCase(account, L"LocalSystem") ||
         EqualsIgnoreCase(account, L".\\LocalSystem");
}

std::vector<std::pair<std::string, std::string>> InheritedEnvironment() {
  std::vector<std::pair<std::string, std::string>> environment;
  for (const char* name : kInheritedVariables) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0') continue;
    std::error_code ignored;
    const auto absolute = std::filesystem::absolute(value, ignored);
    environment.emplace_back(name, absolute.empty() ? std::string(value) : absolute.string());
  }
  return environment;
}

SERVICE_STATUS StatusOf(DWORD state) {
  SERVICE_STATUS status{};
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = state;
  status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
  return status;
}

DWORD StateOfActiveState(const std::string& output) {
  const std::string state = output.substr(0, output.find_first_of("\r\n"));
  if (state == "active" || state == "reloading") return SERVICE_RUNNING;
  if (state == "activating") return SERVICE_START_PENDING;
  if (state == "deactivating") return SERVICE_STOP_PENDING;
  return SERVICE_STOPPED;
}

}  // namespace
}  // namespace platform::service

using namespace platform::service;  // the helpers above, for the global Win32 functions below

SC_HANDLE OpenSCManagerW(LPCWSTR machineName, LPCWSTR databaseName, DWORD desiredAccess) {
  if (machineName != nullptr && *machineName != L'\0') {
    SetLastError(ERROR_NOT_SUPPORTED);
    return nullptr;
  }
  if (databaseName != nullptr && !platform::EqualsIgnoreCase(databaseName, SERVICES_ACTIVE_DATABASEW)) {
    SetLastError(ERROR_DATABASE_DOES_NOT_EXIST);
    return nullptr;
  }
  std::string directory = UnitDirectory();
  if ((desiredAccess & kManagerWriteRights) != 0 && !MayWrite(directory)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  return Insert(std::make_shared<ManagerObject>(desiredAccess, std::move(directory)));
}

SC_HANDLE OpenServiceW(SC_HANDLE manager, LPCWSTR serviceName, DWORD desiredAccess) {
  auto scm = Lookup<ManagerObject>(manager);
  if (!scm) return nullptr;
  if (!ValidServiceName(serviceName)) {
    SetLastError(ERROR_INVALID_NAME);
    return nullptr;
  }
  auto service = std::make_shared<ServiceObject>(desiredAccess, scm->unitDirectory, serviceName);
  struct stat info {};
  if (::stat(service->UnitPath().c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
    SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
    return nullptr;
  }
  if ((desiredAccess & kServiceWriteRights) != 0 && !MayWrite(scm->unitDirectory)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  return Insert(std::move(service));
}

SC_HANDLE CreateServiceW(SC_HANDLE manager, LPCWSTR serviceName, LPCWSTR displayName,
                         DWORD desiredAccess, DWORD serviceType, DWORD startType,
                         DWORD errorControl, LPCWSTR binaryPathName, LPCWSTR loadOrderGroup,
                         LPDWORD tagId, LPCWSTR dependencies, LPCWSTR serviceStartName,
                         LPCWSTR password) {
  auto scm = Lookup<ManagerObject>(manager);
  if (!scm) return nullptr;
  if ((scm->access & SC_MANAGER_CREATE_SERVICE) == 0) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  if (!ValidServiceName(serviceName)) {
    SetLastError(ERROR_INVALID_NAME);
    return nullptr;
  }
  const bool supported = serviceType == SERVICE_WIN32_OWN_PROCESS &&
                         startType >= SERVICE_AUTO_START && startType <= SERVICE_DISABLED &&
                         errorControl <= SERVICE_ERROR_CRITICAL && binaryPathName != nullptr &&
                         *binaryPathName != L'\0' &&
                         (loadOrderGroup == nullptr || *loadOrderGroup == L'\0') && tagId == nullptr;
  if (!supported) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (!IsLocalSystem(serviceStartName) || (password != nullptr && *password != L'\0')) {
    SetLastError(ERROR_INVALID_SERVICE_ACCOUNT);
    return nullptr;
  }
  ServiceConfig config;
  config.displayName = displayName != nullptr && *displayName != L'\0' ? displayName : serviceName;
  config.binaryPath = binaryPathName;
  config.dependencies = DependencyList(dependencies);
  for (const auto& name : config.dependencies) {
    if (name.front() == L'+') {  // load-order groups do not exist here
      SetLastError(ERROR_INVALID_PARAMETER);
      return nullptr;
    }
  }
  config.startType = startType;
  config.errorControl = errorControl;
  config.environment = InheritedEnvironment();

  auto service = std::make_shared<ServiceObject>(desiredAccess, scm->unitDirectory, serviceName);
  if (!CreateDirectory(service->unitDirectory) || !WriteUnit(*service, config, true)) return nullptr;
  ReloadSystemd(service->unitDirectory);
  if (startType == SERVICE_AUTO_START && !ApplyStartType(*service, startType)) {
    const DWORD error = GetLastError();
    ::unlink(service->UnitPath().c_str());
    ReloadSystemd(service->unitDirectory);
    SetLastError(error);
    return nullptr;
  }
  return Insert(std::move(service));
}

BOOL DeleteService(SC_HANDLE handle) {
  auto service = UsableService(handle, DELETE);
  if (!service) return FALSE;
  if (SystemctlManages(service->unitDirectory)) {
    RunSystemctl({"disable", service->UnitName()});  // a unit that was never enabled says so; fine
  } else {
    ::unlink(service->WantsLink().c_str());
  }
  if (::unlink(service->UnitPath().c_str()) != 0) {
    SetLastError(errno == ENOENT ? ERROR_SERVICE_MARKED_FOR_DELETE : ErrorFromErrno(errno));
    return FALSE;
  }
  service->deleted.store(true);
  ReloadSystemd(service->unitDirectory);
  return TRUE;
}

BOOL ControlService(SC_HANDLE handle, DWORD control, LPSERVICE_STATUS status) {
  auto service = Lookup<ServiceObject>(handle);
  if (!service) return FALSE;
  if (status == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *status = StatusOf(SERVICE_STOPPED);
  DWORD right = 0;
  if (control == SERVICE_CONTROL_STOP) {
    right = SERVICE_STOP;
  } else if (control == SERVICE_CONTROL_INTERROGATE) {
    right = SERVICE_INTERROGATE;
  } else {
    SetLastError(ERROR_INVALID_SERVICE_CONTROL);
    return FALSE;
  }
  if ((service->access & right) != right) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (!SystemctlManages(service->unitDirectory)) {
    SetLastError(ERROR_SERVICE_NOT_ACTIVE);
    return FALSE;
  }
  const ProgramResult active = RunSystemctl({"is-active", service->UnitName()});
  if (!active.started || active.timedOut) {
    SetLastError(SystemctlError(active));
    return FALSE;
  }
  *status = StatusOf(StateOfActiveState(active.output));
  if (status->dwCurrentState == SERVICE_STOPPED) {
    SetLastError(ERROR_SERVICE_NOT_ACTIVE);
    return FALSE;
  }
  if (control == SERVICE_CONTROL_INTERROGATE) return TRUE;
  if (status->dwCurrentState == SERVICE_STOP_PENDING) {
    SetLastError(ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
    return FALSE;
  }
  const ProgramResult stop = RunSystemctl({"--no-block", "stop", service->UnitName()});
  if (stop.exitStatus != 0) {
    SetLastError(SystemctlError(stop));
    return FALSE;
  }
  *status = StatusOf(SERVICE_STOP_PENDING);
  return TRUE;
}

BOOL ChangeServiceConfigW(SC_HANDLE handle, DWORD serviceType, DWORD startType,
                          DWORD errorControl, LPCWSTR binaryPathName, LPCWSTR loadOrderGroup,
                          LPDWORD tagId, LPCWSTR dependencies, LPCWSTR serviceStartName,
                          LPCWSTR password, LPCWSTR displayName) {
  auto service = UsableService(handle, SERVICE_CHANGE_CONFIG);
  if (!service) return FALSE;
  const bool supported =
      (serviceType == SERVICE_NO_CHANGE || serviceType == SERVICE_WIN32_OWN_PROCESS) &&
      (startType == SERVICE_NO_CHANGE || (startType >= SERVICE_AUTO_START && startType <= SERVICE_DISABLED)) &&
      (errorControl == SERVICE_NO_CHANGE || errorControl <= SERVICE_ERROR_CRITICAL) &&
      (loadOrderGroup == nullptr || *loadOrderGroup == L'\0') && tagId == nullptr &&
      (serviceStartName == nullptr || IsLocalSystem(serviceStartName)) &&
      (password == nullptr || *password == L'\0') &&
      (binaryPathName == nullptr || *binaryPathName != L'\0');
  if (!supported) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  auto unit = ReadUnitContents(*service);
  if (!unit) return FALSE;
  ServiceConfig& config = unit->config;
  if (startType != SERVICE_NO_CHANGE) config.startType = startType;
  if (errorControl != SERVICE_NO_CHANGE) config.errorControl = errorControl;
  if (binaryPathName != nullptr) config.binaryPath = binaryPathName;
  if (dependencies != nullptr) config.dependencies = DependencyList(dependencies);
  if (displayName != nullptr) config.displayName = displayName;
  if (!WriteUnit(*service, config, false)) return FALSE;
  ReloadSystemd(service->unitDirectory);
  // systemctl enables from the unit's [Install] section, so the new text goes first; when the
  // start type cannot be applied (systemctl missing, hung or refusing), the old text comes back,
  // so the file never claims a start type that is not in effect.
  if (startType != SERVICE_NO_CHANGE && !ApplyStartType(*service, startType)) {
    const DWORD error = GetLastError();
    if (WriteUnitText(*service, unit->text, false)) ReloadSystemd(service->unitDirectory);
    SetLastError(error);
    return FALSE;
  }
  return TRUE;
}

BOOL ChangeServiceConfig2W(SC_HANDLE handle, DWORD infoLevel, LPVOID info) {
  auto service = UsableService(handle, SERVICE_CHANGE_CONFIG);
  if (!service) return FALSE;
  if (infoLevel != SERVICE_CONFIG_DESCRIPTION) {
    SetLastError(ERROR_INVALID_LEVEL);
    return FALSE;
  }
  if (info == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const auto* description = static_cast<const SERVICE_DESCRIPTIONW*>(info);
  if (description->lpDescription == nullptr) return TRUE;
  auto unit = ReadUnitContents(*service);
  if (!unit) return FALSE;
  unit->config.description = description->lpDescription;
  if (!WriteUnit(*service, unit->config, false)) return FALSE;
  ReloadSystemd(service->unitDirectory);
  return TRUE;
}

SC_LOCK LockServiceDatabase(SC_HANDLE manager) {
  auto scm = Lookup<ManagerObject>(manager);
  if (!scm) return nullptr;
  if ((scm->access & SC_MANAGER_LOCK) == 0) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  if (!CreateDirectory(scm->unitDirectory)) return nullptr;
  const std::string path = scm->unitDirectory + "/" + kLockFileName;
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) {
    SetLastError(ErrorFromErrno(errno));
    return nullptr;
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    SetLastError(ERROR_SERVICE_DATABASE_LOCKED);
    return nullptr;
  }
  return platform::kernel::InsertHandle(std::make_shared<LockObject>(fd));
}

BOOL UnlockServiceDatabase(SC_LOCK lock) {
  if (!platform::kernel::ReferenceHandleAs<LockObject>(lock)) {
    SetLastError(ERROR_INVALID_SERVICE_LOCK);
    return FALSE;
  }
  platform::kernel::RemoveHandle(lock);
  return TRUE;
}

BOOL CloseServiceHandle(SC_HANDLE handle) {
  if (!Lookup<ScmObject>(handle)) return FALSE;
  platform::kernel::RemoveHandle(reinterpret_cast<HANDLE>(handle));
  return TRUE;
}
