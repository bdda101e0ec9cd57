#include "server/sqlite_db.h"

namespace orvalinth::server {

CXSqlRun::CXSqlRun(CXSqliteDb& db, sqlite3_stmt* statement, const char* sql)
    : db_(db), statement_(statement), sql_(sql) {
  if (statement_ == nullptr) {
    failed_ = true;
    error_ = db_.ErrorText(std::string("cannot prepare \"") + sql_ + "\"", sqlite3_errcode(db_.handle()));
  }
}

CXSqlRun::~CXSqlRun() {
  if (statement_ != nullptr) {
    sqlite3_reset(statement_);
    sqlite3_clear_bindings(statement_);
  }
}

void CXSqlRun::Fail(int code) {
  if (failed_) return;
  failed_ = true;
  const int extended = sqlite3_extended_errcode(db_.handle());
  constraint_violation_ = (code & 0xFF) == SQLITE_CONSTRAINT;
  unique_violation_ = extended == SQLITE_CONSTRAINT_UNIQUE || extended == SQLITE_CONSTRAINT_PRIMARYKEY;
  error_ = db_.ErrorText(std::string("\"") + sql_ + "\"", extended);
}

CXSqlRun& CXSqlRun::Int(int index, int64_t value) {
  if (!failed_) {
    const int rc = sqlite3_bind_int64(statement_, index, value);
    if (rc != SQLITE_OK) Fail(rc);
  }
  return *this;
}

CXSqlRun& CXSqlRun::Text(int index, const std::string& value) {
  if (!failed_) {
    const int rc = sqlite3_bind_text(statement_, index, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT);
    if (rc != SQLITE_OK) Fail(rc);
  }
  return *this;
}

CXSqlRun& CXSqlRun::Null(int index) {
  if (!failed_) {
    const int rc = sqlite3_bind_null(statement_, index);
    if (rc != SQLITE_OK) Fail(rc);
  }
  return *this;
}

bool CXSqlRun::Step() {
  if (failed_) return false;
  const int rc = sqlite3_step(statement_);
  if (rc == SQLITE_ROW) return true;
  if (rc != SQLITE_DONE) Fail(rc);
  return false;
}

bool CXSqlRun::Done() {
  while (Step()) {
  }
  return !failed_;
}

std::string CXSqlRun::String(int column) const {
  const unsigned char* text = sqlite3_column_text(statement_, column);
  if (text == nullptr) return std::string();
  return std::string(reinterpret_cast<const char*>(text), static_cast<size_t>(sqlite3_column_bytes(statement_, column)));
}

CXSqliteDb::~CXSqliteDb() { Close(); }

bool CXSqliteDb::Open(const std::string& path, std::string* error) {
  Close();
  path_ = path;
  const int rc = sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                                 /*zVfs=*/nullptr);
  if (rc != SQLITE_OK) {
    *error = ErrorText("cannot open the catalog", rc);
    Close();
    return false;
  }
  sqlite3_extended_result_codes(db_, 1);
  return true;
}

void CXSqliteDb::Close() {
  for (auto& entry : statements_) sqlite3_finalize(entry.second);
  statements_.clear();
  if (db_ != nullptr) sqlite3_close_v2(db_);
  db_ = nullptr;
}

std::string CXSqliteDb::ErrorText(const std::string& what, int code) {
  std::string message = db_ != nullptr ? sqlite3_errmsg(db_) : sqlite3_errstr(code);
  return "catalog " + path_ + ": " + what + ": " + message + " (code " + std::to_string(code) + ")";
}

bool CXSqliteDb::Exec(const char* sql, std::string* error) {
  char* message = nullptr;
  const int rc = sqlite3_exec(db_, sql, /*callback=*/nullptr, /*arg=*/nullptr, &message);
  if (rc == SQLITE_OK) return true;
  const std::string text = message != nullptr ? message : sqlite3_errstr(rc);
  sqlite3_free(message);
  *error = "catalog " + path_ + ": " + text + " (code " + std::to_string(sqlite3_extended_errcode(db_)) + ")";
  return false;
}

bool CXSqliteDb::QueryText(const char* sql, std::string* value, std::string* error) {
  sqlite3_stmt* statement = nullptr;
  int rc = sqlite3_prepare_v2(db_, sql, -1, &statement, /*pzTail=*/nullptr);
  if (rc == SQLITE_OK) {
    rc = sqlite3_step(statement);
    if (rc == SQLITE_ROW) {
      const unsigned char* text = sqlite3_column_text(statement, 0);
      *value = text != nullptr ? reinterpret_cast<const char*>(text) : "";
      rc = SQLITE_OK;
    } else if (rc == SQLITE_DONE) {
      value->clear();
      rc = SQLITE_OK;
    }
  }
  if (rc != SQLITE_OK) *error = ErrorText(std::string("\"") + sql + "\"", sqlite3_extended_errcode(db_));
  sqlite3_finalize(statement);
  return rc == SQLITE_OK;
}

CXSqlRun CXSqliteDb::Run(const char* sql) {
  auto found = statements_.find(sql);
  if (found != statements_.end()) return CXSqlRun(*this, found->second, sql);
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &statement, /*pzTail=*/nullptr) != SQLITE_OK) {
    sqlite3_finalize(statement);
    return CXSqlRun(*this, nullptr, sql);
  }
  statements_.emplace(sql, statement);
  return CXSqlRun(*this, statement, sql);
}

bool CXSqliteDb::Begin(std::string* error) { return Exec("BEGIN IMMEDIATE", error); }

bool CXSqliteDb::Commit(std::string* error) { return Exec("COMMIT", error); }

void CXSqliteDb::Rollback() {
  // A rollback fails only when there is no transaction any more (the
  // database rolled it back itself after a full disk or an I/O error).
  sqlite3_exec(db_, "ROLLBACK", /*callback=*/nullptr, /*arg=*/nullptr, /*errmsg=*/nullptr);
}

}  // namespace orvalinth::server
