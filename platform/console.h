#pragma once
// Standard input, output and error.

#include <string_view>

namespace orvalinth::platform {

// Writes the bytes to standard output as they stand and flushes.
void WriteStdout(std::string_view text);
// Writes the bytes to standard error as they stand.
void WriteStderr(std::string_view text);

// True when standard error, or standard input, is an interactive terminal
// (a console window on Windows), false for a file, a pipe or nothing.
bool StderrIsTerminal();
bool StdinIsTerminal();

// The line end of a file written in text mode: CR LF on Windows, LF elsewhere.
#ifdef _WIN32
inline constexpr std::string_view kNewline = "\r\n";
#else
inline constexpr std::string_view kNewline = "\n";
#endif

}  // namespace orvalinth::platform
