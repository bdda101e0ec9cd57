#pragma once
// The catalog's rows as both catalogs read them from their SELECTs: the
// SQLite one (server/sqlite_catalog_impl.h, a CXSqlRun) and the PostgreSQL
// one (server/pg_catalog_impl.h, a CXPgRun). The two runs have the same
// accessors (Step, failed, error, unique_violation, constraint_violation,
// Int64, Int32, Bool, String, IsNull) and the two schemas the same columns,
// so one reader of each row, and one column list for its SELECTs, serve both.

#include <string>
#include <vector>

#include "server/catalog.h"

namespace orvalinth::server {

// The status of a failed run: kConflict for a unique key taken, kRefused for
// another broken constraint (a foreign key, a check), else kError.
template <class Run>
SXCatalogStatus RunFailure(const Run& run) {
  if (run.unique_violation()) return SXCatalogStatus::Failed(CatalogCode::kConflict, run.error());
  if (run.constraint_violation()) return SXCatalogStatus::Failed(CatalogCode::kRefused, run.error());
  return SXCatalogStatus::Failed(CatalogCode::kError, run.error());
}

// kError with the text.
inline SXCatalogStatus DbFailure(const std::string& error) {
  return SXCatalogStatus::Failed(CatalogCode::kError, error);
}

// A schedule's claim made from a list older than the machine's last scan.
inline SXCatalogStatus ScannedSince(int32_t uid) {
  return SXCatalogStatus::Failed(CatalogCode::kConflict,
                                 "machine " + std::to_string(uid) + " was scanned since it was found due");
}

// The rows left in the run, each read by `read`, appended to *rows; the run's failure when it failed.
template <class Run, class Row, class Read>
SXCatalogStatus AppendRows(Run& run, std::vector<Row>* rows, Read read) {
  while (run.Step()) rows->push_back(read(run));
  return run.failed() ? RunFailure(run) : SXCatalogStatus::Ok();
}

// ---- machines ---------------------------------------------------------------

inline constexpr char kMachineColumns[] =
    "uid, name, address, app_version, app_bits, os_bits, scan_targets, machine_group, first_seen, last_seen, online, "
    "last_scan_time";

template <class Run>
SXMachineRow MachineFromRun(const Run& run) {
  SXMachineRow row;
  row.uid = run.Int32(0);
  row.name = run.String(1);
  row.address = run.String(2);
  row.app_version = run.Int32(3);
  row.app_bits = run.Int32(4);
  row.os_bits = run.Int32(5);
  row.scan_targets = run.String(6);
  row.group = run.String(7);
  row.first_seen = run.Int64(8);
  row.last_seen = run.Int64(9);
  row.online = run.Bool(10);
  row.last_scan_time = run.Int64(11);
  return row;
}

template <class Run>
SXInventoryRow InventoryFromRun(const Run& run) {
  SXInventoryRow row;
  row.uid = run.Int32(0);
  row.category = run.String(1);
  row.name = run.String(2);
  row.path = run.String(3);
  row.detail = run.String(4);
  return row;
}

// ---- snapshots, comparisons and their changes --------------------------------

inline constexpr char kSnapshotColumns[] =
    "id, uid, number, agent_time, received_time, size, sha256, path, compared, title, key_count, value_count, "
    "folder_count, file_count, item_count, error_count";

// A snapshot row from a run of one of the snapshot SELECTs (their 16 columns from `first`).
template <class Run>
SXSnapshotRow SnapshotFromRun(const Run& run, int first = 0) {
  SXSnapshotRow row;
  row.id = run.Int64(first + 0);
  row.uid = run.Int32(first + 1);
  row.number = run.Int32(first + 2);
  row.agent_time = run.String(first + 3);
  row.received_time = run.Int64(first + 4);
  row.size = run.Int64(first + 5);
  row.sha256 = run.String(first + 6);
  row.path = run.String(first + 7);
  row.compared = run.Bool(first + 8);
  row.title = run.String(first + 9);
  row.keys = run.Int64(first + 10);
  row.values = run.Int64(first + 11);
  row.folders = run.Int64(first + 12);
  row.files = run.Int64(first + 13);
  row.items = run.Int64(first + 14);
  row.errors = run.Int64(first + 15);
  return row;
}

// *rows cleared, then every snapshot row of the run (its columns from 0).
template <class Run>
SXCatalogStatus SnapshotRows(Run& run, std::vector<SXSnapshotRow>* rows) {
  rows->clear();
  return AppendRows(run, rows, [](const Run& r) { return SnapshotFromRun(r); });
}

inline constexpr char kComparisonColumns[] =
    "id, uid, old_snapshot_id, new_snapshot_id, old_number, new_number, time, compared_time, files_added, "
    "files_removed, files_changed, registry_added, registry_removed, registry_changed, apps_added, apps_removed, "
    "apps_changed, stored_rows, change_file";

template <class Run>
SXComparisonRow ComparisonFromRun(const Run& run) {
  SXComparisonRow row;
  row.id = run.Int64(0);
  row.uid = run.Int32(1);
  row.old_snapshot_id = run.IsNull(2) ? 0 : run.Int64(2);
  row.new_snapshot_id = run.Int64(3);
  row.old_number = run.Int32(4);
  row.new_number = run.Int32(5);
  row.time = run.Int64(6);
  row.compared_time = run.Int64(7);
  // Columns in the order [ChangeKind][ChangeCategory].
  for (int k = 0; k < 3; ++k) {
    for (int c = 0; c < 3; ++c) row.counts[k][c] = run.Int64(8 + 3 * k + c);
  }
  row.stored_rows = run.Int64(17);
  row.change_file = run.String(18);
  return row;
}

// The change table's columns in table order.
inline constexpr char kChangeColumns[] = "id, comparison_id, uid, time, kind, category, path, entry, old_text, new_text";

template <class Run>
SXChangeRow ChangeFromRun(const Run& run) {
  SXChangeRow row;
  row.id = run.Int64(0);
  row.comparison_id = run.Int64(1);
  row.uid = run.Int32(2);
  row.time = run.Int64(3);
  row.kind = static_cast<ChangeKind>(run.Int32(4));
  row.category = static_cast<ChangeCategory>(run.Int32(5));
  row.path = run.String(6);
  row.entry = run.String(7);
  row.old_text = run.String(8);
  row.new_text = run.String(9);
  return row;
}

template <class Run>
SXCategoryCount CategoryCountFromRun(const Run& run) {
  SXCategoryCount row;
  row.kind = static_cast<ChangeKind>(run.Int32(0));
  row.category = run.String(1);
  row.added = run.Int64(2);
  row.removed = run.Int64(3);
  row.changed = run.Int64(4);
  return row;
}

template <class Run>
SXGainRow GainFromRun(const Run& run) {
  SXGainRow row;
  row.uid = run.Int32(0);
  row.first_time = run.Int64(1);
  row.comparison_id = run.Int64(2);
  row.path = run.String(3);
  return row;
}

// ---- scans, target profiles, schedules, crash reports and upgrade results ------

inline constexpr char kScanColumns[] =
    "id, uid, origin, requested_by, profile, state, requested_time, started_time, done_time, snapshot_number, result";

template <class Run>
SXScanRow ScanFromRun(const Run& run) {
  SXScanRow row;
  row.id = run.Int64(0);
  row.uid = run.Int32(1);
  row.origin = static_cast<ScanOrigin>(run.Int32(2));
  row.requested_by = run.String(3);
  row.profile = run.String(4);
  row.state = static_cast<ScanState>(run.Int32(5));
  row.requested_time = run.Int64(6);
  row.started_time = run.Int64(7);
  row.done_time = run.Int64(8);
  row.snapshot_number = run.Int32(9);
  row.result = run.String(10);
  return row;
}

// A profile's lists are held one entry a line (server/catalog.cpp); an
// entry that is empty or has a line break cannot be held.
std::string JoinProfileLines(const std::vector<std::string>& entries);
std::vector<std::string> SplitProfileLines(const std::string& text);
bool HasBadProfileLine(const std::vector<std::string>& entries);

template <class Run>
SXTargetProfile ProfileFromRun(const Run& run) {
  SXTargetProfile p;
  p.name = run.String(0);
  p.files = SplitProfileLines(run.String(1));
  p.registry = SplitProfileLines(run.String(2));
  p.apps = SplitProfileLines(run.String(3));
  p.versions = run.Bool(4);
  p.full = run.Bool(5);
  p.removable = run.Bool(6);
  p.snapshot_name = run.String(7);
  return p;
}

inline constexpr char kScheduleColumns[] =
    "id, COALESCE(uid, 0), COALESCE(machine_group, ''), interval_seconds, jitter_seconds, profile, enabled, "
    "created_time";

// A schedule row from its columns from `first`.
template <class Run>
SXScheduleRow ScheduleFromRun(const Run& run, int first = 0) {
  SXScheduleRow row;
  row.id = run.Int64(first + 0);
  row.uid = run.Int32(first + 1);
  row.group = run.String(first + 2);
  row.interval_seconds = run.Int64(first + 3);
  row.jitter_seconds = run.Int64(first + 4);
  row.profile = run.String(first + 5);
  row.enabled = run.Bool(first + 6);
  row.created_time = run.Int64(first + 7);
  return row;
}

template <class Run>
SXCrashReportRow CrashReportFromRun(const Run& run) {
  SXCrashReportRow row;
  row.id = run.Int64(0);
  row.uid = run.Int32(1);
  row.time = run.Int64(2);
  row.text = run.String(3);
  return row;
}

template <class Run>
SXUpgradeResultRow UpgradeResultFromRun(const Run& run) {
  SXUpgradeResultRow row;
  row.id = run.Int64(0);
  row.uid = run.Int32(1);
  row.time = run.Int64(2);
  row.ok = run.Bool(3);
  row.app_version = run.Int32(4);
  row.text = run.String(5);
  return row;
}

// ---- accounts, sign-in sessions and API tokens ------------------------------------

template <class Run>
SXUserRow UserFromRun(const Run& run) {
  SXUserRow row;
  row.id = run.Int64(0);
  row.name = run.String(1);
  row.password_hash = run.String(2);
  row.role = run.String(3);
  row.created_time = run.Int64(4);
  row.last_sign_in = run.Int64(5);
  return row;
}

template <class Run>
SXApiTokenRow TokenFromRun(const Run& run) {
  SXApiTokenRow row;
  row.id = run.Int64(0);
  row.user_id = run.Int64(1);
  row.name = run.String(2);
  row.secret_hash = run.String(3);
  row.created_time = run.Int64(4);
  row.last_used = run.Int64(5);
  return row;
}

template <class Run>
SXWebSessionRow WebSessionFromRun(const Run& run) {
  SXWebSessionRow row;
  row.secret_hash = run.String(0);
  row.user_id = run.Int64(1);
  row.csrf_token = run.String(2);
  row.created_time = run.Int64(3);
  row.expires_time = run.Int64(4);
  row.address = run.String(5);
  return row;
}

// ---- rollouts and their machines --------------------------------------------------

inline constexpr char kRolloutColumns[] =
    "id, machine_group, package_path, package_sha256, package_size, app_version, canary_percent, wave_size, wave, "
    "state, reason, created_by, created_time, updated_time, wave_timeout_seconds";

template <class Run>
SXRolloutRow RolloutFromRun(const Run& run) {
  SXRolloutRow r;
  r.id = run.Int64(0);
  r.group = run.String(1);
  r.package_path = run.String(2);
  r.package_sha256 = run.String(3);
  r.package_size = run.Int64(4);
  r.app_version = run.Int32(5);
  r.canary_percent = run.Int32(6);
  r.wave_size = run.Int32(7);
  r.wave = run.Int32(8);
  const int64_t state = run.Int64(9);
  r.state = state >= 0 && state <= 3 ? static_cast<RolloutState>(state) : RolloutState::kFailed;
  r.reason = run.String(10);
  r.created_by = run.String(11);
  r.created_time = run.Int64(12);
  r.updated_time = run.Int64(13);
  r.wave_timeout_seconds = run.Int64(14);
  return r;
}

template <class Run>
SXRolloutMachineRow RolloutMachineFromRun(const Run& run) {
  SXRolloutMachineRow row;
  row.rollout_id = run.Int64(0);
  row.uid = run.Int32(1);
  row.wave = run.Int32(2);
  const int64_t state = run.Int64(3);
  row.state = state >= 0 && state <= 4 ? static_cast<RolloutMachineState>(state) : RolloutMachineState::kFailed;
  row.sent_time = run.Int64(4);
  row.done_time = run.Int64(5);
  row.text = run.String(6);
  return row;
}

}  // namespace orvalinth::server
