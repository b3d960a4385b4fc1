// The settings store on SQLite. Keys form a tree in one table; values hang off their key and
// enumerate by row id, which keeps creation order even when a value is rewritten.

#include <fcntl.h>
#include <pwd.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <unordered_map>

#include "platform/settings_store.h"

namespace kova::platform {

struct TRegKey {
  sqlite3_int64 Id;
  std::vector<std::string> Names;  // enumeration snapshot
};

namespace {

constexpr sqlite3_int64 kRootId = 1;

const char* const kSchema =
    "CREATE TABLE IF NOT EXISTS keys("
    "  id INTEGER PRIMARY KEY,"
    "  parent INTEGER REFERENCES keys(id),"
    "  name TEXT NOT NULL COLLATE NOCASE,"
    "  UNIQUE(parent, name));"
    "CREATE TABLE IF NOT EXISTS vals("
    "  id INTEGER PRIMARY KEY AUTOINCREMENT,"
    "  key INTEGER NOT NULL REFERENCES keys(id) ON DELETE CASCADE,"
    "  name TEXT NOT NULL COLLATE NOCASE,"
    "  type INTEGER NOT NULL,"
    "  data BLOB NOT NULL,"
    "  UNIQUE(key, name));"
    "INSERT OR IGNORE INTO keys(id, parent, name) VALUES(1, NULL, 'HKEY_CURRENT_USER');";

class TStatement {
 public:
  TStatement() = default;
  TStatement(const TStatement&) = delete;
  TStatement& operator=(const TStatement&) = delete;
  ~TStatement() { sqlite3_finalize(stmt_); }
  bool Prepare(sqlite3* db, const char* sql) {
    return sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt_, nullptr) == SQLITE_OK;
  }
  sqlite3_stmt* Get() const { return stmt_; }

 private:
  sqlite3_stmt* stmt_ = nullptr;
};

// One run of a prepared statement. It is reset when the run ends: a statement left standing on
// a row keeps its read transaction open, and the connection would then neither see other
// processes' commits nor be able to write.
class TRun {
 public:
  explicit TRun(const TStatement& s) : stmt_(s.Get()) {}
  ~TRun() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
  }
  TRun(const TRun&) = delete;
  TRun& operator=(const TRun&) = delete;
  operator sqlite3_stmt*() const { return stmt_; }

 private:
  sqlite3_stmt* stmt_;
};

void BindText(sqlite3_stmt* s, int i, const std::string& v) {
  sqlite3_bind_text(s, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
}

std::string ColumnBytes(sqlite3_stmt* s, int i) {
  const void* p = sqlite3_column_blob(s, i);
  const int n = sqlite3_column_bytes(s, i);
  return p ? std::string(static_cast<const char*>(p), static_cast<std::size_t>(n)) : std::string();
}

class TStore {
 public:
  ~TStore() { Close(); }

  sqlite3* Db() {
    if (!db_) Open();
    return db_;
  }

  void Close() {
    if (!db_) return;
    statements_.reset();
    sqlite3_close_v2(db_);
    db_ = nullptr;
    batchDepth_ = 0;
    walked_.clear();
  }

  struct TStatements {
    TStatement FindChild, InsertKey, HasChildren, DeleteKey, SetValue, QueryValue, ListNames,
        ListValues, KeyExists;
  };
  TStatements& S() { return *statements_; }

  int batchDepth_ = 0;
  // Key paths already walked in the current batch: saving or loading thousands of values under
  // one key would otherwise walk its path again for every value. Other processes cannot change
  // keys while the batch holds its transaction.
  std::unordered_map<std::string, sqlite3_int64> walked_;

 private:
  void Open() {
    const std::string path = SettingsStorePath();
    const std::size_t slash = path.rfind('/');
    if (slash != std::string::npos && slash > 0) {
      // Create the folder chain with private permissions; an existing one is left as it is.
      for (std::size_t i = 1; i <= slash; ++i) {
        if (i == slash || path[i] == '/') ::mkdir(path.substr(0, i).c_str(), 0700);
      }
    }
    // The store is the player's own: made readable by nobody else before SQLite opens it (its
    // log files take the same permissions).
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd >= 0) {
      ::fchmod(fd, 0600);
      ::close(fd);
    }
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                        nullptr) != SQLITE_OK) {
      sqlite3_close_v2(db);
      return;
    }
    sqlite3_busy_timeout(db, 1000);
    // The log of changes stays when the store is closed, instead of being folded into the store
    // and synced to disk at every exit of the program: a run then waits on no disk flush at all.
    // SQLite still folds it in, safely, once it has grown.
    sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
    auto statements = std::make_unique<TStatements>();
    const bool ok =
        sqlite3_exec(db,
                     "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; PRAGMA foreign_keys=ON;",
                     nullptr, nullptr, nullptr) == SQLITE_OK &&
        sqlite3_exec(db, kSchema, nullptr, nullptr, nullptr) == SQLITE_OK &&
        statements->FindChild.Prepare(db, "SELECT id FROM keys WHERE parent = ? AND name = ?") &&
        statements->InsertKey.Prepare(db, "INSERT INTO keys(parent, name) VALUES(?, ?)") &&
        statements->HasChildren.Prepare(db, "SELECT 1 FROM keys WHERE parent = ? LIMIT 1") &&
        statements->DeleteKey.Prepare(db, "DELETE FROM keys WHERE id = ?") &&
        statements->SetValue.Prepare(
            db,
            "INSERT INTO vals(key, name, type, data) VALUES(?, ?, ?, ?) "
            "ON CONFLICT(key, name) DO UPDATE SET type = excluded.type, data = excluded.data") &&
        statements->QueryValue.Prepare(db,
                                       "SELECT type, data FROM vals WHERE key = ? AND name = ?") &&
        statements->ListNames.Prepare(db, "SELECT name FROM vals WHERE key = ? ORDER BY id") &&
        statements->ListValues.Prepare(
            db, "SELECT name, type, data FROM vals WHERE key = ? ORDER BY id") &&
        statements->KeyExists.Prepare(db, "SELECT 1 FROM keys WHERE id = ?");
    if (!ok) {
      statements.reset();
      sqlite3_close_v2(db);
      return;
    }
    db_ = db;
    statements_ = std::move(statements);
  }

  sqlite3* db_ = nullptr;
  std::unique_ptr<TStatements> statements_;
};

TStore& Store() {
  static TStore store;
  return store;
}

// Walks `subKey` from the root; creates missing keys when asked.
bool WalkKey(const std::string& subKey, bool create, sqlite3_int64& id) {
  TStore& store = Store();
  sqlite3* db = store.Db();
  if (!db) return false;
  std::string folded;
  if (store.batchDepth_ > 0) {
    folded.reserve(subKey.size());
    for (char c : subKey) folded += (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
    const auto found = store.walked_.find(folded);
    if (found != store.walked_.end()) {
      id = found->second;
      return true;
    }
  }
  struct TRemember {
    TStore& store;
    const std::string& key;
    sqlite3_int64& id;
    bool ok = false;
    ~TRemember() {
      if (ok && store.batchDepth_ > 0) store.walked_[key] = id;
    }
  } remember{store, folded, id};
  id = kRootId;
  std::size_t start = 0;
  while (start <= subKey.size()) {
    std::size_t end = subKey.find('\\', start);
    if (end == std::string::npos) end = subKey.size();
    const std::string part = subKey.substr(start, end - start);
    start = end + 1;
    if (part.empty()) {
      if (end == subKey.size()) break;
      continue;
    }
    TRun find(store.S().FindChild);
    sqlite3_bind_int64(find, 1, id);
    BindText(find, 2, part);
    const int rc = sqlite3_step(find);
    if (rc == SQLITE_ROW) {
      id = sqlite3_column_int64(find, 0);
      continue;
    }
    if (rc != SQLITE_DONE || !create) return false;
    TRun insert(store.S().InsertKey);
    sqlite3_bind_int64(insert, 1, id);
    BindText(insert, 2, part);
    if (sqlite3_step(insert) != SQLITE_DONE) return false;
    id = sqlite3_last_insert_rowid(db);
  }
  remember.ok = true;
  return true;
}

bool OpenKey(const std::string& subKey, bool create, TRegKeyHandle& key) {
  key = nullptr;
  sqlite3_int64 id = 0;
  if (!WalkKey(subKey, create, id)) return false;
  key = new TRegKey{id, {}};
  return true;
}

}  // namespace

std::string SettingsStorePath() {
  if (const char* forced = std::getenv("KOVA_REGISTRY"); forced && *forced) return forced;
  std::string base;
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && xdg[0] == '/') {
    base = xdg;
  } else {
    const char* home = std::getenv("HOME");
    if (!home || !*home) {
      const passwd* pw = ::getpwuid(::getuid());
      home = pw ? pw->pw_dir : "/tmp";
    }
    base = std::string(home) + "/.config";
  }
  return base + "/kovaupdater/registry.sqlite3";
}

std::string SettingsFolder() {
  const std::string store = SettingsStorePath();
  const std::size_t slash = store.rfind('/');
  return slash == std::string::npos ? std::string(".") : store.substr(0, slash);
}

void CloseSettingsStore() {
  Store().Close();
}

bool CreateKey(TRegRoot, const std::string& subKey, TRegKeyHandle& key) {
  return OpenKey(subKey, true, key);
}

bool OpenKey(TRegRoot, const std::string& subKey, TRegKeyHandle& key) {
  return OpenKey(subKey, false, key);
}

void CloseKey(TRegKeyHandle key) {
  delete key;
}

bool SetValue(TRegKeyHandle key, const std::string& name, std::uint32_t type,
              const std::string& data) {
  if (!key || !Store().Db()) return false;
  TRun s(Store().S().SetValue);
  sqlite3_bind_int64(s, 1, key->Id);
  BindText(s, 2, name);
  sqlite3_bind_int64(s, 3, type);
  sqlite3_bind_blob(s, 4, data.data(), static_cast<int>(data.size()), SQLITE_TRANSIENT);
  // A key deleted meanwhile fails here through its foreign key.
  return sqlite3_step(s) == SQLITE_DONE;
}

bool QueryValue(TRegKeyHandle key, const std::string& name, std::uint32_t& type,
                std::string& data) {
  data.clear();
  if (!key || !Store().Db()) return false;
  TRun s(Store().S().QueryValue);
  sqlite3_bind_int64(s, 1, key->Id);
  BindText(s, 2, name);
  if (sqlite3_step(s) != SQLITE_ROW) return false;
  type = static_cast<std::uint32_t>(sqlite3_column_int64(s, 0));
  data = ColumnBytes(s, 1);
  return true;
}

bool EnumValueName(TRegKeyHandle key, std::uint32_t index, std::string& name) {
  if (!key || !Store().Db()) return false;
  if (index == 0) {
    key->Names.clear();
    TRun s(Store().S().ListNames);
    sqlite3_bind_int64(s, 1, key->Id);
    int rc;
    while ((rc = sqlite3_step(s)) == SQLITE_ROW) key->Names.push_back(ColumnBytes(s, 0));
    if (rc != SQLITE_DONE) {
      key->Names.clear();
      return false;
    }
  }
  if (index >= key->Names.size()) return false;
  name = key->Names[index];
  return true;
}

bool EnumValues(
    TRegKeyHandle key,
    const std::function<bool(const std::string&, std::uint32_t, const std::string&)>& each) {
  if (!key || !Store().Db()) return false;
  TRun s(Store().S().ListValues);
  sqlite3_bind_int64(s, 1, key->Id);
  int rc;
  while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
    if (!each(ColumnBytes(s, 0), static_cast<std::uint32_t>(sqlite3_column_int64(s, 1)),
              ColumnBytes(s, 2)))
      break;
  }
  return rc == SQLITE_ROW || rc == SQLITE_DONE;
}

bool DeleteKey(TRegKeyHandle key, const std::string& name) {
  if (!key || !Store().Db()) return false;
  TStore& store = Store();
  sqlite3_int64 victim = key->Id;
  if (!name.empty()) {
    TRun find(store.S().FindChild);
    sqlite3_bind_int64(find, 1, key->Id);
    BindText(find, 2, name);
    if (sqlite3_step(find) != SQLITE_ROW) return false;
    victim = sqlite3_column_int64(find, 0);
  } else {
    TRun exists(store.S().KeyExists);
    sqlite3_bind_int64(exists, 1, victim);
    if (sqlite3_step(exists) != SQLITE_ROW) return false;
  }
  if (victim == kRootId) return false;
  TRun children(store.S().HasChildren);
  sqlite3_bind_int64(children, 1, victim);
  const int rc = sqlite3_step(children);
  if (rc != SQLITE_DONE) return false;  // has subkeys, or the store failed
  store.walked_.clear();                // the deleted key may be remembered under several paths
  TRun del(store.S().DeleteKey);
  sqlite3_bind_int64(del, 1, victim);
  return sqlite3_step(del) == SQLITE_DONE && sqlite3_changes(store.Db()) == 1;
}

TRegBatch::TRegBatch() {
  TStore& store = Store();
  if (store.batchDepth_++ == 0 && store.Db()) {
    sqlite3_exec(store.Db(), "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
  }
}

TRegBatch::~TRegBatch() {
  TStore& store = Store();
  if (store.batchDepth_ == 0) return;  // the store was closed meanwhile
  if (store.batchDepth_ == 1) store.walked_.clear();
  if (--store.batchDepth_ == 0 && store.Db() && !sqlite3_get_autocommit(store.Db())) {
    if (sqlite3_exec(store.Db(), "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
      sqlite3_exec(store.Db(), "ROLLBACK", nullptr, nullptr, nullptr);
    }
  }
}

}  // namespace kova::platform
