// The hardware side of an attached driver object: the hardware driver and the interfaces
// borrowed from it. Shared: Cleanup drops the object's share after unregistering, and a client
// call that is still using the unit holds its own share, so the hardware driver is closed and
// given back when the last holder lets go — never under a running call.
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
  // Closes the hardware driver and gives it back to the proxy's factory; both are skipped when
  // the proxy is down (the library then keeps the driver inert until the process ends).
  ~HardwareAttachment();
  HardwareAttachment(const HardwareAttachment&) = delete;
  HardwareAttachment& operator=(const HardwareAttachment&) = delete;

  ICommDataTransfer* DataTransfer() const { return dataTransfer_; }
  ICommAvailability* Availability() const { return availability_; }
  ICommRestriction* Restriction() const { return restriction_.get(); }

 private:
  ICommDriver* const driver_;
  ICommDataTransfer* const dataTransfer_;
  ICommAvailability* const availability_;
  const std::shared_ptr<ICommRestriction> restriction_;
};

// The hardware proxy's factory, or null while the proxy is down.
ICommFactory* HardwareFactory();

}  // namespace Talvaro::Driver
