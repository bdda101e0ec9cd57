// The SQLite catalog: scans, target profiles, schedules, crash reports and
// upgrade results.

#include <algorithm>

#include "server/sqlite_catalog_impl.h"

namespace orvalinth::server {
namespace {

SXCatalogStatus NoScan(int64_t id) {
  return SXCatalogStatus::Failed(CatalogCode::kNotFound, "no scan " + std::to_string(id));
}

SXCatalogStatus Refused(const std::string& why) { return SXCatalogStatus::Failed(CatalogCode::kRefused, why); }

}  // namespace

// ---- scans ---------------------------------------------------------------------

SXCatalogStatus CXSqliteCatalog::RequestScan(int32_t uid, ScanOrigin origin, const std::string& requested_by,
                                             const std::string& profile, int64_t time, int64_t* id) {
  std::lock_guard<std::mutex> lock(mutex_);
  *id = 0;
  std::string error;
  CXSqlTransaction transaction(db_);
  if (!transaction.Begin(&error)) return DbFailure(error);
  {
    CXSqlRun run = db_.Run(
        "INSERT INTO scans (uid, origin, requested_by, profile, state, requested_time) VALUES (?1, ?2, ?3, ?4, 0, ?5)");
    run.Int(1, uid).Int(2, static_cast<int>(origin)).Text(3, requested_by).Text(4, profile).Int(5, time);
    if (!run.Done()) {
      SXCatalogStatus status = RunFailure(run);
      if (status.code == CatalogCode::kRefused) status.message = "no machine " + std::to_string(uid) + " to scan";
      return status;
    }
  }
  const int64_t scan = db_.LastInsertId();
  {
    CXSqlRun run = db_.Run("UPDATE machines SET last_scan_time = ?2 WHERE uid = ?1");
    if (!run.Int(1, uid).Int(2, time).Done()) return RunFailure(run);
  }
  if (!transaction.Commit(&error)) return DbFailure(error);
  *id = scan;
  return SXCatalogStatus::Ok();
}

SXCatalogStatus CXSqliteCatalog::StartScan(int64_t id, int64_t time) {
  std::lock_guard<std::mutex> lock(mutex_);
  CXSqlRun run = db_.Run("UPDATE scans SET state = 1, started_time = ?2 WHERE id = ?1 AND state = 0");
  if (!run.Int(1, id).Int(2, time).Done()) return RunFailure(run);
  if (sqlite3_changes(db_.handle()) != 0) return SXCatalogStatus::Ok();
  CXSqlRun exists = db_.Run("SELECT state FROM scans WHERE id = ?1");
  if (!exists.Int(1, id).Step()) return exists.failed() ? RunFailure(exists) : NoScan(id);
  return Refused("scan " + std::to_string(id) + " is not waiting to start (state " +
                 std::to_string(exists.Int32(0)) + ")");
}

SXCatalogStatus CXSqliteCatalog::EndScan(int64_t id, ScanState state, int64_t time, int32_t snapshot_number,
                                         const std::string& result) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (state != ScanState::kDone && state != ScanState::kFailed && state != ScanState::kStopped) {
    return Refused("a scan ends done, failed or stopped");
  }
  CXSqlRun run = db_.Run(
      "UPDATE scans SET state = ?2, done_time = ?3, snapshot_number = ?4, result = ?5 WHERE id = ?1 AND state < 2");
  run.Int(1, id).Int(2, static_cast<int>(state)).Int(3, time).Int(4, snapshot_number).Text(5, result);
  if (!run.Done()) return RunFailure(run);
  if (sqlite3_changes(db_.handle()) != 0) return SXCatalogStatus::Ok();
  CXSqlRun exists = db_.Run("SELECT state FROM scans WHERE id = ?1");
  if (!exists.Int(1, id).Step()) return exists.failed() ? RunFailure(exists) : NoScan(id);
  return Refused("scan " + std::to_string(id) + " has ended already");
}

SXCatalogStatus CXSqliteCatalog::GetScan(int64_t id, SXScanRow* row) {
  std::lock_guard<std::mutex> lock(mutex_);
  static const std::string sql = std::string("SELECT ") + kScanColumns + " FROM scans WHERE id = ?1";
  CXSqlRun run = db_.Run(sql.c_str());
  if (!run.Int(1, id).Step()) return run.failed() ? RunFailure(run) : NoScan(id);
  *row = ScanFromRun(run);
  return SXCatalogStatus::Ok();
}

SXCatalogStatus CXSqliteCatalog::ListScans(int32_t uid, int limit, std::vector<SXScanRow>* rows) {
  std::lock_guard<std::mutex> lock(mutex_);
  static const std::string sql =
      std::string("SELECT ") + kScanColumns + " FROM scans WHERE uid = ?1 ORDER BY id DESC LIMIT ?2";
  CXSqlRun run = db_.Run(sql.c_str());
  run.Int(1, uid).Int(2, limit);
  rows->clear();
  return AppendRows(run, rows, ScanFromRun<CXSqlRun>);
}

SXCatalogStatus CXSqliteCatalog::RequestedScans(std::vector<SXScanRow>* rows) {
  std::lock_guard<std::mutex> lock(mutex_);
  static const std::string sql =
      std::string("SELECT ") + kScanColumns + " FROM scans WHERE state = 0 AND origin = 1 ORDER BY id";
  CXSqlRun run = db_.Run(sql.c_str());
  rows->clear();
  return AppendRows(run, rows, ScanFromRun<CXSqlRun>);
}

SXCatalogStatus CXSqliteCatalog::StopOpenScans(int64_t time, const std::string& result, int64_t* count) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (count != nullptr) *count = 0;
  CXSqlRun run = db_.Run("UPDATE scans SET state = 4, done_time = ?1, result = ?2 WHERE state < 2");
  if (!run.Int(1, time).Text(2, result).Done()) return RunFailure(run);
  if (count != nullptr) *count = sqlite3_changes(db_.handle());
  return SXCatalogStatus::Ok();
}

SXCatalogStatus CXSqliteCatalog::PruneScans(int64_t before, int64_t* count) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (count != nullptr) *count = 0;
  CXSqlRun run = db_.Run("DELETE FROM scans WHERE state >= 2 AND done_time < ?1");
  if (!run.Int(1, before).Done()) return RunFailure(run);
  if (count != nullptr) *count = sqlite3_changes(db_.handle());
  return SXCatalogStatus::Ok();
}

// ---- target profiles --------------------------------------------------------------

SXCatalogStatus CXSqliteCatalog::PutProfile(const SXTargetProfile& profile) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (profile.name.empty()) return Refused("a target profile needs a name");
  if (HasBadProfileLine(profile.files) || HasBadProfileLine(profile.registry) || HasBadProfileLine(profile.apps)) {
    return Refused("target profile " + profile.name + ": a target is empty or holds a line break");
  }
  CXSqlRun run = db_.Run(
      "INSERT INTO target_profiles (name, files, registry, apps, versions, full_scan, removable, snapshot_name) "
      "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8) ON CONFLICT (name) DO UPDATE SET files = excluded.files, "
      "registry = excluded.registry, apps = excluded.apps, versions = excluded.versions, "
      "full_scan = excluded.full_scan, removable = excluded.removable, snapshot_name = excluded.snapshot_name");
  run.Text(1, profile.name).Text(2, JoinProfileLines(profile.files)).Text(3, JoinProfileLines(profile.registry));
  run.Text(4, JoinProfileLines(profile.apps)).Int(5, profile.versions ? 1 : 0).Int(6, profile.full ? 1 : 0);
  run.Int(7, profile.removable ? 1 : 0).Text(8, profile.snapshot_name);
  return run.Done() ? SXCatalogStatus::Ok() : RunFailure(run);
}

SXCatalogStatus CXSqliteCatalog::GetProfile(const std::string& name, SXTargetProfile* profile) {
  std::lock_guard<std::mutex> lock(mutex_);
  CXSqlRun run = db_.Run(
      "SELECT name, files, registry, apps, versions, full_scan, removable, snapshot_name FROM target_profiles "
      "WHERE name = ?1");
  if (!run.Text(1, name).Step()) {
    if (run.failed()) return RunFailure(run);
    return SXCatalogStatus::Failed(CatalogCode::kNotFound, "no target profile \"" + name + "\"");
  }
  *profile = ProfileFromRun(run);
  return SXCatalogStatus::Ok();
}

SXCatalogStatus CXSqliteCatalog::ListProfiles(std::vector<SXTargetProfile>* profiles) {
  std::lock_guard<std::mutex> lock(mutex_);
  CXSqlRun run = db_.Run(
      "SELECT name, files, registry, apps, versions, full_scan, removable, snapshot_name FROM target_profiles "
      "ORDER BY name");
  profiles->clear();
  return AppendRows(run, profiles, ProfileFromRun<CXSqlRun>);
}

SXCatalogStatus CXSqliteCatalog::DeleteProfile(const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  CXSqlRun run = db_.Run("DELETE FROM target_profiles WHERE name = ?1");
  if (!run.Text(1, name).Done()) {
    SXCatalogStatus status = RunFailure(run);
    if (status.code == CatalogCode::kRefused) status.message = "target profile \"" + name + "\" is in a schedule";
    return status;
  }
  if (sqlite3_changes(db_.handle()) == 0) {
    return SXCatalogStatus::Failed(CatalogCode::kNotFound, "no target profile \"" + name + "\"");
  }
  return SXCatalogStatus::Ok();
}

// ---- schedules ------------------------------------------------------------------

SXCatalogStatus CXSqliteCatalog::PutSchedule(const SXScheduleRow& s, int64_t* id) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (id != nullptr) *id = 0;
  if ((s.uid > 0) == !s.group.empty() || s.uid < 0) return Refused("a schedule is of one machine or of one group");
  if (s.interval_seconds <= 0) return Refused("a schedule's interval must be above 0 seconds");
  if (s.jitter_seconds < 0 || s.jitter_seconds > s.interval_seconds) {
    return Refused("a schedule's jitter must be 0 to its interval");
  }
  const bool of_machine = s.uid > 0;
  CXSqlRun run = db_.Run(
      of_machine ? "INSERT INTO schedules (uid, interval_seconds, jitter_seconds, profile, enabled, created_time) "
                   "VALUES (?1, ?3, ?4, ?5, ?6, ?7) ON CONFLICT (uid) DO UPDATE SET "
                   "interval_seconds = excluded.interval_seconds, jitter_seconds = excluded.jitter_seconds, "
                   "profile = excluded.profile, enabled = excluded.enabled"
                 : "INSERT INTO schedules (machine_group, interval_seconds, jitter_seconds, profile, enabled, "
                   "created_time) VALUES (?2, ?3, ?4, ?5, ?6, ?7) ON CONFLICT (machine_group) DO UPDATE SET "
                   "interval_seconds = excluded.interval_seconds, jitter_seconds = excluded.jitter_seconds, "
                   "profile = excluded.profile, enabled = excluded.enabled");
  if (of_machine) {
    run.Int(1, s.uid);
  } else {
    run.Text(2, s.group);
  }
  run.Int(3, s.interval_seconds).Int(4, s.jitter_seconds).Text(5, s.profile).Int(6, s.enabled ? 1 : 0);
  run.Int(7, s.created_time);
  if (!run.Done()) {
    SXCatalogStatus status = RunFailure(run);
    if (status.code == CatalogCode::kRefused) {
      status.message = "schedule refused: no target profile \"" + s.profile + "\"" +
                       (of_machine ? " or no machine " + std::to_string(s.uid) : std::string()) + " (" +
                       status.message + ")";
    }
    return status;
  }
  CXSqlRun find = db_.Run(of_machine ? "SELECT id FROM schedules WHERE uid = ?1"
                                     : "SELECT id FROM schedules WHERE machine_group = ?2");
  if (of_machine) {
    find.Int(1, s.uid);
  } else {
    find.Text(2, s.group);
  }
  if (!find.Step()) return RunFailure(find);
  if (id != nullptr) *id = find.Int64(0);
  return SXCatalogStatus::Ok();
}

SXCatalogStatus CXSqliteCatalog::DeleteSchedule(int64_t id) {
  std::lock_guard<std::mutex> lock(mutex_);
  CXSqlRun run = db_.Run("DELETE FROM schedules WHERE id = ?1");
  if (!run.Int(1, id).Done()) return RunFailure(run);
  if (sqlite3_changes(db_.handle()) == 0) {
    return SXCatalogStatus::Failed(CatalogCode::kNotFound, "no schedule " + std::to_string(id));
  }
  return SXCatalogStatus::Ok();
}

SXCatalogStatus CXSqliteCatalog::ListSchedules(std::vector<SXScheduleRow>* rows) {
  std::lock_guard<std::mutex> lock(mutex_);
  static const std::string sql = std::string("SELECT ") + kScheduleColumns + " FROM schedules ORDER BY id";
  CXSqlRun run = db_.Run(sql.c_str());
  rows->clear();
  return AppendRows(run, rows, [](const CXSqlRun& r) { return ScheduleFromRun(r); });
}

SXCatalogStatus CXSqliteCatalog::DueScans(int64_t node_id, int64_t now, int limit, std::vector<SXDueScan>* due) {
  std::lock_guard<std::mutex> lock(mutex_);
  due->clear();
  // The schedule of each online machine without an open scan: its own, its
  // group's, or "*"'s; the due time is the shared rule's (DueTime).
  static const std::string sql =
      std::string("SELECT m.uid, m.last_scan_time, m.first_seen, ") +
      "s.id, COALESCE(s.uid, 0), COALESCE(s.machine_group, ''), s.interval_seconds, s.jitter_seconds, s.profile, "
      "s.enabled, s.created_time FROM machines m JOIN schedules s ON s.id = COALESCE("
      "(SELECT id FROM schedules WHERE uid = m.uid), "
      "(SELECT id FROM schedules WHERE machine_group = m.machine_group AND m.machine_group <> ''), "
      "(SELECT id FROM schedules WHERE machine_group = '*')) "
      "WHERE m.online <> 0 AND s.enabled <> 0 AND (?1 <= 0 OR m.node_id = ?1) AND NOT EXISTS "
      "(SELECT 1 FROM scans WHERE scans.uid = m.uid AND scans.state < 2)";
  CXSqlRun run = db_.Run(sql.c_str());
  run.Int(1, node_id);
  while (run.Step()) {
    const SXScheduleRow schedule = ScheduleFromRun(run, 3);
    const int32_t uid = run.Int32(0);
    const int64_t when = DueTime(uid, run.Int64(1), run.Int64(2), schedule);
    if (when > now) continue;
    SXDueScan d;
    d.uid = uid;
    d.schedule_id = schedule.id;
    d.profile = schedule.profile;
    d.due_time = when;
    d.last_scan_time = run.Int64(1);
    due->push_back(std::move(d));
  }
  if (run.failed()) return RunFailure(run);
  std::sort(due->begin(), due->end(), [](const SXDueScan& a, const SXDueScan& b) {
    return a.due_time != b.due_time ? a.due_time < b.due_time : a.uid < b.uid;
  });
  if (limit >= 0 && due->size() > static_cast<size_t>(limit)) due->resize(static_cast<size_t>(limit));
  return SXCatalogStatus::Ok();
}

// ---- crash reports and upgrade results ------------------------------------------------

SXCatalogStatus CXSqliteCatalog::AddCrashReport(int32_t uid, int64_t time, const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  CXSqlRun run = db_.Run("INSERT INTO crash_reports (uid, time, text) VALUES (?1, ?2, ?3)");
  if (!run.Int(1, uid).Int(2, time).Text(3, text).Done()) {
    SXCatalogStatus status = RunFailure(run);
    if (status.code == CatalogCode::kRefused) status.message = "no machine " + std::to_string(uid);
    return status;
  }
  return SXCatalogStatus::Ok();
}

SXCatalogStatus CXSqliteCatalog::ListCrashReports(int32_t uid, std::vector<SXCrashReportRow>* rows) {
  std::lock_guard<std::mutex> lock(mutex_);
  CXSqlRun run = db_.Run("SELECT id, uid, time, text FROM crash_reports WHERE uid = ?1 ORDER BY id");
  run.Int(1, uid);
  rows->clear();
  return AppendRows(run, rows, CrashReportFromRun<CXSqlRun>);
}

SXCatalogStatus CXSqliteCatalog::AddUpgradeResult(const SXUpgradeResultRow& row) {
  std::lock_guard<std::mutex> lock(mutex_);
  CXSqlRun run = db_.Run("INSERT INTO upgrade_results (uid, time, ok, app_version, text) VALUES (?1, ?2, ?3, ?4, ?5)");
  run.Int(1, row.uid).Int(2, row.time).Int(3, row.ok ? 1 : 0).Int(4, row.app_version).Text(5, row.text);
  if (!run.Done()) {
    SXCatalogStatus status = RunFailure(run);
    if (status.code == CatalogCode::kRefused) status.message = "no machine " + std::to_string(row.uid);
    return status;
  }
  return SXCatalogStatus::Ok();
}

SXCatalogStatus CXSqliteCatalog::ListUpgradeResults(int32_t uid, std::vector<SXUpgradeResultRow>* rows) {
  std::lock_guard<std::mutex> lock(mutex_);
  CXSqlRun run =
      db_.Run("SELECT id, uid, time, ok, app_version, text FROM upgrade_results WHERE uid = ?1 ORDER BY id");
  run.Int(1, uid);
  rows->clear();
  return AppendRows(run, rows, UpgradeResultFromRun<CXSqlRun>);
}

}  // namespace orvalinth::server
