#include "tools/tcdctl/command_line.h"

#include <array>
#include <cerrno>
#include <cstdlib>
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

}  // namespace

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

ParsedCommandLine ParseCommandLine(const std::vector<std::string>& args) {
  ParsedCommandLine parsed;
  Command& command = parsed.command;
  std::size_t at = 0;
  // Global options, before the command.
  for (; at < args.size(); ++at) {
    const std::string& arg = args[at];
    if (arg == "--json") {
      command.json = true;
    } else if (arg == "--app") {
      if (++at == args.size()) return Fail("--app needs an application name");
      command.application = args[at];
      if (command.application.empty()) return Fail("--app needs an application name");
    } else if (arg.rfind("--app=", 0) == 0) {
      command.application = arg.substr(6);
      if (command.application.empty()) return Fail("--app needs an application name");
    } else if (IsHelp(arg)) {
      command.help = true;
    } else if (arg.size() > 1 && arg[0] == '-') {
      return Fail("unknown option '" + arg + "'");
    } else {
      break;
    }
  }
  if (at == args.size()) {
    if (command.help) return parsed;
    return Fail("no command given");
  }
  if (args[at] == "help") {
    command.help = true;
    if (++at == args.size()) return parsed;
    const VerbInfo* info = FindVerb(args[at]);
    if (info == nullptr) return Fail("unknown command '" + args[at] + "'");
    command.verb = info->verb;
    if (at + 1 != args.size()) return Fail("help takes one command");
    return parsed;
  }
  const VerbInfo* info = FindVerb(args[at]);
  if (info == nullptr) return Fail("unknown command '" + args[at] + "'");
  command.verb = info->verb;
  std::vector<std::string> arguments;
  for (++at; at < args.size(); ++at) {
    if (IsHelp(args[at])) {
      command.help = true;
      return parsed;
    }
    arguments.push_back(args[at]);
  }
  if (command.help) return parsed;
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
      if (!ParseHex(arguments[1], &command.data)) return Fail("write: '" + arguments[1] + "' is not hexadecimal bytes");
      if (arguments.size() == 3 && !ParseValue(arguments[2], &command.value)) {
        return Fail("write: '" + arguments[2] + "' is not a 32-bit number");
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
