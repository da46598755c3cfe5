// A small registrar for registry scripts in the platform's registrar syntax:
//
//   HKCR                                   root: HKCR / HKEY_CLASSES_ROOT, HKLM / HKEY_LOCAL_MACHINE
//   {
//       NoRemove AppID                     never deleted on unregistration
//       {
//           ForceRemove '%APPID%' = s 'x'  deleted with its subtree before it is written again
//           {
//               val Name = s 'text'        a named string value
//           }
//       }
//   }
//
// Names are bare words or quoted in single quotes ('' is a quote inside). "= s 'text'" gives a
// key its default string value. %NAME% stands for a replacement (names compared without regard
// to letter case, %% for a percent sign); replacements are inserted after the script has been
// read, so their text is written exactly as given (a doubled quote in a replacement stays
// doubled).
//
// Registration creates every key and writes every value. Unregistration visits the same keys:
// named values are deleted, subkeys first; then a key that is not NoRemove is deleted when no
// subkeys are left, a ForceRemove key with its whole subtree. Keys already missing are fine.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/types/error_codes.h"

namespace Talvaro::Host {

class Registrar {
 public:
  void AddReplacement(std::wstring_view name, std::wstring value);

  // S_OK, DISP_E_EXCEPTION for a malformed script or an unknown replacement (nothing is
  // written then), or the first registry error as 0x80070000 + error.
  HRESULT RegisterScript(std::string_view script) const;
  HRESULT UnregisterScript(std::string_view script) const;

 private:
  HRESULT Run(std::string_view script, bool registering) const;

  std::vector<std::pair<std::wstring, std::wstring>> replacements_;
};

}  // namespace Talvaro::Host
