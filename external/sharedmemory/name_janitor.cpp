#include "external/sharedmemory/name_janitor.h"

#include <chrono>
#include <list>
#include <mutex>
#include <thread>

namespace SharedMemoryTransport::Detail {
namespace {

struct WatchedName {
  SharedObject object;
  std::string name;
  const std::atomic<std::uint32_t>* peerGone;
  const SharedStamp* peer;

  bool PeerEnded() const {
    return (peerGone != nullptr && peerGone->load(std::memory_order_seq_cst) != 0) || !peer->Load().Alive();
  }
};

class Janitor {
 public:
  // Process-wide and never destroyed: its thread may still run while the process exits.
  static Janitor& Get() {
    static auto* janitor = new Janitor;
    return *janitor;
  }

  void Add(WatchedName watched) {
    std::lock_guard guard(mutex_);
    names_.push_back(std::move(watched));
    if (running_) return;
    running_ = true;
    try {
      std::thread([this] { Run(); }).detach();
    } catch (...) {
      running_ = false;  // no thread: the name stays until its next creator takes it over
      names_.pop_back();
    }
  }

 private:
  void Run() {
    for (;;) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      std::lock_guard guard(mutex_);
      for (auto watched = names_.begin(); watched != names_.end();) {
        if (watched->PeerEnded()) {
          watched->object.UnlinkIfStillNamed(watched->name);
          watched = names_.erase(watched);
        } else {
          ++watched;
        }
      }
      if (names_.empty()) {
        running_ = false;
        return;
      }
    }
  }

  std::mutex mutex_;
  std::list<WatchedName> names_;  // guarded by mutex_
  bool running_ = false;          // guarded by mutex_: a thread watches names_
};

}  // namespace

void RemoveWhenPeerEnds(SharedObject object, std::string name, const std::atomic<std::uint32_t>* peerGone,
                        const SharedStamp* peer) {
  Janitor::Get().Add({std::move(object), std::move(name), peerGone, peer});
}

}  // namespace SharedMemoryTransport::Detail
