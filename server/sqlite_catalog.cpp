// The SQLite catalog: opening, migrations, machines.

#include "server/sqlite_catalog.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "server/sqlite_catalog_impl.h"
#include "server/sqlite_schema.h"

namespace orvalinth::server {

std::unique_ptr<CXCatalog> OpenSqliteCatalog(const std::string& path, std::string* error) {
  auto catalog = std::make_unique<CXSqliteCatalog>();
  if (!catalog->Open(path, error)) return nullptr;
  return catalog;
}

bool CXSqliteCatalog::ReadVersion(int* version, std::string* error) {
  *version = 0;
  std::string text;
  if (!db_.QueryText("SELECT COUNT(*) FROM sqlite_master WHERE type = 'table' AND name = 'schema_migrations'", &text,
                     error)) {
    return false;
  }
  if (text == "0") {
    std::string tables;
    if (!db_.QueryText("SELECT COUNT(*) FROM sqlite_master", &tables, error)) return false;
    if (tables != "0") {
      *error = "catalog " + db_.path() + ": not an Orvalinth catalog (a database without its schema_migrations table)";
      return false;
    }
    return true;  // an empty file: version 0, everything to make
  }
  if (!db_.QueryText("SELECT COALESCE(MAX(version), 0) FROM schema_migrations", &text, error)) return false;
  *version = std::atoi(text.c_str());
  return true;
}

bool CXSqliteCatalog::Migrate(int from, std::string* error) {
  size_t count = 0;
  const SXMigration* migrations = SqliteMigrations(&count);
  for (size_t i = 0; i < count; ++i) {
    const SXMigration& m = migrations[i];
    if (m.version <= from) continue;
    CXSqlTransaction transaction(db_);
    if (!transaction.Begin(error)) return false;
    std::string failure;
    if (!db_.Exec(m.sql, &failure)) {
      *error = "migration of the catalog to version " + std::to_string(m.version) + " failed: " + failure;
      return false;
    }
    if (m.version == 1) {
      char pragma[64];
      std::snprintf(pragma, sizeof pragma, "PRAGMA application_id = %d", kSqliteApplicationId);
      if (!db_.Exec(pragma, error)) return false;
    }
    CXSqlRun run = db_.Run("INSERT INTO schema_migrations (version, description, applied_time) VALUES (?1, ?2, ?3)");
    run.Int(1, m.version).Text(2, m.description).Int(3, static_cast<int64_t>(std::time(nullptr)));
    if (!run.Done()) {
      *error = "migration of the catalog to version " + std::to_string(m.version) + " failed: " + run.error();
      return false;
    }
    if (!transaction.Commit(error)) return false;
    version_ = m.version;
  }
  return true;
}

bool CXSqliteCatalog::Open(const std::string& path, std::string* error) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!db_.Open(path, error)) return false;
  sqlite3_busy_timeout(db_.handle(), 5000);
  std::string value;
  // Foreign keys are a setting of the connection, made outside any transaction.
  if (!db_.Exec("PRAGMA foreign_keys = ON", error) || !db_.QueryText("PRAGMA foreign_keys", &value, error)) {
    return false;
  }
  if (value != "1") {
    *error = "catalog " + path + ": this SQLite cannot enforce foreign keys";
    return false;
  }
  std::string application;
  if (!db_.QueryText("PRAGMA application_id", &application, error)) return false;
  const int application_id = std::atoi(application.c_str());
  if (application_id != 0 && application_id != kSqliteApplicationId) {
    *error = "catalog " + path + ": not an Orvalinth catalog (application id " + application + ")";
    return false;
  }
  int version = 0;
  if (!ReadVersion(&version, error)) return false;
  const int current = SqliteSchemaVersion();
  if (version > current) {
    // Refused before anything is written: not even the journal mode changes.
    *error = "catalog " + path + " has schema version " + std::to_string(version) +
             ", newer than this program's " + std::to_string(current) +
             ": run the orvalinth server that made it, or a newer one (the catalog is left as it is)";
    db_.Close();
    return false;
  }
  if (!db_.QueryText("PRAGMA journal_mode = WAL", &value, error)) return false;
  if (value != "wal") {
    *error = "catalog " + path + ": cannot use write-ahead logging here (journal mode stays \"" + value +
             "\"; a network file system?)";
    return false;
  }
  if (!db_.Exec("PRAGMA synchronous = FULL", error)) return false;
  version_ = version;
  return Migrate(version, error);
}

int CXSqliteCatalog::SchemaVersion() {
  std::lock_guard<std::mutex> lock(mutex_);
  return version_;
}

// ---- machines ---------------------------------------------------------------

namespace {

SXCatalogStatus ListMachineRows(CXSqlRun& run, std::vector<SXMachineRow>* rows) {
  rows->clear();
  return AppendRows(run, rows, MachineFromRun<CXSqlRun>);
}

SXCatalogStatus NoMachine(int32_t uid) {
  return SXCatalogStatus::Failed(CatalogCode::kNotFound, "no machine " + std::to_string(uid));
}

}  // namespace

SXCatalogStatus CXSqliteCatalog::NewComputerId(int32_t* uid) {
  std::lock_guard<std::mutex> lock(mutex_);
  *uid = 0;
  std::string error;
  CXSqlTransaction transaction(db_);
  if (!transaction.Begin(&error)) return DbFailure(error);
  int64_t next = 1;
  {
    CXSqlRun run = db_.Run(
        "SELECT MAX((SELECT value FROM counters WHERE name = 'computer_id'), "
        "(SELECT COALESCE(MAX(uid), 0) + 1 FROM machines), 1)");
    if (!run.Step()) return RunFailure(run);
    next = run.Int64(0);
  }
  if (next > 2147483647) {
    return SXCatalogStatus::Failed(CatalogCode::kRefused, "every computer id has been handed out");
  }
  CXSqlRun update = db_.Run("UPDATE counters SET value = ?1 WHERE name = 'computer_id'");
  if (!update.Int(1, next + 1).Done()) return RunFailure(update);
  if (!transaction.Commit(&error)) return DbFailure(error);
  *uid = static_cast<int32_t>(next);
  return SXCatalogStatus::Ok();
}

SXCatalogStatus CXSqliteCatalog::UpsertMachine(const SXMachineInfo& info, bool* created) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (created != nullptr) *created = false;
  if (info.uid <= 0) {
    return SXCatalogStatus::Failed(CatalogCode::kRefused, "computer id " + std::to_string(info.uid) + " is not above 0");
  }
  std::string error;
  CXSqlTransaction transaction(db_);
  if (!transaction.Begin(&error)) return DbFailure(error);
  bool exists = false;
  {
    CXSqlRun run = db_.Run("SELECT 1 FROM machines WHERE uid = ?1");
    exists = run.Int(1, info.uid).Step();
    if (run.failed()) return RunFailure(run);
  }
  {
    CXSqlRun run = db_.Run(
        "INSERT INTO machines (uid, name, address, app_version, app_bits, os_bits, scan_targets, first_seen, "
        "last_seen, online) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?8, 1) "
        "ON CONFLICT (uid) DO UPDATE SET name = excluded.name, address = excluded.address, "
        "app_version = excluded.app_version, app_bits = excluded.app_bits, os_bits = excluded.os_bits, "
        "scan_targets = excluded.scan_targets, last_seen = excluded.last_seen, online = 1");
    run.Int(1, info.uid).Text(2, info.name).Text(3, info.address).Int(4, info.app_version).Int(5, info.app_bits);
    run.Int(6, info.os_bits).Text(7, info.scan_targets).Int(8, info.seen_time);
    if (!run.Done()) return RunFailure(run);
  }
  {
    // An id that another console handed out: never hand it out here.
    CXSqlRun run = db_.Run("UPDATE counters SET value = ?1 + 1 WHERE name = 'computer_id' AND value <= ?1");
    if (!run.Int(1, info.uid).Done()) return RunFailure(run);
  }
  if (!transaction.Commit(&error)) return DbFailure(error);
  if (created != nullptr) *created = !exists;
  return SXCatalogStatus::Ok();
}

SXCatalogStatus CXSqliteCatalog::SetMachineOnline(int32_t uid, bool online, int64_t time) {
  std::lock_guard<std::mutex> lock(mutex_);
  CXSqlRun run = db_.Run("UPDATE machines SET online = ?2, last_seen = ?3 WHERE uid = ?1");
  if (!run.Int(1, uid).Int(2, online ? 1 : 0).Int(3, time).Done()) return RunFailure(run);
  return sqlite3_changes(db_.handle()) == 0 ? NoMachine(uid) : SXCatalogStatus::Ok();
}

SXCatalogStatus CXSqliteCatalog::SetAllOffline() {
  std::lock_guard<std::mutex> lock(mutex_);
  CXSqlRun run = db_.Run("UPDATE machines SET online = 0 WHERE online <> 0");
  return run.Done() ? SXCatalogStatus::Ok() : RunFailure(run);
}

SXCatalogStatus CXSqliteCatalog::SetMachineGroup(int32_t uid, const std::string& group) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (group == "*") {
    return SXCatalogStatus::Failed(CatalogCode::kRefused, "\"*\" is no group's name: it stands for every machine");
  }
  CXSqlRun run = db_.Run("UPDATE machines SET machine_group = ?2 WHERE uid = ?1");
  if (!run.Int(1, uid).Text(2, group).Done()) return RunFailure(run);
  return sqlite3_changes(db_.handle()) == 0 ? NoMachine(uid) : SXCatalogStatus::Ok();
}

SXCatalogStatus CXSqliteCatalog::GetMachine(int32_t uid, SXMachineRow* row) {
  std::lock_guard<std::mutex> lock(mutex_);
  static const std::string sql = std::string("SELECT ") + kMachineColumns + " FROM machines WHERE uid = ?1";
  CXSqlRun run = db_.Run(sql.c_str());
  if (!run.Int(1, uid).Step()) return run.failed() ? RunFailure(run) : NoMachine(uid);
  *row = MachineFromRun(run);
  return SXCatalogStatus::Ok();
}

SXCatalogStatus CXSqliteCatalog::FindMachinesByName(const std::string& name, std::vector<SXMachineRow>* rows) {
  std::lock_guard<std::mutex> lock(mutex_);
  static const std::string sql =
      std::string("SELECT ") + kMachineColumns + " FROM machines WHERE name = ?1 COLLATE NOCASE ORDER BY uid";
  CXSqlRun run = db_.Run(sql.c_str());
  run.Text(1, name);
  return ListMachineRows(run, rows);
}

SXCatalogStatus CXSqliteCatalog::ListMachines(std::vector<SXMachineRow>* rows) {
  std::lock_guard<std::mutex> lock(mutex_);
  static const std::string sql = std::string("SELECT ") + kMachineColumns + " FROM machines ORDER BY uid";
  CXSqlRun run = db_.Run(sql.c_str());
  return ListMachineRows(run, rows);
}

SXCatalogStatus CXSqliteCatalog::ListGroupMachines(const std::string& group, std::vector<SXMachineRow>* rows) {
  std::lock_guard<std::mutex> lock(mutex_);
  static const std::string sql =
      std::string("SELECT ") + kMachineColumns + " FROM machines WHERE machine_group = ?1 ORDER BY uid";
  CXSqlRun run = db_.Run(sql.c_str());
  run.Text(1, group);
  return ListMachineRows(run, rows);
}

SXCatalogStatus CXSqliteCatalog::DeleteMachine(int32_t uid, std::vector<SXRemovedSnapshot>* removed) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (removed != nullptr) removed->clear();
  std::string error;
  CXSqlTransaction transaction(db_);
  if (!transaction.Begin(&error)) return DbFailure(error);
  std::vector<int64_t> ids;
  {
    CXSqlRun run = db_.Run("SELECT id FROM snapshots WHERE uid = ?1 ORDER BY id");
    run.Int(1, uid);
    while (run.Step()) ids.push_back(run.Int64(0));
    if (run.failed()) return RunFailure(run);
  }
  for (int64_t id : ids) {
    SXRemovedSnapshot one;
    const SXCatalogStatus status = CollectRemoved(id, &one);
    if (!status) return status;
    if (removed != nullptr) removed->push_back(std::move(one));
  }
  CXSqlRun run = db_.Run("DELETE FROM machines WHERE uid = ?1");
  if (!run.Int(1, uid).Done()) return RunFailure(run);
  if (sqlite3_changes(db_.handle()) == 0) {
    if (removed != nullptr) removed->clear();
    return NoMachine(uid);
  }
  if (!transaction.Commit(&error)) {
    if (removed != nullptr) removed->clear();
    return DbFailure(error);
  }
  return SXCatalogStatus::Ok();
}

}  // namespace orvalinth::server
