#include "driver/hardware_attachment.h"

#include "external/hardware/xrb_proxy.h"

namespace Talvaro::Driver {
ICommFactory* HardwareFactory() {
  CXRBProxy* proxy = CXRBProxy::GetInstance();
  return proxy != nullptr ? proxy->GetFactory() : nullptr;
}

HardwareAttachment::~HardwareAttachment() {
  if (ICommFactory* factory = HardwareFactory()) {
    driver_->Close();
    factory->ReleaseCommDriver(driver_);
  }
}

}  // namespace Talvaro::Driver
