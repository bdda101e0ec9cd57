// The SQLite catalog: the console's queries over the fleet (pages of
// machines, the overview's counts, the latest comparisons, changes over the
// fleet) and the inventory of each machine's latest applications.
//
// Statements are kept by the address of their text (CXSqliteDb::Run), so
// every query here is one of a fixed set of texts made once: the filters a
// page may leave out are parameters ("?1 < 0 OR online = ?1"), and each sort
// of the whitelist has its own text.

#include <array>
#include <map>

#include "server/sqlite_catalog_impl.h"

namespace orvalinth::server {
namespace {

SXCatalogStatus Refused(const std::string& message) { return SXCatalogStatus::Failed(CatalogCode::kRefused, message); }

// The WHERE of a page of machines: ?1 online (-1 either), ?2 the name's LIKE
// pattern ("" any), ?3 the group asked for ("" any) and ?4 the group it
// stands for ("-": ""), ?5 the version (0 any), ?6 and ?7 the bounds of last_seen (0 none).
const char kMachineFilter[] =
    " FROM machines WHERE (?1 < 0 OR online = ?1) AND (?2 = '' OR name LIKE ?2 ESCAPE '\\') "
    "AND (?3 = '' OR machine_group = ?4) AND (?5 = 0 OR app_version = ?5) AND (?6 = 0 OR last_seen >= ?6) "
    "AND (?7 = 0 OR last_seen < ?7)";

struct SXSortColumn {
  const char* name;  // as the query names it
  const char* order;  // the ORDER BY term
};
const SXSortColumn kSorts[] = {
    {"name", "name COLLATE NOCASE"},    {"uid", "uid"},
    {"last_seen", "last_seen"},         {"first_seen", "first_seen"},
    {"version", "app_version"},         {"group", "machine_group COLLATE NOCASE"},
    {"address", "address"},
};
constexpr size_t kSortCount = sizeof kSorts / sizeof kSorts[0];

// The page's statement of sort `index`, ascending or descending (?8 limit, ?9 offset).
const char* MachinePageSql(size_t index, bool descending) {
  static const std::array<std::string, 2 * kSortCount> texts = [] {
    std::array<std::string, 2 * kSortCount> out;
    for (size_t i = 0; i < kSortCount; ++i) {
      for (int d = 0; d < 2; ++d) {
        const char* direction = d ? " DESC" : "";
        out[2 * i + d] = std::string("SELECT ") + kMachineColumns + kMachineFilter + " ORDER BY " + kSorts[i].order +
                         direction + ", uid" + direction + " LIMIT ?8 OFFSET ?9";
      }
    }
    return out;
  }();
  return texts[2 * index + (descending ? 1 : 0)].c_str();
}

void BindMachineFilter(CXSqlRun& run, const SXMachineQuery& q) {
  run.Int(1, q.online).Text(2, q.name_pattern.empty() ? std::string() : LikePattern(q.name_pattern));
  run.Text(3, q.group).Text(4, q.group == "-" ? std::string() : q.group).Int(5, q.app_version);
  run.Int(6, q.seen_after).Int(7, q.seen_before);
}

SXCatalogStatus ChangeRows(CXSqlRun& run, std::vector<SXChangeRow>* rows) {
  return AppendRows(run, rows, ChangeFromRun<CXSqlRun>);
}

bool LimitOk(int limit) { return limit >= 1 && limit <= 100000; }

}  // namespace

SXCatalogStatus CXSqliteCatalog::QueryMachines(const SXMachineQuery& query, std::vector<SXMachineRow>* rows,
                                               int64_t* total) {
  rows->clear();
  if (total != nullptr) *total = 0;
  size_t sort = kSortCount;
  for (size_t i = 0; i < kSortCount; ++i) {
    if (query.sort == kSorts[i].name) sort = i;
  }
  if (sort == kSortCount) {
    return Refused("machines cannot be sorted by \"" + query.sort +
                   "\" (name, uid, last_seen, first_seen, version, group or address)");
  }
  if (query.limit < 1 || query.limit > 1000) return Refused("a page holds 1 to 1000 machines");
  if (query.offset < 0) return Refused("a page's offset is 0 or more");
  if (query.online < -1 || query.online > 1) return Refused("online is -1, 0 or 1");
  std::lock_guard<std::mutex> lock(mutex_);
  {
    CXSqlRun run = db_.Run(MachinePageSql(sort, query.descending));
    BindMachineFilter(run, query);
    run.Int(8, query.limit).Int(9, query.offset);
    if (SXCatalogStatus s = AppendRows(run, rows, MachineFromRun<CXSqlRun>); !s) return s;
  }
  if (total != nullptr) {
    static const std::string sql = std::string("SELECT COUNT(*)") + kMachineFilter;
    CXSqlRun run = db_.Run(sql.c_str());
    BindMachineFilter(run, query);
    if (!run.Step()) return RunFailure(run);
    *total = run.Int64(0);
  }
  return SXCatalogStatus::Ok();
}

SXCatalogStatus CXSqliteCatalog::Summary(int64_t silent_before, SXFleetSummary* summary) {
  *summary = SXFleetSummary();
  std::lock_guard<std::mutex> lock(mutex_);
  // One connection behind one lock: the counts are of one moment.
  {
    CXSqlRun run = db_.Run(
        "SELECT COUNT(*), COALESCE(SUM(online), 0), COALESCE(SUM(online = 0 AND last_seen < ?1), 0) FROM machines");
    if (!run.Int(1, silent_before).Step()) return RunFailure(run);
    summary->machines = run.Int64(0);
    summary->online = run.Int64(1);
    summary->silent = run.Int64(2);
  }
  {
    CXSqlRun run = db_.Run("SELECT COUNT(*), COALESCE(SUM(size), 0) FROM snapshots");
    if (!run.Step()) return RunFailure(run);
    summary->snapshots = run.Int64(0);
    summary->snapshot_bytes = run.Int64(1);
  }
  {
    CXSqlRun run = db_.Run("SELECT COUNT(*) FROM snapshots WHERE compared = 0");
    if (!run.Step()) return RunFailure(run);
    summary->uncompared = run.Int64(0);
  }
  {
    CXSqlRun run = db_.Run("SELECT COUNT(*) FROM comparisons");
    if (!run.Step()) return RunFailure(run);
    summary->comparisons = run.Int64(0);
  }
  {
    CXSqlRun run = db_.Run("SELECT app_version, COUNT(*) FROM machines GROUP BY app_version ORDER BY app_version");
    while (run.Step()) summary->versions.emplace_back(run.Int32(0), run.Int64(1));
    if (run.failed()) return RunFailure(run);
  }
  {
    CXSqlRun run = db_.Run("SELECT machine_group, COUNT(*) FROM machines GROUP BY machine_group ORDER BY machine_group");
    while (run.Step()) summary->groups.emplace_back(run.String(0), run.Int64(1));
    if (run.failed()) return RunFailure(run);
  }
  return SXCatalogStatus::Ok();
}

SXCatalogStatus CXSqliteCatalog::RecentComparisons(int limit, std::vector<SXComparisonRow>* rows) {
  rows->clear();
  if (!LimitOk(limit)) return Refused("at most 1 to 100000 comparisons");
  std::lock_guard<std::mutex> lock(mutex_);
  static const std::string sql =
      std::string("SELECT ") + kComparisonColumns + " FROM comparisons ORDER BY time DESC, id DESC LIMIT ?1";
  CXSqlRun run = db_.Run(sql.c_str());
  run.Int(1, limit);
  return AppendRows(run, rows, ComparisonFromRun<CXSqlRun>);
}

SXCatalogStatus CXSqliteCatalog::FleetChanges(const ChangeKind* kind, const ChangeCategory* category,
                                              const std::string& pattern, int64_t since, int64_t until, int limit,
                                              std::vector<SXChangeRow>* rows) {
  rows->clear();
  if (!LimitOk(limit)) return Refused("at most 1 to 100000 changes");
  // With kind and category both given, the path's literal beginning goes
  // through changes_path (or the time through changes_time); else the fleet's
  // newest rows are read back through changes_fleet_time until the page is full.
  static const std::string both = std::string("SELECT ") + kChangeColumns +
                                  " FROM changes WHERE kind = ?1 AND category = ?2 AND (?3 = '' OR path LIKE ?3 "
                                  "ESCAPE '\\') AND time >= ?4 AND (?5 = 0 OR time < ?5) "
                                  "ORDER BY time DESC, id DESC LIMIT ?6";
  static const std::string any = std::string("SELECT ") + kChangeColumns +
                                 " FROM changes WHERE (?1 < 0 OR kind = ?1) AND (?2 < 0 OR category = ?2) AND "
                                 "(?3 = '' OR path LIKE ?3 ESCAPE '\\') AND time >= ?4 AND (?5 = 0 OR time < ?5) "
                                 "ORDER BY time DESC, id DESC LIMIT ?6";
  std::lock_guard<std::mutex> lock(mutex_);
  CXSqlRun run = db_.Run(kind != nullptr && category != nullptr ? both.c_str() : any.c_str());
  run.Int(1, kind != nullptr ? static_cast<int>(*kind) : -1);
  run.Int(2, category != nullptr ? static_cast<int>(*category) : -1);
  run.Text(3, pattern.empty() ? std::string() : LikePattern(pattern)).Int(4, since).Int(5, until).Int(6, limit);
  return ChangeRows(run, rows);
}

SXCatalogStatus CXSqliteCatalog::ComparisonChanges(int64_t comparison_id, int offset, int limit,
                                                   std::vector<SXChangeRow>* rows) {
  rows->clear();
  if (!LimitOk(limit)) return Refused("at most 1 to 100000 changes");
  if (offset < 0) return Refused("the offset is 0 or more");
  std::lock_guard<std::mutex> lock(mutex_);
  static const std::string sql = std::string("SELECT ") + kChangeColumns +
                                 " FROM changes WHERE comparison_id = ?1 ORDER BY path, id LIMIT ?2 OFFSET ?3";
  CXSqlRun run = db_.Run(sql.c_str());
  run.Int(1, comparison_id).Int(2, limit).Int(3, offset);
  return ChangeRows(run, rows);
}

SXCatalogStatus CXSqliteCatalog::ReplaceInventory(int32_t uid, int64_t snapshot_id,
                                                  const std::vector<SXInventoryRow>& rows) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::string error;
  CXSqlTransaction transaction(db_);
  if (!transaction.Begin(&error)) return DbFailure(error);
  std::vector<SXInventoryRow> stored;
  {
    CXSqlRun run = db_.Run("SELECT category, name, path, detail FROM inventory WHERE uid = ?1");
    run.Int(1, uid);
    while (run.Step()) stored.push_back({uid, run.String(0), run.String(1), run.String(2), run.String(3)});
    if (run.failed()) return RunFailure(run);
  }
  // Only what changed is written: the whole inventory again, some 800 rows
  // spread over the table's pages, made a snapshot's commit (and the WAL's
  // checkpoints) several times slower. A row keeps the snapshot that brought it.
  const SXInventoryDiff diff = DiffInventory(stored, rows);
  for (size_t i : diff.went) {
    const SXInventoryRow& row = stored[i];
    CXSqlRun run = db_.Run(
        "DELETE FROM inventory WHERE uid = ?1 AND name = ?2 AND category = ?3 AND path = ?4 AND detail = ?5");
    if (!run.Int(1, uid).Text(2, row.name).Text(3, row.category).Text(4, row.path).Text(5, row.detail).Done()) {
      return RunFailure(run);
    }
  }
  for (size_t i : diff.came) {
    const SXInventoryRow& row = rows[i];
    CXSqlRun run = db_.Run(
        "INSERT OR IGNORE INTO inventory (uid, snapshot_id, category, name, path, detail) VALUES (?1, ?2, ?3, ?4, ?5, ?6)");
    run.Int(1, uid).Int(2, snapshot_id).Text(3, row.category).Text(4, row.name).Text(5, row.path).Text(6, row.detail);
    if (!run.Done()) {
      SXCatalogStatus status = RunFailure(run);
      if (status.code == CatalogCode::kRefused) status.message = "no machine " + std::to_string(uid) + ": " + status.message;
      return status;
    }
  }
  if (!transaction.Commit(&error)) return DbFailure(error);
  return SXCatalogStatus::Ok();
}

SXCatalogStatus CXSqliteCatalog::SearchInventory(const std::string& category, const std::string& pattern, int limit,
                                                 std::vector<SXInventoryRow>* rows) {
  rows->clear();
  if (!LimitOk(limit)) return Refused("at most 1 to 100000 inventory rows");
  if (pattern.empty()) return SXCatalogStatus::Ok();
  // Both LIKEs on columns indexed with NOCASE: a literal beginning is two
  // index ranges; a leading wildcard reads the table in its (uid, name)
  // order and stops when the page is full.
  static const char sql[] =
      "SELECT uid, category, name, path, detail FROM inventory "
      "WHERE (name LIKE ?1 ESCAPE '\\' OR path LIKE ?1 ESCAPE '\\') AND (?2 = '' OR category = ?2) "
      "ORDER BY uid, name LIMIT ?3";
  std::lock_guard<std::mutex> lock(mutex_);
  CXSqlRun run = db_.Run(sql);
  run.Text(1, LikePattern(pattern)).Text(2, category).Int(3, limit);
  return AppendRows(run, rows, InventoryFromRun<CXSqlRun>);
}

}  // namespace orvalinth::server
