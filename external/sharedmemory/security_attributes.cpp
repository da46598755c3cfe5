#include "external/sharedmemory/security_attributes.h"

#include <sys/stat.h>

#include "external/sharedmemory/exceptions.h"

namespace SharedMemoryTransport {
namespace {

std::string Narrow(const std::wstring& text) {
  std::string narrow;
  for (const wchar_t c : text) narrow += c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?';
  return narrow;
}

[[noreturn]] void Refuse(const std::wstring& sddl, const std::string& why) {
  throw sharedmemory_runtime_error("security descriptor \"" + Narrow(sddl) + "\" cannot be enforced: " + why);
}

// The bits one entry's rights give to the owner or to everybody else. Both sides of a channel
// write to it, so only full access (GA) can be honoured; read or write alone would be no access.
mode_t Bits(const std::wstring& rights, bool others, const std::wstring& sddl) {
  if (rights != L"GA") Refuse(sddl, "rights \"" + Narrow(rights) + "\" (only GA can be honoured)");
  return others ? (S_IRGRP | S_IWGRP | S_IROTH | S_IWOTH) : (S_IRUSR | S_IWUSR);
}

}  // namespace

CSecurityAttributes::CSecurityAttributes(const std::wstring& sddl) {
  if (sddl.rfind(L"D:", 0) != 0) Refuse(sddl, "it has no DACL (\"D:\") first");
  std::size_t at = 2;
  if (at == sddl.size()) Refuse(sddl, "the DACL grants nothing");
  while (at < sddl.size()) {
    if (sddl[at] != L'(') Refuse(sddl, "an entry does not start with '('");
    const std::size_t end = sddl.find(L')', at);
    if (end == std::wstring::npos) Refuse(sddl, "an entry does not end with ')'");
    // type;flags;rights;object;inherited object;account
    std::wstring fields[6];
    std::size_t field = 0;
    for (std::size_t i = at + 1; i < end; ++i) {
      if (sddl[i] == L';') {
        if (++field == 6) Refuse(sddl, "an entry has more than six fields");
      } else {
        fields[field] += sddl[i];
      }
    }
    if (field != 5) Refuse(sddl, "an entry has fewer than six fields");
    if (fields[0] != L"A") Refuse(sddl, "only allow entries (\"A\") can be enforced");
    if (!fields[1].empty() || !fields[3].empty() || !fields[4].empty()) {
      Refuse(sddl, "entries with flags or object types cannot be enforced");
    }
    const std::wstring& account = fields[5];
    if (account == L"CO" || account == L"OW") {
      mode_ |= Bits(fields[2], false, sddl);
    } else if (account == L"AU" || account == L"WD" || account == L"IU") {
      mode_ |= Bits(fields[2], true, sddl) | Bits(fields[2], false, sddl);
    } else if (account == L"BA" || account == L"SY") {
      Bits(fields[2], false, sddl);  // checked; root needs no bits
    } else {
      Refuse(sddl, "account \"" + Narrow(account) + "\"");
    }
    at = end + 1;
  }
  if ((mode_ & S_IRUSR) == 0) Refuse(sddl, "the creator must have full access (GA for CO, OW, AU, WD or IU)");
}

}  // namespace SharedMemoryTransport
