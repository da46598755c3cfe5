// Soak of the shared-memory connector: many client processes on several units for a while, the
// real server in between.
//
//   soak_connector [--seconds <n>] [--clients <n>] [--units <n>]     (60, 100, 8)
//
// The server's simulator gets <units> units, each sending its 12-byte status block (with the
// unit's sequence number) every 5 ms. Client i links with unit i mod <units> through the client
// library and checks that the sequence numbers it receives follow each other. The server's
// resident memory is sampled every second. At the end: blocks received, gaps (blocks missing
// between two received ones), the server's records of blocks it could not send (the only
// losses allowed), the peak resident memory beside its bound of 200 MB plus the channels' size.
// Exit status 0 when no block was lost that the server reported as sent and the memory stayed in
// bound; 1 otherwise.
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/server_environment.h"
#include "client/shared_memory_client.h"
#include "platform/com/apartment.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr DWORD kPeriodMs = 5;
constexpr std::size_t kChannelSize = 500000;

// ---- a client process -------------------------------------------------------------------------

// Prints "blocks <n> gaps <n> probes <n>" after `seconds` of its link.
int RunClient(const std::string& unit, int seconds) {
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  std::atomic<std::uint64_t> blocks{0}, gaps{0};
  std::uint32_t previous = 0;  // the delivery thread's
  bool first = true;           // the delivery thread's
  Talvaro::Client::SharedMemoryClient::Options options;
  options.unit = std::wstring(unit.begin(), unit.end());
  options.applicationName = L"soak";
  options.onData = [&](const unsigned char* bytes, std::size_t count) {
    if (count != 12 || bytes[0] != 'S' || bytes[1] != 'T') return;
    std::uint32_t sequence = 0;
    std::memcpy(&sequence, bytes + 4, sizeof sequence);
    if (!first && sequence != previous + 1) gaps += sequence - previous - 1;
    first = false;
    previous = sequence;
    ++blocks;
  };
  std::unique_ptr<Talvaro::Client::SharedMemoryClient> client;
  std::string reason;
  if (Talvaro::Client::SharedMemoryClient::Open(options, &client, &reason) != S_OK) {
    std::fprintf(stderr, "soak client on %s: %s\n", unit.c_str(), reason.c_str());
    return 1;
  }
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  const auto probes = client->ProbesTaken();
  const bool connected = client->Connected();
  client.reset();
  std::printf("blocks %llu gaps %llu probes %llu\n", static_cast<unsigned long long>(blocks.load()),
              static_cast<unsigned long long>(gaps.load()), static_cast<unsigned long long>(probes));
  CoUninitialize();
  return connected ? 0 : 1;
}

// ---- the soak -----------------------------------------------------------------------------------

std::uint64_t ResidentKilobytes(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stoull(line.substr(6));
  }
  return 0;
}

std::size_t Occurrences(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++count;
  return count;
}

struct Options {
  int seconds = 60;
  int clients = 100;
  int units = 8;
};

bool ParseOptions(int argc, char** argv, Options* options) {
  for (int i = 1; i < argc; i += 2) {
    if (i + 1 >= argc) return false;
    const std::string name = argv[i];
    const int value = std::atoi(argv[i + 1]);
    if (value <= 0) return false;
    if (name == "--seconds") {
      options->seconds = value;
    } else if (name == "--clients") {
      options->clients = value;
    } else if (name == "--units") {
      options->units = value;
    } else {
      return false;
    }
  }
  return true;
}

struct ClientProcess {
  pid_t pid = -1;
  int out = -1;
  std::string output;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "--client") == 0) return RunClient(argv[2], std::atoi(argv[3]));
  Options options;
  if (!ParseOptions(argc, argv, &options)) {
    std::fprintf(stderr, "usage: soak_connector [--seconds <n>] [--clients <n>] [--units <n>]\n");
    return 2;
  }

  Bench::Environment environment;
  Bench::SetConnectorType(L"SHARED_MEMORY");
  for (int unit = 1; unit <= options.units; ++unit) {
    const std::wstring key = L"SOFTWARE\\TALVARO\\ORBIQ\\XRBSimulator\\Units\\U" + std::to_wstring(unit);
    Bench::SetRegistryText(key.c_str(), L"LogicalName", L"XRB_" + std::to_wstring(unit));
    Bench::SetRegistryDword(key.c_str(), L"DataPeriodMs", kPeriodMs);
  }
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  int status = 0;
  {
    Bench::Server server;
    std::vector<ClientProcess> clients(static_cast<std::size_t>(options.clients));
    for (int i = 0; i < options.clients; ++i) {
      auto& client = clients[static_cast<std::size_t>(i)];
      client.pid = Bench::Spawn({"/proc/self/exe", "--client", "XRB_" + std::to_string(i % options.units + 1),
                                 std::to_string(options.seconds)},
                                &client.out);
    }
    std::fprintf(stderr, "soak: %d clients on %d units for %d s\n", options.clients, options.units, options.seconds);

    // Sample the server's memory and collect the clients' reports until every client has ended.
    std::uint64_t peakKilobytes = 0;
    const auto started = Clock::now();
    auto nextReport = started + std::chrono::seconds(10);
    std::size_t open = clients.size();
    while (open > 0) {
      std::vector<pollfd> descriptors;
      for (const auto& client : clients) {
        if (client.out >= 0) descriptors.push_back({client.out, POLLIN, 0});
      }
      ::poll(descriptors.data(), descriptors.size(), 1000);
      for (auto& client : clients) {
        if (client.out < 0) continue;
        pollfd one{client.out, POLLIN, 0};
        if (::poll(&one, 1, 0) <= 0) continue;
        char buffer[256];
        const ssize_t got = ::read(client.out, buffer, sizeof buffer);
        if (got > 0) {
          client.output.append(buffer, static_cast<std::size_t>(got));
        } else {
          ::close(client.out);
          client.out = -1;
          --open;
        }
      }
      peakKilobytes = std::max(peakKilobytes, ResidentKilobytes(server.Pid()));
      if (Clock::now() >= nextReport) {
        std::fprintf(stderr, "soak: %lld s, server resident %.1f MB\n",
                     static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - started).count()),
                     static_cast<double>(ResidentKilobytes(server.Pid())) / 1024);
        nextReport += std::chrono::seconds(10);
      }
      if (Clock::now() - started > std::chrono::seconds(options.seconds + 120)) Bench::Fail("clients did not end");
    }

    std::uint64_t blocks = 0, gaps = 0, probes = 0;
    int failedClients = 0;
    for (auto& client : clients) {
      std::istringstream report(client.output);
      std::string word;
      std::uint64_t b = 0, g = 0, p = 0;
      if (!(report >> word >> b >> word >> g >> word >> p) || Bench::WaitExit(client.pid) != 0) ++failedClients;
      blocks += b;
      gaps += g;
      probes += p;
    }
    std::ifstream logFile(environment.LogDirectory() + "/TCD.log");
    const std::string log((std::istreambuf_iterator<char>(logFile)), std::istreambuf_iterator<char>());
    const std::size_t unsent = Occurrences(log, "Write to shared memory failed") + Occurrences(log, "Write to shared memory timeout");
    // Each link maps its data channel (header and a ring of two messages) and its client's write
    // channel of the same size; the liveliness channel is a page.
    const double channelsMegabytes = static_cast<double>(options.clients) * 2 * (2 * (kChannelSize + 4) + 320 + 4096) / 1048576;
    const double peakMegabytes = static_cast<double>(peakKilobytes) / 1024;
    const bool lossless = gaps <= unsent;
    const bool bounded = peakMegabytes < 200 + channelsMegabytes;
    std::printf("clients %d (failed %d), units %d, %d s\n", options.clients, failedClients, options.units, options.seconds);
    std::printf("blocks received %llu, gaps %llu, blocks the server reported unsent %zu, probes answered %llu\n",
                static_cast<unsigned long long>(blocks), static_cast<unsigned long long>(gaps), unsent,
                static_cast<unsigned long long>(probes));
    std::printf("server resident peak %.1f MB; bound 200 MB + channels %.1f MB = %.1f MB\n", peakMegabytes,
                channelsMegabytes, 200 + channelsMegabytes);
    std::printf("%s\n", lossless && bounded && failedClients == 0 ? "PASS" : "FAIL");
    status = lossless && bounded && failedClients == 0 ? 0 : 1;
  }
  CoUninitialize();
  return status;
}
