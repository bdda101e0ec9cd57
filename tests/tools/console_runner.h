#pragma once
// Test helpers for the console: running "orvalinth console" in process (with
// its input and output captured) and checking JSON output.

#include <string>
#include <string_view>
#include <vector>

namespace orvalinth::test {

class TempFolder;

struct ConsoleRun {
  int code = -1;
  std::string out;
  std::string err;
};

// RunConsole with "--listen 127.0.0.1 --port 0 --port-file PORT_FILE
// --accept-timeout 10 --reply-timeout 10" before `arguments`; standard input
// gives the lines of `input`.
ConsoleRun RunConsoleInProcess(const std::vector<std::string>& arguments, const std::u16string& port_file,
                               const std::vector<std::string>& input = {}, bool stdin_terminal = false);

#ifndef _WIN32
// Runs a shell command line in `folder` (a test's folder on the host), its
// standard output and error caught in the folder's out.txt and err.txt, and
// its exit code in rc.txt; what those hold. The shell itself must not fail.
ConsoleRun RunShell(const std::string& line, const TempFolder& folder);
#endif

// The lines of a text (without their line ends).
std::vector<std::string> Lines(const std::string& text);

// True when `text` is one valid JSON value (RFC 8259) in valid UTF-8;
// *error says where it is not.
bool IsValidJson(std::string_view text, std::string* error);

}  // namespace orvalinth::test
