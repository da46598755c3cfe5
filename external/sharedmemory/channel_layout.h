// The memory of one channel, as both sides see it: a header, then a ring of `capacity` bytes
// holding messages as a 4-byte little-endian length and the bytes. Positions count bytes ever
// written (head, the writer's) and ever taken (tail, the reader's); each side writes only its
// own. A side that is about to sleep says so (readerSleeping, writerSleeping) and sleeps on a
// signal word that the other side bumps and wakes only then: no lock is shared between them.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <sched.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>

#include "external/sharedmemory/name_janitor.h"
#include "external/sharedmemory/shared_object.h"

namespace SharedMemoryTransport::Detail {

inline constexpr std::uint64_t kChannelMagic = 0x314E414843444354;  // "TCDCHAN1"
inline constexpr std::size_t kLengthBytes = 4;
// A reader that has not attached this long after the channel was made counts as absent.
inline constexpr std::chrono::seconds kAttachBound{5};
// A reader that took nothing this long while the writer waited for it counts as stalled.
inline constexpr std::chrono::seconds kStallBound{10};
// The longest single sleep of either side, between checks of the other side's state.
inline constexpr std::chrono::milliseconds kSleepSlice{100};

struct alignas(64) ChannelHeader {
  std::atomic<std::uint64_t> magic;  // set last by the creator
  std::uint64_t capacity;            // ring bytes
  std::uint64_t messageLimit;        // the channel's size: the largest message
  std::uint64_t createdMs;           // CLOCK_MONOTONIC at creation
  SharedStamp writer;
  SharedStamp reader;                // 0 until a reader attaches
  std::atomic<std::uint32_t> writerGone;
  std::atomic<std::uint32_t> readerGone;
  alignas(64) std::atomic<std::uint64_t> head;
  alignas(64) std::atomic<std::uint64_t> tail;
  alignas(64) std::atomic<std::uint32_t> readerSleeping;
  std::atomic<std::uint32_t> headSignal;
  alignas(64) std::atomic<std::uint32_t> writerSleeping;
  std::atomic<std::uint32_t> tailSignal;
};

// The layout is a contract with clients in other languages (docs/connector.md).
static_assert(offsetof(ChannelHeader, capacity) == 8 && offsetof(ChannelHeader, writer) == 32 &&
              offsetof(ChannelHeader, reader) == 40 && offsetof(ChannelHeader, writerGone) == 48 &&
              offsetof(ChannelHeader, readerGone) == 52 && offsetof(ChannelHeader, head) == 64 &&
              offsetof(ChannelHeader, tail) == 128 && offsetof(ChannelHeader, readerSleeping) == 192 &&
              offsetof(ChannelHeader, headSignal) == 196 && offsetof(ChannelHeader, writerSleeping) == 256 &&
              offsetof(ChannelHeader, tailSignal) == 260 && sizeof(ChannelHeader) == 320);

// Ring bytes for messages of at most `messageLimit` bytes: room for two, so that the writer can
// fill one while the reader empties the other.
inline std::uint64_t RingCapacity(std::size_t messageLimit) {
  const std::uint64_t two = 2 * (static_cast<std::uint64_t>(messageLimit) + kLengthBytes);
  return (two + 63) / 64 * 64;
}

inline unsigned char* Ring(ChannelHeader* header) { return reinterpret_cast<unsigned char*>(header + 1); }

inline std::uint64_t MonotonicMs() {
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch()).count());
}

// Copies `count` bytes into a ring of `capacity` bytes at position `at`, wrapping at its end.
// Each side passes its own capacity, never the header's, which the peer could overwrite.
inline void CopyIn(unsigned char* ring, std::uint64_t capacity, std::uint64_t at, const void* bytes, std::size_t count) {
  const std::uint64_t offset = at % capacity;
  const std::size_t first = static_cast<std::size_t>(std::min<std::uint64_t>(count, capacity - offset));
  std::memcpy(ring + offset, bytes, first);
  std::memcpy(ring, static_cast<const unsigned char*>(bytes) + first, count - first);
}

inline void CopyOut(const unsigned char* ring, std::uint64_t capacity, std::uint64_t at, void* bytes, std::size_t count) {
  const std::uint64_t offset = at % capacity;
  const std::size_t first = static_cast<std::size_t>(std::min<std::uint64_t>(count, capacity - offset));
  std::memcpy(bytes, ring + offset, first);
  std::memcpy(static_cast<unsigned char*>(bytes) + first, ring, count - first);
}

// How long a side polls the other side's position before it sleeps: a wake-up costs tens of
// microseconds, and a busy peer usually moves within a few.
inline constexpr std::chrono::microseconds kSpin{50};

// Polls `moved` for kSpin, pausing the core between polls and giving it up now and then; true
// as soon as it holds.
template <class Moved>
bool SpinUntil(Moved&& moved) {
  const auto until = std::chrono::steady_clock::now() + kSpin;
  for (unsigned turn = 1;; ++turn) {
    if (moved()) return true;
    if (turn % 64 == 0) {
      if (std::chrono::steady_clock::now() >= until) return false;
      sched_yield();
    } else {
#if defined(__x86_64__) || defined(__i386__)
      __builtin_ia32_pause();
#endif
    }
  }
}

// Bumps `signal` and wakes its sleepers when the other side says it sleeps.
inline void WakeIfSleeping(std::atomic<std::uint32_t>& sleeping, std::atomic<std::uint32_t>& signal) {
  if (sleeping.load(std::memory_order_seq_cst) != 0) {
    signal.fetch_add(1, std::memory_order_seq_cst);
    WakeAll(signal);
  }
}

// The last side to let go removes the name (after marking itself gone): the other side has
// gone, died, or never came. Otherwise the name is removed once the other side ends or dies;
// `object` is taken for that.
inline void UnlinkIfLast(SharedObject& object, const std::string& name, const std::atomic<std::uint32_t>& otherGone,
                         const SharedStamp& other) {
  if (otherGone.load(std::memory_order_seq_cst) != 0 || !other.Load().Alive()) {
    object.UnlinkIfStillNamed(name);
  } else {
    try {
      RemoveWhenPeerEnds(std::move(object), name, &otherGone, &other);
    } catch (const std::exception&) {
      // Short of memory: the name stays until its next producer takes it over.
    }
  }
}

}  // namespace SharedMemoryTransport::Detail
