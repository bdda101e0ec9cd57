#pragma once
// CXPgCatalog, the class behind OpenPostgresCatalog (server/pg_catalog.h),
// for the files that implement it: pg_catalog.cpp (opening,
// migrations, machines), pg_catalog_snapshots.cpp (snapshots,
// comparisons, changes, retention), pg_catalog_scans.cpp (scans,
// profiles, schedules, crash reports, upgrade results), pg_catalog_fleet.cpp
// (the console's queries over the fleet, the inventory), pg_catalog_rollouts.cpp (rollouts) and
// pg_catalog_accounts.cpp (accounts, sign-in sessions, API tokens).

#include <mutex>
#include <string>
#include <vector>

#include "server/catalog.h"
#include "server/catalog_rows.h"
#include "server/pg_db.h"

namespace orvalinth::server::pg {

class CXPgCatalog final : public CXCatalog {
 public:
  bool Open(const std::string& conninfo, std::string* error);

  int SchemaVersion() override;

  SXCatalogStatus NewComputerId(int32_t* uid) override;
  SXCatalogStatus UpsertMachine(const SXMachineInfo& info, bool* created) override;
  SXCatalogStatus SetMachineOnline(int32_t uid, bool online, int64_t time) override;
  SXCatalogStatus SetAllOffline() override;
  SXCatalogStatus SetMachineGroup(int32_t uid, const std::string& group) override;
  SXCatalogStatus GetMachine(int32_t uid, SXMachineRow* row) override;
  SXCatalogStatus FindMachinesByName(const std::string& name, std::vector<SXMachineRow>* rows) override;
  SXCatalogStatus ListMachines(std::vector<SXMachineRow>* rows) override;
  SXCatalogStatus ListGroupMachines(const std::string& group, std::vector<SXMachineRow>* rows) override;
  SXCatalogStatus DeleteMachine(int32_t uid, std::vector<SXRemovedSnapshot>* removed) override;

  SXCatalogStatus AddSnapshot(const SXSnapshotRow& row, int64_t* id) override;
  SXCatalogStatus FindSnapshot(int32_t uid, int32_t number, SXSnapshotRow* row) override;
  SXCatalogStatus GetSnapshot(int64_t id, SXSnapshotRow* row) override;
  SXCatalogStatus PreviousSnapshot(int64_t id, SXSnapshotRow* row) override;
  SXCatalogStatus ListSnapshots(int32_t uid, std::vector<SXSnapshotRow>* rows) override;
  SXCatalogStatus UncomparedSnapshots(std::vector<SXSnapshotRow>* rows) override;
  SXCatalogStatus SetCompared(int64_t id) override;
  SXCatalogStatus DeleteSnapshot(int64_t id, SXRemovedSnapshot* removed) override;

  SXCatalogStatus RequestScan(int32_t uid, ScanOrigin origin, const std::string& requested_by,
                              const std::string& profile, int64_t time, int64_t* id) override;
  SXCatalogStatus StartScan(int64_t id, int64_t time) override;
  SXCatalogStatus EndScan(int64_t id, ScanState state, int64_t time, int32_t snapshot_number,
                          const std::string& result) override;
  SXCatalogStatus GetScan(int64_t id, SXScanRow* row) override;
  SXCatalogStatus ListScans(int32_t uid, int limit, std::vector<SXScanRow>* rows) override;
  SXCatalogStatus RequestedScans(std::vector<SXScanRow>* rows) override;
  SXCatalogStatus StopOpenScans(int64_t time, const std::string& result, int64_t* count) override;
  SXCatalogStatus PruneScans(int64_t before, int64_t* count) override;

  SXCatalogStatus PutProfile(const SXTargetProfile& profile) override;
  SXCatalogStatus GetProfile(const std::string& name, SXTargetProfile* profile) override;
  SXCatalogStatus ListProfiles(std::vector<SXTargetProfile>* profiles) override;
  SXCatalogStatus DeleteProfile(const std::string& name) override;
  SXCatalogStatus PutSchedule(const SXScheduleRow& schedule, int64_t* id) override;
  SXCatalogStatus DeleteSchedule(int64_t id) override;
  SXCatalogStatus ListSchedules(std::vector<SXScheduleRow>* rows) override;
  SXCatalogStatus DueScans(int64_t node_id, int64_t now, int limit, std::vector<SXDueScan>* due) override;

  SXCatalogStatus AddComparison(const SXComparisonRow& comparison, const std::vector<SXChangeRow>& changes,
                                int64_t* id) override;
  SXCatalogStatus GetComparison(int64_t snapshot_id, SXComparisonRow* row) override;
  SXCatalogStatus CategoryCounts(int64_t comparison_id, std::vector<SXCategoryCount>* rows) override;
  SXCatalogStatus ListComparisons(int32_t uid, int64_t since, std::vector<SXComparisonRow>* rows) override;
  SXCatalogStatus ChangesSince(int32_t uid, int64_t since, int limit, std::vector<SXChangeRow>* rows) override;
  SXCatalogStatus MachinesWithChange(ChangeKind kind, ChangeCategory category, const std::string& pattern,
                                     int64_t since, int limit, std::vector<SXGainRow>* rows) override;

  SXCatalogStatus AddCrashReport(int32_t uid, int64_t time, const std::string& text) override;
  SXCatalogStatus ListCrashReports(int32_t uid, std::vector<SXCrashReportRow>* rows) override;
  SXCatalogStatus AddUpgradeResult(const SXUpgradeResultRow& row) override;
  SXCatalogStatus ListUpgradeResults(int32_t uid, std::vector<SXUpgradeResultRow>* rows) override;

  SXCatalogStatus RetentionCandidates(int32_t uid, const SXRetention& retention, int64_t now,
                                      std::vector<SXSnapshotRow>* rows) override;

  SXCatalogStatus QueryMachines(const SXMachineQuery& query, std::vector<SXMachineRow>* rows, int64_t* total) override;
  SXCatalogStatus Summary(int64_t silent_before, SXFleetSummary* summary) override;
  SXCatalogStatus RecentComparisons(int limit, std::vector<SXComparisonRow>* rows) override;
  SXCatalogStatus FleetChanges(const ChangeKind* kind, const ChangeCategory* category, const std::string& pattern,
                               int64_t since, int64_t until, int limit, std::vector<SXChangeRow>* rows) override;
  SXCatalogStatus ComparisonChanges(int64_t comparison_id, int offset, int limit,
                                    std::vector<SXChangeRow>* rows) override;
  SXCatalogStatus ReplaceInventory(int32_t uid, int64_t snapshot_id, const std::vector<SXInventoryRow>& rows) override;
  SXCatalogStatus SearchInventory(const std::string& category, const std::string& pattern, int limit,
                                  std::vector<SXInventoryRow>* rows) override;

  SXCatalogStatus AddUser(const SXUserRow& row, int64_t* id) override;
  SXCatalogStatus FindUser(const std::string& name, SXUserRow* row) override;
  SXCatalogStatus GetUser(int64_t id, SXUserRow* row) override;
  SXCatalogStatus ListUsers(std::vector<SXUserRow>* rows) override;
  SXCatalogStatus SetUserPassword(int64_t id, const std::string& password_hash) override;
  SXCatalogStatus SetUserSignIn(int64_t id, int64_t time) override;
  SXCatalogStatus AddWebSession(const SXWebSessionRow& row) override;
  SXCatalogStatus GetWebSession(const std::string& secret_hash, int64_t now, SXWebSessionRow* row) override;
  SXCatalogStatus DeleteWebSession(const std::string& secret_hash) override;
  SXCatalogStatus PruneWebSessions(int64_t now, int64_t user_id) override;
  SXCatalogStatus AddApiToken(const SXApiTokenRow& row, int64_t* id) override;
  SXCatalogStatus FindApiToken(const std::string& secret_hash, SXApiTokenRow* row) override;
  SXCatalogStatus ListApiTokens(int64_t user_id, std::vector<SXApiTokenRow>* rows) override;
  SXCatalogStatus DeleteApiToken(int64_t id) override;
  SXCatalogStatus TouchApiToken(int64_t id, int64_t time) override;

  SXCatalogStatus AddRollout(const SXRolloutRow& row, const std::vector<SXRolloutMachineRow>& machines,
                             int64_t* id) override;
  SXCatalogStatus GetRollout(int64_t id, SXRolloutRow* row) override;
  SXCatalogStatus ListRollouts(std::vector<SXRolloutRow>* rows) override;
  SXCatalogStatus UpdateRollout(const SXRolloutRow& row) override;
  SXCatalogStatus ListRolloutMachines(int64_t rollout_id, std::vector<SXRolloutMachineRow>* rows) override;
  SXCatalogStatus UpdateRolloutMachine(const SXRolloutMachineRow& row) override;

  SXCatalogStatus StartNode(const SXNodeRow& row, int64_t* id, int* others_alive) override;
  SXCatalogStatus BeatNode(int64_t id, int64_t now_ms) override;
  SXCatalogStatus StopNode(int64_t id, int64_t time) override;
  SXCatalogStatus ListNodes(int64_t now_ms, std::vector<SXNodeRow>* rows) override;
  SXCatalogStatus SetMachineLink(int32_t uid, int64_t node_id, bool online, int64_t time) override;
  SXCatalogStatus GetMachineLink(int32_t uid, int64_t now_ms, SXMachineLink* link) override;
  SXCatalogStatus ReconnectingMachines(int64_t now_ms, std::vector<int32_t>* uids) override;
  SXCatalogStatus ClaimScheduledScan(int32_t uid, int64_t node_id, const std::string& profile, int64_t time,
                                     int64_t seen_last_scan, int64_t* id) override;
  SXCatalogStatus ClaimRequestedScans(int64_t node_id, const std::vector<int32_t>& uids,
                                      std::vector<SXScanRow>* rows) override;
  SXCatalogStatus ReleaseScan(int64_t id) override;
  SXCatalogStatus EndScansOfDeadNodes(int64_t now_ms, int64_t time, int64_t* count) override;
  SXCatalogStatus ReleaseMachinesOfDeadNodes(int64_t dead_before_ms, int64_t time, int64_t* count) override;
  SXCatalogStatus PutNodeMessage(const std::string& payload, int64_t time, int64_t* id) override;
  SXCatalogStatus TakeNodeMessage(int64_t id, std::string* payload) override;
  std::unique_ptr<CXNodeBus> OpenNodeBus(std::string* error) override;

 private:
  // Inside the migration's transaction: the version the database has (0 for an empty one).
  bool ReadVersion(int* version, std::string* error);
  // Applies the migrations after `from`, inside the caller's transaction.
  bool Migrate(int from, std::string* error);
  // The snapshot's row and the change files of its comparison, inside a transaction.
  SXCatalogStatus CollectRemoved(int64_t id, SXRemovedSnapshot* removed);

  std::mutex mutex_;
  CXPgDb db_;
  int version_ = 0;
};

// A LIMIT's value: a negative limit is none (NULL), as SQLite's LIMIT -1.
void BindLimit(CXPgRun& run, int index, int64_t limit);

// The VALUES of a multi-row INSERT: `rows` tuples, each the `shared`
// parameters every row has ($1..$shared) followed by `per_row` of its own,
// numbered on from shared + 1: "($1, $2, $3, $4), ($1, $2, $5, $6)".
std::string ValuesList(size_t rows, int shared, int per_row);

}  // namespace orvalinth::server::pg
