// wire_fuzzer: libFuzzer feeds bytes to a server connection as a hostile client would send them.
//
// The process publishes the server's four classes as the host does (a private registry, runtime
// and log directory; the embedded simulated units), then for each input connects to its own
// socket like any client, writes the input, waits for the answers to the questions it asked (or
// a bound), ends its writing half and reads until the server closes its end. An input that makes the server crash,
// leak, hang or read out of bounds is a finding; one that leaves the server's transport in place
// after the peer has gone is one too (the harness aborts).
//
// Threads: libFuzzer's thread writes; a drain thread reads the answers; the runtime's RPC thread
// and workers serve the connection.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <capnp/rpc.capnp.h>
#include <capnp/serialize.h>
#include <kj/io.h>

#include <chrono>
#include <condition_variable>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "interfaces/application_lifecycle.h"
#include "interfaces/communication_driver.h"
#include "interfaces/driver_factory.h"
#include "interfaces/registration_observer.h"
#include "objects/class_objects.h"
#include "platform/com/apartment.h"
#include "platform/com/class_table.h"
#include "platform/com/server_process.h"
#include "platform/remoting/endpoints.h"
#include "platform/remoting/limits.h"

namespace {

using platform::com::ComPtr;

sockaddr_un serverAddress{};  // set once by LLVMFuzzerInitialize

// A directory of its own for the registry, the class files and the logs, so that a fuzzing run
// never meets an installed or test server; removed at exit (a crash leaves it for inspection).
void UsePrivateDirectories() {
  char directory[] = "/tmp/talvaro-wire-fuzzer-XXXXXX";
  if (::mkdtemp(directory) == nullptr) {
    std::perror("wire_fuzzer: mkdtemp");
    std::exit(1);
  }
  static const std::string root = directory;
  std::atexit([] {
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
  });
  ::setenv("TALVARO_REGISTRY", (root + "/registry.db").c_str(), 1);
  ::setenv("TALVARO_RUN_DIR", root.c_str(), 1);
  ::setenv("TALVARO_LOG_DIR", (root + "/log").c_str(), 1);
  ::setenv("TALVARO_EVENT_LOG", (root + "/events.log").c_str(), 1);
  std::fprintf(stderr, "wire_fuzzer: registry, runtime and logs in %s\n", directory);
}

// Calls the server makes to objects the input offers are never answered: bound them tightly, so
// that workers waiting on them come back within an input or two. The RPC thread sleeps as soon
// as it is idle: this process serves and calls on two cores, polling halves its inputs per
// second, and it changes no handling of a message.
void BoundTheRemoting() {
  auto limits = platform::remoting::CurrentLimits();
  limits.outgoingCallBound = std::chrono::milliseconds(200);
  limits.partialMessageBound = std::chrono::milliseconds(1000);
  limits.pollAfterWork = std::chrono::microseconds(0);
  platform::remoting::SetLimits(limits);
}

void PublishServerClasses() {
  using CreateClassObject = HRESULT (*)(ComPtr<IUnknown>*);
  const std::pair<const CLSID*, CreateClassObject> classes[] = {
      {&CLSID_TalvaroCommunicationDriverFactory, Talvaro::Objects::CreateDriverFactoryClassObject},
      {&CLSID_TalvaroCommunicationDriverGApp, Talvaro::Objects::CreateApplicationLifecycleClassObject},
      {&CLSID_ObserverSingleton, Talvaro::Objects::CreateObserverSingletonClassObject},
      {&CLSID_CommunicationDriver, Talvaro::Objects::CreateCommunicationDriverClassObject},
  };
  for (const auto& [clsid, create] : classes) {
    ComPtr<IUnknown> classObject;
    DWORD cookie = 0;
    if (FAILED(create(&classObject)) ||
        FAILED(CoRegisterClassObject(*clsid, classObject.Get(), CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &cookie))) {
      std::fprintf(stderr, "wire_fuzzer: the server's classes could not be published\n");
      std::exit(1);
    }
  }
  CoAddRefServerProcess();  // published for the life of the process, as in the host
}

// The socket the classes are published on, once listening has begun (within 10 s).
void FindServerSocket() {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  std::optional<platform::remoting::Endpoint> endpoint;
  while (!(endpoint = platform::remoting::ReadClassFile(CLSID_TalvaroCommunicationDriverFactory))) {
    if (std::chrono::steady_clock::now() > deadline) {
      std::fprintf(stderr, "wire_fuzzer: the classes were not published within 10 s\n");
      std::exit(1);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (endpoint->socket.size() >= sizeof serverAddress.sun_path) {
    std::fprintf(stderr, "wire_fuzzer: the socket path %s is too long\n", endpoint->socket.c_str());
    std::exit(1);
  }
  serverAddress.sun_family = AF_UNIX;
  endpoint->socket.copy(serverAddress.sun_path, endpoint->socket.size());
}

// The questions (calls, bootstraps) among the messages of an input that parse, in order; the
// first that does not ends the count, as it ends the connection at the server.
std::size_t QuestionsAsked(const std::uint8_t* data, std::size_t size) {
  auto words = kj::heapArray<capnp::word>(size / sizeof(capnp::word));  // aligned, as the reader wants
  std::memcpy(words.begin(), data, words.size() * sizeof(capnp::word));
  kj::ArrayPtr<const capnp::word> rest = words;
  std::size_t questions = 0;
  try {
    while (rest.size() > 0) {
      capnp::FlatArrayMessageReader message(rest);
      const auto which = message.getRoot<capnp::rpc::Message>().which();
      if (which == capnp::rpc::Message::CALL || which == capnp::rpc::Message::BOOTSTRAP) ++questions;
      rest = kj::arrayPtr(message.getEnd(), rest.end());
    }
  } catch (const kj::Exception&) {
  }
  return questions;
}

// What the server has sent back on one connection. The drain thread writes, the fuzzer's
// thread waits; both under `mutex`.
class Answers {
 public:
  // Drain thread: reads every message until the server closes its end, so that its writes
  // never stall, counting the returns.
  void Drain(int fd) {
    kj::FdInputStream input(fd);
    try {
      for (;;) {
        capnp::InputStreamMessageReader message(input);
        if (message.getRoot<capnp::rpc::Message>().which() != capnp::rpc::Message::RETURN) continue;
        std::lock_guard lock(mutex_);
        ++returns_;
        changed_.notify_all();
      }
    } catch (const kj::Exception&) {
    }
    std::lock_guard lock(mutex_);
    closed_ = true;
    changed_.notify_all();
  }

  // Until `questions` are answered or the server closed, for at most `bound`: calls the server
  // makes to the input's objects are never answered and run into the call bound first.
  void WaitFor(std::size_t questions, std::chrono::milliseconds bound) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, bound, [&] { return closed_ || returns_ >= questions; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::size_t returns_ = 0;
  bool closed_ = false;
};

void WriteAll(int fd, const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    const ssize_t written = ::send(fd, data, size, MSG_NOSIGNAL);
    if (written <= 0) return;  // the server ended the connection: the rest is not read
    data += written;
    size -= static_cast<std::size_t>(written);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  UsePrivateDirectories();
  BoundTheRemoting();
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  PublishServerClasses();
  FindServerSocket();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const int client = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (client < 0 || ::connect(client, reinterpret_cast<const sockaddr*>(&serverAddress), sizeof serverAddress) != 0) {
    std::perror("wire_fuzzer: connecting to the server");
    std::abort();
  }
  Answers answers;
  std::thread drain([&] { answers.Drain(client); });
  WriteAll(client, data, size);
  // As a client does, it waits for its answers before it leaves: ending the connection at once
  // would cancel the calls before they reached the objects.
  answers.WaitFor(QuestionsAsked(data, size), std::chrono::seconds(2));
  ::shutdown(client, SHUT_WR);
  // The server closes its end once it gives back the transport of a peer that is gone; if it
  // never did, the drain would wait for ever and libFuzzer reports the input as a timeout.
  drain.join();
  ::close(client);
  return 0;
}
