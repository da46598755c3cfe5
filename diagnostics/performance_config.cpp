#include "diagnostics/performance_config.h"

#include "common/registry_readers.h"

namespace Talvaro::Orbiq::Utils::PerformanceMonitoring {

RegistryConfigProvider::RegistryConfigProvider() {
  DWORD value = 0;
  if (Common::ReadRegistryDword(L"CommunicationDelayThresholdInMs", keyPath_, value)) {
    communicationDelayThresholdInMs_ = value;
  }
  if (Common::ReadRegistryDword(L"RepeatEtwFlushing", keyPath_, value)) repeatEtwFlushing_ = value != 0;
  if (Common::ReadRegistryDword(L"Enabled", keyPath_, value)) enabled_ = value != 0;
}

}  // namespace Talvaro::Orbiq::Utils::PerformanceMonitoring
