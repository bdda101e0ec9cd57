#include "crash_text.h"

#include <regex>

#include "base/strings.h"

namespace orvalinth::test {

std::string ReportText(const std::string& bytes) {
  size_t start = 0;
  if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
      static_cast<unsigned char>(bytes[1]) == 0xFE) {
    start = 2;
  }
  std::u16string text;
  for (size_t i = start; i + 1 < bytes.size(); i += 2) {
    text += static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                  (static_cast<unsigned char>(bytes[i + 1]) << 8));
  }
  return EncodeUtf8(text);
}

std::string ReportText(const std::u16string& text) { return EncodeUtf8(text); }

std::vector<std::string> ReportLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find("\r\n", start);
    end = end == std::string::npos ? text.size() : end + 2;
    lines.push_back(text.substr(start, end - start));
    start = end;
  }
  return lines;
}

bool IsFrameLine(const std::string& line) {
  static const std::regex with_file("[0-9A-F]{16} [^\r\n]+ \\(-?\\d+\\): [^\r\n]+\r\n");
  static const std::regex without_file("[0-9A-F]{16} \\([^()\r\n]*\\): -: [^\r\n]+\r\n");
  return std::regex_match(line, with_file) || std::regex_match(line, without_file);
}

bool IsStackLine(const std::string& line) {
  static const std::regex error("ERROR: [^\r\n]+, GetLastError: -?\\d+ \\(Address: [0-9A-F]{16}\\)\r\n");
  return IsFrameLine(line) || std::regex_match(line, error);
}

}  // namespace orvalinth::test
