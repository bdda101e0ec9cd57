// The SQLite catalog's nodes: one node serves a SQLite file, but it keeps
// the same rows as PostgreSQL's catalog (its heartbeat, the node of each link
// and scan), so that the server's code is one and the API reads alike.

#include <algorithm>

#include "server/sqlite_catalog_impl.h"

namespace orvalinth::server {
namespace {

#define SQLITE_NODE_ALIVE "(n.stopped = 0 AND n.heartbeat_ms >= ?1 - n.dead_after_ms)"


// A JSON array of the uids, read by json_each.
std::string UidList(const std::vector<int32_t>& uids) {
  std::string text = "[";
  for (size_t i = 0; i < uids.size(); ++i) text += (i > 0 ? "," : "") + std::to_string(uids[i]);
  return text + "]";
}

}  // namespace

SXCatalogStatus CXSqliteCatalog::StartNode(const SXNodeRow& row, int64_t* id, int* others_alive) {
  std::lock_guard<std::mutex> lock(mutex_);
  *id = 0;
  *others_alive = 0;
  std::string error;
  CXSqlTransaction transaction(db_);
  if (!transaction.Begin(&error)) return DbFailure(error);
  int64_t node = 0;
  {
    CXSqlRun run = db_.Run(
        "INSERT INTO nodes (name, web_address, agent_address, started_time, heartbeat_ms, dead_after_ms, stopped) "
        "VALUES (?1, ?2, ?3, ?4, ?5, ?6, 0) ON CONFLICT (name) DO UPDATE SET web_address = excluded.web_address, "
        "agent_address = excluded.agent_address, started_time = excluded.started_time, "
        "heartbeat_ms = excluded.heartbeat_ms, dead_after_ms = excluded.dead_after_ms, stopped = 0 RETURNING id");
    run.Text(1, row.name).Text(2, row.web_address).Text(3, row.agent_address).Int(4, row.started_time);
    run.Int(5, row.heartbeat_ms).Int(6, row.dead_after_ms);
    if (!run.Step()) return RunFailure(run);
    node = run.Int64(0);
  }
  {
    CXSqlRun run = db_.Run("UPDATE machines SET online = 0, node_id = NULL WHERE node_id = ?1");
    if (!run.Int(1, node).Done()) return RunFailure(run);
  }
  {
    CXSqlRun run = db_.Run("UPDATE scans SET node_id = NULL WHERE node_id = ?1 AND state = 0 AND origin = 1");
    if (!run.Int(1, node).Done()) return RunFailure(run);
  }
  {
    CXSqlRun run = db_.Run(
        "UPDATE scans SET state = 4, done_time = ?2, result = 'the server stopped before the scan ended' "
        "WHERE node_id = ?1 AND state < 2");
    if (!run.Int(1, node).Int(2, row.started_time).Done()) return RunFailure(run);
  }
  {
    CXSqlRun run = db_.Run("SELECT count(*) FROM nodes n WHERE n.id <> ?2 AND " SQLITE_NODE_ALIVE);
    if (!run.Int(1, row.heartbeat_ms).Int(2, node).Step()) return RunFailure(run);
    *others_alive = run.Int32(0);
  }
  if (!transaction.Commit(&error)) return DbFailure(error);
  *id = node;
  return SXCatalogStatus::Ok();
}

SXCatalogStatus CXSqliteCatalog::BeatNode(int64_t id, int64_t now_ms) {
  std::lock_guard<std::mutex> lock(mutex_);
  CXSqlRun run = db_.Run("UPDATE nodes SET heartbeat_ms = ?2, stopped = 0 WHERE id = ?1");
  if (!run.Int(1, id).Int(2, now_ms).Done()) return RunFailure(run);
  if (sqlite3_changes(db_.handle()) == 0) {
    return SXCatalogStatus::Failed(CatalogCode::kNotFound, "no node " + std::to_string(id));
  }
  return SXCatalogStatus::Ok();
}

SXCatalogStatus CXSqliteCatalog::StopNode(int64_t id, int64_t time) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::string error;
  CXSqlTransaction transaction(db_);
  if (!transaction.Begin(&error)) return DbFailure(error);
  {
    CXSqlRun run = db_.Run("UPDATE nodes SET stopped = 1 WHERE id = ?1");
    if (!run.Int(1, id).Done()) return RunFailure(run);
  }
  {
    CXSqlRun run = db_.Run("UPDATE machines SET online = 0, node_id = NULL, last_seen = ?2 WHERE node_id = ?1");
    if (!run.Int(1, id).Int(2, time).Done()) return RunFailure(run);
  }
  if (!transaction.Commit(&error)) return DbFailure(error);
  return SXCatalogStatus::Ok();
}

SXCatalogStatus CXSqliteCatalog::ListNodes(int64_t now_ms, std::vector<SXNodeRow>* rows) {
  std::lock_guard<std::mutex> lock(mutex_);
  rows->clear();
  CXSqlRun run = db_.Run(
      "SELECT n.id, n.name, n.web_address, n.agent_address, n.started_time, n.heartbeat_ms, n.dead_after_ms, "
      "n.stopped, " SQLITE_NODE_ALIVE ", (SELECT count(*) FROM machines m WHERE m.node_id = n.id AND m.online <> 0) "
      "FROM nodes n ORDER BY n.id");
  run.Int(1, now_ms);
  while (run.Step()) {
    SXNodeRow r;
    r.id = run.Int64(0);
    r.name = run.String(1);
    r.web_address = run.String(2);
    r.agent_address = run.String(3);
    r.started_time = run.Int64(4);
    r.heartbeat_ms = run.Int64(5);
    r.dead_after_ms = run.Int64(6);
    r.stopped = run.Bool(7);
    r.alive = run.Bool(8);
    r.machines = run.Int64(9);
    rows->push_back(std::move(r));
  }
  return run.failed() ? RunFailure(run) : SXCatalogStatus::Ok();
}

SXCatalogStatus CXSqliteCatalog::SetMachineLink(int32_t uid, int64_t node_id, bool online, int64_t time) {
  std::lock_guard<std::mutex> lock(mutex_);
  CXSqlRun run = db_.Run(online ? "UPDATE machines SET online = 1, node_id = ?2, last_seen = ?3 WHERE uid = ?1"
                                : "UPDATE machines SET online = 0, node_id = NULL, last_seen = ?3 "
                                  "WHERE uid = ?1 AND (node_id = ?2 OR node_id IS NULL)");
  if (!run.Int(1, uid).Int(2, node_id).Int(3, time).Done()) return RunFailure(run);
  return SXCatalogStatus::Ok();
}

SXCatalogStatus CXSqliteCatalog::GetMachineLink(int32_t uid, int64_t now_ms, SXMachineLink* link) {
  std::lock_guard<std::mutex> lock(mutex_);
  *link = SXMachineLink();
  CXSqlRun run = db_.Run(
      "SELECT m.online, coalesce(m.node_id, 0), coalesce(" SQLITE_NODE_ALIVE ", 0), coalesce(n.name, '') "
      "FROM machines m LEFT JOIN nodes n ON n.id = m.node_id WHERE m.uid = ?2");
  if (!run.Int(1, now_ms).Int(2, uid).Step()) {
    return run.failed() ? RunFailure(run)
                        : SXCatalogStatus::Failed(CatalogCode::kNotFound, "no machine " + std::to_string(uid));
  }
  link->online = run.Bool(0);
  link->node_id = run.Int64(1);
  link->node_alive = run.Bool(2);
  link->node_name = run.String(3);
  return SXCatalogStatus::Ok();
}

SXCatalogStatus CXSqliteCatalog::ReconnectingMachines(int64_t now_ms, std::vector<int32_t>* uids) {
  std::lock_guard<std::mutex> lock(mutex_);
  uids->clear();
  CXSqlRun run = db_.Run(
      "SELECT m.uid FROM machines m JOIN nodes n ON n.id = m.node_id WHERE m.online <> 0 AND NOT " SQLITE_NODE_ALIVE
      " ORDER BY m.uid");
  run.Int(1, now_ms);
  while (run.Step()) uids->push_back(run.Int32(0));
  return run.failed() ? RunFailure(run) : SXCatalogStatus::Ok();
}

SXCatalogStatus CXSqliteCatalog::ClaimScheduledScan(int32_t uid, int64_t node_id, const std::string& profile,
                                                    int64_t time, int64_t seen_last_scan, int64_t* id) {
  std::lock_guard<std::mutex> lock(mutex_);
  *id = 0;
  std::string error;
  CXSqlTransaction transaction(db_);
  if (!transaction.Begin(&error)) return DbFailure(error);
  {
    CXSqlRun run = db_.Run("UPDATE machines SET last_scan_time = ?2 WHERE uid = ?1 AND last_scan_time = ?3");
    if (!run.Int(1, uid).Int(2, time).Int(3, seen_last_scan).Done()) return RunFailure(run);
    if (sqlite3_changes(db_.handle()) == 0) return ScannedSince(uid);
  }
  {
    CXSqlRun run = db_.Run(
        "INSERT INTO scans (uid, origin, requested_by, profile, state, requested_time, node_id) "
        "VALUES (?1, 0, 'schedule', ?2, 0, ?3, ?4)");
    run.Int(1, uid).Text(2, profile).Int(3, time).Int(4, node_id);
    if (!run.Done()) {
      SXCatalogStatus status = RunFailure(run);
      if (status.conflict()) status.message = "machine " + std::to_string(uid) + " has an open scan already";
      return status;
    }
  }
  const int64_t scan = db_.LastInsertId();
  if (!transaction.Commit(&error)) return DbFailure(error);
  *id = scan;
  return SXCatalogStatus::Ok();
}

SXCatalogStatus CXSqliteCatalog::ClaimRequestedScans(int64_t node_id, const std::vector<int32_t>& uids,
                                                     std::vector<SXScanRow>* rows) {
  std::lock_guard<std::mutex> lock(mutex_);
  rows->clear();
  if (uids.empty()) return SXCatalogStatus::Ok();
  CXSqlRun run = db_.Run(
      "UPDATE scans SET node_id = ?1 WHERE state = 0 AND origin = 1 AND node_id IS NULL "
      "AND uid IN (SELECT value FROM json_each(?2)) RETURNING "
      "id, uid, origin, requested_by, profile, state, requested_time, started_time, done_time, snapshot_number, result");
  run.Int(1, node_id).Text(2, UidList(uids));
  while (run.Step()) rows->push_back(ScanFromRun(run));
  if (run.failed()) return RunFailure(run);
  std::sort(rows->begin(), rows->end(), [](const SXScanRow& a, const SXScanRow& b) { return a.id < b.id; });
  return SXCatalogStatus::Ok();
}

SXCatalogStatus CXSqliteCatalog::ReleaseScan(int64_t id) {
  std::lock_guard<std::mutex> lock(mutex_);
  CXSqlRun run = db_.Run("UPDATE scans SET node_id = NULL WHERE id = ?1 AND state = 0");
  return run.Int(1, id).Done() ? SXCatalogStatus::Ok() : RunFailure(run);
}

SXCatalogStatus CXSqliteCatalog::EndScansOfDeadNodes(int64_t now_ms, int64_t time, int64_t* count) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (count != nullptr) *count = 0;
  std::string error;
  CXSqlTransaction transaction(db_);
  if (!transaction.Begin(&error)) return DbFailure(error);
  {
    CXSqlRun run = db_.Run(
        "UPDATE scans SET node_id = NULL WHERE state = 0 AND origin = 1 AND node_id IN "
        "(SELECT n.id FROM nodes n WHERE NOT " SQLITE_NODE_ALIVE ")");
    if (!run.Int(1, now_ms).Done()) return RunFailure(run);
  }
  {
    CXSqlRun run = db_.Run(
        "UPDATE scans SET state = 3, done_time = ?2, "
        "result = 'node ' || (SELECT name FROM nodes WHERE id = scans.node_id) || ' stopped answering' "
        "WHERE state < 2 AND node_id IN (SELECT n.id FROM nodes n WHERE NOT " SQLITE_NODE_ALIVE ")");
    if (!run.Int(1, now_ms).Int(2, time).Done()) return RunFailure(run);
    if (count != nullptr) *count = sqlite3_changes(db_.handle());
  }
  if (!transaction.Commit(&error)) return DbFailure(error);
  return SXCatalogStatus::Ok();
}

SXCatalogStatus CXSqliteCatalog::ReleaseMachinesOfDeadNodes(int64_t dead_before_ms, int64_t time, int64_t* count) {
  std::lock_guard<std::mutex> lock(mutex_);
  CXSqlRun run = db_.Run(
      "UPDATE machines SET online = 0, node_id = NULL, last_seen = ?2 WHERE online <> 0 AND node_id IN "
      "(SELECT id FROM nodes WHERE stopped = 0 AND heartbeat_ms + dead_after_ms < ?1)");
  if (!run.Int(1, dead_before_ms).Int(2, time).Done()) return RunFailure(run);
  if (count != nullptr) *count = sqlite3_changes(db_.handle());
  return SXCatalogStatus::Ok();
}

SXCatalogStatus CXSqliteCatalog::PutNodeMessage(const std::string& payload, int64_t time, int64_t* id) {
  std::lock_guard<std::mutex> lock(mutex_);
  CXSqlRun run = db_.Run("INSERT INTO node_messages (payload, created_time) VALUES (?1, ?2)");
  if (!run.Text(1, payload).Int(2, time).Done()) return RunFailure(run);
  *id = db_.LastInsertId();
  return SXCatalogStatus::Ok();
}

SXCatalogStatus CXSqliteCatalog::TakeNodeMessage(int64_t id, std::string* payload) {
  std::lock_guard<std::mutex> lock(mutex_);
  CXSqlRun run = db_.Run("DELETE FROM node_messages WHERE id = ?1 RETURNING payload");
  if (!run.Int(1, id).Step()) {
    return run.failed() ? RunFailure(run)
                        : SXCatalogStatus::Failed(CatalogCode::kNotFound, "no node message " + std::to_string(id));
  }
  *payload = run.String(0);
  while (run.Step()) {
  }
  return SXCatalogStatus::Ok();
}

}  // namespace orvalinth::server
