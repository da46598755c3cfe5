// The Win32 registry functions over the SQLite store (registry_store.h).
//
// Threads: every function may be called from any thread, with the same or different handles at
// once. A call looks its handle up in the handle table (its own lock, held only for the lookup),
// then does its work in one Session, which holds the database's lock. Neither lock is held
// while the other is taken.
#include "platform/registry/registry.h"

#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/registry/registry_store.h"
#include "platform/registry/registry_transaction.h"
#include "platform/types/error_codes.h"
#include "platform/types/wide_string.h"

namespace {

using platform::registry::CurrentDatabasePath;
using platform::registry::Database;
using platform::registry::KeyId;
using platform::registry::KeyRecord;
using platform::registry::kRootKeyId;
using platform::registry::Session;
using platform::registry::ValueRecord;

RegistryKey localMachineRoot{RegistryKey::Kind::kLocalMachine, {}, kRootKeyId, 0, KEY_ALL_ACCESS};
RegistryKey classesRoot{RegistryKey::Kind::kClassesRoot, {}, kRootKeyId, 0, KEY_ALL_ACCESS};

// Generic rights and MAXIMUM_ALLOWED, mapped onto key rights as the original platform does.
constexpr REGSAM kGenericRead = 0x80000000;
constexpr REGSAM kGenericWrite = 0x40000000;
constexpr REGSAM kGenericExecute = 0x20000000;
constexpr REGSAM kGenericAll = 0x10000000;
constexpr REGSAM kMaximumAllowed = 0x02000000;
constexpr REGSAM kWriteRights =
    KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_CREATE_LINK | DELETE_ACCESS | WRITE_DAC | WRITE_OWNER;

}  // namespace

const HKEY HKEY_LOCAL_MACHINE = &localMachineRoot;
const HKEY HKEY_CLASSES_ROOT = &classesRoot;

namespace {

// Handles made by RegOpenKeyEx / RegCreateKeyEx until RegCloseKey. Lookups hand out shared
// ownership, so a handle closed by one thread while another uses it stays valid for that call.
class HandleTable {
 public:
  HKEY Add(std::shared_ptr<RegistryKey> key) {
    HKEY handle = key.get();
    std::lock_guard lock(mutex_);
    keys_.emplace(handle, std::move(key));
    return handle;
  }
  std::shared_ptr<RegistryKey> Find(HKEY handle) {
    std::lock_guard lock(mutex_);
    auto found = keys_.find(handle);
    return found == keys_.end() ? nullptr : found->second;
  }
  bool Remove(HKEY handle) {
    std::lock_guard lock(mutex_);
    return keys_.erase(handle) != 0;
  }

 private:
  std::mutex mutex_;
  std::unordered_map<HKEY, std::shared_ptr<RegistryKey>> keys_;  // guarded by mutex_
};

HandleTable& Handles() {
  static auto* table = new HandleTable;  // never destroyed: keys may be closed during exit
  return *table;
}

struct Component {
  std::string name;    // UTF-8 as given
  std::string folded;  // UTF-8 of the upper-cased name
};
using Path = std::vector<Component>;

Component MakeComponent(std::wstring_view name) {
  return {platform::ToUtf8(name), platform::ToUtf8(platform::ToUpper(name))};
}

// Splits a subkey path. Trailing backslashes are ignored; a leading one or an empty component
// is ERROR_BAD_PATHNAME; a component over 255 characters ERROR_INVALID_PARAMETER.
LSTATUS ParseKeyPath(LPCWSTR text, Path* path) {
  path->clear();
  if (text == nullptr || *text == L'\0') return ERROR_SUCCESS;
  std::wstring_view view(text);
  if (view.front() == L'\\') return ERROR_BAD_PATHNAME;
  while (!view.empty() && view.back() == L'\\') view.remove_suffix(1);
  std::size_t start = 0;
  while (start <= view.size()) {
    std::size_t end = view.find(L'\\', start);
    if (end == std::wstring_view::npos) end = view.size();
    const std::wstring_view part = view.substr(start, end - start);
    if (part.empty()) return ERROR_BAD_PATHNAME;
    if (part.size() > REGISTRY_MAX_KEY_NAME) return ERROR_INVALID_PARAMETER;
    path->push_back(MakeComponent(part));
    start = end + 1;
  }
  return ERROR_SUCCESS;
}

LSTATUS MakeValueName(LPCWSTR text, Component* name) {
  const std::wstring_view view = text == nullptr ? std::wstring_view() : std::wstring_view(text);
  if (view.size() > REGISTRY_MAX_VALUE_NAME) return ERROR_INVALID_PARAMETER;
  *name = MakeComponent(view);
  return ERROR_SUCCESS;
}

bool IsStringType(DWORD type) {
  return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// What a handle designates for one call.
struct Target {
  std::shared_ptr<RegistryKey> holder;  // keeps an opened handle alive during the call
  std::shared_ptr<Database> db;
  KeyId base = kRootKeyId;
  std::int64_t identity = 0;  // of the file base is in; 0 for the roots, which are in every file
  Path prefix;  // below base: SOFTWARE\Classes for HKEY_CLASSES_ROOT
  REGSAM access = 0;
  bool predefined = false;
};

LSTATUS Lookup(HKEY key, Target* target) {
  if (key == nullptr) return ERROR_INVALID_HANDLE;
  if (key == HKEY_LOCAL_MACHINE || key == HKEY_CLASSES_ROOT) {
    // The predefined roots follow TALVARO_REGISTRY as it is at each call.
    target->db = Database::ForPath(CurrentDatabasePath());
    target->base = kRootKeyId;
    target->access = KEY_ALL_ACCESS;
    target->predefined = true;
    if (key == HKEY_CLASSES_ROOT) {
      target->prefix = {MakeComponent(L"SOFTWARE"), MakeComponent(L"Classes")};
    }
    return ERROR_SUCCESS;
  }
  target->holder = Handles().Find(key);
  if (!target->holder) return ERROR_INVALID_HANDLE;
  target->db = Database::ForPath(target->holder->databasePath);
  target->base = target->holder->id;
  target->identity = target->holder->fileIdentity;
  target->access = target->holder->access;
  return ERROR_SUCCESS;
}

// The handle's rights, and for the predefined roots (which are never opened) whether this
// process may write the file at all.
LSTATUS RequireRights(const Target& target, REGSAM rights) {
  if ((target.access & rights) != rights) return ERROR_ACCESS_DENIED;
  if (target.predefined && (rights & kWriteRights) != 0) return target.db->CheckWritable();
  return ERROR_SUCCESS;
}

Path Join(const Path& a, const Path& b) {
  Path joined = a;
  joined.insert(joined.end(), b.begin(), b.end());
  return joined;
}

// ERROR_KEY_DELETED when the target's key is gone, also with the whole file it was in.
LSTATUS CheckBase(Session& session, const Target& target) {
  if (target.identity != 0 && target.identity != session.identity()) return ERROR_KEY_DELETED;
  return session.CheckKey(target.base);
}

// Follows `path` from the target's key; ERROR_FILE_NOT_FOUND when a component is missing.
LSTATUS Walk(Session& session, const Target& target, const Path& path, KeyId* id) {
  LSTATUS status = CheckBase(session, target);
  KeyId current = target.base;
  for (const auto& component : path) {
    if (status != ERROR_SUCCESS) break;
    status = session.FindChild(current, component.folded, &current);
  }
  if (status == ERROR_SUCCESS) *id = current;
  return status;
}

LSTATUS WalkCreating(Session& session, const Target& target, const Path& path, KeyId* id,
                     bool* created) {
  *created = false;
  LSTATUS status = CheckBase(session, target);
  KeyId current = target.base;
  for (const auto& component : path) {
    if (status != ERROR_SUCCESS) break;
    status = session.FindChild(current, component.folded, &current);
    if (status == ERROR_FILE_NOT_FOUND) {
      status = session.CreateChild(current, component.name, component.folded, &current);
      *created = true;
    }
  }
  if (status == ERROR_SUCCESS) *id = current;
  return status;
}

REGSAM MapGenericRights(REGSAM desired) {
  REGSAM granted = desired & ~(kGenericRead | kGenericWrite | kGenericExecute | kGenericAll |
                               kMaximumAllowed | KEY_WOW64_32KEY | KEY_WOW64_64KEY);
  if ((desired & (kGenericRead | kGenericExecute)) != 0) granted |= KEY_READ;
  if ((desired & kGenericWrite) != 0) granted |= KEY_WRITE;
  if ((desired & kGenericAll) != 0) granted |= KEY_ALL_ACCESS;
  return granted;
}

// The rights a new handle gets; ERROR_ACCESS_DENIED when it asks to write a file that this
// process may not write (a non-elevated process asking for write access to HKLM).
LSTATUS GrantRights(const Target& target, REGSAM desired, REGSAM* granted) {
  *granted = MapGenericRights(desired);
  const bool writable = target.db->CheckWritable() == ERROR_SUCCESS;
  if ((*granted & kWriteRights) != 0 && !writable) return ERROR_ACCESS_DENIED;
  if ((desired & kMaximumAllowed) != 0) *granted |= writable ? KEY_ALL_ACCESS : KEY_READ;
  return ERROR_SUCCESS;
}

HKEY NewHandle(const Target& target, std::int64_t identity, KeyId id, REGSAM granted) {
  auto key = std::make_shared<RegistryKey>();
  key->kind = RegistryKey::Kind::kOpened;
  key->databasePath = target.db->path();
  key->id = id;
  key->fileIdentity = identity;
  key->access = granted;
  return Handles().Add(std::move(key));
}

// Wide string data as the W functions hand it out: the stored UTF-8 back in wchar_t units.
std::string WideBytes(const std::string& utf8) {
  const std::wstring units = platform::FromUtf8(utf8);
  return std::string(reinterpret_cast<const char*>(units.data()), units.size() * sizeof(wchar_t));
}

std::string StoredBytes(DWORD type, const BYTE* data, DWORD size) {
  if (size == 0) return {};
  if (!IsStringType(type)) return std::string(reinterpret_cast<const char*>(data), size);
  std::wstring units(size / sizeof(wchar_t), L'\0');
  std::memcpy(units.data(), data, units.size() * sizeof(wchar_t));  // data may be unaligned
  return platform::ToUtf8(units);
}

// Hands `bytes` out through the (data, size) pair with the documented size rules.
LSTATUS Deliver(const std::string& bytes, LPBYTE data, LPDWORD size) {
  const auto needed = static_cast<DWORD>(bytes.size());
  if (data == nullptr) {
    if (size != nullptr) *size = needed;
    return ERROR_SUCCESS;
  }
  if (*size < needed) {
    *size = needed;
    return ERROR_MORE_DATA;
  }
  if (needed != 0) std::memcpy(data, bytes.data(), needed);
  *size = needed;
  return ERROR_SUCCESS;
}

// Looks `path` up below the target's key in a read Session of its own.
LSTATUS FindKey(const Target& target, const Path& path, KeyId* id, std::int64_t* identity) {
  Session session(target.db, Session::Mode::kRead);
  LSTATUS status = session.status();
  if (status == ERROR_SUCCESS) status = Walk(session, target, path, id);
  *identity = session.identity();
  return status;
}

// The handle RegOpenKeyEx / RegCreateKeyEx give out for the found key: a predefined root itself
// when no subkey was named (as on the original platform), else a new handle.
LSTATUS HandOut(HKEY key, const Target& target, bool noSubkey, std::int64_t identity, KeyId id,
                REGSAM desired, PHKEY result) {
  if (target.predefined && noSubkey) {
    *result = key;
    return ERROR_SUCCESS;
  }
  REGSAM granted = 0;
  const LSTATUS status = GrantRights(target, desired, &granted);
  if (status == ERROR_SUCCESS) *result = NewHandle(target, identity, id, granted);
  return status;
}

// What the value functions check first, in this order: the handle, its rights, the name.
LSTATUS ValueTarget(HKEY key, REGSAM rights, LPCWSTR valueName, Target* target, Component* name) {
  LSTATUS status = Lookup(key, target);
  if (status == ERROR_SUCCESS) status = RequireRights(*target, rights);
  if (status == ERROR_SUCCESS) status = MakeValueName(valueName, name);
  return status;
}

LSTATUS OpenKey(HKEY key, LPCWSTR subKey, REGSAM desired, PHKEY result) {
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  Target target;
  LSTATUS status = Lookup(key, &target);
  Path sub;
  if (status == ERROR_SUCCESS) status = ParseKeyPath(subKey, &sub);
  KeyId id = 0;
  std::int64_t identity = 0;
  if (status == ERROR_SUCCESS) status = FindKey(target, Join(target.prefix, sub), &id, &identity);
  if (status != ERROR_SUCCESS) return status;
  return HandOut(key, target, sub.empty(), identity, id, desired, result);
}

LSTATUS QueryValue(HKEY key, LPCWSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                   LPDWORD dataSize, bool wide) {
  if (reserved != nullptr) return ERROR_INVALID_PARAMETER;
  if (data != nullptr && dataSize == nullptr) return ERROR_INVALID_PARAMETER;
  Target target;
  Component name;
  LSTATUS status = ValueTarget(key, KEY_QUERY_VALUE, valueName, &target, &name);
  if (status != ERROR_SUCCESS) return status;

  ValueRecord value;
  {
    Session session(target.db, Session::Mode::kRead);
    status = session.status();
    KeyId id = 0;
    if (status == ERROR_SUCCESS) status = Walk(session, target, target.prefix, &id);
    if (status == ERROR_SUCCESS) status = session.GetValue(id, name.folded, &value);
  }
  if (status != ERROR_SUCCESS) return status;
  if (type != nullptr) *type = value.type;
  return Deliver(wide && IsStringType(value.type) ? WideBytes(value.data) : value.data, data,
                 dataSize);
}

// The index-th entry of a handle's key, read by `at` in one read Session. HKEY_CLASSES_ROOT
// before anything was registered is a root without entries.
template <class Record>
LSTATUS EntryAt(HKEY key, REGSAM rights, DWORD index,
                LSTATUS (Session::*at)(KeyId, DWORD, Record*), Record* record) {
  Target target;
  LSTATUS status = Lookup(key, &target);
  if (status == ERROR_SUCCESS) status = RequireRights(target, rights);
  if (status != ERROR_SUCCESS) return status;
  Session session(target.db, Session::Mode::kRead);
  status = session.status();
  KeyId id = 0;
  if (status == ERROR_SUCCESS) status = Walk(session, target, target.prefix, &id);
  if (status == ERROR_FILE_NOT_FOUND && target.predefined) return ERROR_NO_MORE_ITEMS;
  if (status == ERROR_SUCCESS) status = (session.*at)(id, index, record);
  return status;
}

// Hands an entry's name out with its terminator; `*length` becomes its length without it.
LSTATUS DeliverName(const std::string& utf8, LPWSTR name, LPDWORD length) {
  const std::wstring wide = platform::FromUtf8(utf8);
  if (wide.size() + 1 > *length) return ERROR_MORE_DATA;
  std::memcpy(name, wide.c_str(), (wide.size() + 1) * sizeof(wchar_t));
  *length = static_cast<DWORD>(wide.size());
  return ERROR_SUCCESS;
}

// RegDeleteKeyW and RegDeleteTreeW past their own checks of the handle: `remove` gets the key
// that `subKey` names below the target's key, in a write Session that makes no file. The roots
// cannot be deleted, and this process must be able to write the file.
template <class Remove>
LSTATUS DeleteBelow(const Target& target, LPCWSTR subKey, bool includeSelf, Remove remove) {
  Path sub;
  LSTATUS status = ParseKeyPath(subKey, &sub);
  if (status != ERROR_SUCCESS) return status;
  if (target.predefined && includeSelf && sub.empty()) return ERROR_ACCESS_DENIED;
  if (target.db->CheckWritable() != ERROR_SUCCESS) return ERROR_ACCESS_DENIED;

  Session session(target.db, Session::Mode::kWrite, /*createMissing=*/false);
  status = session.status();
  KeyId id = 0;
  if (status == ERROR_SUCCESS) status = Walk(session, target, Join(target.prefix, sub), &id);
  if (status == ERROR_SUCCESS && includeSelf && id == kRootKeyId) status = ERROR_ACCESS_DENIED;
  if (status == ERROR_SUCCESS) status = remove(session, id);
  if (status == ERROR_SUCCESS) status = session.Commit();
  return status;
}

std::wstring Widen(LPCSTR text) { return platform::FromUtf8(text); }

}  // namespace

LSTATUS RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD /*options*/, REGSAM desired,
                      PHKEY result) {
  return OpenKey(key, subKey, desired, result);
}

LSTATUS RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD /*options*/, REGSAM desired, PHKEY result) {
  if (subKey == nullptr) return OpenKey(key, nullptr, desired, result);
  const std::wstring wide = Widen(subKey);
  return OpenKey(key, wide.c_str(), desired, result);
}

LSTATUS RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD /*reserved*/, LPWSTR /*keyClass*/,
                        DWORD options, REGSAM desired, const SECURITY_ATTRIBUTES* /*security*/,
                        PHKEY result, LPDWORD disposition) {
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  // Volatile keys, links and backup semantics have no counterpart in a file that outlives
  // every process; they are refused rather than silently made persistent.
  if (options != REG_OPTION_NON_VOLATILE) return ERROR_INVALID_PARAMETER;
  Target target;
  LSTATUS status = Lookup(key, &target);
  Path sub;
  if (status == ERROR_SUCCESS) status = ParseKeyPath(subKey, &sub);
  if (status != ERROR_SUCCESS) return status;
  const Path path = Join(target.prefix, sub);

  KeyId id = 0;
  std::int64_t identity = 0;
  status = FindKey(target, path, &id, &identity);
  bool created = false;
  if (status == ERROR_FILE_NOT_FOUND) {
    status = RequireRights(target, KEY_CREATE_SUB_KEY);
    if (status == ERROR_SUCCESS && target.db->CheckWritable() != ERROR_SUCCESS) {
      status = ERROR_ACCESS_DENIED;
    }
    if (status != ERROR_SUCCESS) return status;
    // Made in a write transaction of its own: a key that another process made meanwhile is
    // found there and opened, not made twice.
    Session session(target.db, Session::Mode::kWrite);
    status = session.status();
    if (status == ERROR_SUCCESS) status = WalkCreating(session, target, path, &id, &created);
    identity = session.identity();
    if (status == ERROR_SUCCESS) status = session.Commit();
  }
  if (status == ERROR_SUCCESS) status = HandOut(key, target, sub.empty(), identity, id, desired, result);
  if (status != ERROR_SUCCESS) return status;
  if (disposition != nullptr) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  return ERROR_SUCCESS;
}

LSTATUS RegCloseKey(HKEY key) {
  if (key == nullptr) return ERROR_INVALID_HANDLE;
  if (key == HKEY_LOCAL_MACHINE || key == HKEY_CLASSES_ROOT) return ERROR_SUCCESS;
  return Handles().Remove(key) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

LSTATUS RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                         LPDWORD dataSize) {
  return QueryValue(key, valueName, reserved, type, data, dataSize, true);
}

LSTATUS RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                         LPDWORD dataSize) {
  const std::wstring wide = valueName == nullptr ? std::wstring() : Widen(valueName);
  return QueryValue(key, wide.c_str(), reserved, type, data, dataSize, false);
}

LSTATUS RegSetValueExW(HKEY key, LPCWSTR valueName, DWORD /*reserved*/, DWORD type,
                       const BYTE* data, DWORD dataSize) {
  Target target;
  Component name;
  LSTATUS status = ValueTarget(key, KEY_SET_VALUE, valueName, &target, &name);
  if (status != ERROR_SUCCESS) return status;
  if (data == nullptr && dataSize != 0) return ERROR_INVALID_PARAMETER;
  if (IsStringType(type) && dataSize % sizeof(wchar_t) != 0) return ERROR_INVALID_PARAMETER;
  const std::string stored = StoredBytes(type, data, dataSize);

  Session session(target.db, Session::Mode::kWrite);
  status = session.status();
  KeyId id = 0;
  bool created = false;
  // Through HKEY_CLASSES_ROOT the key it stands for is made on demand, like the root itself.
  if (status == ERROR_SUCCESS) status = WalkCreating(session, target, target.prefix, &id, &created);
  if (status == ERROR_SUCCESS) status = session.SetValue(id, name.name, name.folded, type, stored);
  if (status == ERROR_SUCCESS) status = session.Commit();
  return status;
}

LSTATUS RegDeleteValueW(HKEY key, LPCWSTR valueName) {
  Target target;
  Component name;
  LSTATUS status = ValueTarget(key, KEY_SET_VALUE, valueName, &target, &name);
  if (status != ERROR_SUCCESS) return status;

  Session session(target.db, Session::Mode::kWrite, /*createMissing=*/false);
  status = session.status();
  KeyId id = 0;
  if (status == ERROR_SUCCESS) status = Walk(session, target, target.prefix, &id);
  if (status == ERROR_SUCCESS) status = session.DeleteValue(id, name.folded);
  if (status == ERROR_SUCCESS) status = session.Commit();
  return status;
}

LSTATUS RegDeleteKeyW(HKEY key, LPCWSTR subKey) {
  if (subKey == nullptr) return ERROR_INVALID_PARAMETER;
  Target target;
  const LSTATUS status = Lookup(key, &target);
  if (status != ERROR_SUCCESS) return status;
  // The handle's rights do not matter: the key to delete is the one that needs them.
  return DeleteBelow(target, subKey, /*includeSelf=*/true, [](Session& session, KeyId id) {
    bool hasChildren = false;
    LSTATUS result = session.HasChildren(id, &hasChildren);
    if (result == ERROR_SUCCESS && hasChildren) result = ERROR_ACCESS_DENIED;
    return result == ERROR_SUCCESS ? session.DeleteKey(id) : result;
  });
}

LSTATUS RegDeleteTreeW(HKEY key, LPCWSTR subKey) {
  Target target;
  LSTATUS status = Lookup(key, &target);
  if (status != ERROR_SUCCESS) return status;
  const bool includeSelf = subKey != nullptr;
  // A named subtree needs no right of this handle (like RegDeleteKeyW); emptying the handle's
  // own key reads and removes its values and subkeys through it.
  if (!includeSelf) {
    status = RequireRights(target, KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE | KEY_SET_VALUE);
    if (status != ERROR_SUCCESS) return status;
  }
  return DeleteBelow(target, subKey, includeSelf, [includeSelf](Session& session, KeyId id) {
    return session.DeleteSubtree(id, includeSelf);
  });
}

LSTATUS RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, LPDWORD nameLength, LPDWORD reserved,
                      LPWSTR keyClass, LPDWORD classLength, FILETIME* lastWrite) {
  if (reserved != nullptr || name == nullptr || nameLength == nullptr) {
    return ERROR_INVALID_PARAMETER;
  }
  if (keyClass != nullptr && classLength == nullptr) return ERROR_INVALID_PARAMETER;
  KeyRecord record;
  LSTATUS status = EntryAt(key, KEY_ENUMERATE_SUB_KEYS, index, &Session::ChildAt, &record);
  if (status != ERROR_SUCCESS) return status;
  if (keyClass != nullptr && *classLength == 0) return ERROR_MORE_DATA;
  status = DeliverName(record.name, name, nameLength);
  if (status != ERROR_SUCCESS) return status;
  if (keyClass != nullptr) keyClass[0] = L'\0';  // classes are not kept
  if (classLength != nullptr) *classLength = 0;
  if (lastWrite != nullptr) {
    lastWrite->dwLowDateTime = static_cast<DWORD>(record.lastWrite & 0xFFFFFFFF);
    lastWrite->dwHighDateTime = static_cast<DWORD>(static_cast<std::uint64_t>(record.lastWrite) >> 32);
  }
  return ERROR_SUCCESS;
}

LSTATUS RegEnumValueW(HKEY key, DWORD index, LPWSTR valueName, LPDWORD valueNameLength,
                      LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD dataSize) {
  if (reserved != nullptr || valueName == nullptr || valueNameLength == nullptr) {
    return ERROR_INVALID_PARAMETER;
  }
  if (data != nullptr && dataSize == nullptr) return ERROR_INVALID_PARAMETER;
  ValueRecord record;
  LSTATUS status = EntryAt(key, KEY_QUERY_VALUE, index, &Session::ValueAt, &record);
  if (status == ERROR_SUCCESS) status = DeliverName(record.name, valueName, valueNameLength);
  if (status != ERROR_SUCCESS) return status;
  if (type != nullptr) *type = record.type;
  return Deliver(IsStringType(record.type) ? WideBytes(record.data) : record.data, data, dataSize);
}

// ---------------------------------------------------------------------------------------------

namespace platform::registry {

Transaction::Transaction(Mode mode)
    : session_(std::make_unique<Session>(Database::ForPath(CurrentDatabasePath()),
                                         mode == Mode::kWrite ? Session::Mode::kWrite
                                                              : Session::Mode::kRead)) {}

Transaction::~Transaction() = default;

LSTATUS Transaction::status() const { return session_->status(); }

LSTATUS Transaction::Commit() { return session_->Commit(); }

}  // namespace platform::registry
