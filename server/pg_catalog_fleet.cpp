// The PostgreSQL catalog: the console's queries over the fleet (pages of
// machines, the overview's counts, the latest comparisons, changes over the
// fleet) and the inventory of each machine's latest applications.
//
// Every query here is one of a fixed set of texts made once, as in the
// SQLite catalog: the filters a page may leave out are parameters
// ("$1 < 0 OR online = $1"), and each sort of the whitelist has its own text.
// Case folded means lower() of a "C" text: A-Z only.

#include <algorithm>
#include <array>
#include <map>

#include "server/pg_catalog_impl.h"

namespace orvalinth::server::pg {
namespace {

SXCatalogStatus Refused(const std::string& message) { return SXCatalogStatus::Failed(CatalogCode::kRefused, message); }

// The WHERE of a page of machines: $1 online (-1 either), $2 the name's LIKE
// pattern ("" any), $3 the group asked for ("" any) and $4 the group it
// stands for ("-": ""), $5 the version (0 any), $6 and $7 the bounds of last_seen (0 none).
const char kMachineFilter[] =
    " FROM machines WHERE ($1 < 0 OR online = $1) "
    "AND ($2 = '' OR lower(name) LIKE lower($2 COLLATE \"C\") ESCAPE '\\') "
    "AND ($3 = '' OR machine_group = $4) AND ($5 = 0 OR app_version = $5) AND ($6 = 0 OR last_seen >= $6) "
    "AND ($7 = 0 OR last_seen < $7)";

struct SXSortColumn {
  const char* name;  // as the query names it
  const char* order;  // the ORDER BY term
};
const SXSortColumn kSorts[] = {
    {"name", "lower(name)"},    {"uid", "uid"},
    {"last_seen", "last_seen"},         {"first_seen", "first_seen"},
    {"version", "app_version"},         {"group", "lower(machine_group)"},
    {"address", "address"},
};
constexpr size_t kSortCount = sizeof kSorts / sizeof kSorts[0];

// The page's statement of sort `index`, ascending or descending ($8 limit, $9 offset).
const char* MachinePageSql(size_t index, bool descending) {
  static const std::array<std::string, 2 * kSortCount> texts = [] {
    std::array<std::string, 2 * kSortCount> out;
    for (size_t i = 0; i < kSortCount; ++i) {
      for (int d = 0; d < 2; ++d) {
        const char* direction = d ? " DESC" : "";
        out[2 * i + d] = std::string("SELECT ") + kMachineColumns + kMachineFilter + " ORDER BY " + kSorts[i].order +
                         direction + ", uid" + direction + " LIMIT $8 OFFSET $9";
      }
    }
    return out;
  }();
  return texts[2 * index + (descending ? 1 : 0)].c_str();
}

void BindMachineFilter(CXPgRun& run, const SXMachineQuery& q) {
  run.Int(1, q.online).Text(2, q.name_pattern.empty() ? std::string() : LikePattern(q.name_pattern));
  run.Text(3, q.group).Text(4, q.group == "-" ? std::string() : q.group).Int(5, q.app_version);
  run.Int(6, q.seen_after).Int(7, q.seen_before);
}

SXCatalogStatus ChangeRows(CXPgRun& run, std::vector<SXChangeRow>* rows) {
  return AppendRows(run, rows, ChangeFromRun<CXPgRun>);
}

bool LimitOk(int limit) { return limit >= 1 && limit <= 100000; }

}  // namespace

SXCatalogStatus CXPgCatalog::QueryMachines(const SXMachineQuery& query, std::vector<SXMachineRow>* rows,
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
    CXPgRun run = db_.Run(MachinePageSql(sort, query.descending));
    BindMachineFilter(run, query);
    run.Int(8, query.limit).Int(9, query.offset);
    if (SXCatalogStatus s = AppendRows(run, rows, MachineFromRun<CXPgRun>); !s) return s;
  }
  if (total != nullptr) {
    static const std::string sql = std::string("SELECT COUNT(*)") + kMachineFilter;
    CXPgRun run = db_.Run(sql.c_str());
    BindMachineFilter(run, query);
    if (!run.Step()) return RunFailure(run);
    *total = run.Int64(0);
  }
  return SXCatalogStatus::Ok();
}

SXCatalogStatus CXPgCatalog::Summary(int64_t silent_before, SXFleetSummary* summary) {
  *summary = SXFleetSummary();
  std::lock_guard<std::mutex> lock(mutex_);
  // One connection behind one lock: the counts are of one moment.
  {
    CXPgRun run = db_.Run(
        "SELECT COUNT(*), COALESCE(SUM(online), 0), COUNT(*) FILTER (WHERE online = 0 AND last_seen < $1) "
        "FROM machines");
    if (!run.Int(1, silent_before).Step()) return RunFailure(run);
    summary->machines = run.Int64(0);
    summary->online = run.Int64(1);
    summary->silent = run.Int64(2);
  }
  {
    CXPgRun run = db_.Run("SELECT COUNT(*), COALESCE(SUM(size), 0) FROM snapshots");
    if (!run.Step()) return RunFailure(run);
    summary->snapshots = run.Int64(0);
    summary->snapshot_bytes = run.Int64(1);
  }
  {
    CXPgRun run = db_.Run("SELECT COUNT(*) FROM snapshots WHERE compared = 0");
    if (!run.Step()) return RunFailure(run);
    summary->uncompared = run.Int64(0);
  }
  {
    CXPgRun run = db_.Run("SELECT COUNT(*) FROM comparisons");
    if (!run.Step()) return RunFailure(run);
    summary->comparisons = run.Int64(0);
  }
  {
    CXPgRun run = db_.Run("SELECT app_version, COUNT(*) FROM machines GROUP BY app_version ORDER BY app_version");
    while (run.Step()) summary->versions.emplace_back(run.Int32(0), run.Int64(1));
    if (run.failed()) return RunFailure(run);
  }
  {
    CXPgRun run = db_.Run("SELECT machine_group, COUNT(*) FROM machines GROUP BY machine_group ORDER BY machine_group");
    while (run.Step()) summary->groups.emplace_back(run.String(0), run.Int64(1));
    if (run.failed()) return RunFailure(run);
  }
  return SXCatalogStatus::Ok();
}

SXCatalogStatus CXPgCatalog::RecentComparisons(int limit, std::vector<SXComparisonRow>* rows) {
  rows->clear();
  if (!LimitOk(limit)) return Refused("at most 1 to 100000 comparisons");
  std::lock_guard<std::mutex> lock(mutex_);
  static const std::string sql =
      std::string("SELECT ") + kComparisonColumns + " FROM comparisons ORDER BY time DESC, id DESC LIMIT $1";
  CXPgRun run = db_.Run(sql.c_str());
  run.Int(1, limit);
  return AppendRows(run, rows, ComparisonFromRun<CXPgRun>);
}

SXCatalogStatus CXPgCatalog::FleetChanges(const ChangeKind* kind, const ChangeCategory* category,
                                              const std::string& pattern, int64_t since, int64_t until, int limit,
                                              std::vector<SXChangeRow>* rows) {
  rows->clear();
  if (!LimitOk(limit)) return Refused("at most 1 to 100000 changes");
  // With kind and category both given, the path's literal beginning goes
  // through changes_path (or the time through changes_time); else the fleet's
  // newest rows are read back through changes_fleet_time until the page is full.
  static const std::string both = std::string("SELECT ") + kChangeColumns +
                                  " FROM changes WHERE kind = $1 AND category = $2 AND ($3 = '' OR lower(path) LIKE "
                                  "lower($3 COLLATE \"C\") ESCAPE '\\') AND time >= $4 AND ($5 = 0 OR time < $5) "
                                  "ORDER BY time DESC, id DESC LIMIT $6";
  static const std::string any = std::string("SELECT ") + kChangeColumns +
                                 " FROM changes WHERE ($1 < 0 OR kind = $1) AND ($2 < 0 OR category = $2) AND "
                                 "($3 = '' OR lower(path) LIKE lower($3 COLLATE \"C\") ESCAPE '\\') "
                                 "AND time >= $4 AND ($5 = 0 OR time < $5) "
                                 "ORDER BY time DESC, id DESC LIMIT $6";
  std::lock_guard<std::mutex> lock(mutex_);
  CXPgRun run = db_.Run(kind != nullptr && category != nullptr ? both.c_str() : any.c_str());
  run.Int(1, kind != nullptr ? static_cast<int>(*kind) : -1);
  run.Int(2, category != nullptr ? static_cast<int>(*category) : -1);
  run.Text(3, pattern.empty() ? std::string() : LikePattern(pattern)).Int(4, since).Int(5, until).Int(6, limit);
  return ChangeRows(run, rows);
}

SXCatalogStatus CXPgCatalog::ComparisonChanges(int64_t comparison_id, int offset, int limit,
                                                   std::vector<SXChangeRow>* rows) {
  rows->clear();
  if (!LimitOk(limit)) return Refused("at most 1 to 100000 changes");
  if (offset < 0) return Refused("the offset is 0 or more");
  std::lock_guard<std::mutex> lock(mutex_);
  static const std::string sql = std::string("SELECT ") + kChangeColumns +
                                 " FROM changes WHERE comparison_id = $1 ORDER BY lower(path), id LIMIT $2 OFFSET $3";
  CXPgRun run = db_.Run(sql.c_str());
  run.Int(1, comparison_id).Int(2, limit).Int(3, offset);
  return ChangeRows(run, rows);
}

SXCatalogStatus CXPgCatalog::ReplaceInventory(int32_t uid, int64_t snapshot_id,
                                                  const std::vector<SXInventoryRow>& rows) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::string error;
  CXPgTransaction transaction(db_);
  if (!transaction.Begin(&error)) return DbFailure(error);
  // The machine's row first: two replacements of one inventory (from two
  // nodes) follow one another, and the second reads what the first wrote.
  {
    CXPgRun run = db_.Run("SELECT 1 FROM machines WHERE uid = $1 FOR UPDATE");
    if (!run.Int(1, uid).Step()) {
      if (run.failed()) return RunFailure(run);
      return rows.empty() ? SXCatalogStatus::Ok() : Refused("no machine " + std::to_string(uid));
    }
  }
  std::vector<SXInventoryRow> stored;
  std::vector<std::string> ctids;  // where each stored row is, for its DELETE
  {
    CXPgRun run = db_.Run("SELECT ctid::text, category, name, path, detail FROM inventory WHERE uid = $1");
    run.Int(1, uid);
    while (run.Step()) {
      ctids.push_back(run.String(0));
      stored.push_back({uid, run.String(1), run.String(2), run.String(3), run.String(4)});
    }
    if (run.failed()) return RunFailure(run);
  }
  // Only what changed is written: the whole inventory again, some 800 rows
  // and their three indexes, was half of what PostgreSQL spent on a
  // snapshot. A row keeps the snapshot that brought it.
  const SXInventoryDiff diff = DiffInventory(stored, rows);
  if (!diff.went.empty()) {
    std::string went = "{";
    for (size_t i : diff.went) went += (went.size() > 1 ? ",\"" : "\"") + ctids[i] + "\"";
    CXPgRun run = db_.Run("DELETE FROM inventory WHERE ctid = ANY($1::tid[])");
    if (!run.Text(1, went + "}").Done()) return RunFailure(run);
  }
  // In batches of one statement each: a statement a row made a machine's
  // first inventory the slowest part of taking a snapshot in.
  constexpr size_t kInventoryBatch = 500;
  for (size_t first = 0; first < diff.came.size(); first += kInventoryBatch) {
    const size_t n = std::min(kInventoryBatch, diff.came.size() - first);
    const std::string sql = "INSERT INTO inventory (uid, snapshot_id, category, name, path, detail) VALUES " +
                            ValuesList(n, 2, 4);
    CXPgRun run = db_.Run(sql.c_str());
    run.Int(1, uid).Int(2, snapshot_id);
    for (size_t i = 0; i < n; ++i) {
      const SXInventoryRow& row = rows[diff.came[first + i]];
      const int p = static_cast<int>(3 + 4 * i);
      run.Text(p, row.category).Text(p + 1, row.name).Text(p + 2, row.path).Text(p + 3, row.detail);
    }
    if (!run.Done()) return RunFailure(run);
  }
  if (!transaction.Commit(&error)) return DbFailure(error);
  return SXCatalogStatus::Ok();
}

SXCatalogStatus CXPgCatalog::SearchInventory(const std::string& category, const std::string& pattern, int limit,
                                                 std::vector<SXInventoryRow>* rows) {
  rows->clear();
  if (!LimitOk(limit)) return Refused("at most 1 to 100000 inventory rows");
  if (pattern.empty()) return SXCatalogStatus::Ok();
  // Both LIKEs on lower() indexes: a literal beginning is two index ranges;
  // a leading wildcard reads inventory_machine in (uid, lower(name)) order.
  static const char sql[] =
      "SELECT uid, category, name, path, detail FROM inventory "
      "WHERE (lower(name) LIKE lower($1 COLLATE \"C\") ESCAPE '\\' OR lower(path) LIKE lower($1 COLLATE \"C\") "
      "ESCAPE '\\') AND ($2 = '' OR category = $2) ORDER BY uid, lower(name) LIMIT $3";
  std::lock_guard<std::mutex> lock(mutex_);
  CXPgRun run = db_.Run(sql);
  run.Text(1, LikePattern(pattern)).Text(2, category).Int(3, limit);
  return AppendRows(run, rows, InventoryFromRun<CXPgRun>);
}

}  // namespace orvalinth::server::pg
