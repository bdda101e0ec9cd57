#pragma once
// A thin owner of one SQLite connection for the catalog: prepared statements
// kept by their SQL text and reused, binding and reading by position,
// transactions, and the database's error text in every failure. Not
// thread-safe: its one owner (CXSqliteCatalog) holds a mutex around it.

#include <sqlite3.h>

#include <cstdint>
#include <map>
#include <string>

namespace orvalinth::server {

class CXSqliteDb;

// A prepared statement in use: bound, stepped, read, and reset for its next
// use when it goes.
class CXSqlRun {
 public:
  CXSqlRun(CXSqliteDb& db, sqlite3_stmt* statement, const char* sql);
  ~CXSqlRun();
  CXSqlRun(const CXSqlRun&) = delete;
  CXSqlRun& operator=(const CXSqlRun&) = delete;

  // Binding by position from 1; a failure is kept and reported by the next Step.
  CXSqlRun& Int(int index, int64_t value);
  CXSqlRun& Text(int index, const std::string& value);
  CXSqlRun& Null(int index);

  // One step: true with a row, false at the end or on a failure (failed() then tells).
  bool Step();
  // Steps to the end (a statement without rows); false on a failure.
  bool Done();
  bool failed() const { return failed_; }
  // The failure's text: what was run and the database's message.
  const std::string& error() const { return error_; }
  // SQLITE_CONSTRAINT_UNIQUE or _PRIMARYKEY: a unique key is taken.
  bool unique_violation() const { return unique_violation_; }
  bool constraint_violation() const { return constraint_violation_; }

  int64_t Int64(int column) const { return sqlite3_column_int64(statement_, column); }
  int32_t Int32(int column) const { return static_cast<int32_t>(sqlite3_column_int64(statement_, column)); }
  bool Bool(int column) const { return sqlite3_column_int64(statement_, column) != 0; }
  std::string String(int column) const;
  bool IsNull(int column) const { return sqlite3_column_type(statement_, column) == SQLITE_NULL; }

 private:
  void Fail(int code);

  CXSqliteDb& db_;
  sqlite3_stmt* statement_;
  const char* sql_;
  bool failed_ = false;
  bool unique_violation_ = false;
  bool constraint_violation_ = false;
  std::string error_;
};

class CXSqliteDb {
 public:
  CXSqliteDb() = default;
  ~CXSqliteDb();
  CXSqliteDb(const CXSqliteDb&) = delete;
  CXSqliteDb& operator=(const CXSqliteDb&) = delete;

  // Opens (creating when missing) the database file at the host path `path`.
  bool Open(const std::string& path, std::string* error);
  void Close();
  sqlite3* handle() { return db_; }
  const std::string& path() const { return path_; }

  // Runs statements without parameters or rows (a migration, a pragma).
  bool Exec(const char* sql, std::string* error);
  // The text of the first column of the first row of `sql` (a pragma's answer).
  bool QueryText(const char* sql, std::string* value, std::string* error);

  // A statement of `sql` (a string literal: statements are kept by its
  // address), prepared once and reused. On a failure to prepare, the run has
  // failed already and says why.
  CXSqlRun Run(const char* sql);

  // BEGIN IMMEDIATE (the write lock taken at once, so that a transaction
  // never fails half-way for want of it), COMMIT, ROLLBACK.
  bool Begin(std::string* error);
  bool Commit(std::string* error);
  void Rollback();

  // The last row id inserted.
  int64_t LastInsertId() { return sqlite3_last_insert_rowid(db_); }
  // "<path>: <message> (code N)".
  std::string ErrorText(const std::string& what, int code);

 private:
  sqlite3* db_ = nullptr;
  std::string path_;
  std::map<const char*, sqlite3_stmt*> statements_;
};

// Commits or rolls back a transaction, whichever the code reaches.
class CXSqlTransaction {
 public:
  explicit CXSqlTransaction(CXSqliteDb& db) : db_(db) {}
  ~CXSqlTransaction() {
    if (open_) db_.Rollback();
  }
  CXSqlTransaction(const CXSqlTransaction&) = delete;
  CXSqlTransaction& operator=(const CXSqlTransaction&) = delete;

  bool Begin(std::string* error) {
    open_ = db_.Begin(error);
    return open_;
  }
  bool Commit(std::string* error) {
    const bool ok = db_.Commit(error);
    if (ok) open_ = false;
    return ok;
  }

 private:
  CXSqliteDb& db_;
  bool open_ = false;
};

}  // namespace orvalinth::server
