#pragma once
// InstalledProgram: the program as an installation leaves it in a private
// Wine prefix ("C:\Program Files\Orvalinth\": the executable, the settings
// file pointing at a console of the test, the data folder), with the
// program's own options, the service manager's tool (sc) and the log. The
// upgrade and uninstall tests use it with the project's console library as
// the console.

#include <cstdint>
#include <string>
#include <vector>

#include "wine_prefix.h"

namespace orvalinth::e2e {

// The win64 OrvalinthSrvNext.exe (the service calling itself version 7),
// built beside OrvalinthSrv.exe.
std::string NextWindowsExecutable();

class InstalledProgram {
 public:
  static constexpr const char* kFolder = "C:\\Program Files\\Orvalinth\\";
  static constexpr const char* kExe = "C:\\Program Files\\Orvalinth\\OrvalinthSrv.exe";

  explicit InstalledProgram(WinePrefix& prefix) : prefix_(prefix) {}

  // Removes any earlier installation and makes a fresh one: the folder, the
  // data folder, `executable` (host path) as OrvalinthSrv.exe with its symbol
  // file as OrvalinthSrv.pdb, and a settings file with the console at
  // 127.0.0.1:`port` followed by `more_settings` (lines ending in CR LF).
  // False when a file could not be made.
  bool Install(const std::string& executable, uint16_t port, const std::string& more_settings = std::string());

  // The host path of a file of the program folder ("data\\x" etc.).
  std::string HostPath(const std::string& relative) const;
  bool Exists(const std::string& relative) const;
  // Waits until the file of the program folder exists (or not), at most `timeout_ms`.
  bool WaitForExistence(const std::string& relative, bool exists, int timeout_ms) const;

  // Runs the program with one option (the option's work is done when it returns).
  SXRun Program(const std::string& option) const;
  // -register, then -start; false when the service does not report running.
  bool RegisterAndStart() const;

  // The state word of "sc query" ("RUNNING", "STOPPED", ...); empty when the
  // service does not exist.
  std::string State() const;
  // Stops and deletes the service with the manager's own tool.
  void RemoveService() const;

  // The log lines without time stamps and banners.
  std::vector<std::string> Log() const;

 private:
  WinePrefix& prefix_;
};

}  // namespace orvalinth::e2e
