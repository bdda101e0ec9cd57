// The PostgreSQL catalog: opening, migrations, machines.

#include "server/pg_catalog.h"

#include <ctime>

#include "server/pg_catalog_impl.h"
#include "server/pg_schema.h"

namespace orvalinth::server {

std::unique_ptr<CXCatalog> OpenPostgresCatalog(const std::string& conninfo, std::string* error) {
  auto catalog = std::make_unique<pg::CXPgCatalog>();
  if (!catalog->Open(conninfo, error)) return nullptr;
  return catalog;
}

namespace pg {

void BindLimit(CXPgRun& run, int index, int64_t limit) {
  if (limit < 0) {
    run.Null(index);
  } else {
    run.Int(index, limit);
  }
}

std::string ValuesList(size_t rows, int shared, int per_row) {
  std::string text;
  int next = shared + 1;
  for (size_t i = 0; i < rows; ++i) {
    text += i > 0 ? ", (" : "(";
    for (int k = 0; k < shared + per_row; ++k) {
      if (k > 0) text += ", ";
      text += "$" + std::to_string(k < shared ? k + 1 : next++);
    }
    text += ")";
  }
  return text;
}

bool CXPgCatalog::ReadVersion(int* version, std::string* error) {
  *version = 0;
  {
    CXPgRun run = db_.Run("SELECT to_regclass('schema_migrations') IS NOT NULL");
    if (!run.Step()) {
      *error = run.error();
      return false;
    }
    if (!run.Bool(0)) {
      // No catalog yet: an empty schema is made one; one with tables of its own is not ours.
      CXPgRun tables = db_.Run(
          "SELECT COUNT(*) FROM pg_catalog.pg_class c JOIN pg_catalog.pg_namespace n ON n.oid = c.relnamespace "
          "WHERE n.nspname = current_schema() AND c.relkind IN ('r', 'p', 'v', 'm')");
      if (!tables.Step()) {
        *error = tables.error();
        return false;
      }
      if (tables.Int64(0) != 0) {
        *error = "catalog " + db_.where() +
                 ": not an Orvalinth catalog (a schema with tables but without its schema_migrations table)";
        return false;
      }
      return true;
    }
  }
  CXPgRun run = db_.Run("SELECT COALESCE(MAX(version), 0) FROM schema_migrations");
  if (!run.Step()) {
    *error = run.error();
    return false;
  }
  *version = run.Int32(0);
  return true;
}

bool CXPgCatalog::Migrate(int from, std::string* error) {
  size_t count = 0;
  const SXMigration* migrations = PgMigrations(&count);
  for (size_t i = 0; i < count; ++i) {
    const SXMigration& m = migrations[i];
    if (m.version <= from) continue;
    std::string failure;
    if (!db_.Exec(m.sql, &failure)) {
      *error = "migration of the catalog to version " + std::to_string(m.version) + " failed: " + failure;
      return false;
    }
    CXPgRun run = db_.Run("INSERT INTO schema_migrations (version, description, applied_time) VALUES ($1, $2, $3)");
    run.Int(1, m.version).Text(2, m.description).Int(3, static_cast<int64_t>(std::time(nullptr)));
    if (!run.Done()) {
      *error = "migration of the catalog to version " + std::to_string(m.version) + " failed: " + run.error();
      return false;
    }
  }
  return true;
}

bool CXPgCatalog::Open(const std::string& conninfo, std::string* error) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!db_.Open(conninfo, error)) return false;
  // Every migration in one transaction under one lock: a second server
  // starting meanwhile waits for it, then finds the catalog current. DDL is
  // transactional here, so a failed migration leaves the catalog as it was.
  CXPgTransaction transaction(db_);
  if (!transaction.Begin(error)) return false;
  {
    CXPgRun run = db_.Run("SELECT pg_advisory_xact_lock($1)");
    if (!run.Int(1, kPgMigrationLock).Done()) {
      *error = run.error();
      return false;
    }
  }
  int version = 0;
  if (!ReadVersion(&version, error)) return false;
  const int current = PgSchemaVersion();
  if (version > current) {
    *error = "catalog " + db_.where() + " has schema version " + std::to_string(version) +
             ", newer than this program's " + std::to_string(current) +
             ": run the orvalinth server that made it, or a newer one (the catalog is left as it is)";
    return false;
  }
  if (version < current && !Migrate(version, error)) return false;
  if (!transaction.Commit(error)) return false;
  version_ = current;
  return true;
}

int CXPgCatalog::SchemaVersion() {
  std::lock_guard<std::mutex> lock(mutex_);
  return version_;
}

// ---- machines ---------------------------------------------------------------

namespace {

SXCatalogStatus ListMachineRows(CXPgRun& run, std::vector<SXMachineRow>* rows) {
  rows->clear();
  return AppendRows(run, rows, MachineFromRun<CXPgRun>);
}

SXCatalogStatus NoMachine(int32_t uid) {
  return SXCatalogStatus::Failed(CatalogCode::kNotFound, "no machine " + std::to_string(uid));
}

}  // namespace

SXCatalogStatus CXPgCatalog::NewComputerId(int32_t* uid) {
  std::lock_guard<std::mutex> lock(mutex_);
  *uid = 0;
  std::string error;
  CXPgTransaction transaction(db_);
  if (!transaction.Begin(&error)) return DbFailure(error);
  int64_t next = 1;
  {
    // One statement on the counter's row: its lock orders servers handing out ids at once.
    CXPgRun run = db_.Run(
        "UPDATE counters SET value = GREATEST(value, (SELECT COALESCE(MAX(uid), 0) + 1 FROM machines), 1) + 1 "
        "WHERE name = 'computer_id' RETURNING value - 1");
    if (!run.Step()) return run.failed() ? RunFailure(run) : DbFailure("catalog: the computer id counter is missing");
    next = run.Int64(0);
  }
  if (next > 2147483647) {
    return SXCatalogStatus::Failed(CatalogCode::kRefused, "every computer id has been handed out");
  }
  if (!transaction.Commit(&error)) return DbFailure(error);
  *uid = static_cast<int32_t>(next);
  return SXCatalogStatus::Ok();
}

SXCatalogStatus CXPgCatalog::UpsertMachine(const SXMachineInfo& info, bool* created) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (created != nullptr) *created = false;
  if (info.uid <= 0) {
    return SXCatalogStatus::Failed(CatalogCode::kRefused, "computer id " + std::to_string(info.uid) + " is not above 0");
  }
  std::string error;
  CXPgTransaction transaction(db_);
  if (!transaction.Begin(&error)) return DbFailure(error);
  bool inserted = false;
  {
    CXPgRun run = db_.Run(
        "INSERT INTO machines (uid, name, address, app_version, app_bits, os_bits, scan_targets, first_seen, "
        "last_seen, online) VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $8, 1) "
        "ON CONFLICT (uid) DO UPDATE SET name = excluded.name, address = excluded.address, "
        "app_version = excluded.app_version, app_bits = excluded.app_bits, os_bits = excluded.os_bits, "
        "scan_targets = excluded.scan_targets, last_seen = excluded.last_seen, online = 1 "
        // A row the statement made has no deleting transaction yet.
        "RETURNING xmax = 0");
    run.Int(1, info.uid).Text(2, info.name).Text(3, info.address).Int(4, info.app_version).Int(5, info.app_bits);
    run.Int(6, info.os_bits).Text(7, info.scan_targets).Int(8, info.seen_time);
    if (!run.Step()) return RunFailure(run);
    inserted = run.Bool(0);
  }
  {
    // An id that another console handed out: never hand it out here.
    CXPgRun run = db_.Run("UPDATE counters SET value = $1 + 1 WHERE name = 'computer_id' AND value <= $1");
    if (!run.Int(1, info.uid).Done()) return RunFailure(run);
  }
  if (!transaction.Commit(&error)) return DbFailure(error);
  if (created != nullptr) *created = inserted;
  return SXCatalogStatus::Ok();
}

SXCatalogStatus CXPgCatalog::SetMachineOnline(int32_t uid, bool online, int64_t time) {
  std::lock_guard<std::mutex> lock(mutex_);
  CXPgRun run = db_.Run("UPDATE machines SET online = $2, last_seen = $3 WHERE uid = $1");
  if (!run.Int(1, uid).Int(2, online ? 1 : 0).Int(3, time).Done()) return RunFailure(run);
  return run.changes() == 0 ? NoMachine(uid) : SXCatalogStatus::Ok();
}

SXCatalogStatus CXPgCatalog::SetAllOffline() {
  std::lock_guard<std::mutex> lock(mutex_);
  CXPgRun run = db_.Run("UPDATE machines SET online = 0 WHERE online <> 0");
  return run.Done() ? SXCatalogStatus::Ok() : RunFailure(run);
}

SXCatalogStatus CXPgCatalog::SetMachineGroup(int32_t uid, const std::string& group) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (group == "*") {
    return SXCatalogStatus::Failed(CatalogCode::kRefused, "\"*\" is no group's name: it stands for every machine");
  }
  CXPgRun run = db_.Run("UPDATE machines SET machine_group = $2 WHERE uid = $1");
  if (!run.Int(1, uid).Text(2, group).Done()) return RunFailure(run);
  return run.changes() == 0 ? NoMachine(uid) : SXCatalogStatus::Ok();
}

SXCatalogStatus CXPgCatalog::GetMachine(int32_t uid, SXMachineRow* row) {
  std::lock_guard<std::mutex> lock(mutex_);
  static const std::string sql = std::string("SELECT ") + kMachineColumns + " FROM machines WHERE uid = $1";
  CXPgRun run = db_.Run(sql.c_str());
  if (!run.Int(1, uid).Step()) return run.failed() ? RunFailure(run) : NoMachine(uid);
  *row = MachineFromRun(run);
  return SXCatalogStatus::Ok();
}

SXCatalogStatus CXPgCatalog::FindMachinesByName(const std::string& name, std::vector<SXMachineRow>* rows) {
  std::lock_guard<std::mutex> lock(mutex_);
  static const std::string sql =
      std::string("SELECT ") + kMachineColumns + " FROM machines WHERE lower(name) = lower($1 COLLATE \"C\") ORDER BY uid";
  CXPgRun run = db_.Run(sql.c_str());
  run.Text(1, name);
  return ListMachineRows(run, rows);
}

SXCatalogStatus CXPgCatalog::ListMachines(std::vector<SXMachineRow>* rows) {
  std::lock_guard<std::mutex> lock(mutex_);
  static const std::string sql = std::string("SELECT ") + kMachineColumns + " FROM machines ORDER BY uid";
  CXPgRun run = db_.Run(sql.c_str());
  return ListMachineRows(run, rows);
}

SXCatalogStatus CXPgCatalog::ListGroupMachines(const std::string& group, std::vector<SXMachineRow>* rows) {
  std::lock_guard<std::mutex> lock(mutex_);
  static const std::string sql =
      std::string("SELECT ") + kMachineColumns + " FROM machines WHERE machine_group = $1 ORDER BY uid";
  CXPgRun run = db_.Run(sql.c_str());
  run.Text(1, group);
  return ListMachineRows(run, rows);
}

SXCatalogStatus CXPgCatalog::DeleteMachine(int32_t uid, std::vector<SXRemovedSnapshot>* removed) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (removed != nullptr) removed->clear();
  std::string error;
  CXPgTransaction transaction(db_);
  if (!transaction.Begin(&error)) return DbFailure(error);
  std::vector<int64_t> ids;
  {
    CXPgRun run = db_.Run("SELECT id FROM snapshots WHERE uid = $1 ORDER BY id");
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
  CXPgRun run = db_.Run("DELETE FROM machines WHERE uid = $1");
  if (!run.Int(1, uid).Done()) return RunFailure(run);
  if (run.changes() == 0) {
    if (removed != nullptr) removed->clear();
    return NoMachine(uid);
  }
  if (!transaction.Commit(&error)) {
    if (removed != nullptr) removed->clear();
    return DbFailure(error);
  }
  return SXCatalogStatus::Ok();
}

}  // namespace pg
}  // namespace orvalinth::server
