#include "server/sqlite_schema.h"

namespace orvalinth::server {
namespace {

// Version 1. Every table a child of machines goes with its machine; every
// column that a foreign key names is indexed, so that a cascade never scans.
// Ids that leave the catalog (snapshots, comparisons, scans) are
// AUTOINCREMENT, so that none is ever handed out twice.
const char kSchema1[] = R"sql(
CREATE TABLE schema_migrations (
  version INTEGER PRIMARY KEY,
  description TEXT NOT NULL,
  applied_time INTEGER NOT NULL
);

CREATE TABLE counters (
  name TEXT PRIMARY KEY,
  value INTEGER NOT NULL
);
INSERT INTO counters (name, value) VALUES ('computer_id', 1);

CREATE TABLE machines (
  uid INTEGER PRIMARY KEY CHECK (uid > 0 AND uid <= 2147483647),
  name TEXT NOT NULL DEFAULT '',
  address TEXT NOT NULL DEFAULT '',
  app_version INTEGER NOT NULL DEFAULT 0,
  app_bits INTEGER NOT NULL DEFAULT 0,
  os_bits INTEGER NOT NULL DEFAULT 0,
  scan_targets TEXT NOT NULL DEFAULT '',
  machine_group TEXT NOT NULL DEFAULT '',
  first_seen INTEGER NOT NULL,
  last_seen INTEGER NOT NULL,
  online INTEGER NOT NULL DEFAULT 0,
  last_scan_time INTEGER NOT NULL DEFAULT 0
);
CREATE INDEX machines_name ON machines (name COLLATE NOCASE);
CREATE INDEX machines_group ON machines (machine_group);

CREATE TABLE snapshots (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  uid INTEGER NOT NULL REFERENCES machines (uid) ON DELETE CASCADE,
  number INTEGER NOT NULL,
  agent_time TEXT NOT NULL DEFAULT '',
  received_time INTEGER NOT NULL,
  size INTEGER NOT NULL,
  sha256 TEXT NOT NULL,
  path TEXT NOT NULL UNIQUE,
  compared INTEGER NOT NULL DEFAULT 0,
  title TEXT NOT NULL DEFAULT '',
  key_count INTEGER NOT NULL DEFAULT 0,
  value_count INTEGER NOT NULL DEFAULT 0,
  folder_count INTEGER NOT NULL DEFAULT 0,
  file_count INTEGER NOT NULL DEFAULT 0,
  item_count INTEGER NOT NULL DEFAULT 0,
  error_count INTEGER NOT NULL DEFAULT 0,
  UNIQUE (uid, number)
);
CREATE INDEX snapshots_machine ON snapshots (uid, id);
CREATE INDEX snapshots_uncompared ON snapshots (id) WHERE compared = 0;

CREATE TABLE scans (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  uid INTEGER NOT NULL REFERENCES machines (uid) ON DELETE CASCADE,
  origin INTEGER NOT NULL,
  requested_by TEXT NOT NULL DEFAULT '',
  profile TEXT NOT NULL DEFAULT '',
  state INTEGER NOT NULL DEFAULT 0,
  requested_time INTEGER NOT NULL,
  started_time INTEGER NOT NULL DEFAULT 0,
  done_time INTEGER NOT NULL DEFAULT 0,
  snapshot_number INTEGER NOT NULL DEFAULT 0,
  result TEXT NOT NULL DEFAULT ''
);
CREATE INDEX scans_machine ON scans (uid, id);
CREATE INDEX scans_open ON scans (uid) WHERE state < 2;
CREATE INDEX scans_ended ON scans (done_time) WHERE state >= 2;

CREATE TABLE target_profiles (
  name TEXT PRIMARY KEY,
  files TEXT NOT NULL DEFAULT '',
  registry TEXT NOT NULL DEFAULT '',
  apps TEXT NOT NULL DEFAULT '',
  versions INTEGER NOT NULL DEFAULT 0,
  full_scan INTEGER NOT NULL DEFAULT 0,
  removable INTEGER NOT NULL DEFAULT 0,
  snapshot_name TEXT NOT NULL DEFAULT ''
);

CREATE TABLE schedules (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  uid INTEGER UNIQUE REFERENCES machines (uid) ON DELETE CASCADE,
  machine_group TEXT UNIQUE,
  interval_seconds INTEGER NOT NULL CHECK (interval_seconds > 0),
  jitter_seconds INTEGER NOT NULL DEFAULT 0 CHECK (jitter_seconds >= 0),
  profile TEXT NOT NULL REFERENCES target_profiles (name) ON UPDATE CASCADE,
  enabled INTEGER NOT NULL DEFAULT 1,
  created_time INTEGER NOT NULL DEFAULT 0,
  CHECK ((uid IS NULL) <> (machine_group IS NULL))
);
CREATE INDEX schedules_profile ON schedules (profile);

CREATE TABLE comparisons (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  uid INTEGER NOT NULL REFERENCES machines (uid) ON DELETE CASCADE,
  old_snapshot_id INTEGER REFERENCES snapshots (id) ON DELETE SET NULL,
  new_snapshot_id INTEGER NOT NULL UNIQUE REFERENCES snapshots (id) ON DELETE CASCADE,
  old_number INTEGER NOT NULL DEFAULT 0,
  new_number INTEGER NOT NULL DEFAULT 0,
  time INTEGER NOT NULL,
  compared_time INTEGER NOT NULL,
  files_added INTEGER NOT NULL DEFAULT 0,
  files_removed INTEGER NOT NULL DEFAULT 0,
  files_changed INTEGER NOT NULL DEFAULT 0,
  registry_added INTEGER NOT NULL DEFAULT 0,
  registry_removed INTEGER NOT NULL DEFAULT 0,
  registry_changed INTEGER NOT NULL DEFAULT 0,
  apps_added INTEGER NOT NULL DEFAULT 0,
  apps_removed INTEGER NOT NULL DEFAULT 0,
  apps_changed INTEGER NOT NULL DEFAULT 0,
  stored_rows INTEGER NOT NULL DEFAULT 0,
  change_file TEXT NOT NULL DEFAULT ''
);
CREATE INDEX comparisons_machine ON comparisons (uid, time);
CREATE INDEX comparisons_old ON comparisons (old_snapshot_id);

-- kind: 0 files, 1 registry, 2 applications; category: 0 added, 1 removed, 2 changed.
-- uid and time are the comparison's, kept here for the indexes.
CREATE TABLE changes (
  id INTEGER PRIMARY KEY,
  comparison_id INTEGER NOT NULL REFERENCES comparisons (id) ON DELETE CASCADE,
  uid INTEGER NOT NULL,
  time INTEGER NOT NULL,
  kind INTEGER NOT NULL,
  category INTEGER NOT NULL,
  path TEXT NOT NULL COLLATE NOCASE,
  entry TEXT NOT NULL DEFAULT '',
  old_text TEXT NOT NULL DEFAULT '',
  new_text TEXT NOT NULL DEFAULT ''
);
CREATE INDEX changes_comparison ON changes (comparison_id);
CREATE INDEX changes_machine ON changes (uid, time);
CREATE INDEX changes_path ON changes (kind, category, path, time);
CREATE INDEX changes_time ON changes (kind, category, time);

CREATE TABLE crash_reports (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  uid INTEGER NOT NULL REFERENCES machines (uid) ON DELETE CASCADE,
  time INTEGER NOT NULL,
  text TEXT NOT NULL
);
CREATE INDEX crash_reports_machine ON crash_reports (uid, id);

CREATE TABLE upgrade_results (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  uid INTEGER NOT NULL REFERENCES machines (uid) ON DELETE CASCADE,
  time INTEGER NOT NULL,
  ok INTEGER NOT NULL,
  app_version INTEGER NOT NULL DEFAULT 0,
  text TEXT NOT NULL DEFAULT ''
);
CREATE INDEX upgrade_results_machine ON upgrade_results (uid, id);
)sql";

// The counts of a comparison by kind and category ("Services", "files",
// "registry values", ...): what the comparison's own columns sum up.
const char kSchema2[] = R"sql(
CREATE TABLE comparison_categories (
  comparison_id INTEGER NOT NULL REFERENCES comparisons (id) ON DELETE CASCADE,
  kind INTEGER NOT NULL,
  category TEXT NOT NULL,
  added INTEGER NOT NULL DEFAULT 0,
  removed INTEGER NOT NULL DEFAULT 0,
  changed INTEGER NOT NULL DEFAULT 0,
  PRIMARY KEY (comparison_id, kind, category)
) WITHOUT ROWID;
)sql";

// The web console: accounts, sign-in sessions and API tokens (only hashes of
// their secrets), upgrade rollouts with their machines, and the inventory of
// each machine's latest snapshot of applications that fleet searches read.
const char kSchema3[] = R"sql(
CREATE TABLE users (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  name TEXT NOT NULL UNIQUE COLLATE NOCASE,
  password_hash TEXT NOT NULL,
  role TEXT NOT NULL DEFAULT 'admin',
  created_time INTEGER NOT NULL,
  last_sign_in INTEGER NOT NULL DEFAULT 0
);

CREATE TABLE web_sessions (
  secret_hash TEXT PRIMARY KEY,
  user_id INTEGER NOT NULL REFERENCES users (id) ON DELETE CASCADE,
  csrf_token TEXT NOT NULL,
  created_time INTEGER NOT NULL,
  expires_time INTEGER NOT NULL,
  address TEXT NOT NULL DEFAULT ''
) WITHOUT ROWID;
CREATE INDEX web_sessions_user ON web_sessions (user_id);
CREATE INDEX web_sessions_expiry ON web_sessions (expires_time);

CREATE TABLE api_tokens (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  user_id INTEGER NOT NULL REFERENCES users (id) ON DELETE CASCADE,
  name TEXT NOT NULL DEFAULT '',
  secret_hash TEXT NOT NULL UNIQUE,
  created_time INTEGER NOT NULL,
  last_used INTEGER NOT NULL DEFAULT 0
);
CREATE INDEX api_tokens_user ON api_tokens (user_id);

CREATE TABLE rollouts (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  machine_group TEXT NOT NULL DEFAULT '',
  package_path TEXT NOT NULL,
  package_sha256 TEXT NOT NULL,
  package_size INTEGER NOT NULL,
  app_version INTEGER NOT NULL,
  canary_percent INTEGER NOT NULL CHECK (canary_percent BETWEEN 1 AND 100),
  wave_size INTEGER NOT NULL CHECK (wave_size > 0),
  wave INTEGER NOT NULL DEFAULT 0,
  state INTEGER NOT NULL DEFAULT 0,
  reason TEXT NOT NULL DEFAULT '',
  created_by TEXT NOT NULL DEFAULT '',
  created_time INTEGER NOT NULL,
  updated_time INTEGER NOT NULL,
  wave_timeout_seconds INTEGER NOT NULL DEFAULT 0
);

CREATE TABLE rollout_machines (
  rollout_id INTEGER NOT NULL REFERENCES rollouts (id) ON DELETE CASCADE,
  uid INTEGER NOT NULL REFERENCES machines (uid) ON DELETE CASCADE,
  wave INTEGER NOT NULL,
  state INTEGER NOT NULL DEFAULT 0,
  sent_time INTEGER NOT NULL DEFAULT 0,
  done_time INTEGER NOT NULL DEFAULT 0,
  text TEXT NOT NULL DEFAULT '',
  PRIMARY KEY (rollout_id, uid)
) WITHOUT ROWID;
CREATE INDEX rollout_machines_machine ON rollout_machines (uid);

CREATE TABLE inventory (
  uid INTEGER NOT NULL REFERENCES machines (uid) ON DELETE CASCADE,
  name TEXT NOT NULL COLLATE NOCASE,
  category TEXT NOT NULL,
  path TEXT NOT NULL DEFAULT '' COLLATE NOCASE,
  detail TEXT NOT NULL DEFAULT '',
  snapshot_id INTEGER NOT NULL,
  PRIMARY KEY (uid, name, category, path, detail)
) WITHOUT ROWID;
-- NOCASE columns, so that a LIKE with a literal beginning is an index range.
-- Kept in (uid, name) order, the order of a search's answer: a pattern with a
-- leading wildcard reads the table once, front to back, and stops when the
-- page is full (through an index of (uid, name) it was a lookup per row,
-- three times slower). Two identical entries of one machine are one row.
CREATE INDEX inventory_name ON inventory (name);
CREATE INDEX inventory_path ON inventory (path);
CREATE INDEX changes_fleet_time ON changes (time);
CREATE INDEX comparisons_time ON comparisons (time);
)sql";

// As PostgreSQL's (one node serves a SQLite catalog, but the schema is the same): each node's row and its heartbeat (unix
// milliseconds, so that tests may beat quickly), the node holding each
// machine's link, the node that claimed each scan, and one open scan per
// machine at most (a second node's claim fails on the unique index). Open
// scans doubled by an earlier run are ended first, or the index would not build.
const char kSchema4[] = R"sql(
CREATE TABLE nodes (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  name TEXT NOT NULL UNIQUE,
  web_address TEXT NOT NULL DEFAULT '',
  agent_address TEXT NOT NULL DEFAULT '',
  started_time INTEGER NOT NULL,
  heartbeat_ms INTEGER NOT NULL,
  dead_after_ms INTEGER NOT NULL,
  stopped INTEGER NOT NULL DEFAULT 0
);
ALTER TABLE machines ADD COLUMN node_id INTEGER;
CREATE INDEX machines_node ON machines (node_id) WHERE node_id IS NOT NULL;
ALTER TABLE scans ADD COLUMN node_id INTEGER;
UPDATE scans SET state = 4, result = 'a second open scan of its machine'
  WHERE state < 2 AND id NOT IN (SELECT min(id) FROM scans WHERE state < 2 GROUP BY uid);
DROP INDEX scans_open;
CREATE UNIQUE INDEX scans_open ON scans (uid) WHERE state < 2;
CREATE INDEX scans_node ON scans (node_id) WHERE state < 2;
-- Messages between nodes too long for a NOTIFY's payload.
CREATE TABLE node_messages (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  payload TEXT NOT NULL,
  created_time INTEGER NOT NULL
);
)sql";

const SXMigration kMigrations[] = {
    {1, "machines, snapshots, scans, target profiles, schedules, comparisons, changes, crash reports, upgrade results",
     kSchema1},
    {2, "the counts of each comparison by kind and category", kSchema2},
    {3, "web console accounts, sessions and tokens; upgrade rollouts; the inventory of each machine's latest applications",
     kSchema3},
    {4, "nodes sharing the catalog: their heartbeats, the node of each link and scan, one open scan per machine",
     kSchema4},
};

}  // namespace

const SXMigration* SqliteMigrations(size_t* count) {
  *count = sizeof kMigrations / sizeof kMigrations[0];
  return kMigrations;
}

int SqliteSchemaVersion() {
  size_t count = 0;
  const SXMigration* migrations = SqliteMigrations(&count);
  return migrations[count - 1].version;
}

const char kSqlFindSnapshot[] =
    "SELECT id, uid, number, agent_time, received_time, size, sha256, path, compared, title, key_count, value_count, "
    "folder_count, file_count, item_count, error_count FROM snapshots WHERE uid = ?1 AND number = ?2";

const char kSqlPreviousSnapshot[] =
    "SELECT id, uid, number, agent_time, received_time, size, sha256, path, compared, title, key_count, value_count, "
    "folder_count, file_count, item_count, error_count FROM snapshots "
    "WHERE uid = (SELECT uid FROM snapshots WHERE id = ?1) AND id < ?1 ORDER BY id DESC LIMIT 1";

const char kSqlUncompared[] =
    "SELECT id, uid, number, agent_time, received_time, size, sha256, path, compared, title, key_count, value_count, "
    "folder_count, file_count, item_count, error_count FROM snapshots WHERE compared = 0 ORDER BY id";

const char kSqlDeleteSnapshot[] = "DELETE FROM snapshots WHERE id = ?1";

const char kSqlChangesSince[] =
    "SELECT id, comparison_id, uid, time, kind, category, path, entry, old_text, new_text FROM changes "
    "WHERE uid = ?1 AND time >= ?2 ORDER BY time, id LIMIT ?3";

// SQLite takes the columns beside MIN() from the row holding the minimum.
const char kSqlMachinesWithChange[] =
    "SELECT uid, MIN(time), comparison_id, path FROM changes "
    "WHERE kind = ?1 AND category = ?2 AND path LIKE ?3 ESCAPE '\\' AND time >= ?4 "
    "GROUP BY uid ORDER BY 2, uid LIMIT ?5";

}  // namespace orvalinth::server
