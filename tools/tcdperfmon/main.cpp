// tcdperfmon: the performance monitor service. See kUsage and docs/diagnostics.md.
#include <signal.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "external/logging/logger.h"
#include "platform/com/apartment.h"
#include "platform/com/class_factory.h"
#include "platform/com/class_table.h"
#include "platform/com/module.h"
#include "platform/registry/registry.h"
#include "platform/system/format_message.h"
#include "platform/system/last_error.h"
#include "platform/system/process.h"
#include "platform/types/guid.h"
#include "platform/types/wide_string.h"
#include "tools/local_server/local_server.h"
#include "tools/tcdperfmon/monitor_object.h"

namespace {

using namespace Talvaro::PerformanceMonitorService;
using platform::com::ComPtr;

constexpr const char* kUsage = R"(Usage: tcdperfmon [--serve | --register | --unregister | --help]

The performance monitor service of TalvaroCommunicationDriver. When a driver object finds an
operation slower than its configured maximum, it calls this service's FlushingLogsAsync through
the ProgID "TALVAROPerformanceMonitorService.PerformanceMonitor"; each call copies the log files
of the log directory ($TALVARO_LOG_DIR, default /var/log/talvaro) with the request's text into a
new folder <log directory>/flushes/<time stamp>/ and answers that folder's path.

  --serve        serve the class until the last client has gone (also -Embedding, as the
                 activation starts it, or no option); ends after 60 s if no client comes
  --register     register the class and its ProgID, launched through LocalServer32
                 (also /RegServer)
  --unregister   remove that registration (also /UnregServer)
  --help         show this text

Settings (HKLM\SOFTWARE\TALVARO\ORBIQ\PerformanceMonitorService, read at start):
  KeptFlushes    REG_DWORD, flush folders kept, oldest removed first (default 20, at least 1)

Exit status: 0 success, 1 failure (the reason on stderr), 2 usage error.
)";

constexpr const wchar_t* kProgId = L"TALVAROPerformanceMonitorService.PerformanceMonitor";
constexpr const wchar_t* kSettingsKey = L"SOFTWARE\\TALVARO\\ORBIQ\\PerformanceMonitorService";

int Fail(const std::string& what, LSTATUS status) { return Talvaro::Tools::ReportFailure("tcdperfmon", what, status); }

int Register() {
  wchar_t path[4096];
  if (GetModuleFileNameW(nullptr, path, 4096) == 0) return Fail("cannot find its own executable", GetLastError());
  const std::wstring classKey = L"CLSID\\" + platform::FormatGuid(CLSID_PerformanceMonitor);
  const std::pair<std::wstring, std::wstring> values[] = {
      {classKey, L"TALVARO Performance Monitor"},
      {classKey + L"\\LocalServer32", L"\"" + std::wstring(path) + L"\""},
      {classKey + L"\\ProgID", kProgId},
      {kProgId, L"TALVARO Performance Monitor"},
      {std::wstring(kProgId) + L"\\CLSID", platform::FormatGuid(CLSID_PerformanceMonitor)},
  };
  for (const auto& [key, text] : values) {
    if (const LSTATUS status = Talvaro::Tools::SetClassesRootDefault(key, text); status != ERROR_SUCCESS) {
      return Fail("cannot register " + platform::ToUtf8(key), status);
    }
  }
  std::printf("tcdperfmon: registered %s as %s\n", platform::ToUtf8(kProgId).c_str(), platform::ToUtf8(path).c_str());
  return 0;
}

int Unregister() {
  for (const std::wstring& key : {L"CLSID\\" + platform::FormatGuid(CLSID_PerformanceMonitor), std::wstring(kProgId)}) {
    const LSTATUS status = RegDeleteTreeW(HKEY_CLASSES_ROOT, key.c_str());
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) return Fail("cannot unregister", status);
  }
  std::printf("tcdperfmon: unregistered %s\n", platform::ToUtf8(kProgId).c_str());
  return 0;
}

std::size_t KeptFlushes() {
  HKEY key = nullptr;
  DWORD kept = 20;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSettingsKey, 0, KEY_READ, &key) == ERROR_SUCCESS) {
    DWORD value = 0, size = sizeof value, type = 0;
    if (RegQueryValueExW(key, L"KeptFlushes", nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) ==
            ERROR_SUCCESS &&
        type == REG_DWORD && value != 0) {
      kept = value;
    }
    RegCloseKey(key);
  }
  return kept;
}

int Serve() {
  // The stop signals go to one thread of ours, never to the runtime's threads.
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGTERM);
  sigaddset(&stops, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stops, nullptr);
  Talvaro::Tools::LocalServerModule module;
  platform::com::SetCurrentModule(&module);
  std::thread([&module, stops] {
    int received = 0;
    sigwait(&stops, &received);
    module.Stop();
  }).detach();  // waits for a signal for as long as the process lives
  UseFlushStore(std::make_shared<FlushStore>(Logging::LogDirectory(), KeptFlushes()));
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  ComPtr<IUnknown> classObject;
  DWORD cookie = 0;
  HRESULT hr = platform::com::CreateClassObject<platform::com::ClassFactory<CPerformanceMonitor>>(&classObject);
  if (SUCCEEDED(hr)) {
    hr = CoRegisterClassObject(CLSID_PerformanceMonitor, classObject.Get(), CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE,
                               &cookie);
  }
  if (FAILED(hr)) {
    std::fprintf(stderr, "tcdperfmon: cannot serve the class: 0x%08X\n", static_cast<unsigned>(hr));
    return 1;
  }
  module.WaitUntilDone();
  CoRevokeClassObject(cookie);
  classObject = nullptr;
  CoUninitialize();
  platform::com::SetCurrentModule(nullptr);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 2) {
    std::fprintf(stderr, "tcdperfmon: one option at most\nTry 'tcdperfmon --help' for more information.\n");
    return 2;
  }
  const char* option = argc == 2 ? argv[1] : "--serve";
  if (Talvaro::Tools::IsOption(option, {"--help", "-h", "/?"})) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (Talvaro::Tools::IsOption(option, {"--serve", "-Embedding", "/Embedding"})) return Serve();
  if (Talvaro::Tools::IsOption(option, {"--register", "/RegServer", "-RegServer"})) return Register();
  if (Talvaro::Tools::IsOption(option, {"--unregister", "/UnregServer", "-UnregServer"})) return Unregister();
  std::fprintf(stderr, "tcdperfmon: unknown option '%s'\nTry 'tcdperfmon --help' for more information.\n", option);
  return 2;
}
