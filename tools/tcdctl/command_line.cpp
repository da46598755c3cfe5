#include "tools/tcdctl/command_line.h"

#include <array>
#include <cerrno>
#include <cstdlib>
#include <optional>
#include <utility>

namespace tcdctl {
namespace {

struct VerbInfo {
  Verb verb;
  const char* name;
  std::size_t minArguments;
  std::size_t maxArguments;
};

constexpr std::array<VerbInfo, 10> kVerbs{{
    {Verb::kUnits, "units", 0, 0},
    {Verb::kInfo, "info", 1, 1},
    {Verb::kSubItems, "subitems", 1, 1},
    {Verb::kOpen, "open", 1, 1},
    {Verb::kWrite, "write", 2, 3},
    {Verb::kWatch, "watch", 0, 0},
    {Verb::kGeneric, "generic", 1, 1},
    {Verb::kCreate, "create", 2, 2},
    {Verb::kActivate, "activate", 2, 2},
    {Verb::kShutdown, "shutdown", 2, 2},
}};

const VerbInfo* FindVerb(const std::string& name) {
  for (const auto& info : kVerbs) {
    if (name == info.name) return &info;
  }
  return nullptr;
}

const VerbInfo& InfoOf(Verb verb) {
  for (const auto& info : kVerbs) {
    if (info.verb == verb) return info;
  }
  return kVerbs.front();
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool IsHelp(const std::string& arg) { return arg == "--help" || arg == "-h"; }

ParsedCommandLine Fail(std::string message) {
  ParsedCommandLine parsed;
  parsed.error = std::move(message);
  return parsed;
}

// The value of an option given as "--name value" or "--name=value"; advances `at` past it.
// Nothing when `arg` is not that option; an empty value when it has none.
std::optional<std::string> OptionValue(const std::vector<std::string>& args, std::size_t& at, const std::string& name) {
  const std::string& arg = args[at];
  if (arg == name) return ++at < args.size() ? args[at] : std::string();
  if (arg.rfind(name + "=", 0) == 0) return arg.substr(name.size() + 1);
  return std::nullopt;
}

// An option is a word that starts with '-' and is not a negative number (a write's value).
bool IsOption(const std::string& arg) {
  return arg.size() > 1 && arg[0] == '-' && !(arg[1] >= '0' && arg[1] <= '9');
}

}  // namespace

std::string Escaped(const std::string& text) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string escaped;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) {
      escaped += "\\x";
      escaped += kDigits[byte >> 4];
      escaped += kDigits[byte & 0xF];
    } else {
      escaped += c;
    }
  }
  return escaped;
}

std::string VerbName(Verb verb) { return verb == Verb::kNone ? std::string() : InfoOf(verb).name; }

bool ParseHex(const std::string& text, std::vector<std::uint8_t>* bytes) {
  std::string_view digits(text);
  if (digits.size() >= 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) digits.remove_prefix(2);
  if (digits.size() % 2 != 0) return false;
  std::vector<std::uint8_t> parsed;
  for (std::size_t i = 0; i < digits.size(); i += 2) {
    const int high = HexDigit(digits[i]);
    const int low = HexDigit(digits[i + 1]);
    if (high < 0 || low < 0) return false;
    parsed.push_back(static_cast<std::uint8_t>(high * 16 + low));
  }
  *bytes = std::move(parsed);
  return true;
}

bool ParseValue(const std::string& text, std::int32_t* value) {
  if (text.empty()) return false;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    if (text.size() > 10) return false;
    std::uint32_t bits = 0;
    for (std::size_t i = 2; i < text.size(); ++i) {
      const int digit = HexDigit(text[i]);
      if (digit < 0) return false;
      bits = bits * 16 + static_cast<std::uint32_t>(digit);
    }
    *value = static_cast<std::int32_t>(bits);
    return true;
  }
  char* end = nullptr;
  errno = 0;
  const long long parsed = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || end != text.c_str() + text.size() || parsed < INT32_MIN || parsed > INT32_MAX) return false;
  *value = static_cast<std::int32_t>(parsed);
  return true;
}

bool ParseTimeout(const std::string& text, std::chrono::milliseconds* timeout) {
  if (text.empty() || text.find_first_not_of("0123456789.") != std::string::npos) return false;
  char* end = nullptr;
  errno = 0;
  const double seconds = std::strtod(text.c_str(), &end);
  if (errno != 0 || end != text.c_str() + text.size() || seconds > 86400) return false;
  *timeout = std::chrono::milliseconds(static_cast<std::int64_t>(seconds * 1000 + 0.5));
  return true;
}

ParsedCommandLine ParseCommandLine(const std::vector<std::string>& args) {
  ParsedCommandLine parsed;
  Command& command = parsed.command;
  // Options may stand anywhere, before or after the command word; "--" ends them.
  std::vector<std::string> words;
  bool optionsEnded = false;
  for (std::size_t at = 0; at < args.size(); ++at) {
    const std::string& arg = args[at];
    if (optionsEnded || !IsOption(arg)) {
      words.push_back(arg);
    } else if (arg == "--") {
      optionsEnded = true;
    } else if (arg == "--json") {
      command.json = true;
    } else if (arg == "--shm") {
      command.sharedMemory = true;
    } else if (IsHelp(arg)) {
      command.help = true;
    } else if (const auto application = OptionValue(args, at, "--app")) {
      if (application->empty()) return Fail("--app needs an application name");
      command.application = *application;
    } else if (const auto timeout = OptionValue(args, at, "--timeout")) {
      if (!ParseTimeout(*timeout, &command.timeout)) {
        return Fail("--timeout needs a number of seconds, not '" + Escaped(*timeout) + "'");
      }
    } else {
      return Fail("unknown option '" + Escaped(arg) + "'");
    }
  }
  std::size_t at = 0;
  if (words.empty()) {
    if (command.help) return parsed;
    return Fail("no command given");
  }
  if (words[at] == "help") {
    command.help = true;
    if (++at == words.size()) return parsed;
    const VerbInfo* info = FindVerb(words[at]);
    if (info == nullptr) return Fail("unknown command '" + Escaped(words[at]) + "'");
    command.verb = info->verb;
    if (at + 1 != words.size()) return Fail("help takes one command");
    return parsed;
  }
  const VerbInfo* info = FindVerb(words[at]);
  if (info == nullptr) return Fail("unknown command '" + Escaped(words[at]) + "'");
  command.verb = info->verb;
  const std::vector<std::string> arguments(words.begin() + 1, words.end());
  if (command.help) return parsed;
  if (command.sharedMemory && command.verb != Verb::kOpen) return Fail("--shm applies to open only");
  if (arguments.size() < info->minArguments || arguments.size() > info->maxArguments) {
    return Fail(std::string(info->name) + ": wrong number of arguments");
  }
  switch (command.verb) {
    case Verb::kInfo:
    case Verb::kSubItems:
    case Verb::kOpen:
      command.unit = arguments[0];
      break;
    case Verb::kWrite:
      command.unit = arguments[0];
      if (!ParseHex(arguments[1], &command.data)) return Fail("write: '" + Escaped(arguments[1]) + "' is not hexadecimal bytes");
      if (arguments.size() == 3 && !ParseValue(arguments[2], &command.value)) {
        return Fail("write: '" + Escaped(arguments[2]) + "' is not a 32-bit number");
      }
      break;
    case Verb::kGeneric:
      command.firstText = arguments[0];
      break;
    case Verb::kCreate:
    case Verb::kActivate:
    case Verb::kShutdown:
      command.firstText = arguments[0];
      command.secondText = arguments[1];
      break;
    default:
      break;
  }
  return parsed;
}

}  // namespace tcdctl
