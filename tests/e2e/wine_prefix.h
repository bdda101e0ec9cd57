#pragma once
// WinePrefix: a private Wine prefix for one test suite.
//
// A template prefix is made once per build folder (wineboot, headless: no
// Mono, Gecko, menu entries or debugger, DISPLAY unset), with the user
// folders made real folders instead of links into $HOME and drive Z: (the
// whole Linux root) removed, so that what the program scans stays inside the
// prefix; programs are then started by their C: path. Each suite copies the
// template (cp -a), keeps the copy's wineserver alive for its lifetime
// (wineserver -p: the service manager kills running services when the last
// Wine process ends), and at the end ends the server and removes the copy.
// Every Wine program runs under timeout(1). Prefixes still open when the
// harness exits (a test that aborted) are ended by CloseAllPrefixes, which
// main registers to run at exit.

#include <sys/types.h>

#include <string>
#include <vector>

namespace orvalinth::e2e {

struct SXRun {
  int exit_code = -1;  // 124 when the time limit ended the program
  std::string output;  // standard output and error together
};

class WinePrefix {
 public:
  // `name` names the copy inside the build folder's prefix folder.
  explicit WinePrefix(const std::string& name);
  ~WinePrefix();
  WinePrefix(const WinePrefix&) = delete;
  WinePrefix& operator=(const WinePrefix&) = delete;

  // False when the prefix could not be made; error() says why.
  bool ok() const { return error_.empty(); }
  const std::string& error() const { return error_; }
  const std::string& path() const { return path_; }

  // Runs "wine64 <arguments>" in the prefix, at most `timeout_s` seconds,
  // from C:\ as working folder.
  SXRun Wine(const std::vector<std::string>& arguments, int timeout_s = 60) const;
  // Starts "wine64 <arguments>" in the prefix and returns at once: its pid
  // (-1 when it cannot start). It ends with the prefix's server.
  pid_t Start(const std::vector<std::string>& arguments) const;
  // The host path of a "C:\..." path of the prefix.
  std::string HostPath(const std::string& windows_path) const;

  // Ends the server (and with it every Wine process of the prefix) and
  // removes the copy. Also done by the destructor.
  void Close();

 private:
  std::string path_;
  std::string error_;
  bool open_ = false;
};

// Ends the servers of every prefix still open and removes their copies.
void CloseAllPrefixes();

// The folder of the template and the copies (inside the build folder).
std::string PrefixesFolder();

}  // namespace orvalinth::e2e
