#include "driver/hardware_attachment.h"

#include "external/hardware/xrb_proxy.h"

namespace Talvaro::Driver {
ICommFactory* HardwareFactory() {
  CXRBProxy* proxy = CXRBProxy::GetInstance();
  return proxy != nullptr ? proxy->GetFactory() : nullptr;
}

void HardwareAttachment::GiveBack() {
  if (givenBack_) return;
  givenBack_ = true;
  if (ICommFactory* factory = HardwareFactory()) {
    driver_->Close();
    factory->ReleaseCommDriver(driver_);
  }
}

}  // namespace Talvaro::Driver
