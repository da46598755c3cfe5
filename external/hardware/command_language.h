// The simulator's command language, taken by every driver's GenericCommand (in practice the
// proxy's own driver, reached by clients through IXRBGeneric::SendGenericCommand).
//
// One command per text; words separated by blanks; the command word is case-insensitive, unit
// names are exact. See HelpText() and docs/simulator.md. Results: 0, ORBIQLIB_E_BAD_COMMAND
// (unknown command, missing or extra words, malformed number or hex), ORBIQLIB_E_INVALID_ARGUMENT
// (a well-formed number out of its range), or the result of the operation that ran.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "external/hardware/orbiq_result.h"

namespace OrbiqCommunicationLibrary::Simulator {

// Largest data block a command may carry.
inline constexpr std::size_t kMaxCommandBytes = 65536;
// Largest block and most blocks of a burst.
inline constexpr std::size_t kMaxBurstBytes = 16 * 1024 * 1024;
inline constexpr std::uint32_t kMaxBurstBlocks = 10000000;
// Largest data period a command may set (one hour).
inline constexpr std::uint32_t kMaxDataPeriodMs = 3600000;

// What the commands act on; implemented by the simulator.
class CommandTarget {
 public:
  virtual E_ORBIQLIB_Result InjectData(const std::wstring& unit, std::vector<unsigned char> data) = 0;
  virtual E_ORBIQLIB_Result InjectBurst(const std::wstring& unit, std::size_t size, std::uint32_t count) = 0;
  virtual E_ORBIQLIB_Result InjectError(const std::wstring& unit, E_ORBIQLIB_Result code) = 0;
  virtual E_ORBIQLIB_Result SetAvailability(const std::wstring& unit, std::int32_t state) = 0;
  virtual E_ORBIQLIB_Result AskRestriction(const std::wstring& unit,
                                           std::vector<unsigned char> data) = 0;
  virtual E_ORBIQLIB_Result SetNextOpenResult(const std::wstring& unit, E_ORBIQLIB_Result result) = 0;
  virtual E_ORBIQLIB_Result SetNextWriteResult(const std::wstring& unit,
                                               E_ORBIQLIB_Result result) = 0;
  virtual E_ORBIQLIB_Result SetNextApplicationResult(E_ORBIQLIB_Result result) = 0;
  virtual E_ORBIQLIB_Result SetDataPeriod(const std::wstring& unit, std::uint32_t periodMs) = 0;
  virtual E_ORBIQLIB_Result SetPeriodicData(bool enabled) = 0;
  virtual std::wstring Listing() = 0;
  virtual std::wstring WriteListing() = 0;

 protected:
  ~CommandTarget() = default;
};

// Runs one command. `output` receives the text of "list", "writes" and "help" and is cleared
// otherwise.
E_ORBIQLIB_Result ExecuteCommandLine(CommandTarget& target, std::wstring_view line,
                                     std::wstring& output);

// The text of "help".
std::wstring HelpText();

// Words of a command line, split at blanks (space, tab, CR, LF).
std::vector<std::wstring> SplitWords(std::wstring_view line);

// Bytes of hex words: each word an even number of hex digits, optionally prefixed "0x"; the
// words are concatenated. Empty for no words or any malformed word.
std::optional<std::vector<unsigned char>> ParseHexBytes(const std::vector<std::wstring>& words);

// A signed decimal number ("-12", "+7") or a hexadecimal one ("0x1F", any case). Empty when
// malformed or beyond 64 bits.
std::optional<std::int64_t> ParseInteger(std::wstring_view text);

}  // namespace OrbiqCommunicationLibrary::Simulator
