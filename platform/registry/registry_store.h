// Internals of the registry: the object behind an HKEY and the SQLite store that every registry
// call goes through. Only platform/registry uses this header.
//
// Layout of the file (see docs/registry.md): table `keys` (id, parent, name, folded, last_write)
// with id 1 the root HKEY_LOCAL_MACHINE, table `vals` (key, name, folded, type, data), and table
// `identity` with one random number that tells this file from a later one at the same path. Names
// keep their case in `name`; `folded` holds the upper-cased form that all lookups and orderings
// use. String data is stored as UTF-8 of the caller's wchar_t units, everything else raw.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/registry/registry.h"
#include "platform/types/error_codes.h"

struct sqlite3;
struct sqlite3_stmt;

namespace platform::registry {

using KeyId = std::int64_t;
inline constexpr KeyId kRootKeyId = 1;  // HKEY_LOCAL_MACHINE itself

struct KeyRecord {
  KeyId id = 0;
  std::string name;            // UTF-8, original case
  std::int64_t lastWrite = 0;  // FILETIME ticks
};

struct ValueRecord {
  std::string name;  // UTF-8, original case; empty for the default value
  DWORD type = REG_NONE;
  std::string data;  // as stored: UTF-8 for the string types, raw bytes otherwise
};


// One registry file and this process's single connection to it. Shared by every handle and call
// that names the same path; all state is guarded by `mutex_`, which a Session holds for the
// duration of one registry call (or of a whole Transaction, on the thread that made it).
class Database {
 public:
  // The process's Database for `path`, created on first use and kept for the process lifetime.
  // A child created by fork() gets fresh objects: the parent's connections are never touched.
  static std::shared_ptr<Database> ForPath(const std::string& path);

  explicit Database(std::string path);
  ~Database();
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  const std::string& path() const { return path_; }

  // ERROR_SUCCESS when this process may write the file (and create its journal beside it), or
  // create it when it does not exist yet; ERROR_ACCESS_DENIED otherwise. Takes no lock.
  LSTATUS CheckWritable() const;

 private:
  friend class Session;

  enum class Schema { kUnknown, kReady, kBlank };

  // The following run with mutex_ held.
  // (Re)opens the connection as the file requires; `absent` when there is no file and none is
  // to be made.
  LSTATUS Attach(bool write, bool create, bool* absent);
  void Close();
  // These return SQLite result codes, mapped by the calling Session.
  int InspectSchema();
  int CreateSchema();
  int Exec(const char* sql);
  // The first column of the first row; SQLITE_CORRUPT when there is no row.
  int ScalarInt(const char* sql, std::int64_t* value);
  sqlite3_stmt* Statement(const char* sql, int* rc);

  const std::string path_;

  std::recursive_mutex mutex_;
  sqlite3* connection_ = nullptr;                // guarded by mutex_
  std::map<const char*, sqlite3_stmt*> cache_;   // guarded by mutex_; keyed by the SQL literal
  Schema schema_ = Schema::kUnknown;             // guarded by mutex_
  bool readOnly_ = false;                        // guarded by mutex_
  std::int64_t identity_ = 0;                    // guarded by mutex_: of a kReady file
  bool broken_ = false;                          // guarded by mutex_: close at the end of the call
  dev_t device_ = 0;                             // guarded by mutex_: identity of the open file
  ino_t inode_ = 0;                              // guarded by mutex_
  int depth_ = 0;                                // guarded by mutex_: Sessions open on this thread
  bool outerWrite_ = false;                      // guarded by mutex_: mode of the outermost one
  bool outerBlank_ = false;                      // guarded by mutex_: it found no registry yet
};

// One unit of work: holds the connection lock and a transaction for its lifetime; nested in
// another Session of the same thread (a Transaction) it is a savepoint instead. Changes are kept
// only by Commit(). A read Session on a file that does not exist or holds no registry yet is
// "blank": it finds nothing but the root and never creates the file.
class Session {
 public:
  enum class Mode { kRead, kWrite };

  // A write Session creates a missing file (and its directories) unless `createMissing` is false;
  // then it is blank like a read Session, for deletions that have nothing to delete.
  Session(const std::shared_ptr<Database>& db, Mode mode, bool createMissing = true);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  LSTATUS status() const { return status_; }
  LSTATUS Commit();
  // The file's identity (0 while blank). Key ids are only meaningful with it.
  std::int64_t identity() const;

  // ERROR_SUCCESS when the key exists, ERROR_KEY_DELETED when it does not (any more).
  LSTATUS CheckKey(KeyId id);
  LSTATUS FindChild(KeyId parent, std::string_view folded, KeyId* child);
  LSTATUS CreateChild(KeyId parent, std::string_view name, std::string_view folded, KeyId* child);
  LSTATUS HasChildren(KeyId id, bool* result);
  LSTATUS ParentOf(KeyId id, KeyId* parent);
  // Deletes the key and its values; the caller made sure it has no subkeys.
  LSTATUS DeleteKey(KeyId id);
  // Deletes every subkey and value below `id`, and the key itself when `includeSelf`.
  LSTATUS DeleteSubtree(KeyId id, bool includeSelf);
  LSTATUS GetValue(KeyId key, std::string_view folded, ValueRecord* value);
  LSTATUS SetValue(KeyId key, std::string_view name, std::string_view folded, DWORD type,
                   std::string_view data);
  LSTATUS DeleteValue(KeyId key, std::string_view folded);
  // Entries by index in ascending folded-name order; ERROR_NO_MORE_ITEMS past the end.
  LSTATUS ChildAt(KeyId parent, DWORD index, KeyRecord* key);
  LSTATUS ValueAt(KeyId key, DWORD index, ValueRecord* value);

 private:
  LSTATUS Fail(int sqliteCode);
  LSTATUS Touch(KeyId id);
  // Runs a statement that returns no rows, with `id` bound to ?1.
  LSTATUS ExecuteFor(const char* sql, KeyId id);
  void End(bool commit);

  std::shared_ptr<Database> db_;
  std::unique_lock<std::recursive_mutex> lock_;
  Mode mode_;
  bool nested_ = false;
  bool inTransaction_ = false;  // a BEGIN or SAVEPOINT is open
  bool blank_ = false;
  bool ended_ = false;
  LSTATUS status_ = ERROR_SUCCESS;
};

// Win32 code for an SQLite result; `write` picks CANTWRITE over CANTREAD for I/O failures.
LSTATUS ErrorFromSqlite(int code, bool write);

}  // namespace platform::registry

// The object behind an HKEY. The two predefined roots are static instances; every other one is
// made by RegOpenKeyEx/RegCreateKeyEx and owned by the handle table in registry.cpp. Immutable
// after creation, so any thread may use a handle while another uses it too.
struct RegistryKey {
  enum class Kind { kLocalMachine, kClassesRoot, kOpened };
  Kind kind = Kind::kOpened;
  std::string databasePath;                        // kOpened: the file the key lives in
  platform::registry::KeyId id = 0;                // kOpened: the key's row
  std::int64_t fileIdentity = 0;                   // kOpened: of the file that row is in
  REGSAM access = 0;                               // kOpened: rights granted at opening
};
