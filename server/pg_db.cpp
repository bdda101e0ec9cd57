#include "server/pg_db.h"

#include <cstdlib>
#include <cstring>

namespace orvalinth::server {
namespace {

// The type OIDs of what is bound (pg_type.h is the server's header; these are fixed).
constexpr Oid kInt8Oid = 20;
constexpr Oid kTextOid = 25;

// libpq's message on one line (its hints follow a line break and a tab).
std::string Trimmed(const char* message) {
  std::string text;
  for (const char* p = message != nullptr ? message : ""; *p != '\0'; ++p) {
    if (*p == '\n' || *p == '\t') {
      if (!text.empty() && text.back() != ' ') text += ' ';
    } else {
      text += *p;
    }
  }
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

}  // namespace

CXPgRun::~CXPgRun() {
  if (result_ != nullptr) PQclear(result_);
}

void CXPgRun::Slot(int index) {
  const size_t size = static_cast<size_t>(index);
  if (values_.size() < size) {
    values_.resize(size);
    types_.resize(size, kTextOid);
    nulls_.resize(size, true);
  }
}

CXPgRun& CXPgRun::Int(int index, int64_t value) {
  Slot(index);
  values_[index - 1] = std::to_string(value);
  types_[index - 1] = kInt8Oid;
  nulls_[index - 1] = false;
  return *this;
}

CXPgRun& CXPgRun::Text(int index, const std::string& value) {
  Slot(index);
  values_[index - 1] = value;
  types_[index - 1] = kTextOid;
  nulls_[index - 1] = false;
  return *this;
}

CXPgRun& CXPgRun::Null(int index) {
  Slot(index);
  values_[index - 1].clear();
  types_[index - 1] = kInt8Oid;
  nulls_[index - 1] = true;
  return *this;
}

void CXPgRun::Execute() {
  executed_ = true;
  db_.EnsureConnected();
  std::vector<const char*> values(values_.size());
  std::vector<int> lengths(values_.size());
  for (size_t i = 0; i < values_.size(); ++i) {
    values[i] = nulls_[i] ? nullptr : values_[i].c_str();
    lengths[i] = static_cast<int>(values_[i].size());
  }
  // Texts go as text, never formatted into the SQL.
  result_ = PQexecParams(db_.handle(), sql_, static_cast<int>(values_.size()), types_.data(), values.data(),
                         lengths.data(), /*paramFormats=*/nullptr, /*resultFormat=*/0);
  const ExecStatusType status = result_ != nullptr ? PQresultStatus(result_) : PGRES_FATAL_ERROR;
  if (status == PGRES_TUPLES_OK || status == PGRES_COMMAND_OK) return;
  failed_ = true;
  const char* state = result_ != nullptr ? PQresultErrorField(result_, PG_DIAG_SQLSTATE) : nullptr;
  sqlstate_ = state != nullptr ? state : "";
  error_ = db_.ErrorText(std::string("\"") + sql_ + "\"", result_);
}

bool CXPgRun::Step() {
  if (!executed_) Execute();
  if (failed_ || result_ == nullptr) return false;
  if (row_ + 1 >= PQntuples(result_)) return false;
  ++row_;
  return true;
}

bool CXPgRun::Done() {
  if (!executed_) Execute();
  return !failed_;
}

int64_t CXPgRun::changes() const {
  if (result_ == nullptr || failed_) return 0;
  return std::strtoll(PQcmdTuples(result_), nullptr, 10);
}

const char* CXPgRun::Value(int column) const {
  if (result_ == nullptr || row_ < 0 || column >= PQnfields(result_)) return "";
  return PQgetvalue(result_, row_, column);
}

int64_t CXPgRun::Int64(int column) const { return std::strtoll(Value(column), nullptr, 10); }

bool CXPgRun::Bool(int column) const {
  const char* v = Value(column);
  return v[0] == 't' || (v[0] != 'f' && std::strtoll(v, nullptr, 10) != 0);
}

std::string CXPgRun::String(int column) const {
  if (result_ == nullptr || row_ < 0 || column >= PQnfields(result_)) return std::string();
  return std::string(PQgetvalue(result_, row_, column), static_cast<size_t>(PQgetlength(result_, row_, column)));
}

bool CXPgRun::IsNull(int column) const {
  if (result_ == nullptr || row_ < 0 || column >= PQnfields(result_)) return true;
  return PQgetisnull(result_, row_, column) != 0;
}

CXPgDb::~CXPgDb() { Close(); }

bool CXPgDb::Open(const std::string& conninfo, std::string* error) {
  Close();
  conninfo_ = conninfo;
  conn_ = PQconnectdb(conninfo.c_str());
  if (conn_ == nullptr || PQstatus(conn_) != CONNECTION_OK) {
    *error = "cannot connect to the catalog's PostgreSQL: " +
             Trimmed(conn_ != nullptr ? PQerrorMessage(conn_) : "out of memory");
    Close();
    return false;
  }
  // The server's notices (its farewell when it shuts down) are not this program's output.
  PQsetNoticeProcessor(conn_, [](void*, const char*) {}, nullptr);
  const char* host = PQhost(conn_);
  where_ = std::string("database ") + PQdb(conn_) + " on " + (host != nullptr ? host : "?");
  // Texts are UTF-8 whatever the database's or the environment's defaults.
  if (PQsetClientEncoding(conn_, "UTF8") != 0) {
    *error = "catalog " + where_ + ": cannot use UTF-8: " + Trimmed(PQerrorMessage(conn_));
    Close();
    return false;
  }
  return true;
}

void CXPgDb::Close() {
  if (conn_ != nullptr) PQfinish(conn_);
  conn_ = nullptr;
}

void CXPgDb::EnsureConnected() {
  if (conn_ == nullptr) return;
  // A connection idle while PostgreSQL went away and came back does not
  // know it is dead until it reads: what waits on its socket (the server's
  // farewell, the end of the stream) is read first, without blocking, so
  // that the statement goes on a live connection rather than fail once.
  // The farewell is read by one call, the end of the stream by the next.
  if (PQstatus(conn_) == CONNECTION_OK && PQtransactionStatus(conn_) == PQTRANS_IDLE && PQconsumeInput(conn_) != 0) {
    (void)PQisBusy(conn_);
    (void)PQconsumeInput(conn_);
  }
  if (PQstatus(conn_) != CONNECTION_BAD) return;
  // PostgreSQL restarted or was away: connected again (a failure leaves the
  // connection bad, so the statement fails with libpq's words and the next
  // one tries again), with the texts' encoding set again.
  PQreset(conn_);
  if (PQstatus(conn_) == CONNECTION_OK) (void)PQsetClientEncoding(conn_, "UTF8");
}

std::string CXPgDb::ErrorText(const std::string& what, const PGresult* result) {
  std::string message;
  if (result != nullptr) message = Trimmed(PQresultErrorMessage(result));
  if (message.empty() && conn_ != nullptr) message = Trimmed(PQerrorMessage(conn_));
  const char* state = result != nullptr ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
  return "catalog " + where_ + ": " + what + ": " + message + " (SQLSTATE " + (state != nullptr ? state : "none") +
         ")";
}

bool CXPgDb::Exec(const char* sql, std::string* error) {
  EnsureConnected();
  PGresult* result = PQexec(conn_, sql);
  const ExecStatusType status = result != nullptr ? PQresultStatus(result) : PGRES_FATAL_ERROR;
  bool ok = status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
  if (ok && std::strcmp(sql, "COMMIT") == 0 && std::strcmp(PQcmdStatus(result), "ROLLBACK") == 0) {
    // A COMMIT of a transaction that failed half-way rolls it back without an error.
    *error = "catalog " + where_ + ": the transaction failed and was rolled back";
    ok = false;
  } else if (!ok) {
    *error = ErrorText(std::string("\"") + sql + "\"", result);
  }
  if (result != nullptr) PQclear(result);
  return ok;
}

void CXPgDb::Rollback() {
  // Fails only when there is no transaction any more (the link was lost): nothing to undo then.
  PGresult* result = PQexec(conn_, "ROLLBACK");
  if (result != nullptr) PQclear(result);
}

}  // namespace orvalinth::server
