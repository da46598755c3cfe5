// Where tcdperfmon keeps the trace around a stall: each flush is a new time-stamped folder under
// <log directory>/flushes/ holding a copy of every log file of the log directory and the
// request's text (request.txt). At most `kept` folders stay; the oldest go first.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <system_error>

namespace Talvaro::PerformanceMonitorService {

class FlushStore {
 public:
  FlushStore(std::filesystem::path logDirectory, std::size_t kept);

  // The new folder, or the error that stopped it (the partial folder is removed). Any thread;
  // flushes are serialised by the caller.
  std::filesystem::path Flush(const std::wstring& request, std::error_code& error) const;

 private:
  void RemoveOldest() const;

  std::filesystem::path logDirectory_;
  std::filesystem::path flushes_;
  std::size_t kept_;
};

}  // namespace Talvaro::PerformanceMonitorService
