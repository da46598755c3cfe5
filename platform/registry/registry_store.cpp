#include "platform/registry/registry_store.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <random>
#include <string>
#include <system_error>

#include "platform/types/error_codes.h"

namespace platform::registry {
namespace {

constexpr const char* kDefaultPath = "/var/lib/talvaro/registry.db";
// Long enough for any writer of another process to finish; a call that still finds the file
// locked then fails with ERROR_CANTREAD / ERROR_CANTWRITE instead of waiting forever.
constexpr int kBusyTimeoutMs = 10000;
// Marks the file as ours ("TLVR") so that another SQLite database is refused, not misread.
constexpr int kApplicationId = 0x544C5652;
constexpr int kSchemaVersion = 1;

std::int64_t NowFileTime() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  constexpr std::int64_t kUnixEpochIn1601Ticks = 116444736000000000LL;
  return kUnixEpochIn1601Ticks + static_cast<std::int64_t>(now.tv_sec) * 10000000LL +
         now.tv_nsec / 100;
}

bool Accessible(const std::string& path, int mode) {
  return faccessat(AT_FDCWD, path.c_str(), mode, AT_EACCESS) == 0;
}

std::filesystem::path DirectoryOf(const std::string& file) {
  std::filesystem::path dir = std::filesystem::path(file).parent_path();
  return dir.empty() ? std::filesystem::path(".") : dir;
}

// Every Database of this process by path. Replaced, not cleared, in a child made by fork(): the
// inherited connections may be inside the parent's transaction, and closing them in the child
// would roll that back on disk. They are left alone (and leaked) deliberately.
struct ConnectionTable {
  pid_t owner;
  std::map<std::string, std::shared_ptr<Database>> byPath;
};
std::mutex tableMutex;
ConnectionTable* table = nullptr;  // guarded by tableMutex

// RAII over one cached prepared statement: resets it and its bindings when the work is done.
class Query {
 public:
  Query(sqlite3_stmt* statement, int prepareResult)
      : statement_(statement), result_(prepareResult) {}
  ~Query() {
    if (statement_ != nullptr) {
      sqlite3_reset(statement_);
      sqlite3_clear_bindings(statement_);
    }
  }
  Query(const Query&) = delete;
  Query& operator=(const Query&) = delete;

  bool ok() const { return statement_ != nullptr; }
  int prepareResult() const { return result_; }

  Query& Bind(int index, std::int64_t value) {
    sqlite3_bind_int64(statement_, index, value);
    return *this;
  }
  Query& BindText(int index, std::string_view text) {
    sqlite3_bind_text(statement_, index, text.empty() ? "" : text.data(),
                      static_cast<int>(text.size()), SQLITE_STATIC);
    return *this;
  }
  Query& BindBlob(int index, std::string_view bytes) {
    // A null pointer would bind SQL NULL; an empty value is a zero-length blob.
    if (bytes.empty()) {
      sqlite3_bind_zeroblob(statement_, index, 0);
    } else {
      sqlite3_bind_blob64(statement_, index, bytes.data(), bytes.size(), SQLITE_STATIC);
    }
    return *this;
  }
  int Step() { return sqlite3_step(statement_); }

  std::int64_t Int(int column) const { return sqlite3_column_int64(statement_, column); }
  bool IsNull(int column) const { return sqlite3_column_type(statement_, column) == SQLITE_NULL; }
  std::string Bytes(int column) const {
    const void* data = sqlite3_column_blob(statement_, column);
    const int size = sqlite3_column_bytes(statement_, column);
    return data != nullptr && size > 0 ? std::string(static_cast<const char*>(data), size)
                                       : std::string();
  }

 private:
  sqlite3_stmt* statement_;
  int result_;
};

// The columns name, type, data of a `vals` row.
void ReadValueRow(const Query& query, ValueRecord* value) {
  value->name = query.Bytes(0);
  value->type = static_cast<DWORD>(query.Int(1));
  value->data = query.Bytes(2);
}

}  // namespace

std::string CurrentDatabasePath() {
  const char* configured = std::getenv("TALVARO_REGISTRY");
  return configured != nullptr && *configured != '\0' ? configured : kDefaultPath;
}

LSTATUS ErrorFromSqlite(int code, bool write) {
  switch (code & 0xFF) {
    case SQLITE_OK:
    case SQLITE_ROW:
    case SQLITE_DONE:
      return ERROR_SUCCESS;
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
    case SQLITE_FORMAT:
    case SQLITE_SCHEMA:
    case SQLITE_ERROR:       // "no such table" and the like: not a registry file
    case SQLITE_CONSTRAINT:  // our writes never violate the schema of a sound file
    case SQLITE_MISMATCH:
      return ERROR_BADDB;
    case SQLITE_PERM:
    case SQLITE_AUTH:
      return ERROR_ACCESS_DENIED;
    case SQLITE_READONLY:
      // A hot journal that this read-only process cannot roll back is a read failure, not a
      // refusal of our own write.
      return code == SQLITE_READONLY_ROLLBACK || code == SQLITE_READONLY_RECOVERY
                 ? ERROR_CANTREAD
                 : ERROR_ACCESS_DENIED;
    case SQLITE_NOMEM:
      return ERROR_OUTOFMEMORY;
    case SQLITE_TOOBIG:
      return ERROR_NOT_ENOUGH_MEMORY;
    case SQLITE_CANTOPEN:
      return write ? ERROR_CANTWRITE : ERROR_CANTOPEN;
    default:  // BUSY after the time-out, IOERR, FULL, PROTOCOL, ...
      return write ? ERROR_CANTWRITE : ERROR_CANTREAD;
  }
}

// ---------------------------------------------------------------------------------------------
// Database

std::shared_ptr<Database> Database::ForPath(const std::string& path) {
  std::lock_guard lock(tableMutex);
  const pid_t self = getpid();
  if (table == nullptr || table->owner != self) table = new ConnectionTable{self, {}};
  auto& slot = table->byPath[path];
  if (!slot) slot = std::make_shared<Database>(path);
  return slot;
}

Database::Database(std::string path) : path_(std::move(path)) {}

Database::~Database() { Close(); }

LSTATUS Database::CheckWritable() const {
  if (Accessible(path_, F_OK)) {
    if (!Accessible(path_, W_OK)) return ERROR_ACCESS_DENIED;
  } else if (errno != ENOENT) {
    return ERROR_ACCESS_DENIED;
  }
  // The journal is created beside the file, and a missing file (with missing directories) in
  // the nearest directory that exists.
  std::filesystem::path dir = DirectoryOf(path_);
  for (;;) {
    if (Accessible(dir.string(), F_OK)) {
      return Accessible(dir.string(), W_OK | X_OK) ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
    }
    if (errno != ENOENT || !dir.has_relative_path()) return ERROR_ACCESS_DENIED;
    std::filesystem::path parent = dir.parent_path();
    dir = parent.empty() ? std::filesystem::path(".") : parent;
  }
}

LSTATUS Database::Attach(bool write, bool create, bool* absent) {
  *absent = false;
  struct stat st {};
  if (::stat(path_.c_str(), &st) != 0) {
    const int error = errno;
    if (error != ENOENT) return error == EACCES ? ERROR_ACCESS_DENIED : ERROR_CANTOPEN;
    Close();
    if (!write || !create) {
      *absent = true;
      return ERROR_SUCCESS;
    }
    if (CheckWritable() != ERROR_SUCCESS) return ERROR_ACCESS_DENIED;
    std::error_code ec;
    std::filesystem::create_directories(DirectoryOf(path_), ec);
    if (ec) return ec == std::errc::permission_denied ? ERROR_ACCESS_DENIED : ERROR_CANTWRITE;
  } else {
    // Deleted and made again, or replaced: the open connection shows the old file.
    if (connection_ != nullptr && (st.st_dev != device_ || st.st_ino != inode_)) Close();
    if (connection_ != nullptr && write && readOnly_) {
      if (CheckWritable() != ERROR_SUCCESS) return ERROR_ACCESS_DENIED;
      Close();  // it has become writable since it was opened
    }
    if (connection_ != nullptr) return ERROR_SUCCESS;
    if (!S_ISREG(st.st_mode)) return ERROR_CANTOPEN;
    if (!Accessible(path_, R_OK)) return ERROR_ACCESS_DENIED;
  }

  const bool writable = CheckWritable() == ERROR_SUCCESS;
  if (write && !writable) return ERROR_ACCESS_DENIED;
  const int flags = SQLITE_OPEN_NOMUTEX |
                    (writable ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE : SQLITE_OPEN_READONLY);
  sqlite3* connection = nullptr;
  const int rc = sqlite3_open_v2(path_.c_str(), &connection, flags, nullptr);
  if (rc != SQLITE_OK) {
    sqlite3_close_v2(connection);
    return ErrorFromSqlite(rc, write);
  }
  sqlite3_extended_result_codes(connection, 1);
  sqlite3_busy_timeout(connection, kBusyTimeoutMs);
  sqlite3_db_config(connection, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
  struct stat opened {};
  if (::stat(path_.c_str(), &opened) == 0) {
    device_ = opened.st_dev;
    inode_ = opened.st_ino;
  }
  connection_ = connection;
  readOnly_ = !writable;
  schema_ = Schema::kUnknown;
  broken_ = false;
  return ERROR_SUCCESS;
}

void Database::Close() {
  for (auto& entry : cache_) sqlite3_finalize(entry.second);
  cache_.clear();
  if (connection_ != nullptr) sqlite3_close_v2(connection_);  // rolls back what is still open
  connection_ = nullptr;
  schema_ = Schema::kUnknown;
  readOnly_ = false;
  broken_ = false;
  identity_ = 0;
  device_ = 0;
  inode_ = 0;
}

sqlite3_stmt* Database::Statement(const char* sql, int* rc) {
  auto found = cache_.find(sql);
  if (found != cache_.end()) {
    *rc = SQLITE_OK;
    return found->second;
  }
  sqlite3_stmt* statement = nullptr;
  *rc = sqlite3_prepare_v3(connection_, sql, -1, SQLITE_PREPARE_PERSISTENT, &statement, nullptr);
  if (*rc != SQLITE_OK) {
    sqlite3_finalize(statement);
    return nullptr;
  }
  cache_.emplace(sql, statement);
  return statement;
}

int Database::Exec(const char* sql) {
  // Transaction control runs on every call: prepared once, like the queries.
  int rc = SQLITE_OK;
  Query query(Statement(sql, &rc), rc);
  if (!query.ok()) return rc;
  rc = query.Step();
  return rc == SQLITE_DONE || rc == SQLITE_ROW ? SQLITE_OK : rc;
}

int Database::ScalarInt(const char* sql, std::int64_t* value) {
  int rc = SQLITE_OK;
  Query query(Statement(sql, &rc), rc);
  if (!query.ok()) return rc;
  rc = query.Step();
  if (rc != SQLITE_ROW) return rc == SQLITE_DONE ? SQLITE_CORRUPT : rc;
  *value = query.Int(0);
  return SQLITE_OK;
}

int Database::InspectSchema() {
  std::int64_t tables = 0, applicationId = 0, version = 0;
  int rc = ScalarInt("SELECT count(*) FROM sqlite_schema", &tables);
  if (rc != SQLITE_OK) return rc;
  if (tables == 0) {
    schema_ = Schema::kBlank;
    return SQLITE_OK;
  }
  rc = ScalarInt("PRAGMA application_id", &applicationId);
  if (rc == SQLITE_OK) rc = ScalarInt("PRAGMA user_version", &version);
  if (rc != SQLITE_OK) return rc;
  if (applicationId != kApplicationId || version != kSchemaVersion) return SQLITE_NOTADB;
  rc = ScalarInt("SELECT value FROM identity", &identity_);
  if (rc != SQLITE_OK) return rc;
  schema_ = Schema::kReady;
  return SQLITE_OK;
}

int Database::CreateSchema() {
  // From the kernel's generator: SQLite's own one is copied into children by fork().
  std::random_device random;
  std::int64_t identity = 0;
  while (identity == 0) {
    identity = static_cast<std::int64_t>(
        ((static_cast<std::uint64_t>(random()) << 32) | random()) & 0x7FFFFFFFFFFFFFFFULL);
  }
  const std::string sql =
      "CREATE TABLE keys("
      "  id INTEGER PRIMARY KEY AUTOINCREMENT,"
      "  parent INTEGER,"
      "  name TEXT NOT NULL,"
      "  folded TEXT NOT NULL,"
      "  last_write INTEGER NOT NULL);"
      "CREATE UNIQUE INDEX keys_by_parent ON keys(parent, folded);"
      "CREATE TABLE vals("
      "  key INTEGER NOT NULL,"
      "  name TEXT NOT NULL,"
      "  folded TEXT NOT NULL,"
      "  type INTEGER NOT NULL,"
      "  data BLOB NOT NULL,"
      "  PRIMARY KEY(key, folded)) WITHOUT ROWID;"
      "CREATE TABLE identity(value INTEGER NOT NULL);"
      "INSERT INTO identity(value) VALUES(" +
      std::to_string(identity) +
      ");"
      "INSERT INTO keys(id, parent, name, folded, last_write) VALUES(1, NULL, '', '', " +
      std::to_string(NowFileTime()) +
      ");"
      "PRAGMA application_id = " +
      std::to_string(kApplicationId) +
      ";"
      "PRAGMA user_version = " +
      std::to_string(kSchemaVersion) + ";";
  const int rc = sqlite3_exec(connection_, sql.c_str(), nullptr, nullptr, nullptr);
  if (rc == SQLITE_OK) {
    schema_ = Schema::kReady;
    identity_ = identity;
  }
  return rc;
}

// ---------------------------------------------------------------------------------------------
// Session

Session::Session(const std::shared_ptr<Database>& db, Mode mode, bool createMissing)
    : db_(db), lock_(db->mutex_), mode_(mode) {
  Database& d = *db_;
  const bool write = mode_ == Mode::kWrite;
  if (d.depth_ > 0) {
    // Inside a Transaction of this thread: a savepoint keeps this call all-or-nothing.
    nested_ = true;
    if (write && !d.outerWrite_) {
      status_ = ERROR_INVALID_FUNCTION;  // a write inside a read transaction
      ended_ = true;
      return;
    }
    blank_ = d.outerBlank_;
    if (!blank_) {
      const int rc = d.Exec("SAVEPOINT registry_call");
      if (rc != SQLITE_OK) {
        status_ = Fail(rc);
        ended_ = true;
        return;
      }
      inTransaction_ = true;
    }
    ++d.depth_;
    return;
  }

  bool absent = false;
  status_ = d.Attach(write, createMissing, &absent);
  if (status_ == ERROR_SUCCESS && absent) {
    blank_ = true;
  } else if (status_ == ERROR_SUCCESS) {
    int rc = d.Exec(write ? "BEGIN IMMEDIATE" : "BEGIN");
    if (rc == SQLITE_OK) {
      inTransaction_ = true;
      if (d.schema_ != Database::Schema::kReady) rc = d.InspectSchema();
      if (rc == SQLITE_OK && d.schema_ == Database::Schema::kBlank) {
        if (write) {
          rc = d.CreateSchema();
        } else {
          blank_ = true;
        }
      }
    }
    if (rc != SQLITE_OK) status_ = Fail(rc);
  }
  if (status_ != ERROR_SUCCESS) {
    End(false);
    return;
  }
  d.depth_ = 1;
  d.outerWrite_ = write;
  d.outerBlank_ = blank_;
}

Session::~Session() { End(false); }

LSTATUS Session::Commit() {
  if (status_ != ERROR_SUCCESS) return status_;
  End(true);
  return status_;
}

void Session::End(bool commit) {
  if (ended_) return;
  ended_ = true;
  Database& d = *db_;
  if (inTransaction_) {
    inTransaction_ = false;
    if (nested_) {
      if (!commit) d.Exec("ROLLBACK TO registry_call");
      d.Exec("RELEASE registry_call");
    } else if (commit) {
      const int rc = d.Exec("COMMIT");
      if (rc != SQLITE_OK) {
        status_ = Fail(rc);
        d.Exec("ROLLBACK");
      }
    } else {
      d.Exec("ROLLBACK");
    }
  }
  if (nested_) {
    --d.depth_;
    return;
  }
  d.depth_ = 0;
  d.outerWrite_ = false;
  d.outerBlank_ = false;
  if (d.broken_) d.Close();  // a damaged or foreign file: look at it afresh next time
}

std::int64_t Session::identity() const { return blank_ ? 0 : db_->identity_; }

LSTATUS Session::Fail(int sqliteCode) {
  const LSTATUS status = ErrorFromSqlite(sqliteCode, mode_ == Mode::kWrite);
  if (status == ERROR_BADDB) db_->broken_ = true;
  return status;
}

LSTATUS Session::ExecuteFor(const char* sql, KeyId id) {
  int rc = SQLITE_OK;
  Query query(db_->Statement(sql, &rc), rc);
  if (!query.ok()) return Fail(rc);
  rc = query.Bind(1, id).Step();
  return rc == SQLITE_DONE ? ERROR_SUCCESS : Fail(rc);
}

LSTATUS Session::Touch(KeyId id) {
  if (blank_) return ERROR_INVALID_FUNCTION;  // nothing is written without a file
  int rc = SQLITE_OK;
  Query query(db_->Statement("UPDATE keys SET last_write = ?2 WHERE id = ?1", &rc), rc);
  if (!query.ok()) return Fail(rc);
  rc = query.Bind(1, id).Bind(2, NowFileTime()).Step();
  return rc == SQLITE_DONE ? ERROR_SUCCESS : Fail(rc);
}

LSTATUS Session::CheckKey(KeyId id) {
  if (blank_) return id == kRootKeyId ? ERROR_SUCCESS : ERROR_KEY_DELETED;
  int rc = SQLITE_OK;
  Query query(db_->Statement("SELECT 1 FROM keys WHERE id = ?1", &rc), rc);
  if (!query.ok()) return Fail(rc);
  rc = query.Bind(1, id).Step();
  if (rc == SQLITE_ROW) return ERROR_SUCCESS;
  return rc == SQLITE_DONE ? ERROR_KEY_DELETED : Fail(rc);
}

LSTATUS Session::FindChild(KeyId parent, std::string_view folded, KeyId* child) {
  if (blank_) return ERROR_FILE_NOT_FOUND;
  int rc = SQLITE_OK;
  Query query(db_->Statement("SELECT id FROM keys WHERE parent = ?1 AND folded = ?2", &rc), rc);
  if (!query.ok()) return Fail(rc);
  rc = query.Bind(1, parent).BindText(2, folded).Step();
  if (rc == SQLITE_ROW) {
    *child = query.Int(0);
    return ERROR_SUCCESS;
  }
  return rc == SQLITE_DONE ? ERROR_FILE_NOT_FOUND : Fail(rc);
}

LSTATUS Session::CreateChild(KeyId parent, std::string_view name, std::string_view folded,
                             KeyId* child) {
  if (blank_) return ERROR_INVALID_FUNCTION;
  int rc = SQLITE_OK;
  {
    Query query(db_->Statement("INSERT INTO keys(parent, name, folded, last_write) "
                               "VALUES(?1, ?2, ?3, ?4)",
                               &rc),
                rc);
    if (!query.ok()) return Fail(rc);
    rc = query.Bind(1, parent).BindText(2, name).BindText(3, folded).Bind(4, NowFileTime()).Step();
    if (rc != SQLITE_DONE) return Fail(rc);
  }
  *child = sqlite3_last_insert_rowid(db_->connection_);
  return Touch(parent);
}

LSTATUS Session::HasChildren(KeyId id, bool* result) {
  *result = false;
  if (blank_) return ERROR_SUCCESS;
  int rc = SQLITE_OK;
  Query query(db_->Statement("SELECT EXISTS(SELECT 1 FROM keys WHERE parent = ?1)", &rc), rc);
  if (!query.ok()) return Fail(rc);
  rc = query.Bind(1, id).Step();
  if (rc != SQLITE_ROW) return Fail(rc);
  *result = query.Int(0) != 0;
  return ERROR_SUCCESS;
}

LSTATUS Session::ParentOf(KeyId id, KeyId* parent) {
  if (blank_) return ERROR_KEY_DELETED;
  int rc = SQLITE_OK;
  Query query(db_->Statement("SELECT parent FROM keys WHERE id = ?1", &rc), rc);
  if (!query.ok()) return Fail(rc);
  rc = query.Bind(1, id).Step();
  if (rc == SQLITE_DONE) return ERROR_KEY_DELETED;
  if (rc != SQLITE_ROW) return Fail(rc);
  *parent = query.IsNull(0) ? 0 : query.Int(0);
  return ERROR_SUCCESS;
}

LSTATUS Session::DeleteKey(KeyId id) {
  if (blank_) return ERROR_KEY_DELETED;
  KeyId parent = 0;
  LSTATUS status = ParentOf(id, &parent);
  if (status == ERROR_SUCCESS) status = ExecuteFor("DELETE FROM vals WHERE key = ?1", id);
  if (status == ERROR_SUCCESS) status = ExecuteFor("DELETE FROM keys WHERE id = ?1", id);
  if (status != ERROR_SUCCESS) return status;
  return parent != 0 ? Touch(parent) : ERROR_SUCCESS;
}

LSTATUS Session::DeleteSubtree(KeyId id, bool includeSelf) {
  if (blank_) return ERROR_SUCCESS;  // nothing below the root of an empty registry
  static constexpr const char* kDeleteValuesBelow =
      "WITH RECURSIVE sub(id) AS (SELECT id FROM keys WHERE parent = ?1 "
      "UNION ALL SELECT keys.id FROM keys JOIN sub ON keys.parent = sub.id) "
      "DELETE FROM vals WHERE key IN (SELECT id FROM sub)";
  static constexpr const char* kDeleteKeysBelow =
      "WITH RECURSIVE sub(id) AS (SELECT id FROM keys WHERE parent = ?1 "
      "UNION ALL SELECT keys.id FROM keys JOIN sub ON keys.parent = sub.id) "
      "DELETE FROM keys WHERE id IN (SELECT id FROM sub)";
  LSTATUS status = ExecuteFor(kDeleteValuesBelow, id);
  if (status == ERROR_SUCCESS) status = ExecuteFor(kDeleteKeysBelow, id);
  if (status != ERROR_SUCCESS) return status;
  if (includeSelf) return DeleteKey(id);
  status = ExecuteFor("DELETE FROM vals WHERE key = ?1", id);
  return status == ERROR_SUCCESS ? Touch(id) : status;
}

LSTATUS Session::GetValue(KeyId key, std::string_view folded, ValueRecord* value) {
  if (blank_) return ERROR_FILE_NOT_FOUND;
  int rc = SQLITE_OK;
  Query query(db_->Statement("SELECT name, type, data FROM vals WHERE key = ?1 AND folded = ?2",
                             &rc),
              rc);
  if (!query.ok()) return Fail(rc);
  rc = query.Bind(1, key).BindText(2, folded).Step();
  if (rc == SQLITE_DONE) return ERROR_FILE_NOT_FOUND;
  if (rc != SQLITE_ROW) return Fail(rc);
  ReadValueRow(query, value);
  return ERROR_SUCCESS;
}

LSTATUS Session::SetValue(KeyId key, std::string_view name, std::string_view folded, DWORD type,
                          std::string_view data) {
  if (blank_) return ERROR_INVALID_FUNCTION;
  int rc = SQLITE_OK;
  {
    // An existing value keeps the case of its name, as on the original platform.
    Query query(db_->Statement("INSERT INTO vals(key, name, folded, type, data) "
                               "VALUES(?1, ?2, ?3, ?4, ?5) ON CONFLICT(key, folded) "
                               "DO UPDATE SET type = excluded.type, data = excluded.data",
                               &rc),
                rc);
    if (!query.ok()) return Fail(rc);
    rc = query.Bind(1, key)
             .BindText(2, name)
             .BindText(3, folded)
             .Bind(4, static_cast<std::int64_t>(type))
             .BindBlob(5, data)
             .Step();
    if (rc != SQLITE_DONE) return Fail(rc);
  }
  return Touch(key);
}

LSTATUS Session::DeleteValue(KeyId key, std::string_view folded) {
  if (blank_) return ERROR_FILE_NOT_FOUND;
  int rc = SQLITE_OK;
  {
    Query query(db_->Statement("DELETE FROM vals WHERE key = ?1 AND folded = ?2", &rc), rc);
    if (!query.ok()) return Fail(rc);
    rc = query.Bind(1, key).BindText(2, folded).Step();
    if (rc != SQLITE_DONE) return Fail(rc);
  }
  if (sqlite3_changes(db_->connection_) == 0) return ERROR_FILE_NOT_FOUND;
  return Touch(key);
}

LSTATUS Session::ChildAt(KeyId parent, DWORD index, KeyRecord* key) {
  if (blank_) return ERROR_NO_MORE_ITEMS;
  int rc = SQLITE_OK;
  Query query(db_->Statement("SELECT id, name, last_write FROM keys WHERE parent = ?1 "
                             "ORDER BY folded LIMIT 1 OFFSET ?2",
                             &rc),
              rc);
  if (!query.ok()) return Fail(rc);
  rc = query.Bind(1, parent).Bind(2, index).Step();
  if (rc == SQLITE_DONE) return ERROR_NO_MORE_ITEMS;
  if (rc != SQLITE_ROW) return Fail(rc);
  key->id = query.Int(0);
  key->name = query.Bytes(1);
  key->lastWrite = query.Int(2);
  return ERROR_SUCCESS;
}

LSTATUS Session::ValueAt(KeyId key, DWORD index, ValueRecord* value) {
  if (blank_) return ERROR_NO_MORE_ITEMS;
  int rc = SQLITE_OK;
  Query query(db_->Statement("SELECT name, type, data FROM vals WHERE key = ?1 "
                             "ORDER BY folded LIMIT 1 OFFSET ?2",
                             &rc),
              rc);
  if (!query.ok()) return Fail(rc);
  rc = query.Bind(1, key).Bind(2, index).Step();
  if (rc == SQLITE_DONE) return ERROR_NO_MORE_ITEMS;
  if (rc != SQLITE_ROW) return Fail(rc);
  ReadValueRow(query, value);
  return ERROR_SUCCESS;
}

}  // namespace platform::registry
