#pragma once
// CXSqliteCatalog, the class behind OpenSqliteCatalog (server/sqlite_catalog.h),
// for the three files that implement it: sqlite_catalog.cpp (opening,
// migrations, machines), sqlite_catalog_snapshots.cpp (snapshots,
// comparisons, changes, retention) and sqlite_catalog_scans.cpp (scans,
// profiles, schedules, crash reports, upgrade results).

#include <mutex>
#include <string>
#include <vector>

#include "server/catalog.h"
#include "server/sqlite_db.h"

namespace orvalinth::server {

class CXSqliteCatalog final : public CXCatalog {
 public:
  bool Open(const std::string& path, std::string* error);

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
  SXCatalogStatus DueScans(int64_t now, int limit, std::vector<SXDueScan>* due) override;

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

 private:
  bool ReadVersion(int* version, std::string* error);
  bool Migrate(int from, std::string* error);
  // The snapshot's row and the change files of its comparison, inside a transaction.
  SXCatalogStatus CollectRemoved(int64_t id, SXRemovedSnapshot* removed);

  std::mutex mutex_;
  CXSqliteDb db_;
  int version_ = 0;
};

// The status of a failed run: kConflict for a unique key taken, kRefused for
// another broken constraint (a foreign key, a check), else kError.
SXCatalogStatus RunFailure(const CXSqlRun& run);
// kError with the text.
SXCatalogStatus DbFailure(const std::string& error);
// A snapshot row from a run of one of the snapshot SELECTs (their 16 columns from `first`).
SXSnapshotRow SnapshotFromRun(const CXSqlRun& run, int first = 0);

}  // namespace orvalinth::server
