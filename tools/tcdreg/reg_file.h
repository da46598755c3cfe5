// The .reg text format: reading a whole file into a list of operations, and writing one.
//
// Written files are "Windows Registry Editor Version 5.00" files in UTF-16LE with a byte-order
// mark and CRLF line ends: "[key]" sections, "name"=... and @=... lines, string values as
// "text" when that form holds them exactly, dword:xxxxxxxx, and hex:/hex(n): byte lists (string
// types as their UTF-16LE bytes) wrapped at 80 columns with "\" continuations.
// Read files may also be UTF-8 with or without a byte-order mark, and "REGEDIT4" files (whose
// hex(n) string data is 8-bit text, taken as UTF-8).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "tools/tcdreg/reg_data.h"

namespace tcdreg {

struct RegFileOperation {
  enum class Kind { kDeleteKey, kCreateKey, kSetValue, kDeleteValue };
  Kind kind = Kind::kCreateKey;
  KeyName key;
  Value value;  // kSetValue: name, type and data; kDeleteValue: the name
  int line = 0;
};

struct RegFileError {
  int line = 0;
  std::wstring message;
};

// Parses all of `bytes`; on the first malformed line returns false with its number and what is
// wrong, and `operations` is to be ignored. Values after a "[-key]" line belong to no key and
// are skipped, as the standard tool does.
bool ParseRegFile(std::string_view bytes, std::vector<RegFileOperation>* operations,
                  RegFileError* error);

// One value line as written (no line end; continuation lines joined by "\\\r\n  ").
std::wstring FormatRegValue(const Value& value);

class RegFileWriter {
 public:
  RegFileWriter();
  void BeginKey(const std::wstring& path);
  void AddValue(const Value& value);
  // The file's bytes: byte-order mark and UTF-16LE text.
  std::string Finish() const;

 private:
  std::wstring text_;
};

}  // namespace tcdreg
