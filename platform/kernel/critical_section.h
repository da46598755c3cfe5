// Critical sections: recursive in-process locks, as on the original system, over a recursive
// mutex that lives inside the caller's CRITICAL_SECTION. RAII helpers in platform::kernel.
#pragma once

#include <mutex>
#include <new>

#include "platform/types/error_codes.h"

struct CRITICAL_SECTION {
  // A std::recursive_mutex constructed by InitializeCriticalSection and destroyed by
  // DeleteCriticalSection; raw storage keeps the struct a plain type like the original's.
  alignas(std::recursive_mutex) unsigned char storage[sizeof(std::recursive_mutex)];
};
using LPCRITICAL_SECTION = CRITICAL_SECTION*;

// Initialises an unowned critical section; every Initialize needs one DeleteCriticalSection.
void InitializeCriticalSection(LPCRITICAL_SECTION section);
// The spin count has no meaning here; always TRUE.
BOOL InitializeCriticalSectionAndSpinCount(LPCRITICAL_SECTION section, DWORD spinCount);
void DeleteCriticalSection(LPCRITICAL_SECTION section);

// Recursive: the owner may enter again and must leave as often as it entered. Leaving a section
// that the caller does not own is undefined, as on the original.
void EnterCriticalSection(LPCRITICAL_SECTION section);
BOOL TryEnterCriticalSection(LPCRITICAL_SECTION section);
void LeaveCriticalSection(LPCRITICAL_SECTION section);

namespace platform::kernel {

// Owns one initialised critical section. Meets BasicLockable and Lockable, so it works with
// std::lock_guard, std::unique_lock and std::scoped_lock.
class CriticalSection {
 public:
  CriticalSection() { InitializeCriticalSection(&section_); }
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;
  ~CriticalSection() { DeleteCriticalSection(&section_); }

  void Lock() { EnterCriticalSection(&section_); }
  bool TryLock() { return TryEnterCriticalSection(&section_) != FALSE; }
  void Unlock() { LeaveCriticalSection(&section_); }

  void lock() { Lock(); }
  bool try_lock() { return TryLock(); }
  void unlock() { Unlock(); }

  // For code written against the raw API.
  LPCRITICAL_SECTION Get() { return &section_; }

 private:
  CRITICAL_SECTION section_;
};

// Holds a raw critical section (one the caller initialised) for a scope.
class CriticalSectionGuard {
 public:
  explicit CriticalSectionGuard(CRITICAL_SECTION& section) : section_(section) {
    EnterCriticalSection(&section_);
  }
  CriticalSectionGuard(const CriticalSectionGuard&) = delete;
  CriticalSectionGuard& operator=(const CriticalSectionGuard&) = delete;
  ~CriticalSectionGuard() { LeaveCriticalSection(&section_); }

 private:
  CRITICAL_SECTION& section_;
};

}  // namespace platform::kernel
