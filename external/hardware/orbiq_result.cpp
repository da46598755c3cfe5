#include "external/hardware/orbiq_result.h"

namespace OrbiqCommunicationLibrary {

std::wstring TranslateErrorCode(E_ORBIQLIB_Result result) {
  switch (result) {
    case ORBIQLIB_SUCCESS: return L"Success";
    case ORBIQLIB_E_FAILED: return L"Unexpected failure in the hardware library";
    case ORBIQLIB_E_NOT_INITIALIZED: return L"The hardware proxy is not initialized";
    case ORBIQLIB_E_WRONG_STATE: return L"The hardware proxy is not in the state for this call";
    case ORBIQLIB_E_NOT_STARTED: return L"The hardware proxy is not started";
    case ORBIQLIB_E_INVALID_ARGUMENT: return L"Invalid argument";
    case ORBIQLIB_E_UNKNOWN_UNIT: return L"No XRB unit has this logical name";
    case ORBIQLIB_E_NOT_OPEN: return L"The hardware driver is not open";
    case ORBIQLIB_E_ALREADY_OPEN: return L"The hardware driver is already open";
    case ORBIQLIB_E_ALREADY_REGISTERED: return L"Already registered";
    case ORBIQLIB_E_NOT_REGISTERED: return L"Not registered";
    case ORBIQLIB_E_UNIT_UNAVAILABLE: return L"The XRB unit is not available";
    case ORBIQLIB_E_RESTRICTED: return L"The data is restricted";
    case ORBIQLIB_E_TIMEOUT: return L"The restriction question timed out";
    case ORBIQLIB_E_BAD_COMMAND: return L"Malformed generic command";
    case ORBIQLIB_E_UNKNOWN_APPLICATION_COMMAND: return L"Unknown application command";
    case ORBIQLIB_E_NOT_SUPPORTED: return L"Operation not supported";
    case ORBIQLIB_E_WRONG_THREAD: return L"Operation not allowed on a hardware library thread";
    case ORBIQLIB_SERVER_E_REGISTRATION: return L"Registration with the hardware driver failed";
    case ORBIQLIB_SERVER_E_NO_DRIVER: return L"No hardware driver could be created";
    case ORBIQLIB_SERVER_E_OPEN: return L"Opening the hardware driver failed";
  }
  return L"Unknown result " + std::to_wstring(static_cast<std::int32_t>(result));
}

}  // namespace OrbiqCommunicationLibrary
