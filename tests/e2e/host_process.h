#pragma once
// Running host programs from the end-to-end harness (a Linux program: it
// drives Wine and the host build's daemon mode, so it uses POSIX directly).

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

namespace orvalinth::e2e {

struct SXCommand {
  std::vector<std::string> argv;  // argv[0] is looked up in PATH
  std::vector<std::pair<std::string, std::string>> set_environment;
  std::vector<std::string> unset_environment;
  std::string directory;    // working directory; empty: this process's
  std::string output_path;  // standard output and error go here; empty: /dev/null
};

// Starts the command (standard input /dev/null); its pid, or -1.
pid_t StartCommand(const SXCommand& command);

// Waits at most `timeout_ms` for `pid` to end. True when it ended; then
// `exit_code` is its exit code, or 128 + the signal that ended it.
bool WaitForExit(pid_t pid, int timeout_ms, int* exit_code);

// Runs the command to its end: its exit code (as WaitForExit), -1 when it
// cannot start. The caller bounds the time (the harness puts every Wine
// program under timeout(1)).
int RunCommand(const SXCommand& command);

// Whole files, and the time since an arbitrary point.
std::string ReadWholeFile(const std::string& path);
bool WriteWholeFile(const std::string& path, const std::string& bytes);
long long NowMs();
void SleepMs(int milliseconds);

}  // namespace orvalinth::e2e
