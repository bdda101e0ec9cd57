#pragma once
// CXCatalog: what the fleet server keeps of its machines, apart from the
// snapshot files themselves (server/snapshot_store.h): machines, snapshots,
// scans, target profiles and schedules, comparisons and their change rows,
// crash reports and upgrade results.
//
// An abstract interface so that PostgreSQL can stand in for the embedded
// SQLite (server/sqlite_catalog.h) later: the rows are plain structs, every
// SQL text lives in an implementation, and no operation throws. Each returns
// an SXCatalogStatus: ok, or not found (a lookup that found nothing, an update
// of a row that is not there), a conflict (a unique key already taken), or an
// error whose message says what failed (the database's own text included).
//
// Every operation is one transaction: it has happened completely and durably
// (the implementation commits with a full sync) when it returns ok, or not at
// all. All of them may be called from any thread at any time (the event loop's
// catalog thread, the comparison workers, the web console).
//
// Times are seconds since 1970-01-01 UTC on the server's clock, unless a
// field says it is the agent's. Texts are UTF-8. A machine is known by its
// computer id ("uid", the agent's "id"): an int32 above 0.

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "server/node_bus.h"

namespace orvalinth::server {

enum class CatalogCode {
  kOk = 0,
  kNotFound,  // no such row
  kConflict,  // a unique key is already taken (a snapshot stored once already, ...)
  kRefused,   // the request breaks a rule of the catalog (a profile still in use, a bad value, ...)
  kError,     // the database failed (full disk, corruption, a schema newer than this program, ...)
};

struct [[nodiscard]] SXCatalogStatus {
  CatalogCode code = CatalogCode::kOk;
  std::string message;  // empty when ok

  bool ok() const { return code == CatalogCode::kOk; }
  bool not_found() const { return code == CatalogCode::kNotFound; }
  bool conflict() const { return code == CatalogCode::kConflict; }
  explicit operator bool() const { return ok(); }

  static SXCatalogStatus Ok() { return SXCatalogStatus(); }
  static SXCatalogStatus Failed(CatalogCode code, std::string message) {
    SXCatalogStatus s;
    s.code = code;
    s.message = std::move(message);
    return s;
  }
};

// ---- machines ---------------------------------------------------------------

// What an agent's "info" tells of it, with where it connected from.
struct SXMachineInfo {
  int32_t uid = 0;
  std::string name;           // computer name
  std::string address;        // the peer address of its link ("192.0.2.7:49731")
  int32_t app_version = 0;    // "app-ver"
  int32_t app_bits = 0;       // "app-bit"
  int32_t os_bits = 0;        // "os-bit"
  std::string scan_targets;   // "scan-targets", as the agent sent it
  int64_t seen_time = 0;      // now
};

struct SXMachineRow {
  int32_t uid = 0;
  std::string name;
  std::string address;
  int32_t app_version = 0;
  int32_t app_bits = 0;
  int32_t os_bits = 0;
  std::string scan_targets;
  std::string group;  // "" for none
  int64_t first_seen = 0;
  int64_t last_seen = 0;
  bool online = false;
  int64_t last_scan_time = 0;  // the last scan asked for (0 for never): the schedule counts from it
};

// ---- snapshots --------------------------------------------------------------

struct SXSnapshotRow {
  int64_t id = 0;          // the catalog's own, in the order snapshots were received; never reused
  int32_t uid = 0;
  int32_t number = 0;      // the agent's number ("saved-uids", "id-snapshot")
  std::string agent_time;  // the time the agent recorded, its local clock ("YYYY-MM-DD HH:MM")
  int64_t received_time = 0;
  int64_t size = 0;        // bytes of the file
  std::string sha256;      // of the file, 64 lowercase hex digits
  std::string path;        // of the file, relative to the data folder, "/" between names
  bool compared = false;   // its comparison with the previous one is in the catalog (or it has none)
  std::string title;       // as the snapshot calls itself (8-bit, the agent's code page)
  // What it holds.
  int64_t keys = 0, values = 0, folders = 0, files = 0, items = 0, errors = 0;
};

// ---- scans ------------------------------------------------------------------

enum class ScanOrigin { kSchedule = 0, kPerson = 1 };

enum class ScanState {
  kRequested = 0,  // asked for, not yet sent to the agent
  kStarted = 1,    // "scan" sent
  kDone = 2,       // "scan-done" with a snapshot
  kFailed = 3,     // the agent refused or failed it, or the link went
  kStopped = 4,    // "stop-scan", or the server stopped meanwhile
};

struct SXScanRow {
  int64_t id = 0;
  int32_t uid = 0;
  ScanOrigin origin = ScanOrigin::kSchedule;
  std::string requested_by;  // a person's name, or the schedule's
  std::string profile;       // the target profile's name
  ScanState state = ScanState::kRequested;
  int64_t requested_time = 0;
  int64_t started_time = 0;  // 0 until started
  int64_t done_time = 0;     // 0 until it ended
  int32_t snapshot_number = 0;  // the agent's number of its snapshot (0 for none)
  std::string result;           // the agent's message, or why it ended
};

// ---- target profiles and schedules -----------------------------------------

// What "set-scan" sends: the targets of the three kinds and the flags.
struct SXTargetProfile {
  std::string name;  // unique
  std::vector<std::string> files, registry, apps;
  bool versions = false;   // version information of executables
  bool full = false;       // every file, not only the changed
  bool removable = false;  // removable drives too
  std::string snapshot_name;  // "" for the agent's own
};

// A schedule for one machine (uid > 0, group "") or for a group (uid 0):
// "*" is every machine that has no schedule of its own or of its group.
struct SXScheduleRow {
  int64_t id = 0;
  int32_t uid = 0;
  std::string group;
  int64_t interval_seconds = 0;  // > 0
  int64_t jitter_seconds = 0;    // 0 to interval_seconds
  std::string profile;           // a target profile's name
  bool enabled = true;           // a disabled schedule stops scans of its machine or group
  int64_t created_time = 0;      // when first put (kept when put again)
};

// A machine online whose schedule says a scan is due.
struct SXDueScan {
  int32_t uid = 0;
  int64_t schedule_id = 0;
  std::string profile;
  int64_t due_time = 0;
  int64_t last_scan_time = 0;  // as the list found it: the claim checks it is still so
};

// ---- comparisons and changes -----------------------------------------------

enum class ChangeKind { kFiles = 0, kRegistry = 1, kApps = 2 };
enum class ChangeCategory { kAdded = 0, kRemoved = 1, kChanged = 2 };

// How many entries of one category ("Services", "files", "registry values",
// ...) of a kind a comparison found added, removed and changed.
struct SXCategoryCount {
  ChangeKind kind = ChangeKind::kFiles;
  std::string category;
  int64_t added = 0, removed = 0, changed = 0;
};

// The comparison of a snapshot with the machine's previous one.
struct SXComparisonRow {
  int64_t id = 0;
  int32_t uid = 0;
  int64_t old_snapshot_id = 0;  // 0 once that snapshot is gone (its changes stay, they belong to the new one)
  int64_t new_snapshot_id = 0;
  int32_t old_number = 0, new_number = 0;  // the agent's numbers, kept when the rows go
  int64_t time = 0;                        // the new snapshot's received time
  int64_t compared_time = 0;
  int64_t counts[3][3] = {};  // [ChangeKind][ChangeCategory]
  int64_t stored_rows = 0;    // change rows in the catalog
  // Relative to the data folder: the compressed file holding the changes
  // that were too many to store as rows ("" for none).
  std::string change_file;
  // The counts by category, stored with the comparison; read back with
  // CategoryCounts (GetComparison and ListComparisons leave it empty).
  std::vector<SXCategoryCount> categories;
};

struct SXChangeRow {
  int64_t id = 0;
  int64_t comparison_id = 0;  // set by AddComparison
  int32_t uid = 0;            // set by AddComparison
  int64_t time = 0;           // set by AddComparison: the new snapshot's received time
  ChangeKind kind = ChangeKind::kFiles;
  ChangeCategory category = ChangeCategory::kAdded;
  std::string path;    // section root, nodes and name joined by "\"
  std::string entry;   // what it is: "file", "folder", "key", "value", "node", "item", "section"
  std::string old_text, new_text;
};

// One machine that gained a matching entry, with the first time it did.
struct SXGainRow {
  int32_t uid = 0;
  int64_t first_time = 0;
  int64_t comparison_id = 0;
  std::string path;  // the first matching entry's path
};

// ---- crash reports and upgrade results --------------------------------------

struct SXCrashReportRow {
  int64_t id = 0;
  int32_t uid = 0;
  int64_t time = 0;
  std::string text;
};

struct SXUpgradeResultRow {
  int64_t id = 0;
  int32_t uid = 0;
  int64_t time = 0;
  bool ok = false;          // "upgrade-ok"
  int32_t app_version = 0;  // the version running after it
  std::string text;
};

// ---- retention ----------------------------------------------------------------

// Per machine: a snapshot may go when it is not one of the last keep_last
// (0: no rule of count) and is older than keep_days (0: no rule of age),
// received time against now. With both rules, a snapshot goes only when
// both let it go; with neither, none goes. Never pruned: the machine's
// newest snapshot (the base of its next comparison), a snapshot not yet
// compared, and the snapshot such a one will be compared with.
struct SXRetention {
  int32_t keep_last = 0;
  int32_t keep_days = 0;
  bool Active() const { return keep_last > 0 || keep_days > 0; }
};

// A snapshot's row and files: the rows are gone, the files are the caller's to remove.
struct SXRemovedSnapshot {
  SXSnapshotRow snapshot;
  std::vector<std::string> change_files;  // of its comparison, relative to the data folder
};

// ---- the web console: accounts, sign-in sessions, API tokens -----------------

struct SXUserRow {
  int64_t id = 0;
  std::string name;           // unique, A-Z case folded
  std::string password_hash;  // platform::HashPassword's text (algorithm, parameters, salt and hash)
  std::string role;           // "admin" (the one role so far)
  int64_t created_time = 0;
  int64_t last_sign_in = 0;   // 0 for never
};

// A signed-in browser. The catalog keeps only the SHA-256 of the cookie's
// secret, never the secret itself.
struct SXWebSessionRow {
  std::string secret_hash;  // 64 lowercase hex digits: the key
  int64_t user_id = 0;
  std::string csrf_token;   // sent back by the pages with every action
  int64_t created_time = 0;
  int64_t expires_time = 0;
  std::string address;      // where it signed in from
};

// A token for scripts ("Authorization: Bearer ..."): only its SHA-256 is kept.
struct SXApiTokenRow {
  int64_t id = 0;
  int64_t user_id = 0;
  std::string name;         // what the person called it
  std::string secret_hash;  // 64 lowercase hex digits, unique
  int64_t created_time = 0;
  int64_t last_used = 0;
};

// ---- upgrade rollouts ---------------------------------------------------------

enum class RolloutState { kRunning = 0, kDone = 1, kStopped = 2, kFailed = 3 };
enum class RolloutMachineState { kWaiting = 0, kSent = 1, kUpgraded = 2, kFailed = 3, kSkipped = 4 };

// A new agent rolled out to a group in waves: the first wave is the canary
// share, every later one at most wave_size machines; a wave starts only when
// every machine of the one before came back with the new version.
struct SXRolloutRow {
  int64_t id = 0;
  std::string group;          // "" for every machine
  std::string package_path;   // relative to the data folder
  std::string package_sha256;
  int64_t package_size = 0;
  int32_t app_version = 0;    // the version the package carries
  int32_t canary_percent = 0; // 1 to 100: the first wave's share
  int32_t wave_size = 0;      // > 0
  int32_t wave = 0;           // the wave under way (1 is the canary), 0 before the first
  RolloutState state = RolloutState::kRunning;
  std::string reason;         // why it stopped or failed (names the machine)
  std::string created_by;
  int64_t created_time = 0;
  int64_t updated_time = 0;
  int64_t wave_timeout_seconds = 0;  // a machine of a wave not back by then fails the rollout
};

struct SXRolloutMachineRow {
  int64_t rollout_id = 0;
  int32_t uid = 0;
  int32_t wave = 0;  // 1 is the canary
  RolloutMachineState state = RolloutMachineState::kWaiting;
  int64_t sent_time = 0;
  int64_t done_time = 0;
  std::string text;  // the agent's words, or why it failed
};

// ---- what the latest snapshot of each machine holds, for fleet searches ------

// One program, service, driver or startup entry of a machine's latest
// snapshot of its applications.
struct SXInventoryRow {
  int32_t uid = 0;
  std::string category;  // "Programs", "Services", "Drivers", "Startup"
  std::string name;      // what it is called
  std::string path;      // its file, command line or key ("" when it has none)
  std::string detail;    // version, state or start type, as the snapshot has it
};

// Which machines a list shows, in which order, which page.
struct SXMachineQuery {
  int online = -1;            // -1 either, 0 offline, 1 online
  std::string name_pattern;   // "" any; else the pattern rules of MachinesWithChange
  std::string group;          // "" any; "-" the machines without a group
  int32_t app_version = 0;    // 0 any
  int64_t seen_after = 0;     // last_seen >= this (0: no bound)
  int64_t seen_before = 0;    // last_seen < this (0: no bound)
  std::string sort = "name";  // "name", "uid", "last_seen", "first_seen", "version", "group", "address"
  bool descending = false;
  int offset = 0;
  int limit = 100;            // 1 to 1000
};

// The fleet in numbers, for the overview.
struct SXFleetSummary {
  int64_t machines = 0;
  int64_t online = 0;
  int64_t silent = 0;  // offline and not seen since the `silent_before` given
  int64_t snapshots = 0;
  int64_t snapshot_bytes = 0;
  int64_t comparisons = 0;
  int64_t uncompared = 0;
  std::vector<std::pair<int32_t, int64_t>> versions;     // app_version, machines: by version
  std::vector<std::pair<std::string, int64_t>> groups;   // group ("" none), machines: by group
};

// ---- nodes: several fleet servers on one catalog ------------------------------

// A fleet server sharing the catalog. It beats (heartbeat_ms) every few
// seconds; one whose beat is older than dead_after_ms (its own rhythm's
// three beats) is dead: its machines show as reconnecting and its open
// scans are ended by the others.
struct SXNodeRow {
  int64_t id = 0;
  std::string name;           // unique: [server] node-name
  std::string web_address;    // its web console ("" when it has none)
  std::string agent_address;  // where its agents connect
  int64_t started_time = 0;
  int64_t heartbeat_ms = 0;   // unix milliseconds
  int64_t dead_after_ms = 0;
  bool stopped = false;       // stopped cleanly (its links all closed)
  bool alive = false;         // read: beat within dead_after_ms of the time asked about, not stopped
  int64_t machines = 0;       // read: the machines whose link it holds
};

// Where a machine's link is, for a node asked about a machine it does not hold.
struct SXMachineLink {
  bool online = false;
  int64_t node_id = 0;  // 0: no node recorded
  bool node_alive = false;
  std::string node_name;
};

// ---- the interface ----------------------------------------------------------

class CXCatalog {
 public:
  virtual ~CXCatalog() = default;

  // The schema version of the open catalog (after its migrations).
  virtual int SchemaVersion() = 0;

  // Machines.
  // A computer id never handed out before and above every machine's id, never 0.
  virtual SXCatalogStatus NewComputerId(int32_t* uid) = 0;
  // Adds or updates the machine of info.uid from its "info": first_seen is
  // set when the row is new, last_seen always; the machine is online; its
  // group and last scan time stay. *created (may be null) tells whether the row is new.
  virtual SXCatalogStatus UpsertMachine(const SXMachineInfo& info, bool* created) = 0;
  virtual SXCatalogStatus SetMachineOnline(int32_t uid, bool online, int64_t time) = 0;
  // Every machine offline (at start: no agent is connected yet).
  virtual SXCatalogStatus SetAllOffline() = 0;
  // "" for none; "*" is refused (it names every machine in a schedule).
  virtual SXCatalogStatus SetMachineGroup(int32_t uid, const std::string& group) = 0;
  virtual SXCatalogStatus GetMachine(int32_t uid, SXMachineRow* row) = 0;
  // Machines of that computer name, A-Z case folded (clones share names).
  virtual SXCatalogStatus FindMachinesByName(const std::string& name, std::vector<SXMachineRow>* rows) = 0;
  // All machines by uid; those of one group by uid.
  virtual SXCatalogStatus ListMachines(std::vector<SXMachineRow>* rows) = 0;
  virtual SXCatalogStatus ListGroupMachines(const std::string& group, std::vector<SXMachineRow>* rows) = 0;
  // Removes the machine with its snapshot rows, scans, comparisons, changes,
  // schedule, crash reports and upgrade results; *removed gets the files that
  // are now the caller's to remove. Its uid is never handed out again.
  virtual SXCatalogStatus DeleteMachine(int32_t uid, std::vector<SXRemovedSnapshot>* removed) = 0;

  // Snapshots.
  // Adds the row (row.id is ignored; *id gets the new one). kConflict when
  // the machine already has that number: the snapshot is stored already.
  virtual SXCatalogStatus AddSnapshot(const SXSnapshotRow& row, int64_t* id) = 0;
  // The machine's snapshot of the agent's number `number`; kNotFound when the
  // catalog has none (the agent's snapshot still has to be downloaded).
  virtual SXCatalogStatus FindSnapshot(int32_t uid, int32_t number, SXSnapshotRow* row) = 0;
  virtual SXCatalogStatus GetSnapshot(int64_t id, SXSnapshotRow* row) = 0;
  // The machine's snapshot received last before snapshot `id`: what `id` is
  // compared with. kNotFound for the machine's first.
  virtual SXCatalogStatus PreviousSnapshot(int64_t id, SXSnapshotRow* row) = 0;
  // The machine's snapshots in received order.
  virtual SXCatalogStatus ListSnapshots(int32_t uid, std::vector<SXSnapshotRow>* rows) = 0;
  // Every snapshot not yet compared, in received order (requeued at start).
  virtual SXCatalogStatus UncomparedSnapshots(std::vector<SXSnapshotRow>* rows) = 0;
  // Marks a snapshot compared without a comparison (the first of a machine,
  // or one whose comparison cannot be made).
  virtual SXCatalogStatus SetCompared(int64_t id) = 0;
  // Removes the row, its comparison and that comparison's change rows;
  // *removed (may be null) gets its files, now the caller's to remove.
  virtual SXCatalogStatus DeleteSnapshot(int64_t id, SXRemovedSnapshot* removed) = 0;

  // Scans. A request sets the machine's last scan time to its time.
  virtual SXCatalogStatus RequestScan(int32_t uid, ScanOrigin origin, const std::string& requested_by,
                                      const std::string& profile, int64_t time, int64_t* id) = 0;
  virtual SXCatalogStatus StartScan(int64_t id, int64_t time) = 0;
  // Ends a scan: kDone, kFailed or kStopped, with the snapshot's number and the result text.
  virtual SXCatalogStatus EndScan(int64_t id, ScanState state, int64_t time, int32_t snapshot_number,
                                  const std::string& result) = 0;
  virtual SXCatalogStatus GetScan(int64_t id, SXScanRow* row) = 0;
  // The machine's scans, newest first, at most `limit`.
  virtual SXCatalogStatus ListScans(int32_t uid, int limit, std::vector<SXScanRow>* rows) = 0;
  // The scans a person asked for (`orvalinth fleet scan-now`) and no server
  // has started yet, oldest first.
  virtual SXCatalogStatus RequestedScans(std::vector<SXScanRow>* rows) = 0;
  // Ends every scan still requested or started as kStopped with `result`
  // (at start: the server that sent them is gone); *count (may be null) how many.
  virtual SXCatalogStatus StopOpenScans(int64_t time, const std::string& result, int64_t* count) = 0;
  // Removes ended scans older than `before`.
  virtual SXCatalogStatus PruneScans(int64_t before, int64_t* count) = 0;

  // Target profiles and schedules.
  // Adds the profile or replaces the one of that name.
  virtual SXCatalogStatus PutProfile(const SXTargetProfile& profile) = 0;
  virtual SXCatalogStatus GetProfile(const std::string& name, SXTargetProfile* profile) = 0;
  virtual SXCatalogStatus ListProfiles(std::vector<SXTargetProfile>* profiles) = 0;
  // kRefused while a schedule names it.
  virtual SXCatalogStatus DeleteProfile(const std::string& name) = 0;
  // Adds the schedule or replaces the one of its machine or group (then
  // keeping its id and created_time; give now as created_time); its
  // profile must exist and its values be sound (else kRefused). *id (may
  // be null) gets its id.
  virtual SXCatalogStatus PutSchedule(const SXScheduleRow& schedule, int64_t* id) = 0;
  virtual SXCatalogStatus DeleteSchedule(int64_t id) = 0;
  virtual SXCatalogStatus ListSchedules(std::vector<SXScheduleRow>* rows) = 0;
  // The online machines whose scan is due at `now` by the schedule that
  // applies to them (their own, else their group's, else "*"; a disabled
  // one applies too, and stops their scans), earliest first, at most
  // `limit`; a machine with a scan requested or started is not due. Due is
  // DueTime() below. A `node_id` above 0 takes the machines linked to that
  // node only: each node is handed its own machines' due scans, however
  // many other nodes' machines are due before them. (It reads every online
  // machine with a schedule: call it every few seconds, not for every event.)
  virtual SXCatalogStatus DueScans(int64_t node_id, int64_t now, int limit, std::vector<SXDueScan>* due) = 0;

  // Comparisons and changes.
  // Stores the comparison, its change rows and the new snapshot's compared
  // flag in one transaction; *id (may be null) gets the comparison's id.
  // kConflict when that snapshot has a comparison already.
  virtual SXCatalogStatus AddComparison(const SXComparisonRow& comparison, const std::vector<SXChangeRow>& changes,
                                        int64_t* id) = 0;
  // The comparison whose new snapshot is `snapshot_id`.
  virtual SXCatalogStatus GetComparison(int64_t snapshot_id, SXComparisonRow* row) = 0;
  // The counts by category of a comparison (by its id), in kind and name order.
  virtual SXCatalogStatus CategoryCounts(int64_t comparison_id, std::vector<SXCategoryCount>* rows) = 0;
  // The machine's comparisons received since `since`, oldest first.
  virtual SXCatalogStatus ListComparisons(int32_t uid, int64_t since, std::vector<SXComparisonRow>* rows) = 0;
  // The machine's change rows of snapshots received at or after `since`,
  // oldest first, at most `limit`.
  virtual SXCatalogStatus ChangesSince(int32_t uid, int64_t since, int limit, std::vector<SXChangeRow>* rows) = 0;
  // The machines with a change of `kind` and `category` (kAdded: "gained")
  // whose path matches `pattern` in a snapshot received at or after `since`,
  // each once with its first such change, earliest first, at most `limit`.
  // The pattern: "*" any run of characters, "?" any one, A-Z case folded,
  // the rest literal; a pattern that does not start with a wildcard is
  // looked up by its literal beginning through an index.
  virtual SXCatalogStatus MachinesWithChange(ChangeKind kind, ChangeCategory category, const std::string& pattern,
                                             int64_t since, int limit, std::vector<SXGainRow>* rows) = 0;

  // Crash reports and upgrade results, kept with their machine.
  virtual SXCatalogStatus AddCrashReport(int32_t uid, int64_t time, const std::string& text) = 0;
  virtual SXCatalogStatus ListCrashReports(int32_t uid, std::vector<SXCrashReportRow>* rows) = 0;
  virtual SXCatalogStatus AddUpgradeResult(const SXUpgradeResultRow& row) = 0;
  virtual SXCatalogStatus ListUpgradeResults(int32_t uid, std::vector<SXUpgradeResultRow>* rows) = 0;

  // Retention: the snapshots that `retention` lets go at `now`, of every
  // machine (uid 0) or of one. Nothing is removed: the caller removes each
  // with DeleteSnapshot and then its files (CXSnapshotStore::Prune).
  virtual SXCatalogStatus RetentionCandidates(int32_t uid, const SXRetention& retention, int64_t now,
                                              std::vector<SXSnapshotRow>* rows) = 0;

  // ---- for the web console and the JSON API --------------------------------

  // A page of machines by `query`; *total (may be null) how many match in all.
  virtual SXCatalogStatus QueryMachines(const SXMachineQuery& query, std::vector<SXMachineRow>* rows,
                                        int64_t* total) = 0;
  // The counts of the overview; `silent_before`: a machine offline and last
  // seen before it is silent.
  virtual SXCatalogStatus Summary(int64_t silent_before, SXFleetSummary* summary) = 0;
  // The fleet's latest comparisons (by new snapshot's received time, newest first), at most `limit`.
  virtual SXCatalogStatus RecentComparisons(int limit, std::vector<SXComparisonRow>* rows) = 0;
  // Change rows over the fleet received in [since, until) (until 0: no bound),
  // of one kind (null: any) and category (null: any), whose path matches
  // `pattern` ("" any; the rules of MachinesWithChange), newest first, at most `limit`.
  virtual SXCatalogStatus FleetChanges(const ChangeKind* kind, const ChangeCategory* category,
                                       const std::string& pattern, int64_t since, int64_t until, int limit,
                                       std::vector<SXChangeRow>* rows) = 0;
  // The change rows of one comparison (by its id), in path order, from `offset`, at most `limit`.
  virtual SXCatalogStatus ComparisonChanges(int64_t comparison_id, int offset, int limit,
                                            std::vector<SXChangeRow>* rows) = 0;

  // The machine's inventory becomes `rows` (those of snapshot `snapshot_id`, its latest of applications).
  virtual SXCatalogStatus ReplaceInventory(int32_t uid, int64_t snapshot_id, const std::vector<SXInventoryRow>& rows) = 0;
  // Inventory rows of every machine whose name or path matches `pattern`
  // (the rules of MachinesWithChange; "" matches nothing), of one category
  // ("" any), by machine and name, at most `limit`.
  virtual SXCatalogStatus SearchInventory(const std::string& category, const std::string& pattern, int limit,
                                          std::vector<SXInventoryRow>* rows) = 0;

  // Accounts. AddUser: kConflict when the name is taken; *id gets the new one.
  virtual SXCatalogStatus AddUser(const SXUserRow& row, int64_t* id) = 0;
  virtual SXCatalogStatus FindUser(const std::string& name, SXUserRow* row) = 0;
  virtual SXCatalogStatus GetUser(int64_t id, SXUserRow* row) = 0;
  virtual SXCatalogStatus ListUsers(std::vector<SXUserRow>* rows) = 0;
  virtual SXCatalogStatus SetUserPassword(int64_t id, const std::string& password_hash) = 0;
  virtual SXCatalogStatus SetUserSignIn(int64_t id, int64_t time) = 0;
  // Sign-in sessions: by the hash of their secret; expired ones are not found.
  virtual SXCatalogStatus AddWebSession(const SXWebSessionRow& row) = 0;
  virtual SXCatalogStatus GetWebSession(const std::string& secret_hash, int64_t now, SXWebSessionRow* row) = 0;
  virtual SXCatalogStatus DeleteWebSession(const std::string& secret_hash) = 0;
  // Removes the sessions expired at `now`, and every session of a user (user_id > 0) when asked.
  virtual SXCatalogStatus PruneWebSessions(int64_t now, int64_t user_id) = 0;
  // API tokens.
  virtual SXCatalogStatus AddApiToken(const SXApiTokenRow& row, int64_t* id) = 0;
  virtual SXCatalogStatus FindApiToken(const std::string& secret_hash, SXApiTokenRow* row) = 0;
  virtual SXCatalogStatus ListApiTokens(int64_t user_id, std::vector<SXApiTokenRow>* rows) = 0;
  virtual SXCatalogStatus DeleteApiToken(int64_t id) = 0;
  virtual SXCatalogStatus TouchApiToken(int64_t id, int64_t time) = 0;

  // Rollouts. AddRollout stores the rollout with its machines (each with its wave).
  virtual SXCatalogStatus AddRollout(const SXRolloutRow& row, const std::vector<SXRolloutMachineRow>& machines,
                                     int64_t* id) = 0;
  virtual SXCatalogStatus GetRollout(int64_t id, SXRolloutRow* row) = 0;
  // Newest first.
  virtual SXCatalogStatus ListRollouts(std::vector<SXRolloutRow>* rows) = 0;
  // Stores wave, state, reason and updated_time of row.id.
  virtual SXCatalogStatus UpdateRollout(const SXRolloutRow& row) = 0;
  // By wave, then uid.
  virtual SXCatalogStatus ListRolloutMachines(int64_t rollout_id, std::vector<SXRolloutMachineRow>* rows) = 0;
  // Stores state, sent_time, done_time and text of (row.rollout_id, row.uid).
  virtual SXCatalogStatus UpdateRolloutMachine(const SXRolloutMachineRow& row) = 0;

  // ---- nodes sharing the catalog (server/*_catalog_nodes.cpp) ---------------

  // Registers node `row.name` at row.heartbeat_ms: a new row, or that name's
  // row of an earlier run (alive again, stopped cleared). What its earlier run
  // held is let go: its machines offline, its open scans ended (a person's
  // scan not yet begun waits again). *id its id; *others_alive the other
  // nodes alive now (none: this node is alone, and may treat every link of the
  // catalog as gone).
  virtual SXCatalogStatus StartNode(const SXNodeRow& row, int64_t* id, int* others_alive) = 0;
  virtual SXCatalogStatus BeatNode(int64_t id, int64_t now_ms) = 0;
  // A clean stop: marked stopped, its machines offline.
  virtual SXCatalogStatus StopNode(int64_t id, int64_t time) = 0;
  // Every node by id, alive as of now_ms, with the machines it holds.
  virtual SXCatalogStatus ListNodes(int64_t now_ms, std::vector<SXNodeRow>* rows) = 0;
  // The machine's link is on node `node_id` (online), or gone from it
  // (offline: only while the machine is still recorded on that node, so that
  // a late close never undoes another node's greeting).
  virtual SXCatalogStatus SetMachineLink(int32_t uid, int64_t node_id, bool online, int64_t time) = 0;
  virtual SXCatalogStatus GetMachineLink(int32_t uid, int64_t now_ms, SXMachineLink* link) = 0;
  // The machines online on a dead node (their agents reconnecting elsewhere).
  virtual SXCatalogStatus ReconnectingMachines(int64_t now_ms, std::vector<int32_t>* uids) = 0;
  // A schedule's scan of `uid` claimed by node `node_id` (requested, with
  // the machine's last scan time set); kConflict when the machine has an open
  // scan already (another node claimed it first), or when its last scan time
  // is no longer `seen_last_scan`, the one DueScans found: it was scanned
  // since, and the slot it was due in has had its scan.
  virtual SXCatalogStatus ClaimScheduledScan(int32_t uid, int64_t node_id, const std::string& profile, int64_t time,
                                             int64_t seen_last_scan, int64_t* id) = 0;
  // The scans a person asked for, of the machines `uids`, not yet claimed:
  // claimed by `node_id` at once (a scan is claimed by one node only), oldest first.
  virtual SXCatalogStatus ClaimRequestedScans(int64_t node_id, const std::vector<int32_t>& uids,
                                              std::vector<SXScanRow>* rows) = 0;
  // A claimed scan not begun (the machine left meanwhile) given back to any node.
  virtual SXCatalogStatus ReleaseScan(int64_t id) = 0;
  // The open scans claimed by nodes dead at now_ms ended as failed with
  // "node <name> stopped answering" (a person's scan not begun is given
  // back instead); *count (may be null) how many ended.
  virtual SXCatalogStatus EndScansOfDeadNodes(int64_t now_ms, int64_t time, int64_t* count) = 0;
  // The machines still online on nodes dead since before `dead_before_ms`
  // (their agents did not come back on another node: a machine given its id
  // just before its node died, a machine switched off meanwhile) set offline.
  virtual SXCatalogStatus ReleaseMachinesOfDeadNodes(int64_t dead_before_ms, int64_t time, int64_t* count) = 0;
  // A message between nodes too long for a notification, kept until taken once.
  virtual SXCatalogStatus PutNodeMessage(const std::string& payload, int64_t time, int64_t* id) = 0;
  virtual SXCatalogStatus TakeNodeMessage(int64_t id, std::string* payload) = 0;
  // The channel between nodes, when the database has one (PostgreSQL's
  // LISTEN and NOTIFY); null for a catalog that serves one node.
  virtual std::unique_ptr<CXNodeBus> OpenNodeBus(std::string* error) {
    *error = "this catalog serves one node";
    return nullptr;
  }
};

// ---- rules every implementation shares --------------------------------------

// The offset of a machine's scans in its schedule's jitter: a fixed spread
// of 0 to jitter_seconds by the uid, so that a fleet does not scan at the same
// second and a machine keeps its place across restarts.
int64_t ScheduleJitter(int32_t uid, int64_t jitter_seconds);

// When a machine's next scan is due. Its scans fall on its slots: every
// interval_seconds from its jitter offset after 1970-01-01 UTC, so a fleet
// keeps its spread from scan to scan and across restarts. Due is the first
// slot at least half an interval after its last scan (a scan a person asked
// for moves the next one along; a slot's own scan, asked for a little late,
// does not skip the next slot); for a machine never scanned, the first slot
// after it was first seen and after the schedule was made.
int64_t DueTime(int32_t uid, int64_t last_scan_time, int64_t first_seen, const SXScheduleRow& schedule);

// Which of one machine's snapshots (in received order) `retention` lets go
// at `now`, by the rules of SXRetention: their indexes, ascending.
std::vector<size_t> PrunableSnapshots(const std::vector<SXSnapshotRow>& snapshots, const SXRetention& retention,
                                      int64_t now);

// What replacing a machine's stored inventory by its next one changes: the
// stored rows that went (indexes into `stored`: a row stored twice goes
// once) and the rows of `next` that came (indexes into `next`, in its
// order; a row given twice comes once). Rows are equal when all four texts
// are. Most of an inventory is the same from one snapshot to the next, so
// both catalogs write only these rather than the whole inventory again.
struct SXInventoryDiff {
  std::vector<size_t> went;
  std::vector<size_t> came;
};
SXInventoryDiff DiffInventory(const std::vector<SXInventoryRow>& stored, const std::vector<SXInventoryRow>& next);

// The user's pattern ("*" any run, "?" any one, the rest literal) as a LIKE
// pattern with "\" as its escape (the rules of MachinesWithChange), for
// either catalog.
std::string LikePattern(const std::string& pattern);

// "files", "registry", "apps"; "added", "removed", "changed".
const char* ChangeKindName(ChangeKind kind);
const char* ChangeCategoryName(ChangeCategory category);
// "running", "done", "stopped", "failed"; "waiting", "sent", "upgraded", "failed", "skipped".
const char* RolloutStateName(RolloutState state);
const char* RolloutMachineStateName(RolloutMachineState state);

}  // namespace orvalinth::server
