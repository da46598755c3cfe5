// What a driver object needs of the registration observer: a quick test for watchers and the
// hand-over of a data block. The observer singleton implements it; the driver holds it through
// a counted reference, so an instance outlives the factory's release for as long as any driver
// object still holds it. Not reachable through QueryInterface: it is the server's own seam.
#pragma once

#include "platform/com/unknown.h"

namespace Talvaro::Driver {

struct IObserverNotification : IUnknown {
  // Any thread. True when watchers are registered.
  virtual bool HasObservers() = 0;
  // Any thread. Tells every watcher about `count` bytes at `data` with the driver's `value`.
  virtual void Notify(const unsigned char* data, ULONG count, ULONG value) = 0;

 protected:
  ~IObserverNotification() = default;
};

}  // namespace Talvaro::Driver

// The seam's own identifier, for objects that list it in their interface tables (test doubles);
// the observer singleton does not answer it.
template <>
inline constexpr IID uuidof<Talvaro::Driver::IObserverNotification> =
    platform::MakeGuid("{8C2E0B7D-5A41-4F6C-9E3B-1D2A3C4B5E6F}");
