#include "platform/com/apartment.h"

#include <atomic>

namespace {

// Per thread: how many successful CoInitializeEx calls still await their CoUninitialize.
thread_local int initializations = 0;
// Process-wide: threads currently in the multithreaded apartment. While it is non-zero, every
// thread of the process may use components (the implicit apartment of the original system).
std::atomic<int> threadsInApartment{0};

}  // namespace

HRESULT CoInitializeEx(LPVOID reserved, DWORD coInit) {
  if (reserved != nullptr) return E_INVALIDARG;
  if ((coInit & COINIT_APARTMENTTHREADED) != 0) {
    return initializations > 0 ? RPC_E_CHANGED_MODE : E_INVALIDARG;
  }
  if (initializations++ > 0) return S_FALSE;
  threadsInApartment.fetch_add(1, std::memory_order_acq_rel);
  return S_OK;
}

void CoUninitialize() {
  if (initializations == 0) return;  // unbalanced call: ignored, as on the original system
  if (--initializations == 0) threadsInApartment.fetch_sub(1, std::memory_order_acq_rel);
}

namespace platform::com {

bool ThreadMayUseComponents() {
  return initializations > 0 || threadsInApartment.load(std::memory_order_acquire) > 0;
}

}  // namespace platform::com
