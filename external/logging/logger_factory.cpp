#include <spdlog/logger.h>
#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/sinks/stdout_sinks.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string_view>
#include <vector>

#include "external/logging/logger.h"
#include "external/logging/record_sink.h"
#include "platform/registry/registry.h"
#include "platform/types/error_codes.h"
#include "platform/types/wide_string.h"

namespace Logging {
namespace {

constexpr const char* kDefaultLogDirectory = "/var/log/talvaro";
constexpr DWORD kDefaultMaxFileSize = 10 * 1024 * 1024;
constexpr DWORD kDefaultMaxFiles = 5;
constexpr DWORD kMostFilesKept = 200000;  // spdlog's own limit
constexpr const wchar_t* kFactorySource = L"Logging::LoggerFactory";

enum class Threshold { Info, Warning, Error, Off };

struct Settings {
  std::optional<std::wstring> file;
  Threshold threshold = Threshold::Info;
  DWORD maxFileSize = kDefaultMaxFileSize;
  DWORD maxFiles = kDefaultMaxFiles;
  std::vector<std::wstring> problems;  // written as Warning records once the logger exists
};

// ---- registry ---------------------------------------------------------------------------

// The key below HKEY_LOCAL_MACHINE named by a full path, or nothing for another root.
std::optional<std::wstring> SubKeyOf(std::wstring_view keyPath) {
  for (std::wstring_view root : {std::wstring_view(L"HKEY_LOCAL_MACHINE"), std::wstring_view(L"HKLM")}) {
    if (keyPath.size() >= root.size() &&
        platform::EqualsIgnoreCase(keyPath.substr(0, root.size()), root) &&
        (keyPath.size() == root.size() || keyPath[root.size()] == L'\\')) {
      std::wstring_view rest = keyPath.substr(std::min(keyPath.size(), root.size() + 1));
      while (!rest.empty() && rest.back() == L'\\') rest.remove_suffix(1);
      return std::wstring(rest);
    }
  }
  return std::nullopt;
}

// Closes the key whatever happens.
class Key {
 public:
  explicit Key(const std::wstring& subKey) {
    opened_ = RegOpenKeyExW(HKEY_LOCAL_MACHINE, subKey.c_str(), 0, KEY_READ, &key_) == ERROR_SUCCESS;
  }
  ~Key() {
    if (opened_) RegCloseKey(key_);
  }
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;

  bool Opened() const { return opened_; }

  // The value's type and bytes, or nothing when it is absent.
  std::optional<std::pair<DWORD, std::vector<BYTE>>> Query(const wchar_t* name) const {
    DWORD type = REG_NONE;
    DWORD size = 0;
    if (RegQueryValueExW(key_, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) {
      return std::nullopt;
    }
    std::vector<BYTE> data(size);
    // The value may change in between; a second short read counts as absent.
    if (RegQueryValueExW(key_, name, nullptr, &type, data.data(), &size) != ERROR_SUCCESS) {
      return std::nullopt;
    }
    data.resize(size);
    return std::make_pair(type, std::move(data));
  }

 private:
  HKEY key_ = nullptr;
  bool opened_ = false;
};

std::optional<std::wstring> AsString(const std::pair<DWORD, std::vector<BYTE>>& value) {
  if (value.first != REG_SZ && value.first != REG_EXPAND_SZ) return std::nullopt;
  std::wstring text(value.second.size() / sizeof(wchar_t), L'\0');
  std::copy(value.second.begin(), value.second.begin() + text.size() * sizeof(wchar_t),
            reinterpret_cast<BYTE*>(text.data()));
  while (!text.empty() && text.back() == L'\0') text.pop_back();
  return text;
}

std::optional<DWORD> AsDword(const std::pair<DWORD, std::vector<BYTE>>& value) {
  if (value.first != REG_DWORD || value.second.size() != sizeof(DWORD)) return std::nullopt;
  DWORD number = 0;
  std::copy(value.second.begin(), value.second.end(), reinterpret_cast<BYTE*>(&number));
  return number;
}

Settings ReadSettings(const std::wstring& keyPath) {
  Settings settings;
  const auto subKey = SubKeyOf(keyPath);
  if (!subKey) {
    settings.problems.push_back(L"Logger key \"" + keyPath +
                                L"\" is not under HKEY_LOCAL_MACHINE; using the defaults");
    return settings;
  }
  const Key key(*subKey);
  if (!key.Opened()) return settings;  // no key: the defaults, silently

  const auto complain = [&](const wchar_t* value, const std::wstring& what) {
    settings.problems.push_back(L"Logger value \"" + std::wstring(value) + L"\" of \"" + keyPath +
                                L"\" " + what);
  };

  if (const auto value = key.Query(L"File")) {
    if (const auto text = AsString(*value); text && !text->empty()) {
      settings.file = *text;
    } else {
      complain(L"File", L"is not a non-empty string; using the default file");
    }
  }
  if (const auto value = key.Query(L"Level")) {
    const auto text = AsString(*value);
    if (text && platform::EqualsIgnoreCase(*text, L"Info")) {
      settings.threshold = Threshold::Info;
    } else if (text && platform::EqualsIgnoreCase(*text, L"Warning")) {
      settings.threshold = Threshold::Warning;
    } else if (text && platform::EqualsIgnoreCase(*text, L"Error")) {
      settings.threshold = Threshold::Error;
    } else if (text && platform::EqualsIgnoreCase(*text, L"Off")) {
      settings.threshold = Threshold::Off;
    } else {
      complain(L"Level", L"is not one of Info, Warning, Error, Off; using Info");
    }
  }
  if (const auto value = key.Query(L"MaxFileSize")) {
    const auto number = AsDword(*value);
    if (number && *number > 0) {
      settings.maxFileSize = *number;
    } else {
      complain(L"MaxFileSize", L"is not a positive REG_DWORD; using 10 MiB");
    }
  }
  if (const auto value = key.Query(L"MaxFiles")) {
    const auto number = AsDword(*value);
    if (number && *number <= kMostFilesKept) {
      settings.maxFiles = *number;
    } else {
      complain(L"MaxFiles", L"is not a REG_DWORD of at most 200000; using 5");
    }
  }
  return settings;
}

// ---- sinks ------------------------------------------------------------------------------

std::filesystem::path ResolveFile(const std::wstring& name, const Settings& settings) {
  const std::filesystem::path directory = LogDirectory();
  std::error_code ignored;
  std::filesystem::create_directories(directory, ignored);  // a failure shows when opening
  const std::filesystem::path file(platform::ToUtf8(settings.file.value_or(name + L".log")));
  return (file.is_absolute() ? file : directory / file).lexically_normal();
}

// Writes the level as "Info", "Warning" or "Error" (%L in the pattern).
class LevelFlag : public spdlog::custom_flag_formatter {
 public:
  void format(const spdlog::details::log_msg& msg, const std::tm&,
              spdlog::memory_buf_t& dest) override {
    std::string_view name = "Info";
    if (msg.level == spdlog::level::warn) name = "Warning";
    if (msg.level >= spdlog::level::err) name = "Error";
    dest.append(name.data(), name.data() + name.size());
  }
  std::unique_ptr<custom_flag_formatter> clone() const override {
    return std::make_unique<LevelFlag>();
  }
};

std::unique_ptr<spdlog::formatter> MakeFormatter() {
  auto formatter = std::make_unique<spdlog::pattern_formatter>();
  formatter->add_flag<LevelFlag>('L').set_pattern("%Y-%m-%d %H:%M:%S.%e %L [%t] %v");
  return formatter;
}

// One sink per file in the process, shared by every logger that writes to it, so that rotation
// and appends never race between two writers. Entries are weak: the file closes with its last
// logger. Never destroyed, for loggers used while the process exits.
struct SinkTable {
  std::mutex lock;
  std::map<std::filesystem::path, std::weak_ptr<spdlog::sinks::sink>> sinks;  // guarded by lock
};

SinkTable& Sinks() {
  static auto* table = new SinkTable;
  return *table;
}

std::shared_ptr<spdlog::sinks::sink> SinkFor(const std::wstring& loggerName,
                                             const std::filesystem::path& file,
                                             const Settings& settings) {
  SinkTable& table = Sinks();
  std::lock_guard guard(table.lock);
  if (auto existing = table.sinks[file].lock()) return existing;

  std::shared_ptr<spdlog::sinks::sink> sink;
  try {
    sink = std::make_shared<spdlog::sinks::rotating_file_sink_mt>(file.string(),
                                                                  settings.maxFileSize,
                                                                  settings.maxFiles);
  } catch (const std::exception& e) {
    std::fprintf(stderr,
                 "Logging: cannot open log file \"%s\" (%s); records of logger \"%s\" go to "
                 "standard error\n",
                 file.c_str(), e.what(), platform::ToUtf8(loggerName).c_str());
    std::fflush(stderr);
    sink = std::make_shared<spdlog::sinks::stderr_sink_mt>();
  }
  sink->set_formatter(MakeFormatter());
  table.sinks[file] = sink;
  return sink;
}

// ---- the logger ---------------------------------------------------------------------------

// Line breaks would split a record: they are written as the two characters "\n" / "\r".
void AppendEscaped(std::string& out, std::wstring_view text) {
  std::size_t start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != L'\n' && text[i] != L'\r') continue;
    out += platform::ToUtf8(text.substr(start, i - start));
    out += text[i] == L'\n' ? "\\n" : "\\r";
    start = i + 1;
  }
  out += platform::ToUtf8(text.substr(start));
}

// Thread-safe: the spdlog logger and its sinks lock internally; the rest is immutable.
class InfraLogger final : public ILogger {
 public:
  InfraLogger(const std::wstring& name, std::shared_ptr<spdlog::sinks::sink> sink,
              Threshold threshold)
      : logger_(std::make_shared<spdlog::logger>(platform::ToUtf8(name))), threshold_(threshold) {
    if (sink) logger_->sinks().push_back(std::move(sink));
    logger_->set_level(spdlog::level::trace);  // filtering happens here, per logger
    logger_->flush_on(spdlog::level::trace);   // every record reaches the file at once
  }

  void Info(const std::wstring& source, const std::wstring& message, Category category) override {
    Write(Level::Info, source, message, category);
  }
  void Warning(const std::wstring& source, const std::wstring& message,
               Category category) override {
    Write(Level::Warning, source, message, category);
  }
  void Error(const std::wstring& source, const std::wstring& message, Category category) override {
    Write(Level::Error, source, message, category);
  }

 private:
  bool Passes(Level level) const {
    switch (threshold_) {
      case Threshold::Info: return true;
      case Threshold::Warning: return level != Level::Info;
      case Threshold::Error: return level == Level::Error;
      case Threshold::Off: return false;
    }
    return false;
  }

  void Write(Level level, const std::wstring& source, const std::wstring& message,
             Category category) noexcept {
    if (Passes(level)) {
      try {
        std::string line = "[";
        AppendEscaped(line, source);
        line += "] [";
        line += platform::ToUtf8(CategoryName(category));
        line += "] ";
        AppendEscaped(line, message);
        const auto spdLevel = level == Level::Info      ? spdlog::level::info
                              : level == Level::Warning ? spdlog::level::warn
                                                        : spdlog::level::err;
        logger_->log(spdLevel, spdlog::string_view_t(line));
      } catch (...) {
        // Out of memory while building the line: the record is lost, the caller goes on.
      }
    }
    detail::DeliverToRecordSinks(level, source, category, message);
  }

  const std::shared_ptr<spdlog::logger> logger_;
  const Threshold threshold_;
};

}  // namespace

std::filesystem::path LogDirectory() {
  const char* configured = std::getenv("TALVARO_LOG_DIR");
  return std::filesystem::path(configured != nullptr && *configured != '\0' ? configured
                                                                            : kDefaultLogDirectory);
}

const wchar_t* CategoryName(Category category) noexcept {
  switch (category) {
    case Category::Communication: return L"Communication";
    case Category::Developer1: return L"Developer1";
  }
  return L"Unknown";
}

const wchar_t* LevelName(Level level) noexcept {
  switch (level) {
    case Level::Info: return L"Info";
    case Level::Warning: return L"Warning";
    case Level::Error: return L"Error";
  }
  return L"Unknown";
}

std::shared_ptr<ILogger> LoggerFactory::CreateInfraLoggerFromRegistry(const std::wstring& name,
                                                                      const std::wstring& keyPath) {
  const Settings settings = ReadSettings(keyPath);
  std::shared_ptr<spdlog::sinks::sink> sink;
  if (settings.threshold != Threshold::Off) {
    sink = SinkFor(name, ResolveFile(name, settings), settings);
  }
  auto logger = std::make_shared<InfraLogger>(name, std::move(sink), settings.threshold);
  for (const std::wstring& problem : settings.problems) {
    logger->Warning(kFactorySource, problem, Category::Developer1);
  }
  return logger;
}

}  // namespace Logging
