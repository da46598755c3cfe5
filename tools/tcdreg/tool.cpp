#include "tools/tcdreg/tool.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "platform/registry/registry_transaction.h"
#include "platform/types/error_codes.h"
#include "platform/types/wide_string.h"
#include "tools/tcdreg/command_line.h"
#include "tools/tcdreg/messages.h"
#include "tools/tcdreg/reg_data.h"
#include "tools/tcdreg/reg_file.h"
#include "tools/tcdreg/registry_io.h"

namespace tcdreg {
namespace {

using platform::ToUtf8;
using platform::registry::Transaction;

constexpr const char* kDone = "The operation completed successfully.\n";
constexpr const char* kCancelled = "The operation was cancelled.\n";

int FailWith(Console& console, const std::string& text) {
  console.err << "ERROR: " << text << "\n";
  return kExitFailure;
}

int Fail(Console& console, LSTATUS status) { return FailWith(console, ErrorText(status)); }

int Done(Console& console) {
  console.out << kDone;
  return kExitSuccess;
}

int Usage(Console& console, Operation operation, const std::string& text) {
  const std::string name = OperationName(operation);
  console.err << "ERROR: " << text << "\n"
              << "Type \"tcdreg " << (name.empty() ? "" : name + " ") << "/?\" for usage.\n";
  return kExitUsage;
}

// Asks until the answer starts with y or n; a closed input is No.
bool Confirm(Console& console, const std::string& question) {
  for (;;) {
    console.out << question << " " << std::flush;
    std::string answer;
    if (!std::getline(console.in, answer)) {
      console.out << "\n";
      return false;
    }
    const auto first = answer.find_first_not_of(" \t\r");
    if (first == std::string::npos) continue;
    const char c = answer[first];
    if (c == 'y' || c == 'Y') return true;
    if (c == 'n' || c == 'N') return false;
  }
}

// Whether to go on: forced, or answered Yes. A No is reported as the operation cancelled.
bool Proceed(Console& console, bool force, const std::string& question) {
  if (force || Confirm(console, question)) return true;
  console.out << kCancelled;
  return false;
}

std::string ValueLine(const Value& value) {
  const std::wstring name = value.name.empty() ? L"(Default)" : value.name;
  return "    " + ToUtf8(name) + "    " + ToUtf8(TypeName(value.type)) + "    " +
         ToUtf8(FormatData(value));
}

// ---------------------------------------------------------------------------------------------
// query

LSTATUS ShowKey(Console& console, HKEY key, const std::wstring& path, bool recurse) {
  std::vector<Value> values;
  std::vector<std::wstring> names;
  LSTATUS status = ReadValues(key, &values);
  if (status == ERROR_SUCCESS) status = ReadSubkeyNames(key, &names);
  if (status != ERROR_SUCCESS) return status;
  console.out << ToUtf8(path) << "\n";
  for (const auto& value : values) console.out << ValueLine(value) << "\n";
  if (recurse) {
    console.out << "\n";
    for (const auto& name : names) {
      UniqueKey child;
      status = RegOpenKeyExW(key, name.c_str(), 0, KEY_READ, child.out());
      if (status == ERROR_SUCCESS) status = ShowKey(console, child.get(), path + L'\\' + name, true);
      if (status != ERROR_SUCCESS) return status;
    }
    return ERROR_SUCCESS;
  }
  if (!values.empty() && !names.empty()) console.out << "\n";
  for (const auto& name : names) console.out << ToUtf8(path + L'\\' + name) << "\n";
  return ERROR_SUCCESS;
}

LSTATUS SearchValue(Console& console, HKEY key, const std::wstring& path,
                    const std::wstring& valueName, int* matches) {
  Value value;
  LSTATUS status = ReadValue(key, valueName, &value);
  if (status == ERROR_SUCCESS) {
    ++*matches;
    console.out << ToUtf8(path) << "\n" << ValueLine(value) << "\n\n";
  } else if (status != ERROR_FILE_NOT_FOUND) {
    return status;
  }
  std::vector<std::wstring> names;
  status = ReadSubkeyNames(key, &names);
  for (const auto& name : names) {
    if (status != ERROR_SUCCESS) break;
    UniqueKey child;
    status = RegOpenKeyExW(key, name.c_str(), 0, KEY_READ, child.out());
    if (status == ERROR_SUCCESS) {
      status = SearchValue(console, child.get(), path + L'\\' + name, valueName, matches);
    }
  }
  return status;
}

int Query(Console& console, const Command& command, const KeyName& key) {
  UniqueKey handle;
  LSTATUS status = OpenKey(key, KEY_READ, &handle);
  if (status != ERROR_SUCCESS) return Fail(console, status);
  const std::wstring path = key.Display();

  if (!command.valueName && !command.defaultValue) {
    // Gather before printing, so a failure does not leave half a listing.
    std::ostringstream listing;
    Console buffered{console.in, listing, console.err};
    status = ShowKey(buffered, handle.get(), path, command.recurse);
    if (status != ERROR_SUCCESS) return Fail(console, status);
    console.out << "\n" << listing.str();
    return kExitSuccess;
  }
  const std::wstring name = command.defaultValue ? std::wstring() : *command.valueName;
  if (command.recurse) {
    std::ostringstream listing;
    Console buffered{console.in, listing, console.err};
    int matches = 0;
    status = SearchValue(buffered, handle.get(), path, name, &matches);
    if (status != ERROR_SUCCESS) return Fail(console, status);
    console.out << "\n"
                << listing.str() << "End of search: " << matches << " match(es) found.\n";
    return kExitSuccess;
  }
  Value value;
  status = ReadValue(handle.get(), name, &value);
  if (status == ERROR_FILE_NOT_FOUND && command.defaultValue) {
    console.out << "\n" << ToUtf8(path) << "\n    (Default)    REG_SZ    (value not set)\n\n";
    return kExitSuccess;
  }
  if (status != ERROR_SUCCESS) return Fail(console, status);
  console.out << "\n" << ToUtf8(path) << "\n" << ValueLine(value) << "\n\n";
  return kExitSuccess;
}

// ---------------------------------------------------------------------------------------------
// add

int Add(Console& console, const Command& command, const KeyName& key) {
  const bool setsValue = command.valueName || command.defaultValue || command.type || command.data;
  DWORD type = REG_SZ;
  if (command.type) {
    const auto parsed = ParseTypeName(*command.type);
    if (!parsed) return Usage(console, command.operation, "Invalid type \"" + ToUtf8(*command.type) + "\".");
    type = *parsed;
  }
  if (command.separator && type != REG_MULTI_SZ) {
    return Usage(console, command.operation, "The option /s is only for REG_MULTI_SZ data.");
  }
  std::string bytes;
  const std::wstring problem = ParseCommandData(type, command.data.value_or(L""),
                                                command.separator.value_or(L""), &bytes);
  if (!problem.empty()) return Usage(console, command.operation, ToUtf8(problem));
  const std::wstring name = command.valueName.value_or(L"");

  if (setsValue && !command.force) {
    UniqueKey existing;
    if (OpenKey(key, KEY_QUERY_VALUE, &existing) == ERROR_SUCCESS &&
        RegQueryValueExW(existing.get(), name.c_str(), nullptr, nullptr, nullptr, nullptr) ==
            ERROR_SUCCESS &&
        !Proceed(console, false, "Value exists, overwrite (Yes/No)?")) {
      return kExitSuccess;
    }
  }
  // The key and its value land together or not at all.
  Transaction transaction(Transaction::Mode::kWrite);
  LSTATUS status = transaction.status();
  UniqueKey handle;
  if (status == ERROR_SUCCESS) {
    status = CreateKey(key, setsValue ? KEY_SET_VALUE : KEY_READ, &handle);
  }
  if (status == ERROR_SUCCESS && setsValue) {
    status = RegSetValueExW(handle.get(), name.c_str(), 0, type,
                            reinterpret_cast<const BYTE*>(bytes.data()),
                            static_cast<DWORD>(bytes.size()));
  }
  if (status == ERROR_SUCCESS) status = transaction.Commit();
  return status == ERROR_SUCCESS ? Done(console) : Fail(console, status);
}

// ---------------------------------------------------------------------------------------------
// delete

int Delete(Console& console, const Command& command, const KeyName& key) {
  const std::string path = ToUtf8(key.Display());
  if (!command.valueName && !command.defaultValue && !command.allValues) {
    if (key.subKey.empty()) return Usage(console, command.operation, "Invalid key name.");
    UniqueKey handle;
    LSTATUS status = OpenKey(key, KEY_READ, &handle);
    if (status != ERROR_SUCCESS) return Fail(console, status);
    handle.Reset();
    if (!Proceed(console, command.force, "Delete the registry key " + path + " (Yes/No)?")) {
      return kExitSuccess;
    }
    status = RegDeleteTreeW(key.root, key.subKey.c_str());
    return status == ERROR_SUCCESS ? Done(console) : Fail(console, status);
  }

  UniqueKey handle;
  LSTATUS status = OpenKey(key, KEY_QUERY_VALUE | KEY_SET_VALUE, &handle);
  if (status != ERROR_SUCCESS) return Fail(console, status);
  if (command.allValues) {
    if (!Proceed(console, command.force,
                 "Delete all values under the registry key " + path + " (Yes/No)?")) {
      return kExitSuccess;
    }
    Transaction transaction(Transaction::Mode::kWrite);
    status = transaction.status();
    std::vector<Value> values;
    if (status == ERROR_SUCCESS) status = ReadValues(handle.get(), &values);
    for (const auto& value : values) {
      if (status == ERROR_SUCCESS) status = RegDeleteValueW(handle.get(), value.name.c_str());
    }
    if (status == ERROR_SUCCESS) status = transaction.Commit();
  } else {
    const std::wstring name = command.valueName.value_or(L"");
    status = RegQueryValueExW(handle.get(), name.c_str(), nullptr, nullptr, nullptr, nullptr);
    if (status != ERROR_SUCCESS) return Fail(console, status);
    const std::string shown = name.empty() ? "(Default)" : ToUtf8(name);
    if (!Proceed(console, command.force, "Delete the registry value " + shown + " (Yes/No)?")) {
      return kExitSuccess;
    }
    status = RegDeleteValueW(handle.get(), name.c_str());
  }
  return status == ERROR_SUCCESS ? Done(console) : Fail(console, status);
}

// ---------------------------------------------------------------------------------------------
// export / import

int Export(Console& console, const Command& command, const KeyName& key) {
  std::string bytes;
  const LSTATUS status = ExportTree(key, &bytes);
  if (status != ERROR_SUCCESS) return Fail(console, status);
  std::error_code ignored;
  if (std::filesystem::exists(command.file, ignored) &&
      !Proceed(console, command.force, "File " + command.file + " exists, overwrite (Yes/No)?")) {
    return kExitSuccess;
  }
  std::ofstream out(command.file, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) {
    return FailWith(console, "Unable to write the file " + command.file + ": " +
                                 std::strerror(errno) + ".");
  }
  return Done(console);
}

int Import(Console& console, const Command& command) {
  std::ifstream in(command.file, std::ios::binary);
  if (!in) {
    return FailWith(console, "Unable to read the file " + command.file + ": " +
                                 std::strerror(errno) + ".");
  }
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<RegFileOperation> operations;
  RegFileError error;
  if (!ParseRegFile(bytes, &operations, &error)) {
    return FailWith(console, command.file + ", line " + std::to_string(error.line) + ": " +
                                 ToUtf8(error.message) + " Nothing was imported.");
  }
  int line = 0;
  const LSTATUS status = ApplyOperations(operations, &line);
  if (status != ERROR_SUCCESS) {
    const std::string where = line > 0 ? command.file + ", line " + std::to_string(line) + ": "
                                       : std::string();
    return FailWith(console, where + ErrorText(status) + " Nothing was imported.");
  }
  return Done(console);
}

}  // namespace

int Run(const std::vector<std::string>& args, Console console) {
  const ParsedCommandLine parsed = ParseCommandLine(args);
  const Command& command = parsed.command;
  if (!parsed.error.empty()) return Usage(console, command.operation, parsed.error);
  if (command.help) {
    console.out << HelpText(command.operation);
    return kExitSuccess;
  }
  if (command.operation == Operation::kImport) return Import(console, command);

  const auto key = ParseKeyName(command.key);
  if (!key) return Usage(console, command.operation, "Invalid key name.");
  switch (command.operation) {
    case Operation::kQuery:
      return Query(console, command, *key);
    case Operation::kAdd:
      return Add(console, command, *key);
    case Operation::kDelete:
      return Delete(console, command, *key);
    case Operation::kExport:
      return Export(console, command, *key);
    default:
      return Usage(console, command.operation, "No operation given.");
  }
}

}  // namespace tcdreg
