// tcdctl's command line: global options, then a command and its arguments.
//
//   tcdctl [--json] [--app <name>] [--timeout <seconds>] <command> [<argument>...]
//   tcdctl --help | tcdctl <command> --help | tcdctl help [<command>]
// Options may also follow the command word; "--" ends them.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace tcdctl {

inline constexpr std::chrono::milliseconds kDefaultTimeout{30000};

enum class Verb { kNone, kUnits, kInfo, kSubItems, kOpen, kWrite, kWatch, kGeneric, kCreate, kActivate, kShutdown };

struct Command {
  Verb verb = Verb::kNone;
  bool help = false;                  // show the usage (of `verb`, when given)
  bool json = false;                  // one JSON object per line
  bool sharedMemory = false;          // open: through the shared-memory connector (--shm)
  std::string application = "tcdctl";  // the application name given to the server
  // How long a call may wait for the server's answer; zero waits while the server lives.
  std::chrono::milliseconds timeout{kDefaultTimeout};
  std::string unit;                   // info, subitems, open, write
  std::vector<std::uint8_t> data;     // write
  std::int32_t value = 0;             // write
  std::string firstText;              // generic (the command), create, activate, shutdown
  std::string secondText;             // create, activate, shutdown
};

struct ParsedCommandLine {
  Command command;
  std::string error;  // a usage error when not empty
};

// `args` without the program name.
ParsedCommandLine ParseCommandLine(const std::vector<std::string>& args);

// "units", "info", ...; empty for kNone.
std::string VerbName(Verb verb);

// `text` with its control characters as \xHH, for echoing what a user typed.
std::string Escaped(const std::string& text);

// A non-negative number of seconds, fractions allowed, at most a day.
bool ParseTimeout(const std::string& text, std::chrono::milliseconds* timeout);

// Pairs of hexadecimal digits, optionally after "0x"; "" is no bytes. Nothing for anything else.
bool ParseHex(const std::string& text, std::vector<std::uint8_t>* bytes);
// A signed 32-bit decimal, or "0x" and up to eight hexadecimal digits taken as the 32 bits.
bool ParseValue(const std::string& text, std::int32_t* value);

}  // namespace tcdctl
