#pragma once
// Standard input, output and error.

#include <string>
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

// `text` as a file opened in text mode stores it: every "\n" becomes kNewline.
inline std::string TextModeLineEnds(std::string_view text) {
  if (kNewline == "\n") return std::string(text);
  std::string out;
  out.reserve(text.size() + 16);
  for (char c : text) {
    if (c == '\n') {
      out += kNewline;
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace orvalinth::platform
