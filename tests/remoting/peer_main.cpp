// remoting_test_peer: the other process of the remoting tests.
//
//   serve [--real]      registers the test classes (and with --real the server's four classes)
//                       for CLSCTX_LOCAL_SERVER, suspended, resumes them and serves until
//                       SIGTERM or SIGINT; "-Embedding" (as LocalServer32 starts it) means serve
//   hold <clsid>        activates the class, prints "ready" and holds the object until killed
//   driver <unit>       creates a driver object for the unit, prints "ready" and holds it
//   identity            activates the driver factory and prints its remote identity
//   unregistered <clsid>  activates the class and prints "hr=0x... runtime=<0|1> threads=<n>"
//
// Output goes to stdout, one line per fact, flushed at once.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "interfaces/application_lifecycle.h"
#include "interfaces/driver_factory.h"
#include "objects/class_objects.h"
#include "platform/com/apartment.h"
#include "platform/com/class_factory.h"
#include "platform/com/class_table.h"
#include "platform/com/server_process.h"
#include "platform/remoting/remoting.h"
#include "platform/types/wide_string.h"
#include "tests/remoting/test_probe_object.h"

namespace {

using platform::com::ComPtr;
using namespace Talvaro::RemotingTest;

// Blocks the stop signals in every thread (the runtime's start later) and waits for one.
void WaitForStop() {
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGINT);
  int received = 0;
  sigwait(&stop, &received);
}

int Serve(bool real) {
  std::vector<DWORD> cookies;
  auto add = [&](REFCLSID clsid, ComPtr<IUnknown> classObject) {
    DWORD cookie = 0;
    if (FAILED(CoRegisterClassObject(clsid, classObject.Get(), CLSCTX_LOCAL_SERVER,
                                     REGCLS_MULTIPLEUSE | REGCLS_SUSPENDED, &cookie))) {
      std::printf("register failed\n");
      std::exit(1);
    }
    cookies.push_back(cookie);
  };
  ComPtr<IUnknown> classObject;
  platform::com::CreateClassObject<platform::com::ClassFactory<CTestProbe>>(&classObject);
  add(CLSID_TestProbe, classObject);
  platform::com::CreateClassObject<platform::com::SingletonClassFactory<CTestProbe>>(&classObject);
  add(CLSID_TestMailbox, classObject);
  if (real) {
    Talvaro::Objects::CreateDriverFactoryClassObject(&classObject);
    add(CLSID_TalvaroCommunicationDriverFactory, classObject);
    Talvaro::Objects::CreateApplicationLifecycleClassObject(&classObject);
    add(CLSID_TalvaroCommunicationDriverGApp, classObject);
    Talvaro::Objects::CreateObserverSingletonClassObject(&classObject);
    add(CLSID_ObserverSingleton, classObject);
    Talvaro::Objects::CreateCommunicationDriverClassObject(&classObject);
    add(CLSID_CommunicationDriver, classObject);
  }
  classObject = nullptr;
  // As a server's module does: the classes stay published while the process serves.
  CoAddRefServerProcess();
  if (FAILED(CoResumeClassObjects())) {
    std::printf("resume failed\n");
    return 1;
  }
  std::printf("serving %d\n", static_cast<int>(::getpid()));
  std::fflush(stdout);
  WaitForStop();
  for (DWORD cookie : cookies) CoRevokeClassObject(cookie);
  return 0;
}

// Says whether the object was made ("ready" or "failed"), then holds what the caller holds until
// stopped.
int ReportAndHold(HRESULT hr) {
  std::printf("%s\n", hr == S_OK ? "ready" : "failed");
  std::fflush(stdout);
  WaitForStop();
  return 0;
}

HRESULT CreateFactory(ComPtr<ITalvaroCommunicationDriverFactory>* factory) {
  return CoCreateInstance(CLSID_TalvaroCommunicationDriverFactory, nullptr, CLSCTX_LOCAL_SERVER,
                          uuidof<ITalvaroCommunicationDriverFactory>, factory->PutVoid());
}

int Hold(REFCLSID clsid) {
  ComPtr<IUnknown> object;
  return ReportAndHold(CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown, object.PutVoid()));
}

int Driver(const std::string& unit) {
  ComPtr<ITalvaroCommunicationDriverFactory> factory;
  ComPtr<ICommunicationDriver> driver;
  HRESULT hr = CreateFactory(&factory);
  if (SUCCEEDED(hr)) {
    platform::automation::Bstr name(platform::FromUtf8(unit));
    platform::automation::Bstr application(L"remoting_test_peer");
    hr = factory->CreateDriver(name.Get(), application.Get(), nullptr, nullptr, nullptr, driver.Put());
  }
  return ReportAndHold(hr);
}

int Identity() {
  ComPtr<ITalvaroCommunicationDriverFactory> factory;
  HRESULT hr = CreateFactory(&factory);
  platform::remoting::RemoteIdentity identity;
  if (SUCCEEDED(hr)) hr = platform::remoting::GetRemoteIdentity(factory.Get(), &identity);
  if (FAILED(hr)) {
    std::printf("failed 0x%08X\n", static_cast<unsigned>(hr));
    return 1;
  }
  std::printf("%llu %llu\n", static_cast<unsigned long long>(identity.server),
              static_cast<unsigned long long>(identity.object));
  return 0;
}

std::size_t ThreadCount() {
  std::size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) ++count;
  return count;
}

int Unregistered(REFCLSID clsid) {
  ComPtr<IUnknown> object;
  const HRESULT hr = CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown, object.PutVoid());
  std::printf("hr=0x%08X runtime=%d threads=%zu\n", static_cast<unsigned>(hr),
              platform::remoting::Statistics().started ? 1 : 0, ThreadCount());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "serve" || mode == "-Embedding") return Serve(argc > 2 && std::strcmp(argv[2], "--real") == 0);
  if (mode == "identity") return Identity();
  if (mode == "driver" && argc > 2) return Driver(argv[2]);
  if ((mode == "hold" || mode == "unregistered") && argc > 2) {
    const auto clsid = platform::ParseGuid(std::string_view(argv[2]));
    if (!clsid) return 2;
    return mode == "hold" ? Hold(*clsid) : Unregistered(*clsid);
  }
  std::fprintf(stderr, "usage: %s serve [--real] | hold <clsid> | driver <unit> | identity | unregistered <clsid>\n",
               argv[0]);
  return 2;
}
