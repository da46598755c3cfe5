#include "common/driver_logger.h"

namespace Talvaro::Common {

std::shared_ptr<Logging::ILogger> GetDriverLogger() {
  // A function-local static is initialised exactly once even when threads race for it; the
  // holder is deliberately leaked (see the header).
  static const auto* logger = new std::shared_ptr<Logging::ILogger>(
      Logging::LoggerFactory::CreateInfraLoggerFromRegistry(kDriverLoggerName,
                                                            kDriverLoggerKeyPath));
  return *logger;
}

}  // namespace Talvaro::Common
