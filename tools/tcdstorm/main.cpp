// tcdstorm: a kill storm against a running server. Starts client processes (tcdctl open, watch
// and write, in turn), kills each with SIGKILL at a random moment of its life (during
// activation, while subscribing, while listening), keeps a number of them alive at once, and
// measures `units` latency while it runs. Before and after it prints the server's resident
// memory, descriptors, threads, attached driver objects and cleanups; after the storm it waits
// for the server to give back what the clients held. See docs/tcdstorm.md.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/com/apartment.h"
#include "tools/tcdstorm/server_probe.h"

// After ours: <fcntl.h> defines LOCK_WRITE, a name of the platform's stream.h.
#include <fcntl.h>

extern char** environ;

namespace tcdstorm {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr const char* kUsage = R"(Usage: tcdstorm [options]

Starts client processes against the running TalvaroCommunicationDriver server and kills each
at a random moment, then reports what the server kept. The server is found as tcdctl finds it
($TALVARO_RUN_DIR, $TALVARO_REGISTRY); it must run on its simulated units.

Options:
  --clients <n>       clients to start in all (default 300)
  --parallel <n>      clients alive at once (default 20)
  --lifetime <ms>     a client is killed at a random moment up to this age (default 1500)
  --settle <s>        how long to wait for the server to give everything back (default 60)
  --log <file>        the server's log (default $TALVARO_LOG_DIR/TCD.log, /var/log/talvaro/TCD.log)
  --tcdctl <path>     the client program (default: tcdctl beside tcdstorm's own directory,
                      ../tcdctl/tcdctl, else tcdctl on the PATH)
  --unit <name>       the unit the clients open and write to (default XRB_1)
  --seed <n>          seed of the random moments (default: from the clock)
  --strict            also fail when the memory or latency goal is missed
  --help              this text

Exit status: 0 when the server gave back every descriptor, thread and driver object (with
--strict: also grew by less than 1 MiB and answered every `units` call within 100 ms), 1 when
it did not, 2 for a bad command line or a server that cannot be reached.
)";

struct Options {
  std::size_t clients = 300;
  std::size_t parallel = 20;
  milliseconds lifetime{1500};
  std::chrono::seconds settle{60};
  std::string log;
  std::string tcdctl;
  std::string unit = "XRB_1";
  unsigned seed = static_cast<unsigned>(Clock::now().time_since_epoch().count());
  bool strict = false;
};

bool ParseCount(const std::string& text, std::size_t& value) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || text.size() > 9) return false;
  value = std::stoul(text);
  return true;
}

// Exit status 2 with the reason when the command line is bad; -1 when it is good; 0 for --help.
int ParseOptions(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::cout << kUsage;
      return 0;
    }
    if (arg == "--strict") {
      options.strict = true;
      continue;
    }
    if (i + 1 == argc) {
      std::cerr << "tcdstorm: " << arg << (arg.rfind("--", 0) == 0 ? " needs a value" : ": unknown argument")
                << "\nTry 'tcdstorm --help'.\n";
      return 2;
    }
    const std::string value = argv[++i];
    std::size_t number = 0;
    bool good = true;
    if (arg == "--clients") {
      good = ParseCount(value, options.clients);
    } else if (arg == "--parallel") {
      good = ParseCount(value, options.parallel) && options.parallel > 0;
    } else if (arg == "--lifetime") {
      good = ParseCount(value, number) && number > 0;
      options.lifetime = milliseconds(number);
    } else if (arg == "--settle") {
      good = ParseCount(value, number);
      options.settle = std::chrono::seconds(number);
    } else if (arg == "--seed") {
      good = ParseCount(value, number);
      options.seed = static_cast<unsigned>(number);
    } else if (arg == "--log") {
      options.log = value;
    } else if (arg == "--tcdctl") {
      options.tcdctl = value;
    } else if (arg == "--unit") {
      options.unit = value;
    } else {
      std::cerr << "tcdstorm: unknown option '" << arg << "'\nTry 'tcdstorm --help'.\n";
      return 2;
    }
    if (!good) {
      std::cerr << "tcdstorm: " << arg << ": '" << value << "' is not a valid number\nTry 'tcdstorm --help'.\n";
      return 2;
    }
  }
  return -1;
}

std::string DefaultLog() {
  const char* directory = std::getenv("TALVARO_LOG_DIR");
  return std::string(directory != nullptr && *directory != '\0' ? directory : "/var/log/talvaro") + "/TCD.log";
}

std::string DefaultTcdctl(const char* self) {
  const std::string own(self);
  const auto slash = own.rfind('/');
  if (slash != std::string::npos) {
    const std::string beside = own.substr(0, slash) + "/../tcdctl/tcdctl";
    if (::access(beside.c_str(), X_OK) == 0) return beside;
  }
  return "tcdctl";
}

// The clients of the storm: spawned, killed when their moment comes, reaped.
class Storm {
 public:
  Storm(const Options& options) : options_(options), random_(options.seed) {}

  void Run() {
    std::size_t started = 0;
    while (started < options_.clients || !running_.empty()) {
      while (started < options_.clients && running_.size() < options_.parallel) Start(started++);
      const auto now = Clock::now();
      for (auto& client : running_) {
        if (!client.killed && now >= client.killAt) {
          ::kill(client.pid, SIGKILL);
          client.killed = true;
          ++killed_;
        }
      }
      Reap();
      // A load generator's pace, not a synchronisation: the moments are drawn at random anyway.
      std::this_thread::sleep_for(milliseconds(2));
    }
  }

  std::size_t Killed() const { return killed_; }
  std::size_t EndedByThemselves() const { return ended_; }
  std::size_t NotStarted() const { return notStarted_; }

 private:
  struct Client {
    pid_t pid;
    Clock::time_point killAt;
    bool killed = false;
  };

  void Start(std::size_t index) {
    std::vector<std::string> words{options_.tcdctl};
    switch (index % 3) {
      case 0:
        words.insert(words.end(), {"open", options_.unit});
        break;
      case 1:
        words.push_back("watch");
        break;
      default:
        words.insert(words.end(), {"write", options_.unit, "0102"});
        break;
    }
    std::vector<char*> argv;
    for (auto& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int failed = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (failed != 0) {
      ++notStarted_;
      return;
    }
    std::uniform_int_distribution<long> age(0, options_.lifetime.count());
    running_.push_back({pid, Clock::now() + milliseconds(age(random_))});
  }

  void Reap() {
    for (auto client = running_.begin(); client != running_.end();) {
      int status = 0;
      if (::waitpid(client->pid, &status, WNOHANG) == client->pid) {
        if (!client->killed) ++ended_;
        client = running_.erase(client);
      } else {
        ++client;
      }
    }
  }

  const Options& options_;
  std::mt19937 random_;
  std::vector<Client> running_;
  std::size_t killed_ = 0;
  std::size_t ended_ = 0;
  std::size_t notStarted_ = 0;
};

// `units` calls every 20 ms while the storm runs, on a thread of its own.
class LatencyWatch {
 public:
  explicit LatencyWatch(ServerProbe& probe) : thread_([this, &probe] { Watch(probe); }) {}
  ~LatencyWatch() { Stop(); }
  LatencyWatch(const LatencyWatch&) = delete;
  LatencyWatch& operator=(const LatencyWatch&) = delete;

  void Stop() {
    stop_.store(true);
    if (thread_.joinable()) thread_.join();
  }
  // After Stop.
  std::vector<double> Samples() const { return samples_; }
  std::size_t Failures() const { return failures_; }

 private:
  void Watch(ServerProbe& probe) {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    while (!stop_.load()) {
      const auto begin = Clock::now();
      if (!probe.ListUnits()) ++failures_;
      samples_.push_back(std::chrono::duration<double, std::milli>(Clock::now() - begin).count());
      std::this_thread::sleep_for(milliseconds(20));
    }
    CoUninitialize();
  }

  std::atomic<bool> stop_{false};
  std::vector<double> samples_;  // written by the thread until it is joined
  std::size_t failures_ = 0;     // likewise
  std::thread thread_;
};

// Polls until the server holds no more than `baseline` of descriptors, threads and driver
// objects, or `bound` has passed; the last figures.
std::optional<ServerFigures> Settle(ServerProbe& probe, const ServerFigures& baseline, std::chrono::seconds bound,
                                    std::string& error) {
  const auto deadline = Clock::now() + bound;
  for (;;) {
    auto figures = probe.Measure(error);
    if (!figures) return figures;
    const bool givenBack = figures->descriptors <= baseline.descriptors && figures->threads <= baseline.threads &&
                           figures->driverObjects <= baseline.driverObjects;
    if (givenBack || Clock::now() >= deadline) return figures;
    std::this_thread::sleep_for(milliseconds(250));
  }
}

void PrintFigures(const char* when, const ServerFigures& figures) {
  std::printf("%-8s rss %7zu KiB  fds %5zu  threads %4zu  driver objects %4zu  cleanups %6zu\n", when,
              figures.rssKiB, figures.descriptors, figures.threads, figures.driverObjects, figures.cleanups);
}

long Grown(std::size_t after, std::size_t before) { return static_cast<long>(after) - static_cast<long>(before); }

int Main(int argc, char** argv) {
  Options options;
  if (const int status = ParseOptions(argc, argv, options); status >= 0) return status;
  if (options.log.empty()) options.log = DefaultLog();
  if (options.tcdctl.empty()) options.tcdctl = DefaultTcdctl(argv[0]);
  ::signal(SIGPIPE, SIG_IGN);

  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  std::string error;
  auto probe = ServerProbe::Connect(options.log, error);
  if (!probe) {
    std::cerr << "tcdstorm: " << error << "\n";
    return 2;
  }
  auto initial = probe->Measure(error);
  if (!initial) {
    std::cerr << "tcdstorm: " << error << "\n";
    return 2;
  }
  std::printf("server pid %d, %zu clients, %zu at once, killed within %ld ms, seed %u\n", static_cast<int>(probe->Pid()),
              options.clients, options.parallel, static_cast<long>(options.lifetime.count()), options.seed);
  PrintFigures("initial", *initial);

  // A warm-up, so that what the server allocates once (worker threads, caches) is not counted.
  Options warmUp = options;
  warmUp.clients = std::min<std::size_t>(options.parallel, options.clients);
  Storm(warmUp).Run();
  auto baseline = Settle(*probe, *initial, options.settle, error);
  if (!baseline) {
    std::cerr << "tcdstorm: " << error << "\n";
    return 2;
  }
  PrintFigures("before", *baseline);

  Storm storm(options);
  const auto began = Clock::now();
  LatencyWatch latency(*probe);
  storm.Run();
  latency.Stop();
  const double seconds = std::chrono::duration<double>(Clock::now() - began).count();
  auto after = Settle(*probe, *baseline, options.settle, error);
  if (!after) {
    std::cerr << "tcdstorm: " << error << "\n";
    return 2;
  }
  PrintFigures("after", *after);

  auto samples = latency.Samples();
  std::sort(samples.begin(), samples.end());
  const double worst = samples.empty() ? 0 : samples.back();
  const double p99 = samples.empty() ? 0 : samples[samples.size() * 99 / 100];
  const long rssGrowth = Grown(after->rssKiB, baseline->rssKiB);
  std::printf("storm    %.1f s: %zu killed, %zu ended by themselves, %zu not started; %zu cleanups\n", seconds,
              storm.Killed(), storm.EndedByThemselves(), storm.NotStarted(), after->cleanups - baseline->cleanups);
  std::printf("units    %zu calls during the storm, %zu failed: p99 %.1f ms, worst %.1f ms (goal: under 100 ms)\n",
              samples.size(), latency.Failures(), p99, worst);
  std::printf("leaked   fds %ld, threads %ld, driver objects %ld (goal: 0 each); rss %+ld KiB (goal: under 1024)\n",
              Grown(after->descriptors, baseline->descriptors), Grown(after->threads, baseline->threads),
              Grown(after->driverObjects, baseline->driverObjects), rssGrowth);

  const bool givenBack = after->descriptors <= baseline->descriptors && after->threads <= baseline->threads &&
                         after->driverObjects <= baseline->driverObjects;
  const bool goalsMet = rssGrowth < 1024 && worst < 100 && latency.Failures() == 0;
  probe.reset();
  CoUninitialize();
  return givenBack && (!options.strict || goalsMet) ? 0 : 1;
}

}  // namespace
}  // namespace tcdstorm

int main(int argc, char** argv) { return tcdstorm::Main(argc, argv); }
