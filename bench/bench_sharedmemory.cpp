// The shared-memory transport between two processes, beside a bare single-producer ring of our own
// in a mapping of the same size (the limit: both sides spin, nothing is checked) and
// boost::interprocess::message_queue, in one run:
//   - bandwidth with 500 kB messages, writer to reader;
//   - messages per second with 1 kB messages;
//   - the median round trip of a 1 kB message that the reader sends back, the reader spinning.
// Each figure is the median of rounds that alternate the three, so that all see the same moods
// of the machine. The program starts itself a second time as the reader
// ("--reader <transport> <size> <count> <echo> <tag>"). Figures go to stdout with ratio and goal.
#include <boost/interprocess/ipc/message_queue.hpp>
#include <fcntl.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "external/sharedmemory/private_namespace.h"
#include "external/sharedmemory/shared_memory_consumer.h"
#include "external/sharedmemory/shared_memory_producer.h"

extern char** environ;

namespace {

namespace Transport = SharedMemoryTransport;
namespace ipc = boost::interprocess;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kLarge = 500000;
constexpr int kLargeCount = 2000;  // 1 GB
constexpr std::size_t kSmall = 1000;
constexpr int kSmallCount = 200000;
constexpr int kRoundTrips = 20000;
constexpr int kRounds = 3;

const Transport::CSecurityAttributes kAttributes(L"D:(A;;GA;;;AU)(A;;GA;;;CO)");

std::uint64_t Now() {
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count());
}

struct Case {
  std::size_t size;
  int count;
  bool echo;
};

struct Result {
  double perSecond = 0;    // messages
  double roundTripUs = 0;  // median
};

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0 : values[values.size() / 2];
}

double MedianUs(std::vector<std::uint64_t> nanoseconds) {
  std::sort(nanoseconds.begin(), nanoseconds.end());
  return nanoseconds.empty() ? 0 : static_cast<double>(nanoseconds[nanoseconds.size() / 2]) / 1000.0;
}

// ---- the bare ring: one mapping, positions and bytes, both sides spinning ----------------------

struct BareRing {
  alignas(64) std::atomic<std::uint64_t> head{0};
  alignas(64) std::atomic<std::uint64_t> tail{0};
  std::uint64_t capacity = 0;

  static std::size_t MappingSize(std::size_t message) { return sizeof(BareRing) + 2 * (message + 8); }
  unsigned char* Bytes() { return reinterpret_cast<unsigned char*>(this + 1); }

  void Send(const unsigned char* data, std::uint32_t count) {
    const std::uint64_t need = 4 + count;
    const std::uint64_t at = head.load(std::memory_order_relaxed);
    while (capacity - (at - tail.load(std::memory_order_acquire)) < need) {
    }
    CopyIn(at, &count, 4);
    CopyIn(at + 4, data, count);
    head.store(at + need, std::memory_order_release);
  }
  std::uint32_t Receive(unsigned char* data) {
    const std::uint64_t at = tail.load(std::memory_order_relaxed);
    while (head.load(std::memory_order_acquire) == at) {
    }
    std::uint32_t count = 0;
    CopyOut(at, &count, 4);
    CopyOut(at + 4, data, count);
    tail.store(at + 4 + count, std::memory_order_release);
    return count;
  }

 private:
  void CopyIn(std::uint64_t at, const void* data, std::size_t count) {
    const std::size_t offset = at % capacity, first = std::min<std::size_t>(count, capacity - offset);
    std::memcpy(Bytes() + offset, data, first);
    std::memcpy(Bytes(), static_cast<const unsigned char*>(data) + first, count - first);
  }
  void CopyOut(std::uint64_t at, void* data, std::size_t count) {
    const std::size_t offset = at % capacity, first = std::min<std::size_t>(count, capacity - offset);
    std::memcpy(data, Bytes() + offset, first);
    std::memcpy(static_cast<unsigned char*>(data) + first, Bytes(), count - first);
  }
};

BareRing* MapBare(const std::string& name, std::size_t message, bool create) {
  const int fd = ::shm_open(name.c_str(), O_RDWR | (create ? O_CREAT : 0), 0600);
  if (fd < 0) return nullptr;
  const std::size_t size = BareRing::MappingSize(message);
  if (create && ::ftruncate(fd, static_cast<off_t>(size)) != 0) {
    ::close(fd);
    return nullptr;
  }
  void* address = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  ::close(fd);
  if (address == MAP_FAILED) return nullptr;
  if (!create) return static_cast<BareRing*>(address);
  auto* ring = new (address) BareRing;
  ring->capacity = 2 * (message + 8);
  return ring;
}

std::string Tagged(const std::string& tag, const char* what) { return "/tcdbench." + tag + "." + what; }

// ---- the reader process -------------------------------------------------------------------

void PrintLine(const std::string& line) {
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

int ReadBare(const Case& c, const std::string& tag) {
  BareRing* in = MapBare(Tagged(tag, "ab"), c.size, false);
  BareRing* out = c.echo ? MapBare(Tagged(tag, "ba"), c.size, false) : nullptr;
  if (in == nullptr || (c.echo && out == nullptr)) return 1;
  PrintLine("ready");
  std::vector<unsigned char> buffer(c.size);
  for (int i = 0; i < c.count; ++i) {
    const std::uint32_t got = in->Receive(buffer.data());
    if (out != nullptr) out->Send(buffer.data(), got);
  }
  PrintLine(std::to_string(Now()));
  return 0;
}

int ReadBoost(const Case& c, const std::string& tag) {
  ipc::message_queue in(ipc::open_only, Tagged(tag, "ab").c_str() + 1);
  std::unique_ptr<ipc::message_queue> out;
  if (c.echo) out = std::make_unique<ipc::message_queue>(ipc::open_only, Tagged(tag, "ba").c_str() + 1);
  PrintLine("ready");
  std::vector<unsigned char> buffer(c.size);
  for (int i = 0; i < c.count; ++i) {
    std::size_t got = 0;
    unsigned int priority = 0;
    in.receive(buffer.data(), buffer.size(), got, priority);
    if (out) out->send(buffer.data(), got, 0);
  }
  PrintLine(std::to_string(Now()));
  return 0;
}

int ReadTransport(const Case& c, const std::string& tag) {
  const std::wstring alias(tag.begin(), tag.end());
  auto space = Transport::CPrivateNamespace::OpenPrivateNamespaceW(L"TALVARO_Bench", alias);
  std::unique_ptr<Transport::CSharedMemoryProducer> out;
  if (c.echo) out = std::make_unique<Transport::CSharedMemoryProducer>(kAttributes, space.Name(), L"ba", c.size);
  std::mutex mutex;
  std::condition_variable done;
  int received = 0;
  std::uint64_t last = 0;
  {
    // Echoes go back from the delivery thread, as a client of the transport would send them.
    Transport::CSharedMemoryConsumer in(
        space.Name(), L"ab",
        [&](const unsigned char* bytes, std::size_t count) {
          if (out) out->SendData(bytes, count, -1);
          std::lock_guard lock(mutex);
          if (++received == c.count) {
            last = Now();
            done.notify_all();
          }
        },
        c.size);
    PrintLine("ready");
    std::unique_lock lock(mutex);
    done.wait(lock, [&] { return received == c.count; });
  }
  PrintLine(std::to_string(last));
  return 0;
}

// ---- the writer (this process) ------------------------------------------------------------

class Reader {
 public:
  Reader(const char* transport, const Case& c, const std::string& tag) {
    int pipeFds[2];
    if (::pipe(pipeFds) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    std::vector<std::string> arguments{"bench_sharedmemory", "--reader", transport, std::to_string(c.size),
                                       std::to_string(c.count), c.echo ? "1" : "0", tag};
    std::vector<char*> argv;
    for (auto& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    if (::posix_spawn(&pid_, "/proc/self/exe", &actions, nullptr, argv.data(), environ) != 0) pid_ = 0;
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    out_ = ::fdopen(pipeFds[0], "r");
  }
  ~Reader() {
    if (out_ != nullptr) std::fclose(out_);
    if (pid_ > 0) ::waitpid(pid_, nullptr, 0);
  }
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  std::string Line() {
    char line[64] = {};
    if (out_ == nullptr || std::fgets(line, sizeof line, out_) == nullptr) return {};
    std::string text(line);
    if (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
  }
  // The reader's time of its last message, once it has them all.
  std::uint64_t LastArrival() {
    const std::string line = Line();
    return line.empty() ? 0 : std::stoull(line);
  }

 private:
  pid_t pid_ = 0;
  std::FILE* out_ = nullptr;
};

// Sends the case's messages one after the other; with echo, each waits for its echo.
template <class Send, class AwaitEcho>
Result Drive(Reader& reader, const Case& c, Send&& send, AwaitEcho&& awaitEcho) {
  std::vector<unsigned char> message(c.size, 0x5A);
  std::vector<std::uint64_t> trips;
  const std::uint64_t start = Now();
  for (int i = 0; i < c.count; ++i) {
    const std::uint64_t sent = Now();
    send(message.data(), message.size());
    if (c.echo) {
      awaitEcho();
      trips.push_back(Now() - sent);
    }
  }
  const std::uint64_t last = reader.LastArrival();
  Result result;
  if (last > start) result.perSecond = c.count / (static_cast<double>(last - start) / 1e9);
  result.roundTripUs = MedianUs(trips);
  return result;
}

Result RunBare(const Case& c, const std::string& tag) {
  BareRing* out = MapBare(Tagged(tag, "ab"), c.size, true);
  BareRing* in = c.echo ? MapBare(Tagged(tag, "ba"), c.size, true) : nullptr;
  Result result;
  if (out != nullptr && (!c.echo || in != nullptr)) {
    Reader reader("bare", c, tag);
    if (reader.Line() == "ready") {
      std::vector<unsigned char> echo(c.size);
      result = Drive(
          reader, c, [&](const unsigned char* data, std::size_t count) { out->Send(data, static_cast<std::uint32_t>(count)); },
          [&] { in->Receive(echo.data()); });
    }
  }
  ::shm_unlink(Tagged(tag, "ab").c_str());
  if (c.echo) ::shm_unlink(Tagged(tag, "ba").c_str());
  return result;
}

Result RunBoost(const Case& c, const std::string& tag) {
  const std::string ab = Tagged(tag, "ab").substr(1), ba = Tagged(tag, "ba").substr(1);
  Result result;
  {
    ipc::message_queue out(ipc::create_only, ab.c_str(), 2, c.size);
    std::unique_ptr<ipc::message_queue> in;
    if (c.echo) in = std::make_unique<ipc::message_queue>(ipc::create_only, ba.c_str(), 2, c.size);
    Reader reader("boost", c, tag);
    if (reader.Line() == "ready") {
      std::vector<unsigned char> echo(c.size);
      result = Drive(
          reader, c, [&](const unsigned char* data, std::size_t count) { out.send(data, count, 0); },
          [&] {
            std::size_t got = 0;
            unsigned int priority = 0;
            in->receive(echo.data(), c.size, got, priority);
          });
    }
  }
  ipc::message_queue::remove(ab.c_str());
  if (c.echo) ipc::message_queue::remove(ba.c_str());
  return result;
}

// Round trips the way a client of this transport runs them: each echo, delivered on the
// consumer's thread, sends the next message from there.
Result RoundTrips(Transport::CSharedMemoryProducer& out, const std::wstring& prefix, Reader& reader, const Case& c) {
  std::vector<unsigned char> message(c.size, 0x5A);
  std::vector<std::uint64_t> trips;
  std::mutex mutex;
  std::condition_variable finished;
  std::uint64_t sent = 0;
  bool done = false;
  {
    Transport::CSharedMemoryConsumer in(
        prefix, L"ba",
        [&](const unsigned char*, std::size_t) {
          trips.push_back(Now() - sent);
          if (static_cast<int>(trips.size()) == c.count) {
            std::lock_guard lock(mutex);
            done = true;
            finished.notify_all();
            return;
          }
          sent = Now();
          out.SendData(message.data(), message.size(), -1);
        },
        c.size);
    sent = Now();
    out.SendData(message.data(), message.size(), -1);
    std::unique_lock lock(mutex);
    finished.wait(lock, [&] { return done; });
  }
  reader.LastArrival();
  Result result;
  result.roundTripUs = MedianUs(trips);
  return result;
}

Result RunTransport(const Case& c, const std::string& tag) {
  const std::wstring alias(tag.begin(), tag.end());
  auto space = Transport::CPrivateNamespace::CreatePrivateNamespaceW(kAttributes, L"TALVARO_Bench", alias);
  Transport::CSharedMemoryProducer out(kAttributes, space.Name(), L"ab", c.size);
  Reader reader("transport", c, tag);
  if (reader.Line() != "ready") return {};
  if (c.echo) return RoundTrips(out, space.Name(), reader, c);
  return Drive(
      reader, c, [&](const unsigned char* data, std::size_t count) { out.SendData(data, count, -1); }, [] {});
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 7 && std::string(argv[1]) == "--reader") {
    const Case c{std::stoul(argv[3]), std::stoi(argv[4]), std::string(argv[5]) == "1"};
    const std::string transport = argv[2];
    if (transport == "bare") return ReadBare(c, argv[6]);
    if (transport == "boost") return ReadBoost(c, argv[6]);
    return ReadTransport(c, argv[6]);
  }
  const std::string tag = "b" + std::to_string(::getpid());
  const Case cases[] = {{kLarge, kLargeCount, false}, {kSmall, kSmallCount, false}, {kSmall, kRoundTrips, true}};
  std::vector<double> figures[3][3];  // [case][transport: ours, bare, boost]
  for (int round = 0; round < kRounds; ++round) {
    for (int k = 0; k < 3; ++k) {
      const std::string name = tag + "r" + std::to_string(round) + "c" + std::to_string(k);
      const Result results[] = {RunTransport(cases[k], name + "t"), RunBare(cases[k], name + "b"),
                                RunBoost(cases[k], name + "o")};
      for (int t = 0; t < 3; ++t) {
        const double value = k == 2 ? results[t].roundTripUs : results[t].perSecond * (k == 0 ? kLarge / 1e6 : 1.0);
        figures[k][t].push_back(value);
      }
    }
  }
  double median[3][3];
  for (int k = 0; k < 3; ++k) {
    for (int t = 0; t < 3; ++t) median[k][t] = Median(figures[k][t]);
  }
  std::printf("%-32s %12s %12s %12s  %s\n", "figure", "transport", "bare ring", "boost mq", "goal");
  std::printf("%-32s %12.0f %12.0f %12.0f  >= 70%% of bare (%.0f%%)\n", "500 kB messages, MB/s", median[0][0],
              median[0][1], median[0][2], 100.0 * median[0][0] / median[0][1]);
  std::printf("%-32s %12.0f %12.0f %12.0f  more than boost (%.1fx)\n", "1 kB messages per second", median[1][0],
              median[1][1], median[1][2], median[1][0] / median[1][2]);
  std::printf("%-32s %12.1f %12.1f %12.1f  < 2x bare (%.2fx)\n", "1 kB round trip, us (median)", median[2][0],
              median[2][1], median[2][2], median[2][0] / median[2][1]);
  return 0;
}
