// Joining and leaving the multithreaded apartment. Each thread counts its own initialisations;
// only the multithreaded model exists in this runtime.
#pragma once

#include "platform/types/error_codes.h"

inline constexpr DWORD COINIT_MULTITHREADED = 0x0;
inline constexpr DWORD COINIT_APARTMENTTHREADED = 0x2;
inline constexpr DWORD COINIT_DISABLE_OLE1DDE = 0x4;
inline constexpr DWORD COINIT_SPEED_OVER_MEMORY = 0x8;

// S_OK on the thread's first initialisation, S_FALSE on each further one (each needs its own
// CoUninitialize). A request for a single-threaded apartment gives RPC_E_CHANGED_MODE on a
// thread already in the multithreaded one and E_INVALIDARG otherwise: this runtime has none.
HRESULT CoInitializeEx(LPVOID reserved, DWORD coInit);
void CoUninitialize();

namespace platform::com {
// Whether the calling thread may use the component runtime: it joined the multithreaded
// apartment itself, or some thread of the process did (the implicit apartment).
bool ThreadMayUseComponents();
}  // namespace platform::com
