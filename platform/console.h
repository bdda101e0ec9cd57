#pragma once
// Standard output.

#include <string_view>

namespace orvalinth::platform {

// Writes the bytes to standard output as they stand and flushes.
void WriteStdout(std::string_view text);

// The line end of a file written in text mode: CR LF on Windows, LF elsewhere.
#ifdef _WIN32
inline constexpr std::string_view kNewline = "\r\n";
#else
inline constexpr std::string_view kNewline = "\n";
#endif

}  // namespace orvalinth::platform
