// Upgrade rollouts and their machines.
#include "server/sqlite_catalog_impl.h"

namespace orvalinth::server {
namespace {

SXCatalogStatus NoRollout(int64_t id) {
  return SXCatalogStatus::Failed(CatalogCode::kNotFound, "no rollout " + std::to_string(id));
}

}  // namespace

SXCatalogStatus CXSqliteCatalog::AddRollout(const SXRolloutRow& row, const std::vector<SXRolloutMachineRow>& machines,
                                            int64_t* id) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::string error;
  CXSqlTransaction transaction(db_);
  if (!transaction.Begin(&error)) return DbFailure(error);
  int64_t rollout = 0;
  {
    CXSqlRun run = db_.Run(
        "INSERT INTO rollouts (machine_group, package_path, package_sha256, package_size, app_version, canary_percent, "
        "wave_size, wave, state, reason, created_by, created_time, updated_time, wave_timeout_seconds) "
        "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14)");
    run.Text(1, row.group).Text(2, row.package_path).Text(3, row.package_sha256).Int(4, row.package_size);
    run.Int(5, row.app_version).Int(6, row.canary_percent).Int(7, row.wave_size).Int(8, row.wave);
    run.Int(9, static_cast<int>(row.state)).Text(10, row.reason).Text(11, row.created_by).Int(12, row.created_time);
    run.Int(13, row.updated_time).Int(14, row.wave_timeout_seconds);
    if (!run.Done()) return RunFailure(run);
    rollout = db_.LastInsertId();
  }
  for (const SXRolloutMachineRow& m : machines) {
    CXSqlRun run = db_.Run(
        "INSERT INTO rollout_machines (rollout_id, uid, wave, state, sent_time, done_time, text) "
        "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7)");
    run.Int(1, rollout).Int(2, m.uid).Int(3, m.wave).Int(4, static_cast<int>(m.state)).Int(5, m.sent_time);
    run.Int(6, m.done_time).Text(7, m.text);
    if (!run.Done()) {
      SXCatalogStatus status = RunFailure(run);
      if (status.code == CatalogCode::kRefused) status.message = "no machine " + std::to_string(m.uid);
      if (status.conflict()) status.message = "machine " + std::to_string(m.uid) + " is named twice";
      return status;
    }
  }
  if (!transaction.Commit(&error)) return DbFailure(error);
  if (id != nullptr) *id = rollout;
  return SXCatalogStatus::Ok();
}

SXCatalogStatus CXSqliteCatalog::GetRollout(int64_t id, SXRolloutRow* row) {
  std::lock_guard<std::mutex> lock(mutex_);
  static const std::string sql = std::string("SELECT ") + kRolloutColumns + " FROM rollouts WHERE id = ?1";
  CXSqlRun run = db_.Run(sql.c_str());
  if (!run.Int(1, id).Step()) return run.failed() ? RunFailure(run) : NoRollout(id);
  *row = RolloutFromRun(run);
  return SXCatalogStatus::Ok();
}

SXCatalogStatus CXSqliteCatalog::ListRollouts(std::vector<SXRolloutRow>* rows) {
  std::lock_guard<std::mutex> lock(mutex_);
  static const std::string sql = std::string("SELECT ") + kRolloutColumns + " FROM rollouts ORDER BY id DESC";
  CXSqlRun run = db_.Run(sql.c_str());
  rows->clear();
  return AppendRows(run, rows, RolloutFromRun<CXSqlRun>);
}

SXCatalogStatus CXSqliteCatalog::UpdateRollout(const SXRolloutRow& row) {
  std::lock_guard<std::mutex> lock(mutex_);
  CXSqlRun run = db_.Run("UPDATE rollouts SET wave = ?2, state = ?3, reason = ?4, updated_time = ?5 WHERE id = ?1");
  run.Int(1, row.id).Int(2, row.wave).Int(3, static_cast<int>(row.state)).Text(4, row.reason).Int(5, row.updated_time);
  if (!run.Done()) return RunFailure(run);
  if (sqlite3_changes(db_.handle()) == 0) return NoRollout(row.id);
  return SXCatalogStatus::Ok();
}

SXCatalogStatus CXSqliteCatalog::ListRolloutMachines(int64_t rollout_id, std::vector<SXRolloutMachineRow>* rows) {
  std::lock_guard<std::mutex> lock(mutex_);
  CXSqlRun run = db_.Run(
      "SELECT rollout_id, uid, wave, state, sent_time, done_time, text FROM rollout_machines WHERE rollout_id = ?1 "
      "ORDER BY wave, uid");
  run.Int(1, rollout_id);
  rows->clear();
  return AppendRows(run, rows, RolloutMachineFromRun<CXSqlRun>);
}

SXCatalogStatus CXSqliteCatalog::UpdateRolloutMachine(const SXRolloutMachineRow& row) {
  std::lock_guard<std::mutex> lock(mutex_);
  CXSqlRun run = db_.Run(
      "UPDATE rollout_machines SET state = ?3, sent_time = ?4, done_time = ?5, text = ?6 "
      "WHERE rollout_id = ?1 AND uid = ?2");
  run.Int(1, row.rollout_id).Int(2, row.uid).Int(3, static_cast<int>(row.state)).Int(4, row.sent_time);
  run.Int(5, row.done_time).Text(6, row.text);
  if (!run.Done()) return RunFailure(run);
  if (sqlite3_changes(db_.handle()) == 0) {
    return SXCatalogStatus::Failed(CatalogCode::kNotFound, "machine " + std::to_string(row.uid) +
                                                               " is not in rollout " + std::to_string(row.rollout_id));
  }
  return SXCatalogStatus::Ok();
}

}  // namespace orvalinth::server
