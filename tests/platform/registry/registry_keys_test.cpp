// Keys: paths and their limits, case rules, access masks, deletion and deleted-key handles,
// enumeration, and HKEY_CLASSES_ROOT as HKLM\SOFTWARE\Classes.
#include <string>
#include <vector>

#include "tests/platform/registry/registry_fixture.h"

namespace registry_test {
namespace {

using RegistryKeys = RegistryTest;
using Names = std::vector<std::wstring>;

TEST_F(RegistryKeys, CreateReportsItsDispositionAndMakesIntermediateKeys) {
  Key key;
  DWORD disposition = 0;
  ASSERT_EQ(CreateUnder(HKEY_LOCAL_MACHINE, L"SOFTWARE\\A\\B\\C", key, KEY_ALL_ACCESS, &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
  ASSERT_EQ(CreateUnder(HKEY_LOCAL_MACHINE, L"software\\a\\b\\c\\", key, KEY_READ, &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
  Key middle;
  EXPECT_EQ(Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\A\\B", KEY_READ, middle), ERROR_SUCCESS);
  EXPECT_EQ(SubkeyNames(middle.get()), Names{L"C"});
}

TEST_F(RegistryKeys, PathRulesAndLimits) {
  Key key(Create(L"SOFTWARE\\Paths"));
  Key other;
  // Trailing backslashes are ignored; a leading one or an empty component is a bad path.
  EXPECT_EQ(Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Paths\\\\", KEY_READ, other), ERROR_SUCCESS);
  EXPECT_EQ(Open(HKEY_LOCAL_MACHINE, L"\\SOFTWARE", KEY_READ, other), ERROR_BAD_PATHNAME);
  EXPECT_EQ(Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\\\Paths", KEY_READ, other), ERROR_BAD_PATHNAME);
  EXPECT_EQ(CreateUnder(key.get(), L"\\x", other), ERROR_BAD_PATHNAME);
  // 255 characters per component.
  const std::wstring longest(REGISTRY_MAX_KEY_NAME, L'k');
  EXPECT_EQ(CreateUnder(key.get(), longest.c_str(), other), ERROR_SUCCESS);
  EXPECT_EQ(CreateUnder(key.get(), (longest + L'k').c_str(), other), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(SubkeyNames(key.get()), Names{longest});
  // A missing key clears the result; bad handles and a missing result pointer are refused.
  HKEY result = key.get();
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Missing", 0, KEY_READ, &result),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(result, nullptr);
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE", 0, KEY_READ, nullptr),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegOpenKeyExW(nullptr, L"SOFTWARE", 0, KEY_READ, &result), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegCreateKeyExW(key.get(), L"v", 0, nullptr, 1 /* volatile */, KEY_READ, nullptr,
                            &result, nullptr),
            ERROR_INVALID_PARAMETER);
}

TEST_F(RegistryKeys, KeyNamesIgnoreCaseBeyondAsciiAndKeepTheirSpelling) {
  Key created(Create(L"SOFTWARE\\Stra\u00DFe\\\u00C9t\u00E9\\\u0414\u043E\u043C"));
  Key opened;
  EXPECT_EQ(Open(HKEY_LOCAL_MACHINE, L"software\\STRA\u00DFE\\\u00E9T\u00C9\\\u0434\u041E\u041C",
                 KEY_READ, opened),
            ERROR_SUCCESS);
  Key parent;
  ASSERT_EQ(Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\STRASSE", KEY_READ, parent),
            ERROR_FILE_NOT_FOUND);  // no special folding beyond simple upper case
  ASSERT_EQ(Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\stra\u00DFe", KEY_READ, parent), ERROR_SUCCESS);
  EXPECT_EQ(SubkeyNames(parent.get()), Names{L"\u00C9t\u00E9"});
}

TEST_F(RegistryKeys, EnumerationIsOrderedByFoldedName) {
  Key root(Create(L"SOFTWARE\\Enum"));
  for (const wchar_t* name : {L"beta", L"Alpha", L"gamma", L"\u00E9clair", L"Delta"}) {
    Key sub;
    ASSERT_EQ(CreateUnder(root.get(), name, sub, KEY_READ), ERROR_SUCCESS);
  }
  EXPECT_EQ(SubkeyNames(root.get()), (Names{L"Alpha", L"beta", L"Delta", L"gamma", L"\u00E9clair"}));

  wchar_t name[8];
  DWORD length = 5;  // "Alpha" needs 6 with its terminator
  EXPECT_EQ(RegEnumKeyExW(root.get(), 0, name, &length, nullptr, nullptr, nullptr, nullptr),
            ERROR_MORE_DATA);
  length = 6;
  FILETIME written{};
  wchar_t keyClass[4] = L"xyz";
  DWORD classLength = 4;
  ASSERT_EQ(RegEnumKeyExW(root.get(), 0, name, &length, nullptr, keyClass, &classLength, &written),
            ERROR_SUCCESS);
  EXPECT_EQ(length, 5u);
  EXPECT_EQ(classLength, 0u);
  EXPECT_EQ(keyClass[0], L'\0');
  EXPECT_NE(written.dwHighDateTime, 0u);
  EXPECT_EQ(EnumKey(root.get(), 5), ERROR_NO_MORE_ITEMS);
}

// Each right opens exactly its operations. The handles are on a key with a value "v" and a
// subkey; deleting a missing value tells a granted right (not found) from a refused one.
TEST_F(RegistryKeys, HandlesAreLimitedToTheirAccessMask) {
  Key setup(Create(L"SOFTWARE\\Mask\\Existing"));
  Key mask(Create(L"SOFTWARE\\Mask"));
  ASSERT_EQ(SetDword(mask.get(), L"v", 1), ERROR_SUCCESS);
  constexpr LSTATUS kOk = ERROR_SUCCESS, kDenied = ERROR_ACCESS_DENIED;
  const struct {
    REGSAM access;
    LSTATUS query, set, deleteValue, enumKeys, enumValues, createNew;
  } cases[] = {
      {KEY_READ, kOk, kDenied, kDenied, kOk, kOk, kDenied},
      {0x80000000 /* GENERIC_READ */, kOk, kDenied, kDenied, kOk, kOk, kDenied},
      {KEY_SET_VALUE, kDenied, kOk, ERROR_FILE_NOT_FOUND, kDenied, kDenied, kDenied},
      {KEY_QUERY_VALUE, kOk, kDenied, kDenied, kDenied, kOk, kDenied},
      {KEY_ENUMERATE_SUB_KEYS, kDenied, kDenied, kDenied, kOk, kDenied, kDenied},
      {KEY_CREATE_SUB_KEY, kDenied, kDenied, kDenied, kDenied, kDenied, kOk},
  };
  int row = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(row);
    Key handle, sub;
    ASSERT_EQ(Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Mask", c.access, handle), ERROR_SUCCESS);
    EXPECT_EQ(Query(handle.get(), L"v"), c.query);
    EXPECT_EQ(SetDword(handle.get(), L"v", 2), c.set);
    EXPECT_EQ(RegDeleteValueW(handle.get(), L"missing"), c.deleteValue);
    EXPECT_EQ(EnumKey(handle.get(), 0), c.enumKeys);
    EXPECT_EQ(EnumValue(handle.get(), 0), c.enumValues);
    EXPECT_EQ(CreateUnder(handle.get(), (L"New" + std::to_wstring(row++)).c_str(), sub, KEY_READ),
              c.createNew);
    // Opening an existing subkey through RegCreateKeyEx creates nothing, so it needs no right.
    EXPECT_EQ(CreateUnder(handle.get(), L"Existing", sub, KEY_READ), kOk);
  }
}

TEST_F(RegistryKeys, DeleteKeyRefusesKeysWithSubkeysAndDeleteTreeDoesNot) {
  Key leaf(Create(L"SOFTWARE\\Del\\Parent\\Leaf"));
  ASSERT_EQ(SetDword(leaf.get(), L"v", 1), ERROR_SUCCESS);
  Key parent;
  ASSERT_EQ(Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Del", KEY_READ, parent), ERROR_SUCCESS);

  EXPECT_EQ(RegDeleteKeyW(parent.get(), L"Parent"), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteKeyW(parent.get(), nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegDeleteKeyW(parent.get(), L"Missing"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, L""), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteKeyW(parent.get(), L"parent\\LEAF"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyW(parent.get(), L"Parent"), ERROR_SUCCESS);
  EXPECT_TRUE(SubkeyNames(parent.get()).empty());

  // An empty subkey name deletes the handle's own key.
  Key self(Create(L"SOFTWARE\\Del\\Self"));
  EXPECT_EQ(RegDeleteKeyW(self.get(), L""), ERROR_SUCCESS);
  EXPECT_EQ(SetDword(self.get(), L"v", 1), ERROR_KEY_DELETED);

  // A tree goes at once; with no subkey name only its contents go, which needs rights.
  Key tree(Create(L"SOFTWARE\\Del\\Tree\\A\\B"));
  ASSERT_EQ(SetDword(tree.get(), L"v", 1), ERROR_SUCCESS);
  Key treeRoot(Create(L"SOFTWARE\\Del\\Tree"));
  ASSERT_EQ(SetDword(treeRoot.get(), L"own", 1), ERROR_SUCCESS);
  Key reader;
  ASSERT_EQ(Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Del\\Tree", KEY_READ, reader), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteTreeW(reader.get(), nullptr), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteTreeW(treeRoot.get(), nullptr), ERROR_SUCCESS);
  EXPECT_TRUE(SubkeyNames(treeRoot.get()).empty());
  EXPECT_EQ(Query(treeRoot.get(), L"own"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(SetDword(treeRoot.get(), L"again", 1), ERROR_SUCCESS);  // the key itself remains
  Key deeper(Create(L"SOFTWARE\\Del\\Tree\\X\\Y\\Z"));
  EXPECT_EQ(RegDeleteTreeW(parent.get(), L"Tree"), ERROR_SUCCESS);
  EXPECT_TRUE(SubkeyNames(parent.get()).empty());
  EXPECT_EQ(RegDeleteTreeW(parent.get(), L"Tree"), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryKeys, HandlesOfDeletedKeysReportIt) {
  Key victim(Create(L"SOFTWARE\\Gone\\Victim"));
  ASSERT_EQ(SetDword(victim.get(), L"v", 1), ERROR_SUCCESS);
  ASSERT_EQ(RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Gone"), ERROR_SUCCESS);

  // Made again under the same name, it is another key: the old handle stays dead, for lookups
  // (query, open, enumeration) and for writes that would make missing keys (set, create).
  Key again(Create(L"SOFTWARE\\Gone\\Victim"));
  Key sub;
  EXPECT_EQ(Query(victim.get(), L"v"), ERROR_KEY_DELETED);
  EXPECT_EQ(SetDword(victim.get(), L"v", 2), ERROR_KEY_DELETED);
  EXPECT_EQ(Open(victim.get(), L"", KEY_READ, sub), ERROR_KEY_DELETED);
  EXPECT_EQ(EnumKey(victim.get(), 0), ERROR_KEY_DELETED);
  EXPECT_EQ(CreateUnder(victim.get(), L"Child", sub, KEY_READ), ERROR_KEY_DELETED);
  EXPECT_EQ(SetDword(again.get(), L"v", 3), ERROR_SUCCESS);

  // Deleted by another process.
  Key shared(Create(L"SOFTWARE\\Shared"));
  EXPECT_EQ(RunInChild([] {
              return FirstMismatch({{RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Shared"),
                                     ERROR_SUCCESS}});
            }),
            0);
  EXPECT_EQ(SetDword(shared.get(), L"v", 1), ERROR_KEY_DELETED);

  // A closed handle is no handle.
  HKEY closed = Create(L"SOFTWARE\\Closed");
  ASSERT_EQ(RegCloseKey(closed), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(closed), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegCloseKey(nullptr), ERROR_INVALID_HANDLE);
}

TEST_F(RegistryKeys, ClassesRootIsSoftwareClasses) {
  // Before anything is registered the root is simply empty.
  EXPECT_EQ(EnumKey(HKEY_CLASSES_ROOT, 0), ERROR_NO_MORE_ITEMS);
  EXPECT_EQ(Query(HKEY_CLASSES_ROOT, L""), ERROR_FILE_NOT_FOUND);

  Key clsid;
  ASSERT_EQ(CreateUnder(HKEY_CLASSES_ROOT, L"CLSID\\{1C84D1BC-573F-490C-ADF2-0269F5A6AFDC}", clsid),
            ERROR_SUCCESS);
  ASSERT_EQ(SetString(clsid.get(), nullptr, L"Factory"), ERROR_SUCCESS);
  Key viaMachine;
  ASSERT_EQ(Open(HKEY_LOCAL_MACHINE,
                 L"SOFTWARE\\Classes\\clsid\\{1c84d1bc-573f-490c-adf2-0269f5a6afdc}", KEY_READ,
                 viaMachine),
            ERROR_SUCCESS);
  std::string bytes;
  ASSERT_EQ(Get(viaMachine.get(), nullptr, &bytes), ERROR_SUCCESS);
  EXPECT_EQ(bytes, Bytes(std::wstring(L"Factory") + L'\0'));

  ASSERT_EQ(SetString(HKEY_CLASSES_ROOT, L"RootValue", L"x"), ERROR_SUCCESS);
  Key classes;
  ASSERT_EQ(Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Classes", KEY_READ, classes), ERROR_SUCCESS);
  EXPECT_EQ(Query(classes.get(), L"rootvalue"), ERROR_SUCCESS);
  EXPECT_EQ(SubkeyNames(HKEY_CLASSES_ROOT), Names{L"CLSID"});

  // No subkey opens the root itself; closing a root is harmless and it stays usable.
  HKEY same = nullptr;
  EXPECT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, nullptr, 0, KEY_READ, &same), ERROR_SUCCESS);
  EXPECT_EQ(same, HKEY_CLASSES_ROOT);
  EXPECT_EQ(RegCloseKey(HKEY_CLASSES_ROOT), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
  EXPECT_EQ(Query(HKEY_CLASSES_ROOT, L"RootValue"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyW(HKEY_CLASSES_ROOT, L""), ERROR_ACCESS_DENIED);
}

}  // namespace
}  // namespace registry_test
