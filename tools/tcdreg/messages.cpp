#include "tools/tcdreg/messages.h"

#include "platform/types/error_codes.h"

namespace tcdreg {
namespace {

constexpr const char* kOverview = R"HELP(NAME
    tcdreg - view and edit the TalvaroCommunicationDriver registry

SYNOPSIS
    tcdreg query  <key> [/v <name> | /ve] [/s]
    tcdreg add    <key> [/v <name> | /ve] [/t <type>] [/s <separator>] [/d <data>] [/f]
    tcdreg delete <key> [/v <name> | /ve | /va] [/f]
    tcdreg export <key> <file> [/y]
    tcdreg import <file>
    tcdreg <operation> /?

DESCRIPTION
    tcdreg reads and changes the registry that the TalvaroCommunicationDriver server and its
    tools share: HKEY_LOCAL_MACHINE, with HKEY_CLASSES_ROOT as its SOFTWARE\Classes key. Key
    and value names ignore letter case and keep the case they were created with.

    <key> is a root followed by an optional path of subkeys, separated by backslashes:
        HKLM or HKEY_LOCAL_MACHINE        HKCR or HKEY_CLASSES_ROOT
    for example HKLM\SOFTWARE\TALVARO. Quote it for the shell: 'HKLM\SOFTWARE\TALVARO'.

    Options start with / or - and ignore letter case. "tcdreg <operation> /?" describes
    one operation in full.

OPERATIONS
    query     show a key's values and subkeys, or one value
    add       create a key, or set a value (creating its key)
    delete    delete a key with its whole subtree, one value, or all values of a key
    export    write a key and its subtree to a .reg file
    import    apply a .reg file, all of it or nothing

EXIT STATUS
    0   success (also when a confirmation is answered with No)
    1   the operation failed; the reason follows "ERROR:" on standard error
    2   the command line is not valid

ENVIRONMENT
    TALVARO_REGISTRY
        the registry database file; /var/lib/talvaro/registry.db when not set.
)HELP";

constexpr const char* kQuery = R"HELP(NAME
    tcdreg query - show registry keys and values

SYNOPSIS
    tcdreg query <key> [/v <name> | /ve] [/s]

DESCRIPTION
    Without /v or /ve, shows the full path of <key>, then one line per value, then the full
    paths of its direct subkeys. A value line reads
        "    <name>    <type>    <data>"
    with "(Default)" as the name of the default (unnamed) value. Data is shown as text for
    REG_SZ and REG_EXPAND_SZ, as items joined by \0 for REG_MULTI_SZ, as 0x-hexadecimal for
    REG_DWORD and REG_QWORD, and as hexadecimal digits for every other type.

OPTIONS
    /v <name>   show only the value <name>.
    /ve         show only the default value; "(value not set)" when there is none.
    /s          include every key below <key>. With /v or /ve, list each key of the subtree
                that has the value, then "End of search: <n> match(es) found."

EXAMPLES
    tcdreg query 'HKLM\SOFTWARE\TALVARO' /s
    tcdreg query 'HKLM\SOFTWARE\TALVARO\ORBIQ\PerformanceMonitoring' /v Enabled
    tcdreg query 'HKCR\CLSID\{1C84D1BC-573F-490C-ADF2-0269F5A6AFDC}' /ve

EXIT STATUS
    0 when shown, 1 when the key or value does not exist or cannot be read, 2 for a command
    line that is not valid.
)HELP";

constexpr const char* kAdd = R"HELP(NAME
    tcdreg add - create a key or set a value

SYNOPSIS
    tcdreg add <key> [/v <name> | /ve] [/t <type>] [/s <separator>] [/d <data>] [/f]

DESCRIPTION
    Creates <key> and any missing key above it. With /v, /ve, /t or /d it also sets a value
    of that key (the default value unless /v names one). When the value exists already,
    tcdreg asks "Value exists, overwrite (Yes/No)?" and reads the answer from standard input;
    an answer of No, or no answer (standard input closed), changes nothing. The key and the
    value are written in one step: either both or neither.

OPTIONS
    /v <name>        the value to set.
    /ve              set the default (unnamed) value.
    /t <type>        REG_SZ (the default), REG_EXPAND_SZ, REG_MULTI_SZ, REG_DWORD,
                     REG_QWORD, REG_BINARY or REG_NONE.
    /s <separator>   for REG_MULTI_SZ: the one character between items in <data>. Without it
                     items are separated by the two characters \0.
    /d <data>        the data, empty when not given:
                       REG_SZ, REG_EXPAND_SZ   text; stored with its terminating NUL
                       REG_MULTI_SZ            items (not empty), each stored with a NUL, and
                                               one more NUL at the end
                       REG_DWORD, REG_QWORD    a number, decimal or 0x-hexadecimal
                       REG_BINARY, REG_NONE    hexadecimal digits, two per byte
    /f               overwrite an existing value without asking.

EXAMPLES
    tcdreg add 'HKLM\SOFTWARE\TALVARO\Test'
    tcdreg add 'HKLM\SOFTWARE\TALVARO\Test' /v Level /t REG_DWORD /d 0x10 /f
    tcdreg add 'HKLM\SOFTWARE\TALVARO\Test' /v Hosts /t REG_MULTI_SZ /s , /d alpha,beta
    tcdreg add 'HKLM\SOFTWARE\TALVARO\Test' /v Blob /t REG_BINARY /d 00ff10

EXIT STATUS
    0 when written or declined, 1 when the registry refused (for example "Access is denied."
    when the database file is not writable), 2 for a command line or data that is not valid.
)HELP";

constexpr const char* kDelete = R"HELP(NAME
    tcdreg delete - delete a key, a value, or all values of a key

SYNOPSIS
    tcdreg delete <key> [/v <name> | /ve | /va] [/f]

DESCRIPTION
    Without /v, /ve or /va, deletes <key> with all its subkeys and values, after asking
    "Delete the registry key <key> (Yes/No)?". With /v or /ve it deletes one value, with /va
    all values of <key> (its subkeys stay), each after a similar question. The answer is read
    from standard input; No, or no answer (standard input closed), deletes nothing. A root key
    cannot be deleted.

OPTIONS
    /v <name>   delete the value <name>.
    /ve         delete the default (unnamed) value.
    /va         delete every value of <key>.
    /f          delete without asking.

EXAMPLES
    tcdreg delete 'HKLM\SOFTWARE\TALVARO\Test' /f
    tcdreg delete 'HKLM\SOFTWARE\TALVARO\Test' /v Level

EXIT STATUS
    0 when deleted or declined, 1 when the key or value does not exist or the registry
    refused, 2 for a command line that is not valid.
)HELP";

constexpr const char* kExport = R"HELP(NAME
    tcdreg export - write a key and its subtree to a .reg file

SYNOPSIS
    tcdreg export <key> <file> [/y]

DESCRIPTION
    Writes <key>, every key below it and all their values to <file> in the .reg format
    ("Windows Registry Editor Version 5.00"): UTF-16LE with a byte-order mark and CRLF line
    ends, one [key] section per key, "name"="text" for plain REG_SZ values, dword:xxxxxxxx for
    REG_DWORD, and hex:, hex(n): byte lists (string types as UTF-16LE) for everything else,
    wrapped at 80 columns with "\" continuations. The keys are read in one consistent
    snapshot. "tcdreg import" of the file gives back the same keys, names, types and bytes.
    When <file> exists, tcdreg asks "File <file> exists, overwrite (Yes/No)?".

OPTIONS
    /y   overwrite an existing file without asking.

EXAMPLES
    tcdreg export 'HKLM\SOFTWARE\TALVARO' talvaro.reg /y

EXIT STATUS
    0 when written or declined, 1 when the key does not exist or the file cannot be written,
    2 for a command line that is not valid.
)HELP";

constexpr const char* kImport = R"HELP(NAME
    tcdreg import - apply a .reg file

SYNOPSIS
    tcdreg import <file>

DESCRIPTION
    Reads <file>, UTF-16LE with a byte-order mark or UTF-8 with or without one, starting with
    "Windows Registry Editor Version 5.00" or "REGEDIT4", and applies it:
        [key]              create the key (and the keys above it)
        [-key]             delete the key with its subtree
        "name"=...         set a value of the latest [key]; @=... sets the default value
        "name"=-           delete the value
        ; text             a comment
    Value data is "text" (REG_SZ, with \\ and \" escapes), dword:xxxxxxxx, hex:bytes
    (REG_BINARY) or hex(n):bytes (type n, hexadecimal; string types as UTF-16LE, or 8-bit
    text in REGEDIT4 files), where bytes are comma-separated hexadecimal pairs and a line
    ending in "\" continues on the next.

    The whole file is read first: a malformed line is reported with its line number and
    nothing is applied. Then all of it is applied as one change: should the registry refuse
    any part, nothing of the file remains.

EXAMPLES
    tcdreg import talvaro.reg

EXIT STATUS
    0 when applied, 1 when the file cannot be read, is malformed, or the registry refused,
    2 for a command line that is not valid.
)HELP";

}  // namespace

std::string ErrorText(LONG code) {
  switch (static_cast<DWORD>(code)) {
    case ERROR_FILE_NOT_FOUND:
      return "The system was unable to find the specified registry key or value.";
    case ERROR_PATH_NOT_FOUND:
      return "The system cannot find the path specified.";
    case ERROR_ACCESS_DENIED:
      return "Access is denied.";
    case ERROR_INVALID_HANDLE:
      return "The handle is invalid.";
    case ERROR_NOT_ENOUGH_MEMORY:
      return "Not enough memory resources are available to process this command.";
    case ERROR_OUTOFMEMORY:
      return "Not enough memory resources are available to complete this operation.";
    case ERROR_INVALID_FUNCTION:
      return "Incorrect function.";
    case ERROR_NOT_SUPPORTED:
      return "The request is not supported.";
    case ERROR_INVALID_PARAMETER:
      return "The parameter is incorrect.";
    case ERROR_BAD_PATHNAME:
      return "The specified path is invalid.";
    case ERROR_MORE_DATA:
      return "More data is available.";
    case ERROR_NO_MORE_ITEMS:
      return "No more data is available.";
    case ERROR_BADDB:
      return "The configuration registry database is corrupt.";
    case ERROR_BADKEY:
      return "The configuration registry key is invalid.";
    case ERROR_CANTOPEN:
      return "The configuration registry key could not be opened.";
    case ERROR_CANTREAD:
      return "The configuration registry key could not be read.";
    case ERROR_CANTWRITE:
      return "The configuration registry key could not be written.";
    case ERROR_KEY_DELETED:
      return "Illegal operation attempted on a registry key that has been marked for deletion.";
    default:
      return "Error " + std::to_string(code) + ".";
  }
}

std::string HelpText(Operation operation) {
  switch (operation) {
    case Operation::kQuery:
      return kQuery;
    case Operation::kAdd:
      return kAdd;
    case Operation::kDelete:
      return kDelete;
    case Operation::kExport:
      return kExport;
    case Operation::kImport:
      return kImport;
    default:
      return kOverview;
  }
}

}  // namespace tcdreg
