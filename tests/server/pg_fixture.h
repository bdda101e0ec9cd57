#pragma once
// A real PostgreSQL server for the catalog's tests: started once per test
// program (initdb and pg_ctl of /usr/lib/postgresql/<version>/bin, in a
// temporary folder, on a Unix socket only), a fresh database for each test
// that asks, and stopped and removed when the program ends. As root the
// server runs as the user orvalinth-test (scripts/setup makes it) or else
// nobody: PostgreSQL refuses to run as root.
//
// When the server cannot start (no binaries: run scripts/setup), every call
// fails with a message saying why, so that the tests on PostgreSQL fail
// rather than skip.

#include <string>

namespace orvalinth::test {

class CXPgTestServer {
 public:
  // The program's server, started at the first call.
  static CXPgTestServer& Get();

  // A new empty database: *conninfo gets its postgresql:// URI. False with *error.
  bool NewDatabase(std::string* conninfo, std::string* error);

  // Runs `sql` on the database of `conninfo`: the rows, their values
  // between "|" and each ended by "\n" ("NULL" for null), or "ERROR: ..." on a failure.
  static std::string Query(const std::string& conninfo, const std::string& sql);

  // PostgreSQL stopped (pg_ctl stop -m fast: every connection cut) and
  // started again on the same data and socket, for the tests of an outage.
  bool StopServer(std::string* error);
  bool StartServer(std::string* error);

  ~CXPgTestServer();
  CXPgTestServer(const CXPgTestServer&) = delete;
  CXPgTestServer& operator=(const CXPgTestServer&) = delete;

 private:
  CXPgTestServer();
  bool Start();
  // pg_ctl start on the data folder made; false with error_.
  bool Launch();
  // A command line run as the server's user when this is root; its exit code.
  int RunAsServerUser(const std::string& command);

  std::string bin_;     // the folder of initdb and pg_ctl
  std::string folder_;  // the temporary folder: data/, the socket, the log
  std::string user_;    // the user the server runs as ("" for this one)
  int port_ = 0;
  bool started_ = false;
  std::string error_;
  int databases_ = 0;
};

}  // namespace orvalinth::test
