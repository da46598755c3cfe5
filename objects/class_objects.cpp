#include "objects/class_objects.h"

#include "driver/communication_driver.h"
#include "objects/application_lifecycle.h"
#include "objects/driver_factory.h"
#include "objects/observer_singleton.h"
#include "platform/com/class_factory.h"

namespace Talvaro::Objects {

using platform::com::ClassFactory;
using platform::com::CreateClassObject;
using platform::com::SingletonClassFactory;

HRESULT CreateCommunicationDriverClassObject(platform::com::ComPtr<IUnknown>* classObject) {
  return CreateClassObject<ClassFactory<Driver::CCommunicationDriver>>(classObject);
}

HRESULT CreateDriverFactoryClassObject(platform::com::ComPtr<IUnknown>* classObject) {
  return CreateClassObject<SingletonClassFactory<CTalvaroCommunicationDriverFactory>>(classObject);
}

HRESULT CreateApplicationLifecycleClassObject(platform::com::ComPtr<IUnknown>* classObject) {
  return CreateClassObject<SingletonClassFactory<CTalvaroCommunicationDriverGApp>>(classObject);
}

HRESULT CreateObserverSingletonClassObject(platform::com::ComPtr<IUnknown>* classObject) {
  return CreateClassObject<ClassFactory<CObserverSingleton>>(classObject);
}

}  // namespace Talvaro::Objects
