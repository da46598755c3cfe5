// CTalvaroCommunicationDriverGApp: passes application commands to the hardware proxy's own
// driver. One per server process (a singleton class object); no state of its own, no lock:
// concurrent calls go straight to the proxy, which serializes them if it must.
#pragma once

#include "interfaces/application_lifecycle.h"
#include "platform/com/interface_table.h"
#include "platform/com/object_root.h"

namespace Talvaro::Objects {

// Application command codes of the proxy driver's ApplicationCommand.
enum ApplicationCommandCode : std::int32_t {
  APPL_CMD_CREATE = 0,
  APPL_CMD_ACTIVATE = 1,
  APPL_CMD_SHUTDOWN = 2,
};

class CTalvaroCommunicationDriverGApp : public platform::com::ObjectRoot,
                                        public IXRBGeneric,
                                        public IXRBApplicationLifecycle {
 public:
  using Interfaces = platform::com::InterfaceTable<CTalvaroCommunicationDriverGApp, IXRBGeneric,
                                                   IXRBApplicationLifecycle>;

  // Each answers S_OK for a hardware result of 0, E_FAIL for any other.
  HRESULT SendGenericCommand(BSTR command) override;
  HRESULT Create(BSTR firstText, BSTR secondText) override;
  HRESULT Activate(BSTR firstText, BSTR secondText) override;
  HRESULT Shutdown(BSTR firstText, BSTR secondText) override;

 private:
  static HRESULT SendApplicationCommand(BSTR firstText, BSTR secondText, ApplicationCommandCode code);
};

}  // namespace Talvaro::Objects
