// tcdreg's command line: the operation, its key or file, and its switches. Switches start with
// '/' or '-' and ignore letter case; "/?", "-?", "-h" and "--help" ask for help.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tcdreg {

enum class Operation { kNone, kQuery, kAdd, kDelete, kExport, kImport };

struct Command {
  Operation operation = Operation::kNone;
  bool help = false;
  std::wstring key;                        // as typed; query, add, delete, export
  std::string file;                        // export, import
  std::optional<std::wstring> valueName;   // /v
  bool defaultValue = false;               // /ve
  bool allValues = false;                  // /va
  bool recurse = false;                    // query /s
  std::optional<std::wstring> type;        // add /t
  std::optional<std::wstring> separator;   // add /s
  std::optional<std::wstring> data;        // add /d
  bool force = false;                      // /f, export /y
};

struct ParsedCommandLine {
  Command command;
  std::string error;  // a usage error when not empty
};

// `args` without the program name.
ParsedCommandLine ParseCommandLine(const std::vector<std::string>& args);

// "query", "add", ...; empty for kNone.
std::string OperationName(Operation operation);

}  // namespace tcdreg
