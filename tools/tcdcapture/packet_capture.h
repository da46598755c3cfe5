// The capture engine of tcdcapture on libpcap: the interface that carries a network, a live
// capture with its thread, dump files that rotate, and a ring of the newest packets.
//
// Threads: a LiveCapture hands each packet to its sink on its own thread; DumpRotation and
// PacketRing take packets on that thread while others flush or close them, under their lock.
#pragma once

#include <pcap/pcap.h>

#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace Talvaro::CaptureService {

// A failure of the capture with a text for the operator; `code` is the HRESULT to answer.
class CaptureError : public std::runtime_error {
 public:
  CaptureError(long code, const std::string& what) : std::runtime_error(what), code_(code) {}
  long Code() const { return code_; }

 private:
  long code_;
};

// The interface whose own IPv4 address is `network`, else the first whose network contains it.
// CaptureError when none does or the text is no IPv4 address.
std::string InterfaceForNetwork(const std::string& network);

class LiveCapture {
 public:
  using Sink = std::function<void(const pcap_pkthdr& header, const unsigned char* bytes)>;
  // Opens `device` and applies `filter` (libpcap's syntax; empty: everything). CaptureError for
  // a missing permission or a bad filter.
  LiveCapture(const std::string& device, const std::string& filter);
  // Stops the thread, hands what the kernel still holds to the sink (within 300 ms) and closes
  // the handle.
  ~LiveCapture();
  LiveCapture(const LiveCapture&) = delete;
  LiveCapture& operator=(const LiveCapture&) = delete;
  int LinkType() const { return linkType_; }
  // Hands every packet from now on to `sink`, on a thread of its own. Once.
  void Start(Sink sink);

 private:
  void Run();
  static void Deliver(unsigned char* self, const pcap_pkthdr* header, const unsigned char* bytes);

  pcap_t* handle_ = nullptr;
  int linkType_ = 0;
  Sink sink_;
  std::thread thread_;  // started by Start
};

// Continuous capture's files: capture-<time>-<nnnnnn>.pcap in the folder; a new file once the
// current reaches `fileSize` bytes; whenever a file starts, the oldest go until at most
// `dumpCount` files remain, and those older than `retentionDays` days go too.
class DumpRotation {
 public:
  // CaptureError when the folder cannot be made or written.
  DumpRotation(std::filesystem::path folder, std::uint64_t fileSize, std::int32_t dumpCount,
               std::int32_t retentionDays, int linkType);
  ~DumpRotation();
  DumpRotation(const DumpRotation&) = delete;
  DumpRotation& operator=(const DumpRotation&) = delete;

  void Write(const pcap_pkthdr& header, const unsigned char* bytes);
  // Closes the current file (flushed, complete); later packets are dropped.
  void Close();

 private:
  void OpenNext();  // under lock_
  void Prune();     // under lock_

  const std::filesystem::path folder_;
  const std::uint64_t fileSize_;
  const std::size_t dumpCount_;
  const std::int32_t retentionDays_;
  std::mutex lock_;
  pcap_t* dead_ = nullptr;            // the link type's handle for the dump files
  pcap_dumper_t* dumper_ = nullptr;   // guarded by lock_
  std::filesystem::path current_;     // guarded by lock_: the file being written
  unsigned sequence_ = 0;             // guarded by lock_
  bool closed_ = false;               // guarded by lock_
};

// Flush-on-demand capture's memory: the newest packets, at most `bufferSize` bytes of them.
class PacketRing {
 public:
  PacketRing(std::size_t bufferSize, int linkType);
  void Add(const pcap_pkthdr& header, const unsigned char* bytes);
  // Writes what the ring holds to a new pcap file in `folder` and returns its path.
  std::filesystem::path Flush(const std::filesystem::path& folder);

 private:
  struct Packet {
    pcap_pkthdr header;
    std::vector<unsigned char> bytes;
  };
  const std::size_t bufferSize_;
  const int linkType_;
  std::mutex lock_;
  std::deque<Packet> packets_;  // guarded by lock_
  std::size_t bytes_ = 0;       // guarded by lock_
  unsigned flushes_ = 0;        // guarded by lock_
};

}  // namespace Talvaro::CaptureService
