// The registrar: what a script writes and what it removes again.
#include <gtest/gtest.h>

#include "host/registrar.h"
#include "host/resources.h"
#include "tests/host/probes.h"
#include "tests/support/environment/isolated_environment.h"

namespace host_test {
namespace {

using Talvaro::Host::Registrar;

constexpr std::string_view kScript = R"(
HKCR
{
	NoRemove Kept
	{
		ForceRemove '%ID%' = s 'Default of %Id%'
		{
			val Path = s '%module%'
			Sub = s 'it''s 100%%'
		}
		Plain
		{
			Leaf = s 'x'
		}
	}
}
HKLM
{
	SOFTWARE
	{
		'Demo Key' = s 'machine'
	}
}
)";

class RegistrarTest : public ::testing::Test {
 protected:
  RegistrarTest() {
    registrar_.AddReplacement(L"ID", L"{A}");
    registrar_.AddReplacement(L"Module", L"\"/opt/it''s/x\"");
  }
  Talvaro::Testing::IsolatedEnvironment environment_;
  Registrar registrar_;
};

TEST_F(RegistrarTest, RegistrationWritesKeysValuesAndReplacements) {
  ASSERT_EQ(registrar_.RegisterScript(kScript), S_OK);
  EXPECT_EQ(StringValue(HKEY_CLASSES_ROOT, L"Kept\\{A}"), L"Default of {A}");  // names in any case
  // A replacement is written as given: its doubled quote stays doubled.
  EXPECT_EQ(StringValue(HKEY_CLASSES_ROOT, L"Kept\\{A}", L"Path"), L"\"/opt/it''s/x\"");
  EXPECT_EQ(StringValue(HKEY_CLASSES_ROOT, L"Kept\\{A}\\Sub"), L"it's 100%");
  EXPECT_EQ(StringValue(HKEY_CLASSES_ROOT, L"Kept\\Plain\\Leaf"), L"x");
  EXPECT_EQ(StringValue(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Demo Key"), L"machine");
}

// A second registration writes a ForceRemove key afresh; unregistration removes what is neither
// NoRemove nor still holding foreign subkeys.
TEST_F(RegistrarTest, ForceRemoveAndNoRemove) {
  const auto foreignKey = [](const wchar_t* path) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, path, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr), ERROR_SUCCESS);
    RegCloseKey(key);
  };
  ASSERT_EQ(registrar_.RegisterScript(kScript), S_OK);
  foreignKey(L"Kept\\{A}\\Stale");
  foreignKey(L"Kept\\Plain\\Foreign");
  ASSERT_EQ(registrar_.RegisterScript(kScript), S_OK);
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, L"Kept\\{A}\\Stale"));
  EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, L"Kept\\Plain\\Foreign"));  // Plain is not ForceRemove

  foreignKey(L"Kept\\{A}\\Foreign");
  ASSERT_EQ(registrar_.UnregisterScript(kScript), S_OK);
  EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, L"Kept"));              // NoRemove
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, L"Kept\\{A}"));       // ForceRemove: with its whole subtree
  EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, L"Kept\\Plain"));      // still holds a foreign subkey
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, L"Kept\\Plain\\Leaf"));
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Demo Key"));
  EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, L"SOFTWARE"));         // holds Classes (HKEY_CLASSES_ROOT)
  EXPECT_EQ(registrar_.UnregisterScript(kScript), S_OK);           // missing keys are fine
}

TEST_F(RegistrarTest, MalformedScriptsAndUnknownReplacementsWriteNothing) {
  for (std::string_view script :
       {std::string_view("HKCR { A = s 'x' "), std::string_view("HKCU { A }"), std::string_view("HKCR { A = d '1' }"),
        std::string_view("HKCR { A = s 'open }"), std::string_view("HKCR { A = s '%NOPE%' }"),
        std::string_view("HKCR { val A = s 'x' }")}) {
    EXPECT_EQ(registrar_.RegisterScript(script), DISP_E_EXCEPTION) << script;
  }
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, L"A"));
}

TEST_F(RegistrarTest, EveryScriptOfTheProgramParsesWithTheCommonReplacements) {
  registrar_.AddReplacement(L"APPID", L"{B}");
  registrar_.AddReplacement(L"Module_Raw", L"/x");
  using namespace Talvaro::Host;
  for (UINT id : {IDR_TALVAROCOMMUNICATIONDRIVER, IDR_TALVAROCOMMUNICATIONDRIVERFACTORY,
                  IDR_TALVAROCOMMUNICATIONDRIVERGAPP, IDR_OBSERVERSINGLETON}) {
    const auto script = FindRegistryScript(id);
    ASSERT_TRUE(script) << id;
    EXPECT_EQ(registrar_.RegisterScript(*script), S_OK) << id;
    EXPECT_EQ(registrar_.UnregisterScript(*script), S_OK) << id;
  }
  EXPECT_FALSE(FindRegistryScript(IDR_COMMUNICATIONDRIVER));
}

}  // namespace
}  // namespace host_test
