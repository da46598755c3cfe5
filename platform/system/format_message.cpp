#include "platform/system/format_message.h"

#include <cstdlib>
#include <cwchar>
#include <unordered_map>

#include "platform/system/last_error.h"
#include "platform/types/error_codes.h"

namespace platform::system {
namespace {

const std::unordered_map<DWORD, const wchar_t*>& Texts() {
  static const std::unordered_map<DWORD, const wchar_t*> texts{
      {ERROR_SUCCESS, L"The operation completed successfully."},
      {ERROR_INVALID_FUNCTION, L"Incorrect function."},
      {ERROR_FILE_NOT_FOUND, L"The system cannot find the file specified."},
      {ERROR_PATH_NOT_FOUND, L"The system cannot find the path specified."},
      {ERROR_ACCESS_DENIED, L"Access is denied."},
      {ERROR_INVALID_HANDLE, L"The handle is invalid."},
      {ERROR_NOT_ENOUGH_MEMORY, L"Not enough memory resources are available to process this command."},
      {ERROR_INVALID_DATA, L"The data is invalid."},
      {ERROR_OUTOFMEMORY, L"Not enough memory resources are available to complete this operation."},
      {ERROR_NOT_SUPPORTED, L"The request is not supported."},
      {ERROR_INVALID_PARAMETER, L"The parameter is incorrect."},
      {ERROR_INSUFFICIENT_BUFFER, L"The data area passed to a system call is too small."},
      {ERROR_BAD_PATHNAME, L"The specified path is invalid."},
      {ERROR_ALREADY_EXISTS, L"Cannot create a file when that file already exists."},
      {ERROR_FILENAME_EXCED_RANGE, L"The filename or extension is too long."},
      {ERROR_MORE_DATA, L"More data is available."},
      {258, L"The wait operation timed out."},
      {ERROR_NO_MORE_ITEMS, L"No more data is available."},
      {ERROR_ELEVATION_REQUIRED, L"The requested operation requires elevation."},
      {ERROR_IO_PENDING, L"Overlapped I/O operation is in progress."},
      {ERROR_INVALID_FLAGS, L"Invalid flags."},
      {ERROR_BADDB, L"The configuration registry database is corrupt."},
      {ERROR_BADKEY, L"The configuration registry key is invalid."},
      {ERROR_CANTOPEN, L"The configuration registry key could not be opened."},
      {ERROR_CANTREAD, L"The configuration registry key could not be read."},
      {ERROR_CANTWRITE, L"The configuration registry key could not be written."},
      {ERROR_KEY_DELETED, L"Illegal operation attempted on a registry key that has been marked for deletion."},
      {ERROR_KEY_HAS_CHILDREN,
       L"Cannot create a symbolic link in a registry key that already has subkeys or values."},
      {ERROR_DEPENDENT_SERVICES_RUNNING,
       L"A stop control has been sent to a service that other running services are dependent on."},
      {ERROR_INVALID_SERVICE_CONTROL, L"The requested control is not valid for this service."},
      {ERROR_SERVICE_REQUEST_TIMEOUT,
       L"The service did not respond to the start or control request in a timely fashion."},
      {ERROR_SERVICE_ALREADY_RUNNING, L"An instance of the service is already running."},
      {ERROR_SERVICE_DOES_NOT_EXIST, L"The specified service does not exist as an installed service."},
      {ERROR_SERVICE_CANNOT_ACCEPT_CTRL, L"The service cannot accept control messages at this time."},
      {ERROR_SERVICE_NOT_ACTIVE, L"The service has not been started."},
      {ERROR_FAILED_SERVICE_CONTROLLER_CONNECT,
       L"The service process could not connect to the service controller."},
      {ERROR_SERVICE_MARKED_FOR_DELETE, L"The specified service has been marked for deletion."},
      {ERROR_SERVICE_EXISTS, L"The specified service already exists."},
      {ERROR_NO_UNICODE_TRANSLATION,
       L"No mapping for the Unicode character exists in the target multi-byte code page."},
      {ERROR_INVALID_THREAD_ID, L"The thread identifier is invalid."},
      {ERROR_TIMEOUT, L"This operation returned because the timeout period expired."},
      {1722, L"The RPC server is unavailable."},
      {1723, L"The RPC server is too busy to complete this operation."},
      {1726, L"The remote procedure call failed."},
      {1727, L"The remote procedure call failed and did not execute."},
      {static_cast<DWORD>(E_NOTIMPL), L"Not implemented"},
      {static_cast<DWORD>(E_NOINTERFACE), L"No such interface supported"},
      {static_cast<DWORD>(E_POINTER), L"Invalid pointer"},
      {static_cast<DWORD>(E_ABORT), L"Operation aborted"},
      {static_cast<DWORD>(E_FAIL), L"Unspecified error"},
      {static_cast<DWORD>(E_UNEXPECTED), L"Catastrophic failure"},
      {static_cast<DWORD>(CLASS_E_NOAGGREGATION), L"Class does not support aggregation (or class object is remote)"},
      {static_cast<DWORD>(CLASS_E_CLASSNOTAVAILABLE), L"ClassFactory cannot supply requested class"},
      {static_cast<DWORD>(REGDB_E_CLASSNOTREG), L"Class not registered"},
      {0x800401F3, L"Invalid class string"},
      {static_cast<DWORD>(CONNECT_E_NOCONNECTION), L"There is no connection for this connection ID"},
      {static_cast<DWORD>(CONNECT_E_ADVISELIMIT), L"This implementation's limit for advisory connections has been reached"},
      {static_cast<DWORD>(CONNECT_E_CANNOTCONNECT), L"Connection attempt failed"},
      {static_cast<DWORD>(CONNECT_E_OVERRIDDEN), L"Must use a derived interface to connect"},
      {static_cast<DWORD>(CO_E_NOTINITIALIZED), L"CoInitialize has not been called."},
      {static_cast<DWORD>(CO_E_OBJNOTCONNECTED), L"Object is not connected to server"},
      {static_cast<DWORD>(CO_E_SERVER_EXEC_FAILURE), L"Server execution failed"},
      {static_cast<DWORD>(CO_E_SERVER_STOPPING), L"Object server is stopping when OLE service contacts it"},
      {static_cast<DWORD>(RPC_E_SERVERFAULT), L"The server threw an exception."},
      {static_cast<DWORD>(RPC_E_CHANGED_MODE), L"Cannot change thread mode after it is set."},
      {static_cast<DWORD>(RPC_E_DISCONNECTED), L"The object invoked has disconnected from its clients."},
      {static_cast<DWORD>(RPC_E_INVALID_DATA), L"Received data is invalid."},
      {static_cast<DWORD>(RPC_E_TOO_LATE), L"CoInitializeSecurity has already been called."},
      {static_cast<DWORD>(DISP_E_UNKNOWNINTERFACE), L"Unknown interface."},
      {static_cast<DWORD>(DISP_E_MEMBERNOTFOUND), L"Member not found."},
      {static_cast<DWORD>(DISP_E_PARAMNOTFOUND), L"Parameter not found."},
      {static_cast<DWORD>(DISP_E_TYPEMISMATCH), L"Type mismatch."},
      {static_cast<DWORD>(DISP_E_UNKNOWNNAME), L"Unknown name."},
      {static_cast<DWORD>(DISP_E_BADVARTYPE), L"Bad variable type."},
      {static_cast<DWORD>(DISP_E_EXCEPTION), L"Exception occurred."},
      {static_cast<DWORD>(DISP_E_OVERFLOW), L"Out of present range."},
      {static_cast<DWORD>(DISP_E_BADINDEX), L"Invalid index."},
      {static_cast<DWORD>(DISP_E_ARRAYISLOCKED), L"Memory is locked."},
      {static_cast<DWORD>(DISP_E_BADPARAMCOUNT), L"Invalid number of parameters."},
      {static_cast<DWORD>(DISP_E_BADCALLEE), L"Invalid callee."},
      {static_cast<DWORD>(STG_E_INVALIDFUNCTION), L"Unable to perform requested operation."},
      {static_cast<DWORD>(STG_E_INVALIDPOINTER), L"Invalid pointer error."},
      {static_cast<DWORD>(STG_E_READFAULT), L"A disk error occurred during a read operation."},
      {static_cast<DWORD>(STG_E_MEDIUMFULL), L"There is insufficient disk space to complete operation."},
  };
  return texts;
}

}  // namespace

std::wstring SystemMessage(DWORD code) {
  const auto& texts = Texts();
  auto found = texts.find(code);
  // HRESULT_FROM_WIN32 forms carry the Win32 text.
  if (found == texts.end() && (code & 0xFFFF0000u) == 0x80070000u) found = texts.find(code & 0xFFFFu);
  return found == texts.end() ? std::wstring() : std::wstring(found->second);
}

}  // namespace platform::system

DWORD FormatMessageW(DWORD flags, LPCVOID source, DWORD messageId, DWORD /*languageId*/,
                     LPWSTR buffer, DWORD size, va_list* /*arguments*/) {
  if ((flags & FORMAT_MESSAGE_FROM_SYSTEM) == 0 || source != nullptr || buffer == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const std::wstring text = platform::system::SystemMessage(messageId);
  if (text.empty()) {
    SetLastError(ERROR_MR_MID_NOT_FOUND);
    return 0;
  }
  const std::wstring message = (flags & FORMAT_MESSAGE_MAX_WIDTH_MASK) != 0 ? text : text + L"\r\n";
  const auto length = static_cast<DWORD>(message.size());
  if ((flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) != 0) {
    const DWORD capacity = length + 1 > size ? length + 1 : size;
    auto* block = static_cast<wchar_t*>(std::malloc(capacity * sizeof(wchar_t)));
    if (block == nullptr) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return 0;
    }
    std::wmemcpy(block, message.c_str(), length + 1);
    *reinterpret_cast<LPWSTR*>(buffer) = block;
    return length;
  }
  if (size < length + 1) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::wmemcpy(buffer, message.c_str(), length + 1);
  return length;
}

HLOCAL LocalFree(HLOCAL memory) {
  std::free(memory);
  return nullptr;
}
