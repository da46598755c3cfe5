#include "tools/tcdcapture/packet_capture.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <system_error>

#include "platform/types/error_codes.h"

namespace Talvaro::CaptureService {
namespace {

namespace fs = std::filesystem;

constexpr long kNoSuchNetwork = static_cast<long>(0x80070490);  // ERROR_NOT_FOUND
constexpr long kAccessDenied = static_cast<long>(0x80070005);
constexpr long kBadArgument = static_cast<long>(0x80070057);
constexpr long kFailed = static_cast<long>(0x80004005);
constexpr int kSnapLength = 65535;
constexpr int kBufferBytes = 8 << 20;
constexpr int kTimeoutMs = 100;

// Local time as yyyymmdd-hhmmss, for file names that sort by their time.
std::string Stamp() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char text[32];
  std::strftime(text, sizeof text, "%Y%m%d-%H%M%S", &local);
  return text;
}

}  // namespace

std::string InterfaceForNetwork(const std::string& network) {
  in_addr wanted{};
  if (inet_pton(AF_INET, network.c_str(), &wanted) != 1) {
    throw CaptureError(kBadArgument, "'" + network + "' is no IPv4 network address");
  }
  char error[PCAP_ERRBUF_SIZE] = "";
  pcap_if_t* devices = nullptr;
  if (pcap_findalldevs(&devices, error) != 0) throw CaptureError(kFailed, std::string("cannot list the interfaces: ") + error);
  std::string own, containing;
  for (pcap_if_t* device = devices; device != nullptr; device = device->next) {
    for (pcap_addr_t* address = device->addresses; address != nullptr; address = address->next) {
      if (address->addr == nullptr || address->addr->sa_family != AF_INET) continue;
      const auto ip = reinterpret_cast<const sockaddr_in*>(address->addr)->sin_addr.s_addr;
      const auto mask = address->netmask != nullptr && address->netmask->sa_family == AF_INET
                            ? reinterpret_cast<const sockaddr_in*>(address->netmask)->sin_addr.s_addr
                            : 0xFFFFFFFFu;
      if (ip == wanted.s_addr && own.empty()) own = device->name;
      if ((ip & mask) == (wanted.s_addr & mask) && containing.empty()) containing = device->name;
    }
  }
  pcap_freealldevs(devices);
  if (!own.empty()) return own;
  if (!containing.empty()) return containing;
  throw CaptureError(kNoSuchNetwork, "no interface carries the network " + network);
}

LiveCapture::LiveCapture(const std::string& device, const std::string& filter) {
  char error[PCAP_ERRBUF_SIZE] = "";
  handle_ = pcap_create(device.c_str(), error);
  if (handle_ == nullptr) throw CaptureError(kFailed, "cannot open " + device + ": " + error);
  pcap_set_snaplen(handle_, kSnapLength);
  // Packets are handed over in blocks at least every 100 ms: blocks pack small packets densely,
  // where a frame per packet (immediate mode) fills the kernel's ring after a few dozen of them.
  pcap_set_timeout(handle_, kTimeoutMs);
  pcap_set_buffer_size(handle_, kBufferBytes);
  const int activated = pcap_activate(handle_);
  if (activated < 0) {
    const std::string reason = pcap_geterr(handle_);
    pcap_close(handle_);
    if (activated == PCAP_ERROR_PERM_DENIED) {
      throw CaptureError(kAccessDenied, "permission missing to capture on " + device +
                                            " (it needs CAP_NET_RAW and CAP_NET_ADMIN): " + reason);
    }
    throw CaptureError(kFailed, "cannot capture on " + device + ": " + reason);
  }
  bpf_program program{};
  if (pcap_compile(handle_, &program, filter.c_str(), 1, PCAP_NETMASK_UNKNOWN) != 0 ||
      pcap_setfilter(handle_, &program) != 0) {
    const std::string reason = pcap_geterr(handle_);
    pcap_freecode(&program);
    pcap_close(handle_);
    throw CaptureError(kBadArgument, "bad capture filter \"" + filter + "\": " + reason);
  }
  pcap_freecode(&program);
  linkType_ = pcap_datalink(handle_);
}

void LiveCapture::Start(Sink sink) {
  sink_ = std::move(sink);
  thread_ = std::thread([this] { Run(); });
}

LiveCapture::~LiveCapture() {
  if (thread_.joinable()) {
    pcap_breakloop(handle_);
    thread_.join();
    // What the kernel holds arrived before the stop and goes to the sink too. Its last block is
    // handed over when the kernel retires it, within the timeout: the drain waits for that, and
    // ends once a wait brings nothing, or at the latest three timeouts after the stop however
    // busy the network is.
    char error[PCAP_ERRBUF_SIZE] = "";
    const int fd = pcap_get_selectable_fd(handle_);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(3 * kTimeoutMs);
    if (fd >= 0 && pcap_setnonblock(handle_, 1, error) == 0) {
      for (auto now = std::chrono::steady_clock::now(); now < deadline; now = std::chrono::steady_clock::now()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
        pollfd ready{fd, POLLIN, 0};
        const bool readable = ::poll(&ready, 1, static_cast<int>(left.count()) + 1) > 0;
        const int taken = pcap_dispatch(handle_, -1, &LiveCapture::Deliver, reinterpret_cast<unsigned char*>(this));
        if (taken < 0 || (!readable && taken == 0)) break;
      }
    }
  }
  pcap_close(handle_);
}

void LiveCapture::Deliver(unsigned char* self, const pcap_pkthdr* header, const unsigned char* bytes) {
  reinterpret_cast<LiveCapture*>(self)->sink_(*header, bytes);
}

void LiveCapture::Run() {
  // pcap_breakloop ends the loop with -2; a read error (the interface gone) with -1.
  pcap_loop(handle_, -1, &LiveCapture::Deliver, reinterpret_cast<unsigned char*>(this));
}

DumpRotation::DumpRotation(fs::path folder, std::uint64_t fileSize, std::int32_t dumpCount, std::int32_t retentionDays,
                           int linkType)
    : folder_(std::move(folder)),
      fileSize_(std::max<std::uint64_t>(fileSize, 1)),
      dumpCount_(static_cast<std::size_t>(std::max(dumpCount, 1))),
      retentionDays_(retentionDays) {
  std::error_code failure;
  fs::create_directories(folder_, failure);
  if (!fs::is_directory(folder_) || ::access(folder_.c_str(), W_OK) != 0) {
    throw CaptureError(kAccessDenied, "the folder " + folder_.string() + " cannot be written");
  }
  dead_ = pcap_open_dead(linkType, kSnapLength);
  std::lock_guard guard(lock_);
  OpenNext();
}

DumpRotation::~DumpRotation() {
  Close();
  pcap_close(dead_);
}

void DumpRotation::Write(const pcap_pkthdr& header, const unsigned char* bytes) {
  std::lock_guard guard(lock_);
  if (closed_ || dumper_ == nullptr) return;
  pcap_dump(reinterpret_cast<unsigned char*>(dumper_), &header, bytes);
  if (static_cast<std::uint64_t>(pcap_dump_ftell(dumper_)) >= fileSize_) OpenNext();
}

void DumpRotation::Close() {
  std::lock_guard guard(lock_);
  if (dumper_ != nullptr) pcap_dump_close(dumper_);
  dumper_ = nullptr;
  closed_ = true;
}

void DumpRotation::OpenNext() {
  if (dumper_ != nullptr) pcap_dump_close(dumper_);
  char number[16];
  std::snprintf(number, sizeof number, "%06u", ++sequence_);
  current_ = folder_ / ("capture-" + Stamp() + "-" + number + ".pcap");
  dumper_ = pcap_dump_open(dead_, current_.c_str());  // null when the folder went: packets are dropped
  Prune();
}

void DumpRotation::Prune() {
  // The current file counts, but is never removed; the others go oldest first (their times
  // tick coarsely, so equal times fall back to the names, which sort by time and number). A file
  // that goes meanwhile (an operator's clean-up) is passed over.
  std::vector<std::pair<fs::file_time_type, fs::path>> files;
  std::error_code failure;
  for (fs::directory_iterator entry(folder_, failure), end; !failure && entry != end; entry.increment(failure)) {
    std::error_code unreadable;
    const std::string name = entry->path().filename().string();
    if (entry->path() == current_ || name.rfind("capture-", 0) != 0 || entry->path().extension() != ".pcap" ||
        !entry->is_regular_file(unreadable)) {
      continue;
    }
    const auto written = entry->last_write_time(unreadable);
    if (!unreadable) files.emplace_back(written, entry->path());
  }
  std::sort(files.begin(), files.end());
  const auto now = fs::file_time_type::clock::now();
  for (std::size_t i = 0; i < files.size(); ++i) {
    const bool tooMany = files.size() - i + 1 > dumpCount_;
    const auto ageHours = std::chrono::duration_cast<std::chrono::hours>(now - files[i].first).count();
    const bool tooOld = retentionDays_ > 0 && ageHours > 24LL * retentionDays_;
    if (tooMany || tooOld) fs::remove(files[i].second, failure);
  }
}

PacketRing::PacketRing(std::size_t bufferSize, int linkType) : bufferSize_(bufferSize), linkType_(linkType) {}

void PacketRing::Add(const pcap_pkthdr& header, const unsigned char* bytes) {
  std::lock_guard guard(lock_);
  packets_.push_back({header, std::vector<unsigned char>(bytes, bytes + header.caplen)});
  bytes_ += header.caplen;
  while (bytes_ > bufferSize_ && !packets_.empty()) {
    bytes_ -= packets_.front().bytes.size();
    packets_.pop_front();
  }
}

fs::path PacketRing::Flush(const fs::path& folder) {
  std::error_code failure;
  fs::create_directories(folder, failure);
  // A copy, written without the lock: the capture goes on taking packets meanwhile.
  std::deque<Packet> packets;
  unsigned number = 0;
  {
    std::lock_guard guard(lock_);
    packets = packets_;
    number = ++flushes_;
  }
  const fs::path file = folder / ("ondemand-" + Stamp() + "-" + std::to_string(::getpid()) + "-" +
                                  std::to_string(number) + ".pcap");
  pcap_t* dead = pcap_open_dead(linkType_, kSnapLength);
  pcap_dumper_t* dumper = pcap_dump_open(dead, file.c_str());
  if (dumper == nullptr) {
    const std::string reason = pcap_geterr(dead);
    pcap_close(dead);
    throw CaptureError(kAccessDenied, "cannot write " + file.string() + ": " + reason);
  }
  for (const auto& packet : packets) {
    pcap_dump(reinterpret_cast<unsigned char*>(dumper), &packet.header, packet.bytes.data());
  }
  pcap_dump_close(dumper);
  pcap_close(dead);
  return file;
}

}  // namespace Talvaro::CaptureService
