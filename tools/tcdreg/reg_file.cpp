#include "tools/tcdreg/reg_file.h"

#include <cwctype>
#include <optional>
#include <utility>

#include "platform/types/wide_string.h"

namespace tcdreg {
namespace {

constexpr std::wstring_view kHeader5 = L"Windows Registry Editor Version 5.00";
constexpr std::wstring_view kHeader4 = L"REGEDIT4";
constexpr std::size_t kLineWidth = 80;

std::wstring_view Trim(std::wstring_view text) {
  while (!text.empty() && (text.front() == L' ' || text.front() == L'\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == L' ' || text.back() == L'\t')) text.remove_suffix(1);
  return text;
}

std::vector<std::wstring_view> SplitLines(std::wstring_view text) {
  std::vector<std::wstring_view> lines;
  std::size_t start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == L'\r' || text[i] == L'\n') {
      lines.push_back(text.substr(start, i - start));
      if (text[i] == L'\r' && i + 1 < text.size() && text[i + 1] == L'\n') ++i;
      start = i + 1;
    }
  }
  if (start < text.size()) lines.push_back(text.substr(start));
  return lines;
}

bool StartsWithIgnoreCase(std::wstring_view text, std::wstring_view prefix) {
  return text.size() >= prefix.size() &&
         platform::EqualsIgnoreCase(text.substr(0, prefix.size()), prefix);
}

std::wstring Escape(std::wstring_view text) {
  std::wstring escaped;
  escaped.reserve(text.size());
  for (wchar_t c : text) {
    if (c == L'\\' || c == L'"') escaped.push_back(L'\\');
    escaped.push_back(c);
  }
  return escaped;
}

// Reads a quoted string starting at text[*pos] == '"'; \\ and \" are escapes, any other
// backslash stands for itself. Leaves *pos after the closing quote.
bool ReadQuoted(std::wstring_view text, std::size_t* pos, std::wstring* out) {
  out->clear();
  for (std::size_t i = *pos + 1; i < text.size(); ++i) {
    const wchar_t c = text[i];
    if (c == L'\\' && i + 1 < text.size() && (text[i + 1] == L'\\' || text[i + 1] == L'"')) {
      out->push_back(text[++i]);
    } else if (c == L'"') {
      *pos = i + 1;
      return true;
    } else {
      out->push_back(c);
    }
  }
  return false;
}

// A key path as a .reg line names it; the same rules as the registry's own.
bool CheckKeyPath(const KeyName& key, std::wstring* problem) {
  if (key.subKey.empty()) return true;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = key.subKey.find(L'\\', start);
    const std::size_t length = (end == std::wstring::npos ? key.subKey.size() : end) - start;
    if (length == 0) {
      *problem = L"The key path has an empty component.";
      return false;
    }
    if (key.subKey.find(L'\0', start) < start + length) {
      *problem = L"A key name contains a NUL character.";
      return false;
    }
    if (length > REGISTRY_MAX_KEY_NAME) {
      *problem = L"A key name is longer than 255 characters.";
      return false;
    }
    if (end == std::wstring::npos) return true;
    start = end + 1;
  }
}

class Parser {
 public:
  Parser(std::vector<std::wstring_view> lines, std::vector<RegFileOperation>* operations)
      : lines_(std::move(lines)), operations_(operations) {}

  bool Run(RegFileError* error) {
    for (index_ = 0; index_ < lines_.size(); ++index_) {
      const std::wstring_view line = Trim(lines_[index_]);
      std::wstring problem;
      if (!ParseLine(line, &problem)) {
        error->line = static_cast<int>(index_) + 1;
        error->message = problem;
        return false;
      }
    }
    if (version_ == 0) {
      error->line = 1;
      error->message = L"The file is empty: it has no \"Windows Registry Editor Version 5.00\" "
                       L"or \"REGEDIT4\" line.";
      return false;
    }
    return true;
  }

 private:
  bool ParseLine(std::wstring_view line, std::wstring* problem) {
    if (version_ == 0) {
      if (line.empty()) return true;
      if (line == kHeader5) {
        version_ = 5;
      } else if (line == kHeader4) {
        version_ = 4;
      } else {
        *problem = L"The file does not begin with \"Windows Registry Editor Version 5.00\" or "
                   L"\"REGEDIT4\".";
        return false;
      }
      return true;
    }
    if (line.empty() || line.front() == L';') return true;
    if (line.front() == L'[') return ParseKeyLine(line, problem);
    if (line.front() == L'"' || line.front() == L'@') return ParseValueLine(line, problem);
    *problem = L"The line is neither a [key], a value nor a comment.";
    return false;
  }

  bool ParseKeyLine(std::wstring_view line, std::wstring* problem) {
    if (line.back() != L']' || line.size() < 2) {
      *problem = L"A key line must end with ']'.";
      return false;
    }
    std::wstring_view inner = line.substr(1, line.size() - 2);
    const bool remove = !inner.empty() && inner.front() == L'-';
    if (remove) inner.remove_prefix(1);
    const auto key = ParseKeyName(inner);
    if (!key) {
      *problem = L"Unknown root key; use HKEY_LOCAL_MACHINE or HKEY_CLASSES_ROOT.";
      return false;
    }
    if (!CheckKeyPath(*key, problem)) return false;
    RegFileOperation operation;
    operation.key = *key;
    operation.line = static_cast<int>(index_) + 1;
    if (remove) {
      if (key->subKey.empty()) {
        *problem = L"A root key cannot be deleted.";
        return false;
      }
      operation.kind = RegFileOperation::Kind::kDeleteKey;
      current_.reset();
      skipping_ = true;
    } else {
      operation.kind = RegFileOperation::Kind::kCreateKey;
      current_ = *key;
      skipping_ = false;
    }
    operations_->push_back(std::move(operation));
    return true;
  }

  bool ParseValueLine(std::wstring_view line, std::wstring* problem) {
    if (!current_ && !skipping_) {
      *problem = L"A value line must follow a [key] line.";
      return false;
    }
    RegFileOperation operation;
    operation.line = static_cast<int>(index_) + 1;
    std::size_t pos = 0;
    if (line.front() == L'@') {
      pos = 1;
    } else if (!ReadQuoted(line, &pos, &operation.value.name)) {
      *problem = L"The value name has no closing quote.";
      return false;
    } else if (operation.value.name.size() > REGISTRY_MAX_VALUE_NAME) {
      *problem = L"The value name is longer than 16383 characters.";
      return false;
    } else if (operation.value.name.find(L'\0') != std::wstring::npos) {
      *problem = L"The value name contains a NUL character.";
      return false;
    }
    std::wstring_view rest = Trim(line.substr(pos));
    if (rest.empty() || rest.front() != L'=') {
      *problem = L"Expected '=' after the value name.";
      return false;
    }
    rest = Trim(rest.substr(1));
    if (!ParseData(rest, &operation, problem)) return false;
    if (skipping_) return true;
    operation.key = *current_;
    operations_->push_back(std::move(operation));
    return true;
  }

  bool ParseData(std::wstring_view data, RegFileOperation* operation, std::wstring* problem) {
    Value& value = operation->value;
    if (data == L"-") {
      operation->kind = RegFileOperation::Kind::kDeleteValue;
      return true;
    }
    operation->kind = RegFileOperation::Kind::kSetValue;
    if (!data.empty() && data.front() == L'"') {
      std::size_t pos = 0;
      std::wstring text;
      if (!ReadQuoted(data, &pos, &text)) {
        *problem = L"The string has no closing quote.";
        return false;
      }
      if (!Trim(data.substr(pos)).empty()) {
        *problem = L"Unexpected text after the closing quote.";
        return false;
      }
      value.type = REG_SZ;
      value.data = UnitBytes(text + L'\0');
      return true;
    }
    if (StartsWithIgnoreCase(data, L"dword:")) {
      const std::wstring_view digits = data.substr(6);
      if (digits.empty() || digits.size() > 8) {
        *problem = L"dword: must be followed by 1 to 8 hexadecimal digits.";
        return false;
      }
      std::uint32_t number = 0;
      for (wchar_t c : digits) {
        const int digit = HexValue(c);
        if (digit < 0) {
          *problem = L"dword: must be followed by 1 to 8 hexadecimal digits.";
          return false;
        }
        number = number * 16 + static_cast<std::uint32_t>(digit);
      }
      value.type = REG_DWORD;
      value.data.assign(4, '\0');
      for (int i = 0; i < 4; ++i) value.data[i] = static_cast<char>((number >> (8 * i)) & 0xFF);
      return true;
    }
    if (StartsWithIgnoreCase(data, L"hex")) return ParseHex(data.substr(3), &value, problem);
    *problem = L"Unrecognised value data: expected \"text\", dword:, hex:, hex(n): or -.";
    return false;
  }

  bool ParseHex(std::wstring_view data, Value* value, std::wstring* problem) {
    value->type = REG_BINARY;
    if (!data.empty() && data.front() == L'(') {
      const std::size_t close = data.find(L')');
      std::uint64_t type = 0;
      const std::wstring_view digits =
          close == std::wstring_view::npos ? std::wstring_view() : data.substr(1, close - 1);
      bool valid = !digits.empty() && digits.size() <= 8;
      for (wchar_t c : digits) {
        const int digit = HexValue(c);
        valid = valid && digit >= 0;
        type = type * 16 + static_cast<std::uint64_t>(digit < 0 ? 0 : digit);
      }
      if (!valid) {
        *problem = L"hex( must be followed by a hexadecimal type number and ')'.";
        return false;
      }
      value->type = static_cast<DWORD>(type);
      data.remove_prefix(close + 1);
    }
    if (data.empty() || data.front() != L':') {
      *problem = L"Expected ':' after hex or hex(n).";
      return false;
    }
    // Join the continuation lines: each one but the last ends with a backslash.
    std::wstring joined(Trim(data.substr(1)));
    while (!joined.empty() && joined.back() == L'\\') {
      joined.pop_back();
      if (index_ + 1 >= lines_.size()) {
        *problem = L"The file ends inside continued hex data.";
        return false;
      }
      joined += Trim(lines_[++index_]);
    }
    std::string bytes;
    std::size_t start = 0;
    const std::wstring_view list = Trim(joined);
    while (start < list.size()) {
      std::size_t comma = list.find(L',', start);
      if (comma == std::wstring_view::npos) comma = list.size();
      const std::wstring_view token = Trim(list.substr(start, comma - start));
      const bool last = comma == list.size();
      if (token.empty() && last) break;
      if (token.empty() || token.size() > 2 || HexValue(token[0]) < 0 ||
          (token.size() == 2 && HexValue(token[1]) < 0)) {
        *problem = L"Hex data must be bytes of one or two hexadecimal digits, separated by commas.";
        return false;
      }
      int byte = HexValue(token[0]);
      if (token.size() == 2) byte = byte * 16 + HexValue(token[1]);
      bytes.push_back(static_cast<char>(byte));
      start = comma + 1;
    }
    if (!IsStringType(value->type)) {
      value->data = std::move(bytes);
      return true;
    }
    std::wstring units;
    if (version_ == 4) {
      units = platform::FromUtf8(bytes);
    } else if (!FromUtf16Le(bytes, &units)) {
      *problem = L"String data in hex(" + std::to_wstring(value->type) +
                 L") form must be UTF-16LE: an even number of bytes and no lone surrogate.";
      return false;
    }
    value->data = UnitBytes(units);
    return true;
  }

  std::vector<std::wstring_view> lines_;
  std::vector<RegFileOperation>* operations_;
  std::size_t index_ = 0;
  int version_ = 0;
  std::optional<KeyName> current_;
  bool skipping_ = false;  // after [-key]: its value lines go nowhere
};

std::wstring LowerHexDigits(std::string_view bytes) {
  std::wstring digits = HexDigits(bytes);
  for (auto& c : digits) c = static_cast<wchar_t>(std::towlower(c));
  return digits;
}

// REG_SZ data that "text" holds exactly: one terminator at the end, no other NUL, no line break.
bool FitsQuotedForm(const std::wstring& units) {
  if (units.empty() || units.back() != L'\0') return false;
  return units.find_first_of(std::wstring_view(L"\0\r\n", 3)) == units.size() - 1;
}

}  // namespace

bool ParseRegFile(std::string_view bytes, std::vector<RegFileOperation>* operations,
                  RegFileError* error) {
  operations->clear();
  std::wstring text;
  if (bytes.size() >= 2 && bytes[0] == '\xFF' && bytes[1] == '\xFE') {
    if (!FromUtf16Le(bytes.substr(2), &text)) {
      error->line = 1;
      error->message = L"The file starts as UTF-16LE but is not valid UTF-16LE.";
      return false;
    }
  } else {
    if (bytes.size() >= 3 && bytes.substr(0, 3) == "\xEF\xBB\xBF") bytes.remove_prefix(3);
    text = platform::FromUtf8(bytes);
  }
  return Parser(SplitLines(text), operations).Run(error);
}

std::wstring FormatRegValue(const Value& value) {
  std::wstring line = value.name.empty() ? L"@=" : L"\"" + Escape(value.name) + L"\"=";
  const std::wstring units = IsStringType(value.type) ? BytesToUnits(value.data) : std::wstring();
  if (value.type == REG_SZ && FitsQuotedForm(units)) {
    return line + L"\"" + Escape(std::wstring_view(units).substr(0, units.size() - 1)) + L"\"";
  }
  if (value.type == REG_DWORD && value.data.size() == 4) {
    return line + L"dword:" + LowerHexDigits(std::string(value.data.rbegin(), value.data.rend()));
  }
  line += value.type == REG_BINARY ? L"hex:" : L"hex(" + LowerHex(value.type) + L"):";
  const std::string bytes = IsStringType(value.type) ? ToUtf16Le(units) : value.data;
  // Bytes as "xx," pieces; a line that would pass the width (with its backslash) continues on
  // the next one, indented by two spaces.
  std::size_t column = line.size();
  bool pieceOnLine = false;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    std::wstring piece = LowerHexDigits(std::string_view(&bytes[i], 1));
    if (i + 1 < bytes.size()) piece += L',';
    if (pieceOnLine && column + piece.size() + 1 > kLineWidth) {
      line += L"\\\r\n  ";
      column = 2;
    }
    line += piece;
    column += piece.size();
    pieceOnLine = true;
  }
  return line;
}

RegFileWriter::RegFileWriter() : text_(std::wstring(kHeader5) + L"\r\n") {}

void RegFileWriter::BeginKey(const std::wstring& path) { text_ += L"\r\n[" + path + L"]\r\n"; }

void RegFileWriter::AddValue(const Value& value) { text_ += FormatRegValue(value) + L"\r\n"; }

std::string RegFileWriter::Finish() const { return "\xFF\xFE" + ToUtf16Le(text_ + L"\r\n"); }

}  // namespace tcdreg
