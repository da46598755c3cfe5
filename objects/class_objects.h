// The class objects of the server's four classes, for the host's class table: ordinary factories
// (aggregation allowed) for the driver object and the observer, singleton factories (no
// aggregation) for the driver factory and the application lifecycle object.
#pragma once

#include "platform/com/com_ptr.h"

namespace Talvaro::Objects {

// Each returns the class object's IUnknown, ready for CoRegisterClassObject.
HRESULT CreateCommunicationDriverClassObject(platform::com::ComPtr<IUnknown>* classObject);
HRESULT CreateDriverFactoryClassObject(platform::com::ComPtr<IUnknown>* classObject);
HRESULT CreateApplicationLifecycleClassObject(platform::com::ComPtr<IUnknown>* classObject);
HRESULT CreateObserverSingletonClassObject(platform::com::ComPtr<IUnknown>* classObject);

}  // namespace Talvaro::Objects
