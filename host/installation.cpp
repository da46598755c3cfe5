// Registration with the component system and installation as a service.
#include <string>

#include "host/module.h"
#include "host/registrar.h"
#include "host/resources.h"
#include "host/support.h"
#include "platform/registry/registry.h"
#include "platform/system/last_error.h"
#include "platform/system/message_box.h"
#include "platform/system/process.h"

namespace Talvaro::Host {
namespace {

constexpr const wchar_t* kDescription = L"Manages communication with XRB based hardware for TALVARO software.";
// A list of one name, ended by an empty name.
constexpr const wchar_t kDependencies[] = L"RPCSS\0";

// Closes a service manager or service handle at the end of a scope, or earlier by Close().
class ServiceHandle {
 public:
  explicit ServiceHandle(SC_HANDLE handle) : handle_(handle) {}
  ~ServiceHandle() { Close(); }
  ServiceHandle(const ServiceHandle&) = delete;
  ServiceHandle& operator=(const ServiceHandle&) = delete;
  SC_HANDLE get() const { return handle_; }
  explicit operator bool() const { return handle_ != nullptr; }
  void Close() {
    if (handle_ != nullptr) CloseServiceHandle(handle_);
    handle_ = nullptr;
  }

 private:
  SC_HANDLE handle_;
};

std::wstring DoubleSingleQuotes(const std::wstring& text) {
  std::wstring escaped;
  for (wchar_t c : text) {
    escaped += c;
    if (c == L'\'') escaped += L'\'';
  }
  return escaped;
}

}  // namespace

HRESULT CTalvaroCommunicationDriverModule::UpdateRegistryFromResource(UINT resourceId, bool registering) {
  const auto script = FindRegistryScript(resourceId);
  if (!script) return HRESULT_FROM_WIN32(1814);  // ERROR_RESOURCE_NAME_NOT_FOUND
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  if (length == 0) return HRESULT_FROM_WIN32(GetLastError());
  if (length == MAX_PATH) return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
  const std::wstring module = DoubleSingleQuotes(std::wstring(path, length));

  Registrar registrar;
  AddCommonRGSReplacements(registrar);
  registrar.AddReplacement(L"Module", L"\"" + module + L"\"");
  registrar.AddReplacement(L"Module_Raw", module);
  return registering ? registrar.RegisterScript(*script) : registrar.UnregisterScript(*script);
}

HRESULT CTalvaroCommunicationDriverModule::RegisterAppId(bool service) {
  if (!Uninstall()) return E_FAIL;
  HRESULT hr = UpdateRegistryFromResource(IDR_TALVAROCOMMUNICATIONDRIVER, true);
  if (FAILED(hr)) return hr;

  RegistryKey appIds;
  LSTATUS error = RegOpenKeyExW(HKEY_CLASSES_ROOT, L"AppID", 0, KEY_WRITE, appIds.out());
  if (error != ERROR_SUCCESS) return FromStatus(error);
  RegistryKey appId;
  error = RegCreateKeyExW(appIds.get(), kAppId, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_READ | KEY_WRITE, nullptr,
                          appId.out(), nullptr);
  if (error != ERROR_SUCCESS) return FromStatus(error);
  RegDeleteValueW(appId.get(), L"LocalService");  // absent is fine
  if (service) {
    RegSetValueExW(appId.get(), L"LocalService", 0, REG_SZ, reinterpret_cast<const BYTE*>(serviceName_.c_str()),
                   static_cast<DWORD>((serviceName_.size() + 1) * sizeof(wchar_t)));
    if (!Install()) return E_FAIL;
  }
  return S_OK;
}

HRESULT CTalvaroCommunicationDriverModule::UnregisterAppId() {
  if (!Uninstall()) return E_FAIL;
  {
    RegistryKey appIds;
    LSTATUS error = RegOpenKeyExW(HKEY_CLASSES_ROOT, L"AppID", 0, KEY_WRITE, appIds.out());
    if (error != ERROR_SUCCESS) return FromStatus(error);
    RegistryKey appId;
    error = RegOpenKeyExW(appIds.get(), kAppId, 0, KEY_WRITE, appId.out());
    if (error != ERROR_SUCCESS) return FromStatus(error);
    RegDeleteValueW(appId.get(), L"LocalService");
  }
  return UpdateRegistryFromResource(IDR_TALVAROCOMMUNICATIONDRIVER, false);
}

HRESULT CTalvaroCommunicationDriverModule::RegisterServer(REFCLSID clsid) {
  for (const auto& entry : ClassTable()) {
    if (entry.clsid == clsid) return UpdateRegistryFromResource(entry.registryScript, true);
  }
  return S_OK;
}

HRESULT CTalvaroCommunicationDriverModule::UnregisterServer(REFCLSID clsid) {
  for (const auto& entry : ClassTable()) {
    if (entry.clsid == clsid) return UpdateRegistryFromResource(entry.registryScript, false);
  }
  return S_OK;
}

bool CTalvaroCommunicationDriverModule::IsInstalled() {
  ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!manager) return false;
  ServiceHandle service(OpenServiceW(manager.get(), serviceName_.c_str(), SERVICE_QUERY_CONFIG));
  return static_cast<bool>(service);
}

bool CTalvaroCommunicationDriverModule::Install() {
  if (IsInstalled()) return true;
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  if (length == 0 || length == MAX_PATH) return false;
  const std::wstring command = L"\"" + std::wstring(path, length) + L"\"";

  ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!manager) {
    MessageBoxW(nullptr, L"Could not open Service Manager", serviceName_.c_str(), MB_OK);
    return false;
  }
  ServiceHandle service(CreateServiceW(manager.get(), serviceName_.c_str(), serviceName_.c_str(), SERVICE_ALL_ACCESS,
                                       SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                       command.c_str(), nullptr, nullptr, kDependencies, nullptr, nullptr));
  if (!service) {
    manager.Close();
    MessageBoxW(nullptr, L"Could not start service", serviceName_.c_str(), MB_OK);
    return false;
  }
  return true;
}

bool CTalvaroCommunicationDriverModule::Uninstall() {
  if (!IsInstalled()) return true;
  ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!manager) {
    MessageBoxW(nullptr, L"Could not open Service Manager", serviceName_.c_str(), MB_OK);
    return false;
  }
  ServiceHandle service(OpenServiceW(manager.get(), serviceName_.c_str(), SERVICE_STOP | DELETE));
  if (!service) {
    manager.Close();
    MessageBoxW(nullptr, L"Could not open service", serviceName_.c_str(), MB_OK);
    return false;
  }
  SERVICE_STATUS status{};
  if (!ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) {
    const DWORD error = GetLastError();
    const bool stopping = error == ERROR_SERVICE_CANNOT_ACCEPT_CTRL && status.dwCurrentState == SERVICE_STOP_PENDING;
    if (error != ERROR_SERVICE_NOT_ACTIVE && !stopping) {
      MessageBoxW(nullptr, L"Could not stop service", serviceName_.c_str(), MB_OK);
    }
  }
  const bool deleted = DeleteService(service.get()) != FALSE;
  service.Close();
  manager.Close();
  if (deleted) return true;
  MessageBoxW(nullptr, L"Could not delete service", serviceName_.c_str(), MB_OK);
  return false;
}

void CTalvaroCommunicationDriverModule::ConfigureService() {
  ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!manager) return;
  ServiceHandle service(OpenServiceW(manager.get(), serviceName_.c_str(), SERVICE_ALL_ACCESS));
  if (!service) return;
  SC_LOCK lock = LockServiceDatabase(manager.get());
  if (lock == nullptr) return;  // a failed lock skips both changes
  ChangeServiceConfigW(service.get(), SERVICE_NO_CHANGE, SERVICE_AUTO_START, SERVICE_NO_CHANGE, nullptr, nullptr,
                       nullptr, nullptr, nullptr, nullptr, nullptr);  // a failure is ignored
  std::wstring description = kDescription;
  SERVICE_DESCRIPTIONW info{description.data()};
  ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, &info);
  UnlockServiceDatabase(lock);
}

}  // namespace Talvaro::Host
