#include "platform/service/event_log.h"

#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>

#include "platform/kernel/handle.h"
#include "platform/system/last_error.h"
#include "platform/types/wide_string.h"

namespace {

class EventSource final : public platform::kernel::KernelObject {
 public:
  explicit EventSource(std::string sourceName) : name(std::move(sourceName)) {}
  bool ClosableByCloseHandle() const override { return false; }

  const std::string name;  // UTF-8; also the syslog identifier while a record is written
};

// openlog keeps one identifier per process: each record sets its own under this lock.
std::mutex syslogLock;

const char* TypeName(WORD type) {
  switch (type) {
    case EVENTLOG_SUCCESS:
      return "Success";
    case EVENTLOG_ERROR_TYPE:
      return "Error";
    case EVENTLOG_WARNING_TYPE:
      return "Warning";
    case EVENTLOG_INFORMATION_TYPE:
      return "Information";
    case EVENTLOG_AUDIT_SUCCESS:
      return "AuditSuccess";
    case EVENTLOG_AUDIT_FAILURE:
      return "AuditFailure";
    default:
      return nullptr;
  }
}

int SyslogPriority(WORD type) {
  switch (type) {
    case EVENTLOG_ERROR_TYPE:
      return LOG_ERR;
    case EVENTLOG_WARNING_TYPE:
      return LOG_WARNING;
    default:
      return LOG_INFO;
  }
}

std::string EscapeLineBreaks(const std::string& text) {
  std::string escaped;
  for (char c : text) {
    if (c == '\n') {
      escaped += "\\n";
    } else if (c == '\r') {
      escaped += "\\r";
    } else {
      escaped += c;
    }
  }
  return escaped;
}

std::string UtcNow() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm utc{};
  ::gmtime_r(&seconds, &utc);
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1,
                utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<int>(millis));
  return text;
}

DWORD AppendLine(const char* path, const std::string& line) {
  const int fd = ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    return errno == ENOENT || errno == ENOTDIR ? ERROR_PATH_NOT_FOUND : ERROR_ACCESS_DENIED;
  }
  // One write per record: O_APPEND keeps records of several processes whole.
  const ssize_t written = ::write(fd, line.data(), line.size());
  ::close(fd);
  return written == static_cast<ssize_t>(line.size()) ? ERROR_SUCCESS : ERROR_CANTWRITE;
}

}  // namespace

HANDLE RegisterEventSourceW(LPCWSTR serverName, LPCWSTR sourceName) {
  if (serverName != nullptr && *serverName != L'\0') {
    SetLastError(ERROR_NOT_SUPPORTED);
    return nullptr;
  }
  if (sourceName == nullptr || *sourceName == L'\0') {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return platform::kernel::InsertHandle(std::make_shared<EventSource>(platform::ToUtf8(sourceName)));
}

BOOL DeregisterEventSource(HANDLE eventLog) {
  if (!platform::kernel::ReferenceHandleAs<EventSource>(eventLog)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  platform::kernel::RemoveHandle(eventLog);
  return TRUE;
}

BOOL ReportEventW(HANDLE eventLog, WORD type, WORD /*category*/, DWORD eventId, PSID /*userSid*/,
                  WORD numStrings, DWORD /*dataSize*/, LPCWSTR* strings, LPVOID /*rawData*/) {
  const auto source = platform::kernel::ReferenceHandleAs<EventSource>(eventLog);
  if (!source) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  const char* typeName = TypeName(type);
  if (typeName == nullptr || (numStrings > 0 && strings == nullptr)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::string text;
  for (WORD i = 0; i < numStrings; ++i) {
    if (i > 0) text += ' ';
    if (strings[i] != nullptr) text += platform::ToUtf8(strings[i]);
  }
  const char* file = std::getenv("TALVARO_EVENT_LOG");
  if (file != nullptr && *file != '\0') {
    const std::string line = UtcNow() + " " + source->name + "[" + std::to_string(::getpid()) + "] " + typeName +
                             " " + std::to_string(eventId) + ": " + EscapeLineBreaks(text) + "\n";
    const DWORD error = AppendLine(file, line);
    if (error != ERROR_SUCCESS) {
      SetLastError(error);
      return FALSE;
    }
    return TRUE;
  }
  std::lock_guard guard(syslogLock);
  ::openlog(source->name.c_str(), LOG_PID, LOG_DAEMON);
  ::syslog(LOG_DAEMON | SyslogPriority(type), "%s", text.c_str());
  ::closelog();
  return TRUE;
}
