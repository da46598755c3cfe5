#include "tools/tcdreg/command_line.h"

#include <algorithm>
#include <cctype>

#include "platform/types/wide_string.h"

namespace tcdreg {
namespace {

struct SwitchSpec {
  const char* name;
  bool takesValue;
};

std::vector<SwitchSpec> SwitchesOf(Operation operation) {
  switch (operation) {
    case Operation::kQuery:
      return {{"v", true}, {"ve", false}, {"s", false}};
    case Operation::kAdd:
      return {{"v", true}, {"ve", false}, {"t", true}, {"s", true}, {"d", true}, {"f", false}};
    case Operation::kDelete:
      return {{"v", true}, {"ve", false}, {"va", false}, {"f", false}};
    case Operation::kExport:
      return {{"y", false}};
    default:
      return {};
  }
}

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

bool IsHelp(const std::string& arg) {
  return arg == "/?" || arg == "-?" || arg == "-h" || arg == "--help";
}

std::optional<Operation> OperationOf(const std::string& word) {
  const std::string lower = Lower(word);
  for (Operation operation : {Operation::kQuery, Operation::kAdd, Operation::kDelete,
                              Operation::kExport, Operation::kImport}) {
    if (lower == OperationName(operation)) return operation;
  }
  return std::nullopt;
}

// Stores one recognised switch; returns a usage error or "".
std::string Apply(const std::string& name, const std::string& value, Command* command) {
  auto once = [&name](bool alreadySet) {
    return alreadySet ? "The option /" + name + " is given more than once." : std::string();
  };
  const std::wstring wide = platform::FromUtf8(value);
  std::string error;
  if (name == "v") {
    error = once(command->valueName.has_value());
    command->valueName = wide;
  } else if (name == "ve") {
    error = once(command->defaultValue);
    command->defaultValue = true;
  } else if (name == "va") {
    error = once(command->allValues);
    command->allValues = true;
  } else if (name == "s" && command->operation == Operation::kQuery) {
    error = once(command->recurse);
    command->recurse = true;
  } else if (name == "s") {
    error = once(command->separator.has_value());
    command->separator = wide;
  } else if (name == "t") {
    error = once(command->type.has_value());
    command->type = wide;
  } else if (name == "d") {
    error = once(command->data.has_value());
    command->data = wide;
  } else if (name == "f" || name == "y") {
    error = once(command->force);
    command->force = true;
  }
  return error;
}

}  // namespace

std::string OperationName(Operation operation) {
  switch (operation) {
    case Operation::kQuery:
      return "query";
    case Operation::kAdd:
      return "add";
    case Operation::kDelete:
      return "delete";
    case Operation::kExport:
      return "export";
    case Operation::kImport:
      return "import";
    default:
      return {};
  }
}

ParsedCommandLine ParseCommandLine(const std::vector<std::string>& args) {
  ParsedCommandLine parsed;
  Command& command = parsed.command;
  if (args.empty()) {
    parsed.error = "No operation given.";
    return parsed;
  }
  if (IsHelp(args[0])) {
    command.help = true;
    return parsed;
  }
  const auto operation = OperationOf(args[0]);
  if (!operation) {
    parsed.error = "Unknown operation \"" + args[0] + "\".";
    return parsed;
  }
  command.operation = *operation;
  const auto switches = SwitchesOf(command.operation);
  // Only export and import take a file, whose path may well start with '/'.
  const bool takesFile =
      command.operation == Operation::kExport || command.operation == Operation::kImport;

  std::vector<std::string> positional;
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (IsHelp(arg)) {
      command.help = true;
      return parsed;
    }
    const bool looksLikeSwitch = arg.size() > 1 && (arg[0] == '/' || arg[0] == '-');
    const std::string name = looksLikeSwitch ? Lower(arg.substr(1)) : std::string();
    const auto spec = std::find_if(switches.begin(), switches.end(),
                                   [&name](const SwitchSpec& s) { return name == s.name; });
    if (looksLikeSwitch && spec != switches.end()) {
      std::string value;
      if (spec->takesValue) {
        if (i + 1 >= args.size()) {
          parsed.error = "The option /" + name + " needs a value.";
          return parsed;
        }
        value = args[++i];
      }
      parsed.error = Apply(name, value, &command);
      if (!parsed.error.empty()) return parsed;
    } else if (looksLikeSwitch && !takesFile) {
      parsed.error = "Unknown option \"" + arg + "\".";
      return parsed;
    } else {
      positional.push_back(arg);
    }
  }

  const std::size_t wanted = command.operation == Operation::kExport ? 2 : 1;
  if (positional.size() != wanted) {
    parsed.error = positional.size() < wanted ? "Too few arguments." : "Too many arguments.";
    return parsed;
  }
  if (command.operation == Operation::kImport) {
    command.file = positional[0];
  } else {
    command.key = platform::FromUtf8(positional[0]);
    if (command.operation == Operation::kExport) command.file = positional[1];
  }
  const int valueSwitches = (command.valueName ? 1 : 0) + (command.defaultValue ? 1 : 0) +
                            (command.allValues ? 1 : 0);
  if (valueSwitches > 1) {
    parsed.error = "Use only one of /v, /ve and /va.";
    return parsed;
  }
  if (command.separator && command.separator->size() != 1) {
    parsed.error = "The separator given with /s must be a single character.";
    return parsed;
  }
  return parsed;
}

}  // namespace tcdreg
