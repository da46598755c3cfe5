#include "external/hardware/command_language.h"

#include <limits>

#include "platform/types/wide_string.h"

namespace OrbiqCommunicationLibrary::Simulator {
namespace {

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n'; }

int HexDigit(wchar_t c) {
  if (c >= L'0' && c <= L'9') return c - L'0';
  if (c >= L'a' && c <= L'f') return c - L'a' + 10;
  if (c >= L'A' && c <= L'F') return c - L'A' + 10;
  return -1;
}

bool HasHexPrefix(std::wstring_view text) {
  return text.size() >= 2 && text[0] == L'0' && (text[1] == L'x' || text[1] == L'X');
}

// A result code: any signed 32-bit decimal, or hex up to 0xFFFFFFFF taken as its 32 bits.
std::optional<E_ORBIQLIB_Result> ToResult(std::int64_t value, bool hex) {
  if (hex) {
    if (value < 0 || value > std::numeric_limits<std::uint32_t>::max()) return std::nullopt;
    return static_cast<E_ORBIQLIB_Result>(
        static_cast<std::int32_t>(static_cast<std::uint32_t>(value)));
  }
  if (value < std::numeric_limits<std::int32_t>::min() ||
      value > std::numeric_limits<std::int32_t>::max()) {
    return std::nullopt;
  }
  return static_cast<E_ORBIQLIB_Result>(static_cast<std::int32_t>(value));
}

// Parses `word` as a result code into `code`; the failure result otherwise.
E_ORBIQLIB_Result ParseCode(const std::wstring& word, E_ORBIQLIB_Result& code) {
  const auto number = ParseInteger(word);
  if (!number) return ORBIQLIB_E_BAD_COMMAND;
  // Unsigned hex gives the 32 bits as they are (0x8000FFFF); a sign means a signed value.
  const auto result = ToResult(*number, HasHexPrefix(word));
  if (!result) return ORBIQLIB_E_INVALID_ARGUMENT;
  code = *result;
  return ORBIQLIB_SUCCESS;
}

E_ORBIQLIB_Result ParseBytes(const std::vector<std::wstring>& words, std::size_t first,
                             std::vector<unsigned char>& bytes) {
  if (words.size() <= first) return ORBIQLIB_E_BAD_COMMAND;
  auto parsed = ParseHexBytes(
      std::vector<std::wstring>(words.begin() + static_cast<std::ptrdiff_t>(first), words.end()));
  if (!parsed) return ORBIQLIB_E_BAD_COMMAND;
  if (parsed->size() > kMaxCommandBytes) return ORBIQLIB_E_INVALID_ARGUMENT;
  bytes = std::move(*parsed);
  return ORBIQLIB_SUCCESS;
}

}  // namespace

std::vector<std::wstring> SplitWords(std::wstring_view line) {
  std::vector<std::wstring> words;
  std::size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && IsBlank(line[i])) ++i;
    const std::size_t begin = i;
    while (i < line.size() && !IsBlank(line[i])) ++i;
    if (i > begin) words.emplace_back(line.substr(begin, i - begin));
  }
  return words;
}

std::optional<std::vector<unsigned char>> ParseHexBytes(const std::vector<std::wstring>& words) {
  if (words.empty()) return std::nullopt;
  std::vector<unsigned char> bytes;
  for (const std::wstring& word : words) {
    std::wstring_view digits = word;
    if (HasHexPrefix(digits)) digits.remove_prefix(2);
    if (digits.empty() || digits.size() % 2 != 0) return std::nullopt;
    for (std::size_t i = 0; i < digits.size(); i += 2) {
      const int high = HexDigit(digits[i]);
      const int low = HexDigit(digits[i + 1]);
      if (high < 0 || low < 0) return std::nullopt;
      bytes.push_back(static_cast<unsigned char>(high * 16 + low));
    }
  }
  return bytes;
}

std::optional<std::int64_t> ParseInteger(std::wstring_view text) {
  bool negative = false;
  if (!text.empty() && (text[0] == L'-' || text[0] == L'+')) {
    negative = text[0] == L'-';
    text.remove_prefix(1);
  }
  int base = 10;
  if (HasHexPrefix(text)) {
    base = 16;
    text.remove_prefix(2);
  }
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  constexpr std::uint64_t kLimit = std::uint64_t{1} << 63;  // magnitude of the lowest int64
  for (wchar_t c : text) {
    const int digit = HexDigit(c);
    if (digit < 0 || digit >= base) return std::nullopt;
    if (value > (kLimit - static_cast<std::uint64_t>(digit)) / static_cast<std::uint64_t>(base)) {
      return std::nullopt;
    }
    value = value * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(digit);
  }
  if (negative) return value == kLimit ? std::numeric_limits<std::int64_t>::min()
                                       : -static_cast<std::int64_t>(value);
  if (value == kLimit) return std::nullopt;
  return static_cast<std::int64_t>(value);
}

std::wstring HelpText() {
  return L"XRB simulator commands (command words in any case, unit names exact):\n"
         L"  help                          this text\n"
         L"  list                          units, open drivers, recorded application commands\n"
         L"  writes                        the newest 100 writes that reached the argument checks\n"
         L"  data <unit> <hex>...          data block to every data observer of the unit\n"
         L"  burst <unit> <size> <count>   count blocks of size bytes, each starting with its\n"
         L"                                64-bit sequence number, as fast as the unit's drivers take them\n"
         L"  error <unit> <code>           OnError(code) to every data observer of the unit\n"
         L"  availability <unit> 0|1       set the unit's availability and tell its callbacks\n"
         L"  restrict <unit> <hex>...      restriction question to the unit's restriction observers\n"
         L"  open-result <unit> <code>     result of the next Open of the unit\n"
         L"  write-result <unit> <code>    result of the next write reaching the unit\n"
         L"  app-result <code>             result of the next application command\n"
         L"  period <unit>|* <ms>          status block period, 0 = none, at most 3600000\n"
         L"  periodic on|off               global switch of the periodic status blocks\n"
         L"<code>: signed 32-bit decimal, or 0x followed by up to 8 hex digits.\n"
         L"<hex>: pairs of hex digits, optionally 0x-prefixed, in one or more words.\n";
}

E_ORBIQLIB_Result ExecuteCommandLine(CommandTarget& target, std::wstring_view line,
                                     std::wstring& output) {
  output.clear();
  const std::vector<std::wstring> words = SplitWords(line);
  if (words.empty()) return ORBIQLIB_E_BAD_COMMAND;
  const std::wstring verb = platform::ToUpper(words[0]);
  const std::size_t argc = words.size() - 1;

  if (verb == L"HELP" && argc == 0) {
    output = HelpText();
    return ORBIQLIB_SUCCESS;
  }
  if (verb == L"LIST" && argc == 0) {
    output = target.Listing();
    return ORBIQLIB_SUCCESS;
  }
  if (verb == L"WRITES" && argc == 0) {
    output = target.WriteListing();
    return ORBIQLIB_SUCCESS;
  }
  if (verb == L"BURST" && argc == 3) {
    const auto size = ParseInteger(words[2]);
    const auto count = ParseInteger(words[3]);
    if (!size || !count) return ORBIQLIB_E_BAD_COMMAND;
    if (*size < 1 || *size > static_cast<std::int64_t>(kMaxBurstBytes) || *count < 1 || *count > kMaxBurstBlocks) {
      return ORBIQLIB_E_INVALID_ARGUMENT;
    }
    return target.InjectBurst(words[1], static_cast<std::size_t>(*size), static_cast<std::uint32_t>(*count));
  }
  if ((verb == L"DATA" || verb == L"RESTRICT") && argc >= 2) {
    std::vector<unsigned char> bytes;
    if (const auto parsed = ParseBytes(words, 2, bytes); parsed != ORBIQLIB_SUCCESS) return parsed;
    return verb == L"DATA" ? target.InjectData(words[1], std::move(bytes))
                           : target.AskRestriction(words[1], std::move(bytes));
  }
  if ((verb == L"ERROR" || verb == L"OPEN-RESULT" || verb == L"WRITE-RESULT") && argc == 2) {
    E_ORBIQLIB_Result code = ORBIQLIB_SUCCESS;
    if (const auto parsed = ParseCode(words[2], code); parsed != ORBIQLIB_SUCCESS) return parsed;
    if (verb == L"ERROR") return target.InjectError(words[1], code);
    if (verb == L"OPEN-RESULT") return target.SetNextOpenResult(words[1], code);
    return target.SetNextWriteResult(words[1], code);
  }
  if (verb == L"APP-RESULT" && argc == 1) {
    E_ORBIQLIB_Result code = ORBIQLIB_SUCCESS;
    if (const auto parsed = ParseCode(words[1], code); parsed != ORBIQLIB_SUCCESS) return parsed;
    return target.SetNextApplicationResult(code);
  }
  if (verb == L"AVAILABILITY" && argc == 2) {
    const auto state = ParseInteger(words[2]);
    if (!state) return ORBIQLIB_E_BAD_COMMAND;
    if (*state != 0 && *state != 1) return ORBIQLIB_E_INVALID_ARGUMENT;
    return target.SetAvailability(words[1], static_cast<std::int32_t>(*state));
  }
  if (verb == L"PERIOD" && argc == 2) {
    const auto period = ParseInteger(words[2]);
    if (!period) return ORBIQLIB_E_BAD_COMMAND;
    if (*period < 0 || *period > kMaxDataPeriodMs) return ORBIQLIB_E_INVALID_ARGUMENT;
    return target.SetDataPeriod(words[1], static_cast<std::uint32_t>(*period));
  }
  if (verb == L"PERIODIC" && argc == 1) {
    const std::wstring value = platform::ToUpper(words[1]);
    if (value == L"ON") return target.SetPeriodicData(true);
    if (value == L"OFF") return target.SetPeriodicData(false);
    return ORBIQLIB_E_BAD_COMMAND;
  }
  return ORBIQLIB_E_BAD_COMMAND;
}

}  // namespace OrbiqCommunicationLibrary::Simulator
