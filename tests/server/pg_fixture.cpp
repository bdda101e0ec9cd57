#include "server/pg_fixture.h"

#include <libpq-fe.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>

namespace orvalinth::test {
namespace {

std::mutex g_mutex;

std::string Quoted(const std::string& text) { return "'" + text + "'"; }

// The newest installed server's binaries.
std::string FindBinaries() {
  std::string best;
  int best_version = 0;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/usr/lib/postgresql", ec)) {
    const int version = std::atoi(entry.path().filename().c_str());
    if (version > best_version && std::filesystem::exists(entry.path() / "bin" / "initdb")) {
      best_version = version;
      best = (entry.path() / "bin").string();
    }
  }
  return best;
}

}  // namespace

CXPgTestServer& CXPgTestServer::Get() {
  static CXPgTestServer server;
  return server;
}

CXPgTestServer::CXPgTestServer() {
  started_ = Start();
}

CXPgTestServer::~CXPgTestServer() {
  if (started_) RunAsServerUser(bin_ + "/pg_ctl -D " + Quoted(folder_ + "/data") + " -m fast -w stop >/dev/null 2>&1");
  if (!folder_.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(folder_, ec);
  }
}

int CXPgTestServer::RunAsServerUser(const std::string& command) {
  const std::string line = user_.empty() ? command : "runuser -u " + user_ + " -- sh -c " + Quoted(command);
  const int status = std::system(line.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool CXPgTestServer::Start() {
  bin_ = FindBinaries();
  if (bin_.empty()) {
    error_ = "no PostgreSQL server in /usr/lib/postgresql/*/bin (run scripts/setup: it installs postgresql)";
    return false;
  }
  char pattern[] = "/tmp/orvalinth-pg.XXXXXX";
  if (mkdtemp(pattern) == nullptr) {
    error_ = "cannot make a temporary folder for PostgreSQL";
    return false;
  }
  folder_ = pattern;
  if (getuid() == 0) {
    for (const char* name : {"orvalinth-test", "nobody"}) {
      const passwd* pw = getpwnam(name);
      if (pw == nullptr) continue;
      user_ = name;
      if (chown(folder_.c_str(), pw->pw_uid, pw->pw_gid) != 0) {
        error_ = "cannot give " + folder_ + " to the user " + user_;
        return false;
      }
      break;
    }
    if (user_.empty()) {
      error_ = "PostgreSQL does not run as root, and there is no user orvalinth-test or nobody to run it";
      return false;
    }
  }
  const std::string data = folder_ + "/data", log = folder_ + "/log";
  if (RunAsServerUser(bin_ + "/initdb -D " + Quoted(data) + " -U orvalinth --auth=trust -E UTF8 --no-sync >" +
                      Quoted(log) + " 2>&1") != 0) {
    std::ifstream in(log);
    std::stringstream text;
    text << in.rdbuf();
    error_ = "initdb failed: " + text.str();
    return false;
  }
  // The socket lives in the private folder, so that any port number is free there.
  port_ = 5432;
  return Launch();
}

bool CXPgTestServer::Launch() {
  const std::string data = folder_ + "/data", log = folder_ + "/log";
  if (RunAsServerUser(bin_ + "/pg_ctl -D " + Quoted(data) + " -l " + Quoted(log) + " -o \"-k " + folder_ + " -p " +
                      std::to_string(port_) + " -c listen_addresses='' -c fsync=off\" -w start >/dev/null 2>&1") !=
      0) {
    std::ifstream in(log);
    std::stringstream text;
    text << in.rdbuf();
    error_ = "pg_ctl start failed: " + text.str();
    return false;
  }
  return true;
}

bool CXPgTestServer::StopServer(std::string* error) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (!started_) {
    *error = "the tests' PostgreSQL server did not start: " + error_;
    return false;
  }
  if (RunAsServerUser(bin_ + "/pg_ctl -D " + Quoted(folder_ + "/data") + " -m fast -w stop >/dev/null 2>&1") != 0) {
    *error = "pg_ctl stop failed";
    return false;
  }
  started_ = false;
  error_ = "stopped by the test";
  return true;
}

bool CXPgTestServer::StartServer(std::string* error) {
  std::lock_guard<std::mutex> lock(g_mutex);
  started_ = Launch();
  if (!started_) *error = error_;
  return started_;
}

bool CXPgTestServer::NewDatabase(std::string* conninfo, std::string* error) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (!started_) {
    *error = "the tests' PostgreSQL server did not start: " + error_;
    return false;
  }
  const auto uri = [&](const std::string& db) {
    return "postgresql://orvalinth@/" + db + "?host=" + folder_ + "&port=" + std::to_string(port_);
  };
  const std::string name = "t" + std::to_string(++databases_);
  const std::string result = Query(uri("postgres"), "CREATE DATABASE " + name);
  if (result.rfind("ERROR", 0) == 0) {
    *error = result;
    return false;
  }
  *conninfo = uri(name);
  return true;
}

std::string CXPgTestServer::Query(const std::string& conninfo, const std::string& sql) {
  PGconn* conn = PQconnectdb(conninfo.c_str());
  std::string out;
  if (PQstatus(conn) != CONNECTION_OK) {
    out = std::string("ERROR: ") + PQerrorMessage(conn);
    PQfinish(conn);
    return out;
  }
  PGresult* result = PQexec(conn, sql.c_str());
  const ExecStatusType status = PQresultStatus(result);
  if (status == PGRES_TUPLES_OK) {
    for (int r = 0; r < PQntuples(result); ++r) {
      for (int c = 0; c < PQnfields(result); ++c) {
        out += PQgetisnull(result, r, c) ? "NULL" : PQgetvalue(result, r, c);
        out += c + 1 < PQnfields(result) ? "|" : "\n";
      }
    }
  } else if (status != PGRES_COMMAND_OK) {
    out = std::string("ERROR: ") + PQresultErrorMessage(result);
  }
  PQclear(result);
  PQfinish(conn);
  return out;
}

}  // namespace orvalinth::test
