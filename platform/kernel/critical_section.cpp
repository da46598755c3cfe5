#include "platform/kernel/critical_section.h"

namespace {

std::recursive_mutex& MutexOf(LPCRITICAL_SECTION section) {
  return *std::launder(reinterpret_cast<std::recursive_mutex*>(section->storage));
}

}  // namespace

void InitializeCriticalSection(LPCRITICAL_SECTION section) {
  ::new (static_cast<void*>(section->storage)) std::recursive_mutex();
}

BOOL InitializeCriticalSectionAndSpinCount(LPCRITICAL_SECTION section, DWORD /*spinCount*/) {
  InitializeCriticalSection(section);
  return TRUE;
}

void DeleteCriticalSection(LPCRITICAL_SECTION section) { MutexOf(section).~recursive_mutex(); }

void EnterCriticalSection(LPCRITICAL_SECTION section) { MutexOf(section).lock(); }

BOOL TryEnterCriticalSection(LPCRITICAL_SECTION section) {
  return MutexOf(section).try_lock() ? TRUE : FALSE;
}

void LeaveCriticalSection(LPCRITICAL_SECTION section) { MutexOf(section).unlock(); }
