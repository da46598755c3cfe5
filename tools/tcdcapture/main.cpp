// tcdcapture: the network capture service. See kUsage and docs/capture.md.
#include <signal.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "external/logging/logger.h"
#include "platform/com/apartment.h"
#include "platform/com/class_factory.h"
#include "platform/com/class_table.h"
#include "platform/registry/registry.h"
#include "platform/remoting/endpoints.h"
#include "platform/system/last_error.h"
#include "platform/system/process.h"
#include "platform/types/guid.h"
#include "platform/types/wide_string.h"
#include "tools/local_server/local_server.h"
#include "tools/tcdcapture/capture_objects.h"

namespace {

using namespace Talvaro::CaptureService;
using platform::com::ComPtr;

constexpr const char* kUsage = R"(Usage: tcdcapture [--serve | --register | --unregister | --flush | --help]

The network capture service of TalvaroCommunicationDriver: the server starts one of its two
captures at start-up (docs/capture.md). The continuous capture writes the traffic of the network
it is given to pcap files in a folder, a new file once one reaches its size, keeping at most the
dump count of files and none older than the retention days (pruned as a file starts). The
flush-on-demand capture keeps
the newest packets in memory and writes them to a pcap file in <log directory>/captures/ when
asked: on SIGUSR1, on tcdcapture --flush, and on every flush request of the performance monitor
service (tcdperfmon). Capturing needs CAP_NET_RAW and CAP_NET_ADMIN (root has them).

  --serve        serve both classes until the last client has gone (also -Embedding, as the
                 activation starts it, or no option); ends after 60 s if no client comes
  --register     register both classes, launched through LocalServer32 (also /RegServer)
  --unregister   remove that registration (also /UnregServer)
  --flush        ask the running service to write its on-demand captures now
  --help         show this text

Its records go to <log directory>/CaptureService.log ($TALVARO_LOG_DIR, default
/var/log/talvaro).

Exit status: 0 success, 1 failure (the reason on stderr), 2 usage error.
)";

Logging::ILogger& Log() {
  static auto* logger = new std::shared_ptr<Logging::ILogger>(Logging::LoggerFactory::CreateInfraLoggerFromRegistry(
      L"CaptureService", L"HKEY_LOCAL_MACHINE\\SOFTWARE\\TALVARO\\Orbiq\\CaptureService\\Log"));
  return **logger;
}

int Fail(const std::string& what, LSTATUS status) { return Talvaro::Tools::ReportFailure("tcdcapture", what, status); }

const std::pair<CLSID, const wchar_t*> kClasses[] = {{CLSID_ContinuousCapture, L"TALVARO Continuous Capture"},
                                                     {CLSID_OnDemandCapture, L"TALVARO Flush-on-demand Capture"}};

int Register() {
  wchar_t path[4096];
  if (GetModuleFileNameW(nullptr, path, 4096) == 0) return Fail("cannot find its own executable", GetLastError());
  for (const auto& [clsid, title] : kClasses) {
    const std::wstring classKey = L"CLSID\\" + platform::FormatGuid(clsid);
    for (const auto& [key, text] : {std::pair<std::wstring, std::wstring>{classKey, title},
                                    {classKey + L"\\LocalServer32", L"\"" + std::wstring(path) + L"\""}}) {
      if (const LSTATUS status = Talvaro::Tools::SetClassesRootDefault(key, text); status != ERROR_SUCCESS) {
        return Fail("cannot register " + platform::ToUtf8(key), status);
      }
    }
  }
  std::printf("tcdcapture: registered both capture classes as %s\n", platform::ToUtf8(path).c_str());
  return 0;
}

int Unregister() {
  for (const auto& entry : kClasses) {
    const std::wstring key = L"CLSID\\" + platform::FormatGuid(entry.first);
    const LSTATUS status = RegDeleteTreeW(HKEY_CLASSES_ROOT, key.c_str());
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) return Fail("cannot unregister", status);
  }
  std::printf("tcdcapture: unregistered both capture classes\n");
  return 0;
}

int Flush() {
  const auto endpoint = platform::remoting::ReadClassFile(CLSID_OnDemandCapture);
  if (!endpoint || !Talvaro::Tools::RunsProgram(endpoint->pid, "tcdcapture") || ::kill(endpoint->pid, SIGUSR1) != 0) {
    std::fprintf(stderr, "tcdcapture: no capture service is running\n");
    return 1;
  }
  std::printf("tcdcapture: asked the service (pid %d) to flush into %s\n", static_cast<int>(endpoint->pid),
              FlushFolder().c_str());
  return 0;
}

template <class Object>
HRESULT Serve(REFCLSID clsid, ComPtr<IUnknown>* classObject, DWORD* cookie) {
  HRESULT hr = platform::com::CreateClassObject<platform::com::ClassFactory<Object>>(classObject);
  if (SUCCEEDED(hr)) hr = CoRegisterClassObject(clsid, classObject->Get(), CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, cookie);
  return hr;
}

int Serve() {
  // The signals go to one thread of ours, never to the runtime's threads.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  Talvaro::Tools::LocalServerModule module;
  platform::com::SetCurrentModule(&module);
  // Ended below with a SIGTERM of its own when serving ends otherwise.
  std::thread signalThread([&module, signals] {
    for (;;) {
      int received = 0;
      sigwait(&signals, &received);
      if (received != SIGUSR1) break;
      for (const auto& file : FlushAll()) {
        Log().Info(L"tcdcapture", L"Flushed to " + platform::FromUtf8(file.string()), Logging::Category::Communication);
      }
    }
    module.Stop();
  });
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  ComPtr<IUnknown> continuous, onDemand;
  DWORD continuousCookie = 0, onDemandCookie = 0;
  HRESULT hr = Serve<CContinuousCapture>(CLSID_ContinuousCapture, &continuous, &continuousCookie);
  if (SUCCEEDED(hr)) hr = Serve<COnDemandCapture>(CLSID_OnDemandCapture, &onDemand, &onDemandCookie);
  if (FAILED(hr)) {
    std::fprintf(stderr, "tcdcapture: cannot serve the classes: 0x%08X\n", static_cast<unsigned>(hr));
    pthread_kill(signalThread.native_handle(), SIGTERM);
    signalThread.join();
    return 1;
  }
  Log().Info(L"tcdcapture", L"Capture service serving", Logging::Category::Communication);
  module.WaitUntilDone();
  // A stop signal may come while clients still hold captures: their files are closed whole.
  StopAll();
  pthread_kill(signalThread.native_handle(), SIGTERM);
  signalThread.join();
  CoRevokeClassObject(onDemandCookie);
  CoRevokeClassObject(continuousCookie);
  continuous = nullptr;
  onDemand = nullptr;
  CoUninitialize();
  platform::com::SetCurrentModule(nullptr);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 2) {
    std::fprintf(stderr, "tcdcapture: one option at most\nTry 'tcdcapture --help' for more information.\n");
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
  if (Talvaro::Tools::IsOption(option, {"--flush"})) return Flush();
  std::fprintf(stderr, "tcdcapture: unknown option '%s'\nTry 'tcdcapture --help' for more information.\n", option);
  return 2;
}
