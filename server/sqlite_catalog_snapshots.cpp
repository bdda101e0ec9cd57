// The SQLite catalog: snapshots, comparisons and their changes, retention.

#include "server/sqlite_catalog_impl.h"
#include "server/sqlite_schema.h"

namespace orvalinth::server {
namespace {

SXCatalogStatus NoSnapshot(int64_t id) {
  return SXCatalogStatus::Failed(CatalogCode::kNotFound, "no snapshot " + std::to_string(id) + " in the catalog");
}

}  // namespace

SXCatalogStatus CXSqliteCatalog::AddSnapshot(const SXSnapshotRow& row, int64_t* id) {
  std::lock_guard<std::mutex> lock(mutex_);
  *id = 0;
  CXSqlRun run = db_.Run(
      "INSERT INTO snapshots (uid, number, agent_time, received_time, size, sha256, path, compared, title, "
      "key_count, value_count, folder_count, file_count, item_count, error_count) "
      "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15)");
  run.Int(1, row.uid).Int(2, row.number).Text(3, row.agent_time).Int(4, row.received_time).Int(5, row.size);
  run.Text(6, row.sha256).Text(7, row.path).Int(8, row.compared ? 1 : 0).Text(9, row.title).Int(10, row.keys);
  run.Int(11, row.values).Int(12, row.folders).Int(13, row.files).Int(14, row.items).Int(15, row.errors);
  if (!run.Done()) {
    SXCatalogStatus status = RunFailure(run);
    if (status.conflict()) {
      status.message = "machine " + std::to_string(row.uid) + " has snapshot " + std::to_string(row.number) +
                       " (or its file " + row.path + ") in the catalog already";
    } else if (status.code == CatalogCode::kRefused) {
      status.message = "no machine " + std::to_string(row.uid) + " for snapshot " + std::to_string(row.number) +
                       ": " + status.message;
    }
    return status;
  }
  *id = db_.LastInsertId();
  return SXCatalogStatus::Ok();
}

SXCatalogStatus CXSqliteCatalog::FindSnapshot(int32_t uid, int32_t number, SXSnapshotRow* row) {
  std::lock_guard<std::mutex> lock(mutex_);
  CXSqlRun run = db_.Run(kSqlFindSnapshot);
  if (!run.Int(1, uid).Int(2, number).Step()) {
    if (run.failed()) return RunFailure(run);
    return SXCatalogStatus::Failed(CatalogCode::kNotFound, "machine " + std::to_string(uid) + " has no snapshot " +
                                                               std::to_string(number) + " in the catalog");
  }
  *row = SnapshotFromRun(run);
  return SXCatalogStatus::Ok();
}

SXCatalogStatus CXSqliteCatalog::GetSnapshot(int64_t id, SXSnapshotRow* row) {
  std::lock_guard<std::mutex> lock(mutex_);
  static const std::string sql = std::string("SELECT ") + kSnapshotColumns + " FROM snapshots WHERE id = ?1";
  CXSqlRun run = db_.Run(sql.c_str());
  if (!run.Int(1, id).Step()) return run.failed() ? RunFailure(run) : NoSnapshot(id);
  *row = SnapshotFromRun(run);
  return SXCatalogStatus::Ok();
}

SXCatalogStatus CXSqliteCatalog::PreviousSnapshot(int64_t id, SXSnapshotRow* row) {
  std::lock_guard<std::mutex> lock(mutex_);
  CXSqlRun run = db_.Run(kSqlPreviousSnapshot);
  if (!run.Int(1, id).Step()) {
    if (run.failed()) return RunFailure(run);
    return SXCatalogStatus::Failed(CatalogCode::kNotFound,
                                   "no snapshot before snapshot " + std::to_string(id) + " of its machine");
  }
  *row = SnapshotFromRun(run);
  return SXCatalogStatus::Ok();
}

SXCatalogStatus CXSqliteCatalog::ListSnapshots(int32_t uid, std::vector<SXSnapshotRow>* rows) {
  std::lock_guard<std::mutex> lock(mutex_);
  static const std::string sql =
      std::string("SELECT ") + kSnapshotColumns + " FROM snapshots WHERE uid = ?1 ORDER BY id";
  CXSqlRun run = db_.Run(sql.c_str());
  run.Int(1, uid);
  return SnapshotRows(run, rows);
}

SXCatalogStatus CXSqliteCatalog::UncomparedSnapshots(std::vector<SXSnapshotRow>* rows) {
  std::lock_guard<std::mutex> lock(mutex_);
  CXSqlRun run = db_.Run(kSqlUncompared);
  return SnapshotRows(run, rows);
}

SXCatalogStatus CXSqliteCatalog::SetCompared(int64_t id) {
  std::lock_guard<std::mutex> lock(mutex_);
  CXSqlRun run = db_.Run("UPDATE snapshots SET compared = 1 WHERE id = ?1");
  if (!run.Int(1, id).Done()) return RunFailure(run);
  return sqlite3_changes(db_.handle()) == 0 ? NoSnapshot(id) : SXCatalogStatus::Ok();
}

SXCatalogStatus CXSqliteCatalog::CollectRemoved(int64_t id, SXRemovedSnapshot* removed) {
  static const std::string sql = std::string("SELECT ") + kSnapshotColumns + " FROM snapshots WHERE id = ?1";
  {
    CXSqlRun run = db_.Run(sql.c_str());
    if (!run.Int(1, id).Step()) return run.failed() ? RunFailure(run) : NoSnapshot(id);
    removed->snapshot = SnapshotFromRun(run);
  }
  removed->change_files.clear();
  CXSqlRun run = db_.Run("SELECT change_file FROM comparisons WHERE new_snapshot_id = ?1 AND change_file <> ''");
  run.Int(1, id);
  while (run.Step()) removed->change_files.push_back(run.String(0));
  return run.failed() ? RunFailure(run) : SXCatalogStatus::Ok();
}

SXCatalogStatus CXSqliteCatalog::DeleteSnapshot(int64_t id, SXRemovedSnapshot* removed) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::string error;
  CXSqlTransaction transaction(db_);
  if (!transaction.Begin(&error)) return DbFailure(error);
  SXRemovedSnapshot gone;
  const SXCatalogStatus status = CollectRemoved(id, &gone);
  if (!status) return status;
  CXSqlRun run = db_.Run(kSqlDeleteSnapshot);
  if (!run.Int(1, id).Done()) return RunFailure(run);
  if (!transaction.Commit(&error)) return DbFailure(error);
  if (removed != nullptr) *removed = std::move(gone);
  return SXCatalogStatus::Ok();
}

// ---- comparisons and changes -------------------------------------------------

SXCatalogStatus CXSqliteCatalog::AddComparison(const SXComparisonRow& comparison,
                                               const std::vector<SXChangeRow>& changes, int64_t* id) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (id != nullptr) *id = 0;
  std::string error;
  CXSqlTransaction transaction(db_);
  if (!transaction.Begin(&error)) return DbFailure(error);
  int32_t uid = 0, new_number = 0, old_number = 0;
  int64_t time = 0;
  {
    CXSqlRun run = db_.Run("SELECT uid, number, received_time FROM snapshots WHERE id = ?1");
    if (!run.Int(1, comparison.new_snapshot_id).Step()) {
      return run.failed() ? RunFailure(run) : NoSnapshot(comparison.new_snapshot_id);
    }
    uid = run.Int32(0);
    new_number = run.Int32(1);
    time = run.Int64(2);
  }
  if (comparison.old_snapshot_id != 0) {
    CXSqlRun run = db_.Run("SELECT uid, number FROM snapshots WHERE id = ?1");
    if (!run.Int(1, comparison.old_snapshot_id).Step()) {
      return run.failed() ? RunFailure(run) : NoSnapshot(comparison.old_snapshot_id);
    }
    if (run.Int32(0) != uid) {
      return SXCatalogStatus::Failed(CatalogCode::kRefused, "snapshots " + std::to_string(comparison.old_snapshot_id) +
                                                                " and " + std::to_string(comparison.new_snapshot_id) +
                                                                " are not of one machine");
    }
    old_number = run.Int32(1);
  }
  int64_t comparison_id = 0;
  {
    CXSqlRun run = db_.Run(
        "INSERT INTO comparisons (uid, old_snapshot_id, new_snapshot_id, old_number, new_number, time, "
        "compared_time, files_added, files_removed, files_changed, registry_added, registry_removed, "
        "registry_changed, apps_added, apps_removed, apps_changed, stored_rows, change_file) "
        "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15, ?16, ?17, ?18)");
    run.Int(1, uid);
    if (comparison.old_snapshot_id != 0) {
      run.Int(2, comparison.old_snapshot_id);
    } else {
      run.Null(2);
    }
    run.Int(3, comparison.new_snapshot_id).Int(4, old_number).Int(5, new_number).Int(6, time);
    run.Int(7, comparison.compared_time);
    for (int k = 0; k < 3; ++k) {
      for (int c = 0; c < 3; ++c) run.Int(8 + 3 * k + c, comparison.counts[k][c]);
    }
    run.Int(17, static_cast<int64_t>(changes.size())).Text(18, comparison.change_file);
    if (!run.Done()) {
      SXCatalogStatus status = RunFailure(run);
      if (status.conflict()) {
        status.message = "snapshot " + std::to_string(comparison.new_snapshot_id) + " has a comparison already";
      }
      return status;
    }
    comparison_id = db_.LastInsertId();
  }
  for (const SXChangeRow& change : changes) {
    CXSqlRun run = db_.Run(
        "INSERT INTO changes (comparison_id, uid, time, kind, category, path, entry, old_text, new_text) "
        "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9)");
    run.Int(1, comparison_id).Int(2, uid).Int(3, time).Int(4, static_cast<int>(change.kind));
    run.Int(5, static_cast<int>(change.category)).Text(6, change.path).Text(7, change.entry);
    run.Text(8, change.old_text).Text(9, change.new_text);
    if (!run.Done()) return RunFailure(run);
  }
  for (const SXCategoryCount& count : comparison.categories) {
    CXSqlRun run = db_.Run(
        "INSERT INTO comparison_categories (comparison_id, kind, category, added, removed, changed) "
        "VALUES (?1, ?2, ?3, ?4, ?5, ?6) ON CONFLICT (comparison_id, kind, category) DO UPDATE SET "
        "added = added + excluded.added, removed = removed + excluded.removed, changed = changed + excluded.changed");
    run.Int(1, comparison_id).Int(2, static_cast<int>(count.kind)).Text(3, count.category);
    run.Int(4, count.added).Int(5, count.removed).Int(6, count.changed);
    if (!run.Done()) return RunFailure(run);
  }
  {
    CXSqlRun run = db_.Run("UPDATE snapshots SET compared = 1 WHERE id = ?1");
    if (!run.Int(1, comparison.new_snapshot_id).Done()) return RunFailure(run);
  }
  if (!transaction.Commit(&error)) return DbFailure(error);
  if (id != nullptr) *id = comparison_id;
  return SXCatalogStatus::Ok();
}

SXCatalogStatus CXSqliteCatalog::CategoryCounts(int64_t comparison_id, std::vector<SXCategoryCount>* rows) {
  std::lock_guard<std::mutex> lock(mutex_);
  CXSqlRun run = db_.Run(
      "SELECT kind, category, added, removed, changed FROM comparison_categories WHERE comparison_id = ?1 "
      "ORDER BY kind, category");
  run.Int(1, comparison_id);
  rows->clear();
  return AppendRows(run, rows, CategoryCountFromRun<CXSqlRun>);
}

SXCatalogStatus CXSqliteCatalog::GetComparison(int64_t snapshot_id, SXComparisonRow* row) {
  std::lock_guard<std::mutex> lock(mutex_);
  static const std::string sql =
      std::string("SELECT ") + kComparisonColumns + " FROM comparisons WHERE new_snapshot_id = ?1";
  CXSqlRun run = db_.Run(sql.c_str());
  if (!run.Int(1, snapshot_id).Step()) {
    if (run.failed()) return RunFailure(run);
    return SXCatalogStatus::Failed(CatalogCode::kNotFound,
                                   "snapshot " + std::to_string(snapshot_id) + " has no comparison");
  }
  *row = ComparisonFromRun(run);
  return SXCatalogStatus::Ok();
}

SXCatalogStatus CXSqliteCatalog::ListComparisons(int32_t uid, int64_t since, std::vector<SXComparisonRow>* rows) {
  std::lock_guard<std::mutex> lock(mutex_);
  static const std::string sql = std::string("SELECT ") + kComparisonColumns +
                                 " FROM comparisons WHERE uid = ?1 AND time >= ?2 ORDER BY time, id";
  CXSqlRun run = db_.Run(sql.c_str());
  run.Int(1, uid).Int(2, since);
  rows->clear();
  return AppendRows(run, rows, ComparisonFromRun<CXSqlRun>);
}

SXCatalogStatus CXSqliteCatalog::ChangesSince(int32_t uid, int64_t since, int limit, std::vector<SXChangeRow>* rows) {
  std::lock_guard<std::mutex> lock(mutex_);
  rows->clear();
  CXSqlRun run = db_.Run(kSqlChangesSince);
  run.Int(1, uid).Int(2, since).Int(3, limit);
  return AppendRows(run, rows, ChangeFromRun<CXSqlRun>);
}

SXCatalogStatus CXSqliteCatalog::MachinesWithChange(ChangeKind kind, ChangeCategory category,
                                                    const std::string& pattern, int64_t since, int limit,
                                                    std::vector<SXGainRow>* rows) {
  std::lock_guard<std::mutex> lock(mutex_);
  rows->clear();
  CXSqlRun run = db_.Run(kSqlMachinesWithChange);
  run.Int(1, static_cast<int>(kind)).Int(2, static_cast<int>(category)).Text(3, LikePattern(pattern));
  run.Int(4, since).Int(5, limit);
  return AppendRows(run, rows, GainFromRun<CXSqlRun>);
}

// ---- retention ------------------------------------------------------------------

SXCatalogStatus CXSqliteCatalog::RetentionCandidates(int32_t uid, const SXRetention& retention, int64_t now,
                                                     std::vector<SXSnapshotRow>* rows) {
  std::lock_guard<std::mutex> lock(mutex_);
  rows->clear();
  if (!retention.Active()) return SXCatalogStatus::Ok();
  // One machine's rows at a time, so that the fleet's never are in memory at once.
  static const std::string all = std::string("SELECT ") + kSnapshotColumns + " FROM snapshots ORDER BY uid, id";
  static const std::string one =
      std::string("SELECT ") + kSnapshotColumns + " FROM snapshots WHERE uid = ?1 ORDER BY id";
  CXSqlRun run = db_.Run(uid == 0 ? all.c_str() : one.c_str());
  if (uid != 0) run.Int(1, uid);
  std::vector<SXSnapshotRow> machine;
  auto flush = [&]() {
    for (size_t i : PrunableSnapshots(machine, retention, now)) rows->push_back(machine[i]);
    machine.clear();
  };
  while (run.Step()) {
    SXSnapshotRow row = SnapshotFromRun(run);
    if (!machine.empty() && machine.back().uid != row.uid) flush();
    machine.push_back(std::move(row));
  }
  if (run.failed()) return RunFailure(run);
  flush();
  return SXCatalogStatus::Ok();
}

}  // namespace orvalinth::server
