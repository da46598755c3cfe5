#include "tools/tcdctl/client.h"

#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <sstream>
#include <thread>

#include "client/shared_memory_client.h"
#include "interfaces/application_lifecycle.h"
#include "interfaces/driver_factory.h"
#include "platform/automation/dispatch_without_type_info.h"
#include "platform/automation/safearray.h"
#include "platform/com/class_table.h"
#include "platform/com/com_object.h"
#include "platform/com/connection_interfaces.h"
#include "platform/com/interface_table.h"
#include "platform/remoting/activation.h"
#include "platform/remoting/limits.h"
#include "platform/registry/registry.h"
#include "platform/remoting/remoting.h"
#include "platform/types/wide_string.h"
#include "tools/tcdctl/output.h"

namespace tcdctl {
namespace {

using platform::automation::Bstr;
using platform::automation::SafeArray;
using platform::com::ComPtr;

// Whole lines to stdout from any thread, flushed at once so that pipes see each event. Shared
// by the printers: an event already on its way may arrive after the command has ended.
class LineWriter {
 public:
  explicit LineWriter(std::ostream& out) : out_(out) {}
  void Write(const std::string& line) {
    std::lock_guard lock(mutex_);
    out_ << line << '\n' << std::flush;
  }

 private:
  std::mutex mutex_;
  std::ostream& out_;  // guarded by mutex_
};

// The sink of `open`: prints each event of the driver's event interface. Called on the
// runtime's workers, possibly several at once; the writer keeps lines whole. It does not run on
// the RPC thread (IRunsOnRpcThread): a write to a full pipe blocks.
class CEventPrinter : public platform::com::ObjectRoot,
                      public platform::automation::WithoutTypeInfo<ICommunicationDriverEvents> {
 public:
  using Interfaces = platform::com::InterfaceTable<CEventPrinter, ICommunicationDriverEvents,
                                                   platform::com::Expose<IDispatch, ICommunicationDriverEvents>>;

  // Set before the printer is handed out.
  void Initialize(std::shared_ptr<LineWriter> writer, std::string unit, bool json) {
    writer_ = std::move(writer);
    unit_ = std::move(unit);
    json_ = json;
  }

  HRESULT Invoke(DISPID dispid, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*, UINT*) override {
    const DISPPARAMS none{nullptr, nullptr, 0, 0};
    writer_->Write(EventLine(unit_, dispid, params != nullptr ? *params : none, json_));
    return S_OK;
  }

 private:
  std::shared_ptr<LineWriter> writer_;
  std::string unit_;
  bool json_ = false;
};

// The watcher of `watch`: prints each notification of the registration observer.
class CNotificationPrinter : public platform::com::ObjectRoot,
                             public platform::automation::WithoutTypeInfo<IRegObserverCallback> {
 public:
  using Interfaces = platform::com::InterfaceTable<CNotificationPrinter, IRegObserverCallback,
                                                   platform::com::Expose<IDispatch, IRegObserverCallback>>;

  void Initialize(std::shared_ptr<LineWriter> writer, bool json) {
    writer_ = std::move(writer);
    json_ = json;
  }

  HRESULT Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
    return DISP_E_MEMBERNOTFOUND;
  }
  HRESULT OnNotify(ULONG first, ULONG second, ULONG third, ULONG bytes, ULONG value) override {
    writer_->Write(NotificationLine(first, second, third, bytes, value, json_));
    return S_OK;
  }

 private:
  std::shared_ptr<LineWriter> writer_;
  bool json_ = false;
};

// Reads lines from a descriptor on a thread of its own and hands each to `onLine`, until the
// input ends or the reader is destroyed (which joins the thread within a poll slice).
class LineReader {
 public:
  LineReader(int fd, std::function<void(const std::string&)> onLine)
      : fd_(fd), onLine_(std::move(onLine)), thread_([this] { Run(); }) {}
  ~LineReader() {
    stop_.store(true);
    thread_.join();
  }
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;

 private:
  void Run() {
    std::string pending;
    char chunk[4096];
    while (!stop_.load()) {
      pollfd descriptor{fd_, POLLIN, 0};
      if (::poll(&descriptor, 1, 200) <= 0) continue;
      const ssize_t got = ::read(fd_, chunk, sizeof chunk);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) break;
      pending.append(chunk, static_cast<std::size_t>(got));
      for (auto end = pending.find('\n'); end != std::string::npos; end = pending.find('\n')) {
        onLine_(pending.substr(0, end));
        pending.erase(0, end + 1);
      }
    }
    if (!pending.empty() && !stop_.load()) onLine_(pending);
  }

  const int fd_;
  std::function<void(const std::string&)> onLine_;
  std::atomic<bool> stop_{false};
  std::thread thread_;  // last: started once the rest exists
};

// One write of `open --shm`: "<hex> [<value>]", "" for no bytes. False with `error` otherwise.
bool ParseWriteLine(const std::string& line, std::vector<std::uint8_t>* bytes, std::int32_t* value,
                    std::string* error) {
  std::istringstream words(line);
  std::string hex, number, extra;
  words >> hex >> number >> extra;
  if (!extra.empty()) {
    *error = "expected <hex> [<value>]";
    return false;
  }
  if (hex != "\"\"" && !ParseHex(hex, bytes)) {
    *error = "'" + Escaped(hex) + "' is not hexadecimal bytes";
    return false;
  }
  *value = 0;
  if (!number.empty() && !ParseValue(number, value)) {
    *error = "'" + Escaped(number) + "' is not a 32-bit number";
    return false;
  }
  return true;
}

class Session {
 public:
  Session(const Command& command, Streams streams, const WaitForStop& waitForStop)
      : command_(command),
        streams_(streams),
        waitForStop_(waitForStop),
        writer_(std::make_shared<LineWriter>(streams.out)) {}

  int Run() {
    switch (command_.verb) {
      case Verb::kUnits:
        return Units();
      case Verb::kInfo:
      case Verb::kSubItems:
        return Describe();
      case Verb::kOpen:
        return command_.sharedMemory ? OpenSharedMemory() : Open();
      case Verb::kWrite:
        return Write();
      case Verb::kWatch:
        return Watch();
      case Verb::kGeneric:
      case Verb::kCreate:
      case Verb::kActivate:
      case Verb::kShutdown:
        return ApplicationCommand();
      case Verb::kNone:
        break;
    }
    return Fail("no command given", E_INVALIDARG);
  }

 private:
  int Fail(const std::string& what, HRESULT hr) {
    const auto waited = std::chrono::steady_clock::now() - started_;
    if (hr == RPC_S_CALL_FAILED_HR && command_.timeout.count() > 0 && waited >= command_.timeout) {
      streams_.err << "tcdctl: " << what << ": the server did not answer within " << command_.timeout.count() / 1000.0
                   << " s (--timeout)\n";
    } else {
      streams_.err << "tcdctl: " << Failure(what, hr) << '\n';
    }
    return 1;
  }

  // Activates a class of the server; on failure says why and returns false.
  template <class I>
  bool Reach(REFCLSID clsid, ComPtr<I>* object) {
    const HRESULT hr = CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, uuidof<I>, object->PutVoid());
    if (SUCCEEDED(hr)) return true;
    if (hr == REGDB_E_CLASSNOTREG) {
      Fail("cannot reach the server: it is not running and not registered", hr);
    } else if (hr == HRESULT_FROM_WIN32(ERROR_BADDB)) {
      Fail("cannot reach the server: the registry " + platform::registry::CurrentDatabasePath() + " is damaged", hr);
    } else {
      Fail("cannot reach the server", hr);
    }
    return false;
  }

  bool Factory() { return factory_ || Reach(CLSID_TalvaroCommunicationDriverFactory, &factory_); }

  // A driver object for the unit; on failure says why.
  bool OpenDriver() {
    if (!Factory()) return false;
    Bstr unit(platform::FromUtf8(command_.unit));
    Bstr application(platform::FromUtf8(command_.application));
    Bstr none(L"");
    const HRESULT hr = factory_->CreateDriver(unit.Get(), application.Get(), none.Get(), none.Get(), none.Get(),
                                              driver_.Put());
    if (hr != S_OK || !driver_) {
      Fail("cannot open " + Escaped(command_.unit), hr == S_OK ? E_UNEXPECTED : hr);
      return false;
    }
    return true;
  }

  int Units() {
    ComPtr<IDebug> debug;
    if (!Factory()) return 1;
    HRESULT hr = factory_.As(&debug);
    SafeArray names;
    if (SUCCEEDED(hr)) hr = debug->GetXRBNames(names.Put());
    if (FAILED(hr)) return Fail("cannot list the units", hr);
    const auto list = Utf8Strings(names.Get());
    if (command_.json) {
      writer_->Write("{\"units\":" + JsonArray(list) + "}");
    } else {
      for (const auto& name : list) writer_->Write(name);
    }
    return 0;
  }

  int Describe() {
    ComPtr<IDebug> debug;
    if (!Factory()) return 1;
    HRESULT hr = factory_.As(&debug);
    if (FAILED(hr)) return Fail("cannot ask the server", hr);
    Bstr unit(platform::FromUtf8(command_.unit));
    SafeArray lines;
    const bool info = command_.verb == Verb::kInfo;
    hr = info ? debug->GetXRBInfo(unit.Get(), lines.Put()) : debug->GetXRBSubItemNames(unit.Get(), lines.Put());
    if (hr == E_INVALIDARG) return Fail("no unit named '" + Escaped(command_.unit) + "'", hr);
    if (FAILED(hr)) return Fail("cannot describe " + Escaped(command_.unit), hr);
    const auto list = Utf8Strings(lines.Get());
    if (command_.json) {
      writer_->Write("{\"unit\":" + JsonString(command_.unit) + (info ? ",\"info\":" : ",\"subitems\":") +
                    JsonArray(list) + "}");
    } else {
      for (const auto& line : list) writer_->Write(line);
    }
    return 0;
  }

  int Open() {
    if (!OpenDriver()) return 1;
    ComPtr<IConnectionPointContainer> container;
    ComPtr<IConnectionPoint> point;
    HRESULT hr = driver_.As(&container);
    if (SUCCEEDED(hr)) hr = container->FindConnectionPoint(uuidof<ICommunicationDriverEvents>, point.Put());
    ComPtr<platform::com::ComObject<CEventPrinter>> printer;
    if (SUCCEEDED(hr)) hr = platform::com::CreateObject(&printer);
    if (FAILED(hr)) return Fail("cannot subscribe to " + Escaped(command_.unit), hr);
    printer->Initialize(writer_, command_.unit, command_.json);
    DWORD cookie = 0;
    hr = point->Advise(static_cast<ICommunicationDriverEvents*>(printer.Get()), &cookie);
    if (FAILED(hr)) return Fail("cannot subscribe to " + Escaped(command_.unit), hr);
    const bool stopped = waitForStop_([this] { return platform::remoting::IsConnected(driver_.Get()); });
    if (!stopped) return Fail("the server went away", RPC_S_SERVER_UNAVAILABLE_HR);
    point->Unadvise(cookie);
    return 0;
  }

  // `open --shm`: the link's data channel printed, probes counted, stdin lines written.
  int OpenSharedMemory() {
    std::atomic<std::uint64_t> lineNumber{0};
    Talvaro::Client::SharedMemoryClient::Options options;
    options.unit = platform::FromUtf8(command_.unit);
    options.applicationName = platform::FromUtf8(command_.application);
    const auto dataLine = [writer = writer_, unit = command_.unit, json = command_.json](DISPID dispid, VARIANT value) {
      DISPPARAMS params{&value, nullptr, 1, 0};
      writer->Write(EventLine(unit, dispid, params, json));
    };
    options.onData = [dataLine](const unsigned char* bytes, std::size_t count) {
      platform::automation::Variant block;
      if (SUCCEEDED(platform::automation::MakeByteArrayVariant(std::span(bytes, count), &block))) {
        dataLine(DISPID_OnData, *block.Get());
      }
    };
    options.onError = [dataLine](std::int32_t code) {
      dataLine(DISPID_OnError, *platform::automation::MakeUI4Variant(static_cast<ULONG>(code)).Get());
    };
    options.onAvailability = [dataLine](std::int32_t state) {
      dataLine(DISPID_OnStateChanged, *platform::automation::MakeUI4Variant(static_cast<ULONG>(state)).Get());
    };
    std::unique_ptr<Talvaro::Client::SharedMemoryClient> client;
    std::string reason;
    const HRESULT hr = Talvaro::Client::SharedMemoryClient::Open(options, &client, &reason);
    if (hr == HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED) || hr == E_FAIL) {
      streams_.err << "tcdctl: cannot open " << Escaped(command_.unit) << " over shared memory: " << reason << '\n';
      return 1;
    }
    if (hr != S_OK) return Fail("cannot open " + Escaped(command_.unit), hr);

    std::unique_ptr<LineReader> input;
    if (streams_.in >= 0) {
      input = std::make_unique<LineReader>(streams_.in, [&](const std::string& line) {
        const auto number = ++lineNumber;
        if (line.find_first_not_of(" \t\r") == std::string::npos) return;
        std::vector<std::uint8_t> bytes;
        std::int32_t value = 0;
        std::string error;
        try {
          if (ParseWriteLine(line, &bytes, &value, &error)) {
            client->Write(bytes.data(), bytes.size(), value);
            return;
          }
        } catch (const std::runtime_error& failure) {
          error = std::string("cannot write: ") + failure.what();
        }
        streams_.err << "tcdctl: input line " << number << ": " << error << '\n' << std::flush;
      });
    }
    const bool stopped = waitForStop_([&] { return client->Connected(); });
    input.reset();
    const auto probes = client->ProbesTaken();
    client.reset();
    if (!stopped) return Fail("the server went away", RPC_S_SERVER_UNAVAILABLE_HR);
    writer_->Write(command_.json ? "{\"unit\":" + JsonString(command_.unit) + ",\"probes\":" + std::to_string(probes) + "}"
                                 : "probes " + std::to_string(probes));
    return 0;
  }

  int Write() {
    if (!OpenDriver()) return 1;
    ComPtr<IDataTransfer> transfer;
    HRESULT hr = driver_.As(&transfer);
    SafeArray bytes;
    if (SUCCEEDED(hr)) hr = platform::automation::CreateByteArray(command_.data, &bytes);
    LONG result = 0;
    if (SUCCEEDED(hr)) hr = transfer->Write(bytes.Get(), command_.value, &result);
    if (hr != S_OK) return Fail("cannot write to " + Escaped(command_.unit), FAILED(hr) ? hr : E_UNEXPECTED);
    if (command_.json) {
      writer_->Write("{\"unit\":" + JsonString(command_.unit) + ",\"result\":" + std::to_string(result) + "}");
    } else {
      writer_->Write("result " + std::to_string(result));
    }
    return 0;
  }

  int Watch() {
    if (!Factory()) return 1;
    ComPtr<IRegObserver> observer;
    HRESULT hr = factory_->GetRegObserver(observer.Put());
    ComPtr<platform::com::ComObject<CNotificationPrinter>> printer;
    if (SUCCEEDED(hr)) hr = platform::com::CreateObject(&printer);
    if (FAILED(hr)) return Fail("cannot reach the registration observer", hr);
    printer->Initialize(writer_, command_.json);
    IRegObserverCallback* callback = printer.Get();
    hr = observer->Register(callback);
    if (FAILED(hr)) return Fail("cannot register as watcher", hr);
    const bool stopped = waitForStop_([&] { return platform::remoting::IsConnected(observer.Get()); });
    if (!stopped) return Fail("the server went away", RPC_S_SERVER_UNAVAILABLE_HR);
    observer->Unregister(callback);
    return 0;
  }

  int ApplicationCommand() {
    const std::string name = VerbName(command_.verb);
    Bstr first(platform::FromUtf8(command_.firstText));
    Bstr second(platform::FromUtf8(command_.secondText));
    HRESULT hr = S_OK;
    if (command_.verb == Verb::kGeneric) {
      ComPtr<IXRBGeneric> generic;
      if (!Reach(CLSID_TalvaroCommunicationDriverGApp, &generic)) return 1;
      hr = generic->SendGenericCommand(first.Get());
    } else {
      ComPtr<IXRBApplicationLifecycle> lifecycle;
      if (!Reach(CLSID_TalvaroCommunicationDriverGApp, &lifecycle)) return 1;
      if (command_.verb == Verb::kCreate) hr = lifecycle->Create(first.Get(), second.Get());
      if (command_.verb == Verb::kActivate) hr = lifecycle->Activate(first.Get(), second.Get());
      if (command_.verb == Verb::kShutdown) hr = lifecycle->Shutdown(first.Get(), second.Get());
    }
    if (hr == E_FAIL) return Fail("the hardware refused the " + name + " command", hr);
    if (FAILED(hr)) return Fail("cannot pass the " + name + " command", hr);
    if (command_.json) writer_->Write("{\"ok\":true}");
    return 0;
  }

  static std::vector<std::string> Utf8Strings(SAFEARRAY* array) {
    std::vector<std::wstring> wide;
    platform::automation::ReadStringArray(array, &wide);
    std::vector<std::string> narrow;
    for (const auto& text : wide) narrow.push_back(platform::ToUtf8(text));
    return narrow;
  }

  const Command& command_;
  const std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
  Streams streams_;
  const WaitForStop& waitForStop_;
  std::shared_ptr<LineWriter> writer_;
  ComPtr<ITalvaroCommunicationDriverFactory> factory_;
  ComPtr<ICommunicationDriver> driver_;
};

}  // namespace

int Execute(const Command& command, Streams streams, const WaitForStop& waitForStop) {
  // A server that tcdctl starts stays running after it (and holds the server's single-instance
  // guard), so say so; on stderr, as text also with --json, whose lines are the results alone.
  platform::remoting::SetLaunchObserver([&err = streams.err](const platform::remoting::LaunchedServer& launched) {
    err << "tcdctl: started " << launched.program << " as a local server (pid " << launched.pid << ")\n"
        << std::flush;
  });
  struct ObserverRemoval {
    ~ObserverRemoval() { platform::remoting::SetLaunchObserver(nullptr); }
  } removal;
  auto limits = platform::remoting::CurrentLimits();
  limits.outgoingCallBound = command.timeout;
  platform::remoting::SetLimits(limits);
  Session session(command, streams, waitForStop);
  return session.Run();
}

}  // namespace tcdctl
