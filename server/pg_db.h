#pragma once
// A thin owner of one PostgreSQL connection for the catalog: statements with
// parameters by position ($1, $2, ...; typed by what is bound: bigint or
// text), results read by position, transactions, and the server's error text
// with its SQLSTATE in every failure. Not thread-safe: its one owner
// (the PostgreSQL catalog) holds a mutex around it.

#include <libpq-fe.h>

#include <cstdint>
#include <string>
#include <vector>

namespace orvalinth::server {

class CXPgDb;

// One statement: bound, run at its first Step (or Done), its rows read one by one.
class CXPgRun {
 public:
  CXPgRun(CXPgDb& db, const char* sql) : db_(db), sql_(sql) {}
  ~CXPgRun();
  CXPgRun(const CXPgRun&) = delete;
  CXPgRun& operator=(const CXPgRun&) = delete;

  // Binding by position from 1.
  CXPgRun& Int(int index, int64_t value);
  CXPgRun& Text(int index, const std::string& value);
  CXPgRun& Null(int index);

  // Runs the statement at the first call; then true for each row, false at
  // the end or on a failure (failed() then tells).
  bool Step();
  // Runs it (a statement without rows, or whose rows do not matter); false on a failure.
  bool Done();
  bool failed() const { return failed_; }
  // The failure's text: what was run, the server's message and its SQLSTATE.
  const std::string& error() const { return error_; }
  const std::string& sqlstate() const { return sqlstate_; }
  // 23505: a unique key is taken.
  bool unique_violation() const { return sqlstate_ == "23505"; }
  // 23503 (a foreign key) or 23514 (a check): the request breaks a rule.
  bool constraint_violation() const { return sqlstate_ == "23503" || sqlstate_ == "23514"; }
  // The rows an INSERT, UPDATE or DELETE touched.
  int64_t changes() const;

  int64_t Int64(int column) const;
  int32_t Int32(int column) const { return static_cast<int32_t>(Int64(column)); }
  // An integer column (0 false) or a boolean one ("t").
  bool Bool(int column) const;
  std::string String(int column) const;
  bool IsNull(int column) const;

 private:
  void Execute();
  void Slot(int index);
  const char* Value(int column) const;

  CXPgDb& db_;
  const char* sql_;
  std::vector<std::string> values_;
  std::vector<Oid> types_;
  std::vector<bool> nulls_;
  PGresult* result_ = nullptr;
  bool executed_ = false;
  bool failed_ = false;
  int row_ = -1;
  std::string error_;
  std::string sqlstate_;
};

class CXPgDb {
 public:
  CXPgDb() = default;
  ~CXPgDb();
  CXPgDb(const CXPgDb&) = delete;
  CXPgDb& operator=(const CXPgDb&) = delete;

  // Connects by `conninfo` (a postgresql:// URI or "key=value" words).
  bool Open(const std::string& conninfo, std::string* error);
  void Close();
  PGconn* handle() { return conn_; }
  // Where it is connected, without a password: "database D on H".
  const std::string& where() const { return where_; }
  // What it was opened with (a second connection to the same database opens with it).
  const std::string& conninfo() const { return conninfo_; }

  // Runs statements without parameters (a migration, a SET); false with *error.
  bool Exec(const char* sql, std::string* error);

  CXPgRun Run(const char* sql) { return CXPgRun(*this, sql); }

  // BEGIN, COMMIT, ROLLBACK.
  bool Begin(std::string* error) { return Exec("BEGIN", error); }
  bool Commit(std::string* error) { return Exec("COMMIT", error); }
  void Rollback();

  // "catalog <where>: <what>: <message> (SQLSTATE X)"; reconnects when the link was lost.
  std::string ErrorText(const std::string& what, const PGresult* result);

 private:
  friend class CXPgRun;
  // A connection gone bad (the server restarted) is made again before the next statement.
  void EnsureConnected();

  PGconn* conn_ = nullptr;
  std::string conninfo_;
  std::string where_;
};

// Commits or rolls back a transaction, whichever the code reaches.
class CXPgTransaction {
 public:
  explicit CXPgTransaction(CXPgDb& db) : db_(db) {}
  ~CXPgTransaction() {
    if (open_) db_.Rollback();
  }
  CXPgTransaction(const CXPgTransaction&) = delete;
  CXPgTransaction& operator=(const CXPgTransaction&) = delete;

  bool Begin(std::string* error) {
    open_ = db_.Begin(error);
    return open_;
  }
  bool Commit(std::string* error) {
    const bool ok = db_.Commit(error);
    open_ = false;  // a failed COMMIT has ended the transaction as well
    return ok;
  }

 private:
  CXPgDb& db_;
  bool open_ = false;
};

}  // namespace orvalinth::server
