// Result values of the hardware proxy library and their texts for log lines.
//
// Every operation of the library returns E_ORBIQLIB_Result: 0 is success, a negative value a
// failure. The library's own failures are -1 .. -17 below. -1050, -1100 and -1200 are not
// produced by the library: they are the server's failure values for its hardware-facing steps,
// named here so that the server and the texts share one list. Any other value (for example a
// code injected by a test into OnError or into a write) passes through unchanged.
#pragma once

#include <cstdint>
#include <string>

enum E_ORBIQLIB_Result : std::int32_t {
  ORBIQLIB_SUCCESS = 0,

  // The library's own failures.
  ORBIQLIB_E_FAILED = -1,                       // unexpected internal failure
  ORBIQLIB_E_NOT_INITIALIZED = -2,              // the proxy is down (before Initialize, after Shutdown)
  ORBIQLIB_E_WRONG_STATE = -3,                  // Initialize/Start/Finish/Shutdown out of order
  ORBIQLIB_E_NOT_STARTED = -4,                  // initialized but not started: no delivery, no writes
  ORBIQLIB_E_INVALID_ARGUMENT = -5,             // null observer, mode out of range, null data ...
  ORBIQLIB_E_UNKNOWN_UNIT = -6,                 // no unit has that logical name
  ORBIQLIB_E_NOT_OPEN = -7,                     // the driver is not open (or was closed meanwhile)
  ORBIQLIB_E_ALREADY_OPEN = -8,                 // Open on a driver that is open
  ORBIQLIB_E_ALREADY_REGISTERED = -9,           // the observer (or another restriction observer) is registered
  ORBIQLIB_E_NOT_REGISTERED = -10,              // unregistering an observer that is not registered
  ORBIQLIB_E_UNIT_UNAVAILABLE = -11,            // write to a unit whose availability is 0
  ORBIQLIB_E_RESTRICTED = -12,                  // the write's restriction observer gave a non-zero verdict
  ORBIQLIB_E_TIMEOUT = -13,                     // the restriction question was not taken up in time
  ORBIQLIB_E_BAD_COMMAND = -14,                 // generic command text that does not parse
  ORBIQLIB_E_UNKNOWN_APPLICATION_COMMAND = -15, // application command code other than 0, 1, 2
  ORBIQLIB_E_NOT_SUPPORTED = -16,               // operation that this object does not offer
  ORBIQLIB_E_WRONG_THREAD = -17,                // a waiting operation called on a library thread

  // The server's own failure values (never returned by the library).
  ORBIQLIB_SERVER_E_REGISTRATION = -1050,  // registration, shared-memory set-up or restriction array
  ORBIQLIB_SERVER_E_NO_DRIVER = -1100,     // no hardware driver could be created
  ORBIQLIB_SERVER_E_OPEN = -1200,          // opening the hardware driver failed
};

namespace OrbiqCommunicationLibrary {

// Text of a result for log lines: one fixed text per value above, "Unknown result <n>" (signed
// decimal) for any other value. Thread-safe, never throws beyond std::bad_alloc.
std::wstring TranslateErrorCode(E_ORBIQLIB_Result result);

}  // namespace OrbiqCommunicationLibrary
