#pragma once
// What the end-to-end tests share: the executables under test and the
// reading of the program's log.

#include <string>
#include <vector>

namespace orvalinth::e2e {

// The win64 OrvalinthSrv.exe (host path); empty when not given.
const std::string& WindowsExecutable();
void SetWindowsExecutable(const std::string& path);
// The host build's OrvalinthSrv.
std::string HostExecutable();
// A file of the win64 build (host path), by its path relative to the folder
// of OrvalinthSrv.exe ("tests/pe_fixtures/full.exe").
std::string Win64BuildFile(const std::string& relative);

// A host path as the host programs name it: drive Z: is the root and a
// backslash separates (/tmp/a is Z:\tmp\a); WindowsForm gives it in UTF-16.
std::string AgentPath(const std::string& host_path);
std::u16string WindowsForm(const std::string& host_path);
// Wide text for failure messages, in UTF-8.
std::string N(const std::u16string& text);

// The symbol file that the win64 build writes beside `executable` (host
// path): the same name with ".pdb".
std::string SymbolFileOf(const std::string& executable);
// Installs a win64 service build as an installation does: `executable` as
// `target` (the host path of an "OrvalinthSrv.exe") and its symbol file
// beside it as "OrvalinthSrv.pdb", the name every service build looks for.
// False when either cannot be copied.
bool CopyProgram(const std::string& executable, const std::string& target);

// The lines of a log file without their time stamps, the banners that each
// process writes into a log that has content left out; empty when there is
// no file.
std::vector<std::string> LogLines(const std::string& path);

// Waits until the log holds `line` (after `after` lines), at most `timeout_ms`.
bool WaitForLogLine(const std::string& path, const std::string& line, int timeout_ms, size_t after = 0);

// Whether `expected` appears in `lines` in its order (other lines between).
bool InOrder(const std::vector<std::string>& lines, const std::vector<std::string>& expected);

// The lines without the connection thread's "Waiting for server ..." and
// "connecting to server...", which come in between the service's own lines
// at their own pace while no console answers.
std::vector<std::string> WithoutConnectLines(std::vector<std::string> lines);

// The lines, one a line, for failure messages.
std::string Joined(const std::vector<std::string>& lines);

// The Linux process in which Wine runs the executable `host_exe` (the host
// path of the file in a prefix): the one whose command line names the
// executable and which has that very file mapped. -1 when there is none.
int WineProcessOf(const std::string& host_exe);
// A field of /proc/<pid>/status in kB or as a count ("VmHWM:", "Threads:"); -1 when missing.
long ProcessStatus(int pid, const std::string& field);

}  // namespace orvalinth::e2e
