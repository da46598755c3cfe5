#include "tests/remoting/hostile_streams.h"

#include <capnp/message.h>
#include <capnp/rpc.capnp.h>
#include <capnp/serialize.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <random>

#include "interfaces/driver_factory.h"
#include "interfaces/talvaro.capnp.h"
#include "platform/remoting/values.h"

namespace Talvaro::RemotingTest {
namespace {

using capnp::rpc::Message;

std::string Framed(capnp::MessageBuilder& message) {
  const auto words = capnp::messageToFlatArray(message);
  const auto bytes = words.asBytes();
  return std::string(reinterpret_cast<const char*>(bytes.begin()), bytes.size());
}

// One RPC message built by `fill`.
template <class Fill>
std::string Rpc(Fill&& fill) {
  capnp::MallocMessageBuilder message;
  fill(message.initRoot<Message>());
  return Framed(message);
}

std::string Bootstrap(std::uint32_t question) {
  return Rpc([question](Message::Builder message) { message.initBootstrap().setQuestionId(question); });
}

// A call on the answer to `answer` (the bootstrap Activator, or a pointer field of an answer).
template <class Fill>
std::string CallOn(std::uint32_t question, std::uint32_t answer, std::int32_t pointerField, std::uint64_t interfaceId,
                   std::uint16_t method, Fill&& params) {
  return Rpc([&](Message::Builder message) {
    auto call = message.initCall();
    call.setQuestionId(question);
    auto promised = call.initTarget().initPromisedAnswer();
    promised.setQuestionId(answer);
    if (pointerField >= 0) promised.initTransform(1)[0].setGetPointerField(static_cast<std::uint16_t>(pointerField));
    call.setInterfaceId(interfaceId);
    call.setMethodId(method);
    params(call.initParams().initContent());
  });
}

std::string Word(std::uint32_t first, std::uint32_t second) {
  std::string bytes(8, '\0');
  std::memcpy(bytes.data(), &first, 4);
  std::memcpy(bytes.data() + 4, &second, 4);
  return bytes;
}

int Connect(const std::string& path) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

std::vector<std::string> HostileStreams() {
  using platform::remoting::wire::Activator;
  std::vector<std::string> streams;
  std::mt19937 random(20261205);
  auto garbage = [&](std::size_t size) {
    std::string bytes(size, '\0');
    for (auto& byte : bytes) byte = static_cast<char>(random());
    return bytes;
  };

  streams.push_back(garbage(4096));
  streams.push_back(Word(0xFFFFFFFF, 0xFFFFFFFF) + garbage(64));         // absurd segment count
  streams.push_back(Word(0, 0x7FFFFFFF) + garbage(64));                  // one segment far too big
  streams.push_back(Word(0, 16) + garbage(128));                         // well framed, garbage words
  streams.push_back(Word(3, 1) + Word(1, 1) + garbage(24));              // segment table, bad pointers

  // Calls to imports and questions that do not exist, stray returns, finishes and releases.
  streams.push_back(Rpc([](Message::Builder message) {
    auto call = message.initCall();
    call.setQuestionId(1);
    call.initTarget().setImportedCap(4242);
    call.setInterfaceId(0x1234);
  }));
  streams.push_back(Rpc([](Message::Builder message) { message.initReturn().setAnswerId(999); }));
  streams.push_back(Rpc([](Message::Builder message) { message.initFinish().setQuestionId(77); }));
  streams.push_back(Rpc([](Message::Builder message) {
    auto release = message.initRelease();
    release.setId(5);
    release.setReferenceCount(0xFFFFFFFF);
  }));
  streams.push_back(Rpc([](Message::Builder message) { message.initDisembargo().initTarget().setImportedCap(9); }));
  streams.push_back(Bootstrap(0) + Bootstrap(0));  // the same question twice

  // The Activator with parameters of the wrong shape, an unknown method, a foreign interface.
  streams.push_back(Bootstrap(0) + CallOn(1, 0, -1, capnp::typeId<Activator>(), 0, [](capnp::AnyPointer::Builder content) {
                      content.setAs<capnp::Text>("not a struct");
                    }));
  streams.push_back(Bootstrap(0) + CallOn(1, 0, -1, capnp::typeId<Activator>(), 77, [](capnp::AnyPointer::Builder) {}));
  streams.push_back(Bootstrap(0) + CallOn(1, 0, -1, capnp::typeId<Interfaces::wire::IDebug>(), 0,
                                          [](capnp::AnyPointer::Builder) {}));

  // A real activation, pipelined, then a driver request with broken strings and a write of an
  // array that lies about its size; the connection then goes without releasing anything.
  using platform::remoting::WriteGuid;
  std::string session = Bootstrap(0);
  session += CallOn(1, 0, -1, capnp::typeId<Activator>(), 0, [](capnp::AnyPointer::Builder content) {
    auto params = content.initAs<Activator::GetClassObjectParams>();
    WriteGuid(CLSID_TalvaroCommunicationDriverFactory, params.initClsid());
    WriteGuid(IID_IClassFactory, params.initIid());
  });
  session += CallOn(2, 1, 0, capnp::typeId<platform::remoting::wire::IClassFactory>(), 0,
                    [](capnp::AnyPointer::Builder content) {
                      WriteGuid(uuidof<ITalvaroCommunicationDriverFactory>,
                                content.initAs<platform::remoting::wire::IClassFactory::CreateInstanceParams>().initIid());
                    });
  session += CallOn(3, 2, 0, capnp::typeId<Interfaces::wire::ITalvaroCommunicationDriverFactory>(), 0,
                    [](capnp::AnyPointer::Builder content) {
                      auto params = content.initAs<Interfaces::wire::ITalvaroCommunicationDriverFactory::CreateDriverParams>();
                      const char broken[] = "\xff\xfe\xc0\x80XRB";
                      params.setLogicalName(capnp::Text::Reader(broken, sizeof broken - 1));
                      params.setApplicationName(capnp::Text::Reader("\xed\xa0\x80", 3));
                    });
  session += CallOn(4, 3, 0, capnp::typeId<Interfaces::wire::IDataTransfer>(), 0, [](capnp::AnyPointer::Builder content) {
    auto array = content.initAs<Interfaces::wire::IDataTransfer::WriteParams>().initData();
    array.setElementType(17);
    auto bounds = array.initBounds(1);
    bounds[0].setCount(0xFFFFFFFF);
    array.setBytes(capnp::Data::Reader(reinterpret_cast<const kj::byte*>("abc"), 3));
  });
  streams.push_back(session);
  return streams;
}

bool SendHostile(const std::string& path, const std::string& bytes) {
  const int fd = Connect(path);
  if (fd < 0) return false;
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t wrote = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (wrote <= 0) break;  // the server may close on the first bad word
    sent += static_cast<std::size_t>(wrote);
  }
  // Give the server a moment to answer or hang up, then leave.
  char sink[4096];
  for (;;) {
    pollfd ready{fd, POLLIN, 0};
    if (::poll(&ready, 1, 200) <= 0) break;
    if (::read(fd, sink, sizeof sink) <= 0) break;
  }
  ::close(fd);
  return true;
}

StalledConnection::StalledConnection(const std::string& path) : fd_(Connect(path)) {
  if (fd_ < 0) return;
  const std::string start = Word(0, 1000);  // a frame announcing 1000 words, then silence
  (void)!::send(fd_, start.data(), start.size(), MSG_NOSIGNAL);
}

StalledConnection::~StalledConnection() {
  if (fd_ >= 0) ::close(fd_);
}

}  // namespace Talvaro::RemotingTest
