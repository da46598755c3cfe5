// Hand-offs that ThreadSanitizer cannot see by itself.
//
// Values cross between the RPC thread and other threads through Cap'n Proto's cross-thread
// primitives (cross-thread fulfillers), whose locks live in the
// uninstrumented libkj. The side that hands data over calls HappensBefore(key) after writing it,
// the side that takes it calls HappensAfter(key) before reading; `key` is any address both know.
// Without ThreadSanitizer both are empty.
#pragma once

#if defined(__SANITIZE_THREAD__)
extern "C" void __tsan_acquire(void* address);
extern "C" void __tsan_release(void* address);
#endif

namespace platform::remoting {

inline void HappensBefore([[maybe_unused]] const void* key) {
#if defined(__SANITIZE_THREAD__)
  __tsan_release(const_cast<void*>(key));
#endif
}

inline void HappensAfter([[maybe_unused]] const void* key) {
#if defined(__SANITIZE_THREAD__)
  __tsan_acquire(const_cast<void*>(key));
#endif
}

}  // namespace platform::remoting
