#include "platform/service/unit_file.h"

#include <sstream>

#include "platform/types/wide_string.h"

namespace platform::service {
namespace {

constexpr const char* kSettingsSection = "[X-ServiceControl]";

std::string OneLine(std::wstring_view text) {
  std::string line = ToUtf8(text);
  for (char& c : line) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  return line;
}

// A value systemd expands specifiers in: '%' doubled.
std::string EscapeSpecifiers(std::string_view text) {
  std::string escaped;
  for (char c : text) {
    escaped += c;
    if (c == '%') escaped += '%';
  }
  return escaped;
}

// "NAME=value" as one quoted word of Environment=.
std::string QuoteEnvironment(std::string_view assignment) {
  std::string quoted = "\"";
  for (char c : assignment) {
    if (c == '\\' || c == '"') quoted += '\\';
    quoted += c;
    if (c == '%') quoted += '%';
  }
  return quoted + "\"";
}

std::string JoinDependencies(const std::vector<std::wstring>& dependencies) {
  std::string joined;
  for (const auto& name : dependencies) {
    if (!joined.empty()) joined += '/';
    joined += OneLine(name);
  }
  return joined;
}

}  // namespace

std::vector<std::wstring> SplitCommandLine(std::wstring_view commandLine) {
  std::vector<std::wstring> words;
  std::wstring word;
  bool inWord = false;
  bool quoted = false;
  for (wchar_t c : commandLine) {
    if (c == L'"') {
      quoted = !quoted;
      inWord = true;
    } else if (!quoted && (c == L' ' || c == L'\t')) {
      if (inWord) words.push_back(std::move(word));
      word.clear();
      inWord = false;
    } else {
      word += c;
      inWord = true;
    }
  }
  if (inWord) words.push_back(std::move(word));
  return words;
}

std::string QuoteExecWord(std::string_view word) {
  std::string quoted = "\"";
  for (char c : word) {
    if (c == '\\' || c == '"') quoted += '\\';
    quoted += c;
    if (c == '%' || c == '$') quoted += c;
  }
  return quoted + "\"";
}

std::string RenderUnit(const std::wstring& serviceName, const ServiceConfig& config) {
  std::ostringstream unit;
  unit << "# " << OneLine(serviceName) << ".service, written by the service control functions\n"
       << "# (CreateServiceW, ChangeServiceConfigW, ChangeServiceConfig2W). A change through them\n"
       << "# rewrites this file from the " << kSettingsSection << " section.\n"
       << "[Unit]\n"
       << "Description="
       << EscapeSpecifiers(OneLine(config.description.empty() ? config.displayName : config.description))
       << "\n";
  for (const auto& dependency : config.dependencies) {
    if (EqualsIgnoreCase(dependency, L"RPCSS")) {
      // The component runtime's endpoint service: here the runtime is in-process and needs no
      // unit of its own, only the basic system that every service is ordered after.
      unit << "After=basic.target\n";
    } else {
      const std::string name = EscapeSpecifiers(OneLine(dependency)) + ".service";
      unit << "Requires=" << name << "\nAfter=" << name << "\n";
    }
  }
  // A service process of the original platform has no small limit on its handles; the cap on
  // descriptors is raised accordingly, so that a server's own limits decide.
  unit << "\n[Service]\nType=notify\nNotifyAccess=main\nLimitNOFILE=65536\nExecStart=";
  bool first = true;
  for (const auto& word : SplitCommandLine(config.binaryPath)) {
    unit << (first ? "" : " ") << QuoteExecWord(ToUtf8(word));
    first = false;
  }
  unit << "\n";
  for (const auto& [name, value] : config.environment) {
    unit << "Environment=" << QuoteEnvironment(name + "=" + value) << "\n";
  }
  if (config.startType == 2) {  // SERVICE_AUTO_START
    unit << "\n[Install]\nWantedBy=multi-user.target\n";
  }
  unit << "\n" << kSettingsSection << "\n"
       << "DisplayName=" << OneLine(config.displayName) << "\n"
       << "Description=" << OneLine(config.description) << "\n"
       << "BinaryPath=" << OneLine(config.binaryPath) << "\n"
       << "Dependencies=" << JoinDependencies(config.dependencies) << "\n"
       << "StartType=" << config.startType << "\n"
       << "ErrorControl=" << config.errorControl << "\n";
  for (const auto& [name, value] : config.environment) {
    unit << "Environment=" << name << "=" << value << "\n";
  }
  return unit.str();
}

std::optional<ServiceConfig> ParseUnit(const std::string& text) {
  std::istringstream lines(text);
  std::string line;
  bool inSettings = false;
  bool found = false;
  ServiceConfig config;
  config.environment.clear();
  while (std::getline(lines, line)) {
    if (!line.empty() && line.front() == '[') {
      inSettings = line == kSettingsSection;
      found = found || inSettings;
      continue;
    }
    const std::size_t equals = line.find('=');
    if (!inSettings || equals == std::string::npos) continue;
    const std::string key = line.substr(0, equals);
    const std::string value = line.substr(equals + 1);
    if (key == "DisplayName") {
      config.displayName = FromUtf8(value);
    } else if (key == "Description") {
      config.description = FromUtf8(value);
    } else if (key == "BinaryPath") {
      config.binaryPath = FromUtf8(value);
    } else if (key == "Dependencies") {
      std::size_t start = 0;
      while (start < value.size()) {
        std::size_t end = value.find('/', start);
        if (end == std::string::npos) end = value.size();
        if (end > start) config.dependencies.push_back(FromUtf8(value.substr(start, end - start)));
        start = end + 1;
      }
    } else if (key == "StartType" || key == "ErrorControl") {
      DWORD number = 0;
      try {
        number = static_cast<DWORD>(std::stoul(value));
      } catch (const std::exception&) {
        return std::nullopt;
      }
      (key == "StartType" ? config.startType : config.errorControl) = number;
    } else if (key == "Environment") {
      const std::size_t split = value.find('=');
      if (split != std::string::npos) config.environment.emplace_back(value.substr(0, split), value.substr(split + 1));
    }
  }
  if (!found) return std::nullopt;
  return config;
}

}  // namespace platform::service
