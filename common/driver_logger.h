// The process-wide driver logger ("TCD"), configured by
// HKEY_LOCAL_MACHINE\SOFTWARE\TALVARO\ORBIQ\TalvaroCommunicationDriver\Log.
#pragma once

#include <memory>

#include "external/logging/logger.h"

namespace Talvaro::Common {

inline constexpr const wchar_t* kDriverLoggerName = L"TCD";
inline constexpr const wchar_t* kDriverLoggerKeyPath =
    L"HKEY_LOCAL_MACHINE\\SOFTWARE\\TALVARO\\ORBIQ\\TalvaroCommunicationDriver\\Log";

// Created by the first call from any thread (the registry is read then, once); later calls
// return the same logger. Never null. The logger is never destroyed, so code that runs while the
// process exits (static destructors, detached task threads) may still log.
std::shared_ptr<Logging::ILogger> GetDriverLogger();

}  // namespace Talvaro::Common
