#pragma once
// Reading crash reports in tests: their UTF-16LE text as UTF-8, and the
// shapes of their stack lines.

#include <string>
#include <vector>

namespace orvalinth::test {

// The text of a report's bytes (FF FE, then UTF-16LE) as UTF-8; the bytes
// without the mark are taken as UTF-16LE all the same.
std::string ReportText(const std::string& bytes);
std::string ReportText(const std::u16string& text);

// The lines of a text, each with its "\r\n" (a last line without one too).
std::vector<std::string> ReportLines(const std::string& text);

// A frame line ("<16 hex digits> <file> (<line>): <name>" or
// "<16 hex digits> (<module>): -: <name>") or a walker error line
// ("ERROR: <call>, GetLastError: <n> (Address: <16 hex digits>)"), with its CR LF.
bool IsStackLine(const std::string& line);
bool IsFrameLine(const std::string& line);

}  // namespace orvalinth::test
