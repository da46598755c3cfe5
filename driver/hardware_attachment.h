// The hardware side of an attached driver object: the hardware driver and the interfaces
// borrowed from it. Shared: the object holds one share and every client call that uses the unit
// holds its own, so the hardware driver is never closed under a running call. Cleanup gives the
// driver back itself when only its own shares are left; otherwise the last holder does, as its
// call ends.
#pragma once

#include <memory>

#include "external/hardware/comm_interfaces.h"

namespace Talvaro::Driver {

class HardwareAttachment {
 public:
  HardwareAttachment(ICommDriver* driver, ICommDataTransfer* dataTransfer,
                     ICommAvailability* availability, std::shared_ptr<ICommRestriction> restriction)
      : driver_(driver),
        dataTransfer_(dataTransfer),
        availability_(availability),
        restriction_(std::move(restriction)) {}
  // Gives the driver back unless that was done already.
  ~HardwareAttachment() { GiveBack(); }
  HardwareAttachment(const HardwareAttachment&) = delete;
  HardwareAttachment& operator=(const HardwareAttachment&) = delete;

  // Closes the hardware driver and gives it back to the proxy's factory, once; both are skipped
  // when the proxy is down (the library then keeps the driver inert until the process ends).
  // Called by the one holder left, so never concurrently with itself or with a use.
  void GiveBack();

  ICommDataTransfer* DataTransfer() const { return dataTransfer_; }
  ICommAvailability* Availability() const { return availability_; }
  ICommRestriction* Restriction() const { return restriction_.get(); }

 private:
  ICommDriver* const driver_;
  ICommDataTransfer* const dataTransfer_;
  ICommAvailability* const availability_;
  const std::shared_ptr<ICommRestriction> restriction_;
  bool givenBack_ = false;
};

// The hardware proxy's factory, or null while the proxy is down.
ICommFactory* HardwareFactory();

}  // namespace Talvaro::Driver
