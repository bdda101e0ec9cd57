// The SQLite catalog: the web console's accounts, sign-in sessions and API tokens.

#include "server/sqlite_catalog_impl.h"

namespace orvalinth::server {
namespace {

SXCatalogStatus NotFound(const std::string& what) { return SXCatalogStatus::Failed(CatalogCode::kNotFound, what); }

// An UPDATE or DELETE of one row by its key: kNotFound when it touched none.
SXCatalogStatus OneRowChanged(CXSqliteDb& db, CXSqlRun& run, const std::string& missing) {
  if (!run.Done()) return RunFailure(run);
  return sqlite3_changes(db.handle()) != 0 ? SXCatalogStatus::Ok() : NotFound(missing);
}

}  // namespace

// ---- users ---------------------------------------------------------------------

SXCatalogStatus CXSqliteCatalog::AddUser(const SXUserRow& row, int64_t* id) {
  std::lock_guard<std::mutex> lock(mutex_);
  *id = 0;
  if (row.name.empty() || row.password_hash.empty()) {
    return SXCatalogStatus::Failed(CatalogCode::kRefused, "a user needs a name and a password");
  }
  CXSqlRun run = db_.Run(
      "INSERT INTO users (name, password_hash, role, created_time, last_sign_in) VALUES (?1, ?2, ?3, ?4, ?5)");
  run.Text(1, row.name).Text(2, row.password_hash).Text(3, row.role.empty() ? "admin" : row.role);
  run.Int(4, row.created_time).Int(5, row.last_sign_in);
  if (!run.Done()) {
    SXCatalogStatus status = RunFailure(run);
    if (status.code == CatalogCode::kConflict) status.message = "a user named " + row.name + " exists";
    return status;
  }
  *id = db_.LastInsertId();
  return SXCatalogStatus::Ok();
}

SXCatalogStatus CXSqliteCatalog::FindUser(const std::string& name, SXUserRow* row) {
  std::lock_guard<std::mutex> lock(mutex_);
  CXSqlRun run = db_.Run("SELECT id, name, password_hash, role, created_time, last_sign_in FROM users WHERE name = ?1");
  if (!run.Text(1, name).Step()) return run.failed() ? RunFailure(run) : NotFound("no user named " + name);
  *row = UserFromRun(run);
  return SXCatalogStatus::Ok();
}

SXCatalogStatus CXSqliteCatalog::GetUser(int64_t id, SXUserRow* row) {
  std::lock_guard<std::mutex> lock(mutex_);
  CXSqlRun run = db_.Run("SELECT id, name, password_hash, role, created_time, last_sign_in FROM users WHERE id = ?1");
  if (!run.Int(1, id).Step()) return run.failed() ? RunFailure(run) : NotFound("no user " + std::to_string(id));
  *row = UserFromRun(run);
  return SXCatalogStatus::Ok();
}

SXCatalogStatus CXSqliteCatalog::ListUsers(std::vector<SXUserRow>* rows) {
  std::lock_guard<std::mutex> lock(mutex_);
  rows->clear();
  CXSqlRun run = db_.Run("SELECT id, name, password_hash, role, created_time, last_sign_in FROM users ORDER BY id");
  return AppendRows(run, rows, UserFromRun<CXSqlRun>);
}

SXCatalogStatus CXSqliteCatalog::SetUserPassword(int64_t id, const std::string& password_hash) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (password_hash.empty()) return SXCatalogStatus::Failed(CatalogCode::kRefused, "an empty password hash");
  CXSqlRun run = db_.Run("UPDATE users SET password_hash = ?2 WHERE id = ?1");
  run.Int(1, id).Text(2, password_hash);
  return OneRowChanged(db_, run, "no user " + std::to_string(id));
}

SXCatalogStatus CXSqliteCatalog::SetUserSignIn(int64_t id, int64_t time) {
  std::lock_guard<std::mutex> lock(mutex_);
  CXSqlRun run = db_.Run("UPDATE users SET last_sign_in = ?2 WHERE id = ?1");
  run.Int(1, id).Int(2, time);
  return OneRowChanged(db_, run, "no user " + std::to_string(id));
}

// ---- sign-in sessions ---------------------------------------------------------------

SXCatalogStatus CXSqliteCatalog::AddWebSession(const SXWebSessionRow& row) {
  std::lock_guard<std::mutex> lock(mutex_);
  CXSqlRun run = db_.Run(
      "INSERT INTO web_sessions (secret_hash, user_id, csrf_token, created_time, expires_time, address) "
      "VALUES (?1, ?2, ?3, ?4, ?5, ?6)");
  run.Text(1, row.secret_hash).Int(2, row.user_id).Text(3, row.csrf_token).Int(4, row.created_time);
  run.Int(5, row.expires_time).Text(6, row.address);
  if (!run.Done()) {
    SXCatalogStatus status = RunFailure(run);
    if (status.code == CatalogCode::kRefused) status.message = "no user " + std::to_string(row.user_id);
    return status;
  }
  return SXCatalogStatus::Ok();
}

SXCatalogStatus CXSqliteCatalog::GetWebSession(const std::string& secret_hash, int64_t now, SXWebSessionRow* row) {
  std::lock_guard<std::mutex> lock(mutex_);
  CXSqlRun run = db_.Run(
      "SELECT secret_hash, user_id, csrf_token, created_time, expires_time, address FROM web_sessions "
      "WHERE secret_hash = ?1 AND expires_time > ?2");
  if (!run.Text(1, secret_hash).Int(2, now).Step()) {
    return run.failed() ? RunFailure(run) : NotFound("no such session");
  }
  *row = WebSessionFromRun(run);
  return SXCatalogStatus::Ok();
}

SXCatalogStatus CXSqliteCatalog::DeleteWebSession(const std::string& secret_hash) {
  std::lock_guard<std::mutex> lock(mutex_);
  CXSqlRun run = db_.Run("DELETE FROM web_sessions WHERE secret_hash = ?1");
  run.Text(1, secret_hash);
  return OneRowChanged(db_, run, "no such session");
}

SXCatalogStatus CXSqliteCatalog::PruneWebSessions(int64_t now, int64_t user_id) {
  std::lock_guard<std::mutex> lock(mutex_);
  CXSqlRun run = db_.Run("DELETE FROM web_sessions WHERE expires_time <= ?1 OR (?2 > 0 AND user_id = ?2)");
  return run.Int(1, now).Int(2, user_id).Done() ? SXCatalogStatus::Ok() : RunFailure(run);
}

// ---- API tokens ---------------------------------------------------------------------

SXCatalogStatus CXSqliteCatalog::AddApiToken(const SXApiTokenRow& row, int64_t* id) {
  std::lock_guard<std::mutex> lock(mutex_);
  *id = 0;
  CXSqlRun run = db_.Run(
      "INSERT INTO api_tokens (user_id, name, secret_hash, created_time, last_used) VALUES (?1, ?2, ?3, ?4, ?5)");
  run.Int(1, row.user_id).Text(2, row.name).Text(3, row.secret_hash).Int(4, row.created_time).Int(5, row.last_used);
  if (!run.Done()) {
    SXCatalogStatus status = RunFailure(run);
    if (status.code == CatalogCode::kRefused) status.message = "no user " + std::to_string(row.user_id);
    return status;
  }
  *id = db_.LastInsertId();
  return SXCatalogStatus::Ok();
}

SXCatalogStatus CXSqliteCatalog::FindApiToken(const std::string& secret_hash, SXApiTokenRow* row) {
  std::lock_guard<std::mutex> lock(mutex_);
  CXSqlRun run = db_.Run(
      "SELECT id, user_id, name, secret_hash, created_time, last_used FROM api_tokens WHERE secret_hash = ?1");
  if (!run.Text(1, secret_hash).Step()) return run.failed() ? RunFailure(run) : NotFound("no such token");
  *row = TokenFromRun(run);
  return SXCatalogStatus::Ok();
}

SXCatalogStatus CXSqliteCatalog::ListApiTokens(int64_t user_id, std::vector<SXApiTokenRow>* rows) {
  std::lock_guard<std::mutex> lock(mutex_);
  rows->clear();
  CXSqlRun run = db_.Run(
      "SELECT id, user_id, name, secret_hash, created_time, last_used FROM api_tokens WHERE user_id = ?1 ORDER BY id");
  run.Int(1, user_id);
  return AppendRows(run, rows, TokenFromRun<CXSqlRun>);
}

SXCatalogStatus CXSqliteCatalog::DeleteApiToken(int64_t id) {
  std::lock_guard<std::mutex> lock(mutex_);
  CXSqlRun run = db_.Run("DELETE FROM api_tokens WHERE id = ?1");
  run.Int(1, id);
  return OneRowChanged(db_, run, "no token " + std::to_string(id));
}

SXCatalogStatus CXSqliteCatalog::TouchApiToken(int64_t id, int64_t time) {
  std::lock_guard<std::mutex> lock(mutex_);
  CXSqlRun run = db_.Run("UPDATE api_tokens SET last_used = ?2 WHERE id = ?1");
  run.Int(1, id).Int(2, time);
  return OneRowChanged(db_, run, "no token " + std::to_string(id));
}

}  // namespace orvalinth::server
