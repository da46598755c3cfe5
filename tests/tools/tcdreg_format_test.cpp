// tcdreg's pure units: key names, command-line data, query text, the .reg format and the
// command line. No registry involved.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/types/wide_string.h"
#include "tools/tcdreg/command_line.h"
#include "tools/tcdreg/reg_data.h"
#include "tools/tcdreg/reg_file.h"

namespace tcdreg {
namespace {

std::string Units(const std::wstring& units) { return UnitBytes(units); }

std::wstring Decode(const std::string& fileBytes) {
  std::wstring text;
  EXPECT_TRUE(FromUtf16Le(fileBytes.substr(2), &text));
  return text;
}

TEST(TcdregData, KeyNamesNeedAKnownRoot) {
  auto key = ParseKeyName(L"hklm\\SOFTWARE\\X\\\\");
  ASSERT_TRUE(key);
  EXPECT_EQ(key->root, HKEY_LOCAL_MACHINE);
  EXPECT_EQ(key->Display(), L"HKEY_LOCAL_MACHINE\\SOFTWARE\\X");
  key = ParseKeyName(L"HKEY_CLASSES_ROOT");
  ASSERT_TRUE(key);
  EXPECT_EQ(key->root, HKEY_CLASSES_ROOT);
  EXPECT_TRUE(key->subKey.empty());
  EXPECT_TRUE(ParseKeyName(L"HKCR\\CLSID"));
  EXPECT_FALSE(ParseKeyName(L"HKCU\\Software"));
  EXPECT_FALSE(ParseKeyName(L"SOFTWARE\\X"));
  EXPECT_FALSE(ParseKeyName(L""));
}

TEST(TcdregData, CommandLineDataOfEveryType) {
  std::string bytes;
  EXPECT_EQ(ParseCommandData(REG_SZ, L"h\u00E9", L"", &bytes), L"");
  EXPECT_EQ(bytes, Units(std::wstring(L"h\u00E9") + L'\0'));
  EXPECT_EQ(ParseCommandData(REG_DWORD, L"4294967295", L"", &bytes), L"");
  EXPECT_EQ(bytes, std::string("\xFF\xFF\xFF\xFF", 4));
  EXPECT_EQ(ParseCommandData(REG_DWORD, L"0x1A", L"", &bytes), L"");
  EXPECT_EQ(bytes, std::string("\x1A\0\0\0", 4));
  EXPECT_NE(ParseCommandData(REG_DWORD, L"4294967296", L"", &bytes), L"");
  EXPECT_NE(ParseCommandData(REG_DWORD, L"-1", L"", &bytes), L"");
  EXPECT_NE(ParseCommandData(REG_DWORD, L"", L"", &bytes), L"");
  EXPECT_NE(ParseCommandData(REG_DWORD, L"0x", L"", &bytes), L"");
  EXPECT_EQ(ParseCommandData(REG_QWORD, L"0xFFFFFFFFFFFFFFFF", L"", &bytes), L"");
  EXPECT_EQ(bytes, std::string(8, '\xFF'));
  EXPECT_NE(ParseCommandData(REG_QWORD, L"18446744073709551616", L"", &bytes), L"");
  EXPECT_EQ(ParseCommandData(REG_BINARY, L"abc", L"", &bytes), L"");  // odd: leading zero
  EXPECT_EQ(bytes, std::string("\x0A\xBC", 2));
  EXPECT_NE(ParseCommandData(REG_NONE, L"0g", L"", &bytes), L"");

  // REG_MULTI_SZ: \0 between items by default, or one given character.
  EXPECT_EQ(ParseCommandData(REG_MULTI_SZ, L"a\\0b\\0c", L"", &bytes), L"");
  EXPECT_EQ(bytes, Units(std::wstring{L'a', 0, L'b', 0, L'c', 0, 0}));
  EXPECT_EQ(ParseCommandData(REG_MULTI_SZ, L"a,b,", L",", &bytes), L"");
  EXPECT_EQ(bytes, Units(std::wstring{L'a', 0, L'b', 0, 0}));
  EXPECT_EQ(ParseCommandData(REG_MULTI_SZ, L"", L"", &bytes), L"");
  EXPECT_EQ(bytes, Units(std::wstring{0}));
  EXPECT_NE(ParseCommandData(REG_MULTI_SZ, L"a\\0\\0b", L"", &bytes), L"");
  EXPECT_NE(ParseCommandData(REG_MULTI_SZ, L",a", L",", &bytes), L"");
}

TEST(TcdregData, QueryTextOfEveryType) {
  EXPECT_EQ(FormatData({L"", REG_SZ, Units(std::wstring(L"x y") + L'\0')}), L"x y");
  EXPECT_EQ(FormatData({L"", REG_EXPAND_SZ, Units(L"%P%")}), L"%P%");
  EXPECT_EQ(FormatData({L"", REG_MULTI_SZ, Units(std::wstring{L'a', 0, 0, L'b', 0, 0})}),
            L"a\\0\\0b");
  EXPECT_EQ(FormatData({L"", REG_DWORD, std::string("\x10\x01\0\0", 4)}), L"0x110");
  EXPECT_EQ(FormatData({L"", REG_QWORD, std::string("\0\0\0\0\x01\0\0\0", 8)}), L"0x100000000");
  EXPECT_EQ(FormatData({L"", REG_DWORD, std::string("\x01\x02", 2)}), L"0102");
  EXPECT_EQ(FormatData({L"", REG_BINARY, std::string("\x00\xAB", 2)}), L"00AB");
  EXPECT_EQ(FormatData({L"", REG_NONE, {}}), L"");
  EXPECT_EQ(TypeName(REG_QWORD), L"REG_QWORD");
  EXPECT_EQ(TypeName(6), L"0x6");
  EXPECT_EQ(ParseTypeName(L"reg_expand_sz"), REG_EXPAND_SZ);
  EXPECT_FALSE(ParseTypeName(L"REG_LINK"));
}

TEST(TcdregRegFile, WritesTheStandardFormat) {
  RegFileWriter writer;
  writer.BeginKey(L"HKEY_LOCAL_MACHINE\\SOFTWARE\\A");
  writer.AddValue({L"", REG_SZ, Units(std::wstring(L"C:\\dir \"q\"") + L'\0')});
  writer.AddValue({L"d", REG_DWORD, std::string("\x0A\0\0\0", 4)});
  writer.AddValue({L"q", REG_QWORD, std::string("\x01\x02\x03\x04\x05\x06\x07\x08", 8)});
  writer.AddValue({L"e", REG_EXPAND_SZ, Units(std::wstring(L"%A%") + L'\0')});
  writer.AddValue({L"n", REG_NONE, {}});
  writer.BeginKey(L"HKEY_LOCAL_MACHINE\\SOFTWARE\\A\\B");
  const std::string bytes = writer.Finish();
  ASSERT_GE(bytes.size(), 2u);
  EXPECT_EQ(bytes.substr(0, 2), "\xFF\xFE");
  EXPECT_EQ(Decode(bytes),
            L"Windows Registry Editor Version 5.00\r\n"
            L"\r\n"
            L"[HKEY_LOCAL_MACHINE\\SOFTWARE\\A]\r\n"
            L"@=\"C:\\\\dir \\\"q\\\"\"\r\n"
            L"\"d\"=dword:0000000a\r\n"
            L"\"q\"=hex(b):01,02,03,04,05,06,07,08\r\n"
            L"\"e\"=hex(2):25,00,41,00,25,00,00,00\r\n"
            L"\"n\"=hex(0):\r\n"
            L"\r\n"
            L"[HKEY_LOCAL_MACHINE\\SOFTWARE\\A\\B]\r\n"
            L"\r\n");
}

TEST(TcdregRegFile, LongHexDataWrapsAt80Columns) {
  const std::string data(200, '\x5A');
  const std::wstring line = FormatRegValue({L"a rather long value name", REG_BINARY, data});
  std::size_t start = 0, lines = 0, bytesSeen = 0;
  while (start <= line.size()) {
    std::size_t end = line.find(L"\r\n", start);
    if (end == std::wstring::npos) end = line.size();
    const std::wstring part = line.substr(start, end - start);
    EXPECT_LE(part.size(), 80u) << part;
    if (end != line.size()) {
      EXPECT_EQ(part.back(), L'\\');
    }
    for (std::size_t i = 0; i + 1 < part.size(); ++i) bytesSeen += part.compare(i, 2, L"5a") == 0;
    ++lines;
    start = end + 2;
  }
  EXPECT_GT(lines, 2u);
  EXPECT_EQ(bytesSeen, data.size());
}

// Every kind of value goes through the writer and back through the reader unchanged.
TEST(TcdregRegFile, EveryValueSurvivesWritingAndReading) {
  const std::vector<Value> values = {
      {L"", REG_SZ, Units(std::wstring(L"default") + L'\0')},
      {L"quote\"and\\slash", REG_SZ, Units(std::wstring(L"a\\\"b\"") + L'\0')},
      {L"unterminated", REG_SZ, Units(L"abc")},
      {L"embedded", REG_SZ, Units(std::wstring{L'a', 0, L'b', 0})},
      {L"lines", REG_SZ, Units(std::wstring(L"one\r\ntwo") + L'\0')},
      {L"empty", REG_SZ, {}},
      {L"\u00FCml\u00E4ut \u0434", REG_SZ,
       Units(std::wstring{L'\u00E9', static_cast<wchar_t>(0x1F600), L'\u4E2D', 0})},
      {L"expand", REG_EXPAND_SZ, Units(std::wstring(L"%SystemRoot%\\x") + L'\0')},
      {L"multi", REG_MULTI_SZ,
       Units(std::wstring{L'a', 0, 0, L'\u00DF', static_cast<wchar_t>(0x10348), 0, 0})},
      {L"dword", REG_DWORD, std::string("\xEF\xBE\xAD\xDE", 4)},
      {L"short dword", REG_DWORD, std::string("\x01", 1)},
      {L"qword", REG_QWORD, std::string("\x00\x01\x02\x03\x04\x05\x06\xFF", 8)},
      {L"binary", REG_BINARY, std::string(300, '\x7F') + std::string(1, '\0')},
      {L"none", REG_NONE, std::string("\x00\x01", 2)},
      {L"link", 6, std::string("\x02", 1)},
  };
  RegFileWriter writer;
  writer.BeginKey(L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Round \u00C4\\[Trip]");
  for (const auto& value : values) writer.AddValue(value);

  std::vector<RegFileOperation> operations;
  RegFileError error;
  ASSERT_TRUE(ParseRegFile(writer.Finish(), &operations, &error))
      << error.line << ": " << platform::ToUtf8(error.message);
  ASSERT_EQ(operations.size(), values.size() + 1);
  EXPECT_EQ(operations[0].kind, RegFileOperation::Kind::kCreateKey);
  EXPECT_EQ(operations[0].key.subKey, L"SOFTWARE\\Round \u00C4\\[Trip]");
  for (std::size_t i = 0; i < values.size(); ++i) {
    const auto& read = operations[i + 1];
    EXPECT_EQ(read.kind, RegFileOperation::Kind::kSetValue);
    EXPECT_EQ(read.value.name, values[i].name) << i;
    EXPECT_EQ(read.value.type, values[i].type) << i;
    EXPECT_EQ(read.value.data, values[i].data) << platform::ToUtf8(values[i].name);
  }
}

TEST(TcdregRegFile, ReadsUtf8Regedit4CommentsDeletionsAndContinuations) {
  const std::string file =
      "\xEF\xBB\xBFREGEDIT4\n"
      "; a comment\n"
      "\n"
      "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Old]\n"
      "\"ignored\"=\"after a deletion\"\n"
      "[HKLM\\SOFTWARE\\Caf\xC3\xA9]\r\n"
      "\"gone\"=-\n"
      "\"s\" = \"x\"\n"
      "\"e\"=hex(2):41,c3,a9,00\n"
      "\"b\"=hex:01,02,\\\n"
      "    03,04\n"
      "@=dword:FF\n";
  std::vector<RegFileOperation> operations;
  RegFileError error;
  ASSERT_TRUE(ParseRegFile(file, &operations, &error)) << platform::ToUtf8(error.message);
  ASSERT_EQ(operations.size(), 7u);
  EXPECT_EQ(operations[0].kind, RegFileOperation::Kind::kDeleteKey);
  EXPECT_EQ(operations[0].key.subKey, L"SOFTWARE\\Old");
  EXPECT_EQ(operations[1].kind, RegFileOperation::Kind::kCreateKey);
  EXPECT_EQ(operations[1].key.subKey, L"SOFTWARE\\Caf\u00E9");
  EXPECT_EQ(operations[2].kind, RegFileOperation::Kind::kDeleteValue);
  EXPECT_EQ(operations[2].value.name, L"gone");
  EXPECT_EQ(operations[3].value.data, Units(std::wstring(L"x") + L'\0'));
  EXPECT_EQ(operations[4].value.type, REG_EXPAND_SZ);
  EXPECT_EQ(operations[4].value.data, Units(std::wstring(L"A\u00E9") + L'\0'));  // 8-bit text
  EXPECT_EQ(operations[5].value.data, std::string("\x01\x02\x03\x04", 4));
  EXPECT_EQ(operations[5].line, 10);
  EXPECT_EQ(operations[6].value.name, L"");
  EXPECT_EQ(operations[6].value.data, std::string("\xFF\0\0\0", 4));
}

TEST(TcdregRegFile, MalformedFilesNameTheirLine) {
  const std::string header = "Windows Registry Editor Version 5.00\n\n[HKLM\\SOFTWARE\\X]\n";
  const struct {
    std::string file;
    int line;
  } cases[] = {
      {"", 1},
      {"\n\nWindows Registry Editor Version 4.00\n", 3},
      {"REGEDIT4\n\"v\"=\"value before any key\"\n", 2},
      {"REGEDIT4\n[HKEY_CURRENT_USER\\X]\n", 2},
      {"REGEDIT4\n[HKLM\\A\\\\B]\n", 2},
      {"REGEDIT4\n[HKLM\\A\n", 2},
      {"REGEDIT4\n[-HKLM]\n", 2},
      {header + "\"v\"=dword:123456789\n", 4},
      {header + "\"v\"=dword:xyz\n", 4},
      {header + "\"v\"=\"unterminated\n", 4},
      {header + "\"v\"=\"text\" more\n", 4},
      {header + "\"v\"\"x\"\n", 4},
      {header + "\"v=\"x\"\n", 4},
      {header + "\"v\"=hex:01,2g\n", 4},
      {header + "\"v\"=hex:01,,02\n", 4},
      {header + "\"v\"=hex(7):41,00,00\n", 4},
      {header + "\"v\"=hex(z):00\n", 4},
      {header + "\"v\"=str:\"x\"\n", 4},
      {header + "\n\"ok\"=\"fine\"\n\"v\"=hex:01,\\\n", 6},
      {header + "garbage\n", 4},
  };
  for (const auto& c : cases) {
    std::vector<RegFileOperation> operations;
    RegFileError error;
    EXPECT_FALSE(ParseRegFile(c.file, &operations, &error)) << c.file;
    EXPECT_EQ(error.line, c.line) << c.file;
    EXPECT_FALSE(error.message.empty());
  }
  // Damaged UTF-16: a lone surrogate.
  std::vector<RegFileOperation> operations;
  RegFileError error;
  EXPECT_FALSE(ParseRegFile(std::string("\xFF\xFE\x00\xD8", 4), &operations, &error));
}

TEST(TcdregCommandLine, SwitchesAndPositionals) {
  auto parsed = ParseCommandLine({"ADD", "HKLM\\X", "-V", "name", "/t", "REG_DWORD", "/D", "5",
                                  "/f"});
  ASSERT_EQ(parsed.error, "");
  EXPECT_EQ(parsed.command.operation, Operation::kAdd);
  EXPECT_EQ(parsed.command.key, L"HKLM\\X");
  EXPECT_EQ(parsed.command.valueName, L"name");
  EXPECT_EQ(parsed.command.type, L"REG_DWORD");
  EXPECT_EQ(parsed.command.data, L"5");
  EXPECT_TRUE(parsed.command.force);

  // A file path may start with '/'; /y is still a switch.
  parsed = ParseCommandLine({"export", "HKLM\\X", "/tmp/out.reg", "/y"});
  ASSERT_EQ(parsed.error, "");
  EXPECT_EQ(parsed.command.file, "/tmp/out.reg");
  EXPECT_TRUE(parsed.command.force);
  parsed = ParseCommandLine({"import", "/tmp/in.reg"});
  ASSERT_EQ(parsed.error, "");
  EXPECT_EQ(parsed.command.file, "/tmp/in.reg");

  // /s is recursion for query and the separator for add; a value name may look like a switch.
  parsed = ParseCommandLine({"query", "HKLM\\X", "/s", "/v", "/f"});
  ASSERT_EQ(parsed.error, "");
  EXPECT_TRUE(parsed.command.recurse);
  EXPECT_EQ(parsed.command.valueName, L"/f");
  parsed = ParseCommandLine({"add", "HKLM\\X", "/s", "#", "/t", "REG_MULTI_SZ"});
  ASSERT_EQ(parsed.error, "");
  EXPECT_EQ(parsed.command.separator, L"#");

  EXPECT_TRUE(ParseCommandLine({"query", "HKLM\\X", "--help"}).command.help);
  EXPECT_TRUE(ParseCommandLine({"/?"}).command.help);
  for (const std::vector<std::string>& bad : std::vector<std::vector<std::string>>{
           {},
           {"list"},
           {"query"},
           {"query", "HKLM\\X", "HKLM\\Y"},
           {"query", "HKLM\\X", "/x"},
           {"query", "HKLM\\X", "/v"},
           {"query", "HKLM\\X", "/v", "a", "/ve"},
           {"delete", "HKLM\\X", "/va", "/ve"},
           {"add", "HKLM\\X", "/f", "/f"},
           {"add", "HKLM\\X", "/s", "ab", "/t", "REG_MULTI_SZ"},
           {"export", "HKLM\\X"},
           {"import"},
       }) {
    EXPECT_NE(ParseCommandLine(bad).error, "") << (bad.empty() ? "" : bad.back());
  }
}

}  // namespace
}  // namespace tcdreg
