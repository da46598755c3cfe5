// The logging library: ILogger and the factory that configures a logger from a registry key.
//
// A logger writes one UTF-8 line per record to its file and flushes it at once, so the log
// survives a crash of the process. Loggers are thread-safe and never throw into the caller: a
// record that cannot be written is lost (spdlog reports it on stderr). docs/logging.md lists the
// registry values and the line format.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

namespace Logging {

enum class Category {
  Communication,  // operational messages of the communication paths
  Developer1,     // developer detail
};

enum class Level { Info, Warning, Error };

// "Communication", "Developer1"; "Info", "Warning", "Error".
const wchar_t* CategoryName(Category category) noexcept;
const wchar_t* LevelName(Level level) noexcept;

class ILogger {
 public:
  virtual ~ILogger() = default;

  // Any thread; never throws.
  virtual void Info(const std::wstring& source, const std::wstring& message,
                    Category category) = 0;
  virtual void Warning(const std::wstring& source, const std::wstring& message,
                       Category category) = 0;
  virtual void Error(const std::wstring& source, const std::wstring& message,
                     Category category) = 0;
};

// Where log files go: $TALVARO_LOG_DIR, else /var/log/talvaro.
std::filesystem::path LogDirectory();

class LoggerFactory {
 public:
  // A logger named `name` configured by the values under `keyPath`, a full registry path such
  // as "HKEY_LOCAL_MACHINE\SOFTWARE\...\Log" (also "HKLM\..."). Missing key or values mean the
  // defaults: file "<name>.log" in the log directory, level Info, 10 MiB files, 5 kept.
  // Never null and never throws for a configuration problem: a file that cannot be opened sends
  // the records to stderr, after one warning line there.
  static std::shared_ptr<ILogger> CreateInfraLoggerFromRegistry(const std::wstring& name,
                                                                const std::wstring& keyPath);
};

}  // namespace Logging
