// tcdreg's operations in-process against a registry file of the test's own.
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/types/wide_string.h"
#include "tests/platform/registry/registry_fixture.h"
#include "tools/tcdreg/reg_data.h"
#include "tools/tcdreg/registry_io.h"
#include "tools/tcdreg/tool.h"

namespace tcdreg {
namespace {

using registry_test::Key;

struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
};

class Tcdreg : public registry_test::RegistryTest {
 protected:
  Outcome Run(const std::vector<std::string>& args, const std::string& input = "") {
    std::istringstream in(input);
    std::ostringstream out, err;
    Outcome outcome;
    outcome.status = tcdreg::Run(args, {in, out, err});
    outcome.out = out.str();
    outcome.err = err.str();
    return outcome;
  }

  // Every key below `path` (as "path|name") and every value (as "path|name|type|hex bytes").
  std::vector<std::string> Snapshot(const std::wstring& path) {
    std::vector<std::string> lines;
    UniqueKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, key.out()) != ERROR_SUCCESS) {
      return lines;
    }
    Collect(key.get(), path, &lines);
    return lines;
  }
  void Collect(HKEY key, const std::wstring& path, std::vector<std::string>* lines) {
    std::vector<Value> values;
    ASSERT_EQ(ReadValues(key, &values), ERROR_SUCCESS);
    for (const auto& v : values) {
      lines->push_back(platform::ToUtf8(path + L"|" + v.name + L"|" + TypeName(v.type) + L"|" +
                                        HexDigits(v.data)));
    }
    std::vector<std::wstring> names;
    ASSERT_EQ(ReadSubkeyNames(key, &names), ERROR_SUCCESS);
    for (const auto& name : names) {
      lines->push_back(platform::ToUtf8(path + L"|" + name));
      UniqueKey child;
      ASSERT_EQ(RegOpenKeyExW(key, name.c_str(), 0, KEY_READ, child.out()), ERROR_SUCCESS);
      Collect(child.get(), path + L"\\" + name, lines);
    }
  }
  std::string File(const char* name) const { return (dir_ / name).string(); }
  // A file of the test's own with `content`; its path.
  std::string WriteFile(const char* name, const std::string& content) const {
    std::ofstream(File(name)) << content;
    return File(name);
  }
};

TEST_F(Tcdreg, ExportDeleteImportGivesBackEveryKeyAndValueExactly) {
  Key root(Create(L"SOFTWARE\\Round\\Stra\u00DFe \u0414"));
  const std::wstring multi{L'a', 0, 0, L'\u20AC', static_cast<wchar_t>(0x1F600), 0, 0};
  const unsigned char binary[] = {0, 1, 0xFE, 0xFF, 0x7F};
  const ULONGLONG qword = 0x8000000000000001ULL;
  ASSERT_EQ(SetString(root.get(), nullptr, L"default \"quoted\" C:\\path"), ERROR_SUCCESS);
  ASSERT_EQ(SetString(root.get(), L"Text", L"\u00E9t\u00E9 \u4E2D"), ERROR_SUCCESS);
  ASSERT_EQ(SetString(root.get(), L"Expand", L"%TEMP%\\x", REG_EXPAND_SZ), ERROR_SUCCESS);
  ASSERT_EQ(SetUnits(root.get(), L"Multi", REG_MULTI_SZ, multi), ERROR_SUCCESS);
  ASSERT_EQ(SetBytes(root.get(), L"Raw", REG_SZ, L"ab", 2 * sizeof(wchar_t)), ERROR_SUCCESS);
  ASSERT_EQ(SetDword(root.get(), L"Dword", 0xCAFE), ERROR_SUCCESS);
  ASSERT_EQ(SetBytes(root.get(), L"Qword", REG_QWORD, &qword, 8), ERROR_SUCCESS);
  ASSERT_EQ(SetBytes(root.get(), L"Binary", REG_BINARY, binary, sizeof binary), ERROR_SUCCESS);
  ASSERT_EQ(SetBytes(root.get(), L"None", REG_NONE, nullptr, 0), ERROR_SUCCESS);
  const std::string big(1000, '\x42');
  ASSERT_EQ(SetBytes(root.get(), L"Big", REG_BINARY, big.data(), 1000), ERROR_SUCCESS);
  Key empty(Create(L"SOFTWARE\\Round\\Stra\u00DFe \u0414\\Empty Sub"));
  Key deep(Create(L"SOFTWARE\\Round\\Stra\u00DFe \u0414\\A\\B"));
  ASSERT_EQ(SetDword(deep.get(), L"x", 1), ERROR_SUCCESS);
  root.Reset();
  empty.Reset();
  deep.Reset();

  const auto before = Snapshot(L"SOFTWARE\\Round");
  ASSERT_EQ(before.size(), 15u);
  const std::string file = File("round.reg");
  // Typed in another letter case: the file keeps the stored spelling.
  Outcome outcome = Run({"export", "hklm\\software\\ROUND", file});
  ASSERT_EQ(outcome.status, 0) << outcome.err;
  outcome = Run({"delete", "HKLM\\SOFTWARE\\Round", "/f"});
  ASSERT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_TRUE(Snapshot(L"SOFTWARE\\Round").empty());

  outcome = Run({"import", file});
  ASSERT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_EQ(outcome.out, "The operation completed successfully.\n");
  EXPECT_EQ(Snapshot(L"SOFTWARE\\Round"), before);

  // And the file it makes now is the same file.
  const std::string again = File("again.reg");
  ASSERT_EQ(Run({"export", "HKLM\\SOFTWARE\\Round", again}).status, 0);
  std::ifstream a(file, std::ios::binary), b(again, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(a), {}),
            std::string(std::istreambuf_iterator<char>(b), {}));
}

TEST_F(Tcdreg, AMalformedFileAppliesNothing) {
  const std::string file = WriteFile("bad.reg", "Windows Registry Editor Version 5.00\n\n"
                                                "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Partial]\n"
                                                "\"first\"=dword:00000001\n"
                                                "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Keep]\n"
                                                "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Partial\\Sub]\n"
                                                "\"second\"=dword:0000000g\n");
  Key keep(Create(L"SOFTWARE\\Keep"));
  const Outcome outcome = Run({"import", file});
  EXPECT_EQ(outcome.status, 1);
  EXPECT_NE(outcome.err.find("ERROR: " + file + ", line 7: "), std::string::npos) << outcome.err;
  EXPECT_NE(outcome.err.find("Nothing was imported."), std::string::npos);
  Key probe;
  EXPECT_EQ(Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Partial", KEY_READ, probe), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Keep", KEY_READ, probe), ERROR_SUCCESS);
}

TEST_F(Tcdreg, ImportDeletesKeysAndValuesAndReachesClassesRoot) {
  Key old(Create(L"SOFTWARE\\Old\\Child"));
  Key target(Create(L"SOFTWARE\\Target"));
  ASSERT_EQ(SetDword(target.get(), L"drop", 1), ERROR_SUCCESS);
  ASSERT_EQ(SetDword(target.get(), L"keep", 2), ERROR_SUCCESS);
  const Outcome outcome = Run({"import", WriteFile("changes.reg",
                                                    "REGEDIT4\r\n\r\n"
                                                    "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Old]\r\n\r\n"
                                                    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Target]\r\n"
                                                    "\"drop\"=-\r\n"
                                                    "\"missing\"=-\r\n\r\n"
                                                    "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\NeverWas]\r\n"
                                                    "[HKCR\\CLSID\\{95F7797C-75B3-4e83-8556-"
                                                    "E6B0C4E46BEE}]\r\n"
                                                    "@=\"ObserverSingleton Class\"\r\n")});
  ASSERT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_EQ(Snapshot(L"SOFTWARE\\Old"), std::vector<std::string>{});
  EXPECT_EQ(Snapshot(L"SOFTWARE\\Target"),
            std::vector<std::string>{"SOFTWARE\\Target|keep|REG_DWORD|02000000"});
  Key clsid;
  EXPECT_EQ(Open(HKEY_LOCAL_MACHINE,
                 L"SOFTWARE\\Classes\\CLSID\\{95F7797C-75B3-4e83-8556-E6B0C4E46BEE}", KEY_READ,
                 clsid),
            ERROR_SUCCESS);
}

TEST_F(Tcdreg, QueryShowsKeysValuesAndSubkeys) {
  ASSERT_EQ(Run({"add", "HKLM\\SOFTWARE\\Q", "/ve", "/d", "top"}).status, 0);
  ASSERT_EQ(Run({"add", "HKLM\\SOFTWARE\\Q", "/v", "Level", "/t", "REG_DWORD", "/d", "31"}).status,
            0);
  ASSERT_EQ(Run({"add", "HKLM\\SOFTWARE\\Q", "/v", "List", "/t", "REG_MULTI_SZ", "/s", ",", "/d",
                 "x,y"})
                .status,
            0);
  ASSERT_EQ(Run({"add", "HKLM\\SOFTWARE\\Q\\Sub", "/v", "Level", "/t", "REG_BINARY", "/d", "0aff"})
                .status,
            0);

  Outcome outcome = Run({"query", "HKLM\\SOFTWARE\\Q"});
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.out,
            "\nHKEY_LOCAL_MACHINE\\SOFTWARE\\Q\n"
            "    (Default)    REG_SZ    top\n"
            "    Level    REG_DWORD    0x1f\n"
            "    List    REG_MULTI_SZ    x\\0y\n"
            "\n"
            "HKEY_LOCAL_MACHINE\\SOFTWARE\\Q\\Sub\n");

  outcome = Run({"query", "HKLM\\SOFTWARE\\Q", "/v", "level", "/s"});
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.out,
            "\nHKEY_LOCAL_MACHINE\\SOFTWARE\\Q\n"
            "    Level    REG_DWORD    0x1f\n\n"
            "HKEY_LOCAL_MACHINE\\SOFTWARE\\Q\\Sub\n"
            "    Level    REG_BINARY    0AFF\n\n"
            "End of search: 2 match(es) found.\n");

  outcome = Run({"query", "HKLM\\SOFTWARE\\Q\\Sub", "/ve"});
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.out,
            "\nHKEY_LOCAL_MACHINE\\SOFTWARE\\Q\\Sub\n    (Default)    REG_SZ    (value not set)\n\n");

  outcome = Run({"query", "HKLM\\SOFTWARE\\Q", "/v", "Missing"});
  EXPECT_EQ(outcome.status, 1);
  EXPECT_EQ(outcome.err, "ERROR: The system was unable to find the specified registry key or value.\n");
  EXPECT_EQ(Run({"query", "HKLM\\SOFTWARE\\Nope"}).status, 1);
}

TEST_F(Tcdreg, OverwritingAndDeletingAskFirst) {
  ASSERT_EQ(Run({"add", "HKLM\\SOFTWARE\\P", "/v", "v", "/d", "one"}).status, 0);
  auto current = [this] {
    Key key;
    std::string bytes;
    EXPECT_EQ(Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\P", KEY_READ, key), ERROR_SUCCESS);
    Get(key.get(), L"v", &bytes);
    return BytesToUnits(bytes);
  };

  Outcome outcome = Run({"add", "HKLM\\SOFTWARE\\P", "/v", "V", "/d", "two"}, "n\n");
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.out, "Value exists, overwrite (Yes/No)? The operation was cancelled.\n");
  EXPECT_EQ(current(), std::wstring(L"one") + L'\0');
  // A closed input is No; an unclear answer is asked again.
  EXPECT_EQ(Run({"add", "HKLM\\SOFTWARE\\P", "/v", "v", "/d", "two"}).status, 0);
  EXPECT_EQ(current(), std::wstring(L"one") + L'\0');
  outcome = Run({"add", "HKLM\\SOFTWARE\\P", "/v", "v", "/d", "two"}, "maybe\nYes\n");
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(current(), std::wstring(L"two") + L'\0');

  outcome = Run({"delete", "HKLM\\SOFTWARE\\P"});
  EXPECT_EQ(outcome.out,
            "Delete the registry key HKEY_LOCAL_MACHINE\\SOFTWARE\\P (Yes/No)? \n"
            "The operation was cancelled.\n");
  outcome = Run({"delete", "HKLM\\SOFTWARE\\P", "/v", "v"}, "y\n");
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.out,
            "Delete the registry value v (Yes/No)? The operation completed successfully.\n");
  EXPECT_EQ(Run({"delete", "HKLM\\SOFTWARE\\P", "/v", "v", "/f"}).status, 1);

  ASSERT_EQ(Run({"add", "HKLM\\SOFTWARE\\P\\Sub", "/ve", "/d", "x"}).status, 0);
  ASSERT_EQ(Run({"add", "HKLM\\SOFTWARE\\P", "/v", "a", "/d", "x"}).status, 0);
  ASSERT_EQ(Run({"add", "HKLM\\SOFTWARE\\P", "/ve", "/d", "x"}).status, 0);
  EXPECT_EQ(Run({"delete", "HKLM\\SOFTWARE\\P", "/va", "/f"}).status, 0);
  EXPECT_EQ(Snapshot(L"SOFTWARE\\P"),
            (std::vector<std::string>{"SOFTWARE\\P|Sub", "SOFTWARE\\P\\Sub||REG_SZ|7800000000000000"}));
  EXPECT_EQ(Run({"delete", "HKLM\\SOFTWARE\\P", "/f"}).status, 0);
  EXPECT_TRUE(Snapshot(L"SOFTWARE\\P").empty());
  EXPECT_EQ(Run({"delete", "HKLM", "/f"}).status, 2);
}

TEST_F(Tcdreg, ExportAsksBeforeReplacingAFile) {
  ASSERT_EQ(Run({"add", "HKLM\\SOFTWARE\\E"}).status, 0);
  const std::string file = WriteFile("exists.reg", "precious");
  Outcome outcome = Run({"export", "HKLM\\SOFTWARE\\E", file});
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.out, "File " + file + " exists, overwrite (Yes/No)? \nThe operation was cancelled.\n");
  std::ifstream in(file);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "precious");
  EXPECT_EQ(Run({"export", "HKLM\\SOFTWARE\\E", file, "/y"}).status, 0);
  EXPECT_EQ(Run({"export", "HKLM\\SOFTWARE\\Missing", File("m.reg")}).status, 1);
  EXPECT_EQ(Run({"import", File("does-not-exist.reg")}).status, 1);
}

}  // namespace
}  // namespace tcdreg
