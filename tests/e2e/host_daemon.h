#pragma once
// The fixture of the tests that run the host OrvalinthSrv in its daemon mode
// on a private folder of the work folder: the program folder with its data
// folder and the daemon's executable, a downloads folder, and the processes
// a test starts (the daemon, "orvalinth console", a child of its own), which
// are killed, and the folder removed, at the end of the test.

#include <gtest/gtest.h>
#include <sys/types.h>

#include <string>
#include <vector>

namespace orvalinth::e2e {

class HostDaemonTest : public ::testing::Test {
 protected:
  // The folder "<name>-<pid>-<test name>" of the work folder, with the
  // program folder `program` inside it ("" for the folder itself): its
  // "data" folder, and `executable` as its OrvalinthSrv.
  HostDaemonTest(const std::string& name, const std::string& executable, const std::string& program = std::string());
  ~HostDaemonTest() override;

  std::string ProgramFolder() const { return folder_ + program_; }
  std::string Program() const { return ProgramFolder() + "/OrvalinthSrv"; }
  std::string Log() const { return ProgramFolder() + "/OrvalinthSrv.log"; }
  // Where the daemon's standard output and error go.
  std::string DaemonOutput() const { return folder_ + "/daemon.txt"; }
  std::string ConsoleOutput() const { return folder_ + "/console.txt"; }

  // The settings file: the console at 127.0.0.1:`port`.
  bool WriteSettings(int port) const;
  // Starts the daemon in its program folder (daemon_).
  void StartDaemon();
  // Starts "orvalinth console" on a free port, with `set_scan` as the
  // options of its "set-scan", then "scan", "wait-scan" and the download of
  // the last snapshot to the downloads folder with "--ack", every wait
  // `seconds` long; then the daemon, pointed at the console's port.
  void StartConsoleAndDaemon(const std::vector<std::string>& set_scan, int seconds);

  // Waits at most `timeout_ms` until `path` holds text; that text.
  static std::string Await(const std::string& path, int timeout_ms);

  std::string folder_;
  pid_t daemon_ = -1, console_ = -1, child_ = -1;

 private:
  std::string program_;
};

}  // namespace orvalinth::e2e
