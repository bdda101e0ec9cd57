#include "link/wire_text.h"

#include "base/strings.h"

namespace orvalinth {

std::string WireValue(std::string text) {
  for (char& c : text) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (byte == 0xFE || byte == 0x00) c = '?';
  }
  // FF is a character of the ANSI code page (y with diaeresis in the Western
  // ones); only as the first byte would a reader take the value for a list.
  if (!text.empty() && static_cast<unsigned char>(text[0]) == 0xFF) text[0] = '?';
  return text;
}

std::string CrashReportValue(const std::string& bytes) {
  if (bytes.size() < 2 || static_cast<unsigned char>(bytes[0]) != 0xFF ||
      static_cast<unsigned char>(bytes[1]) != 0xFE) {
    return WireValue(bytes);
  }
  std::u16string text;
  text.reserve(bytes.size() / 2);
  for (size_t i = 2; i + 1 < bytes.size(); i += 2) {
    const char16_t unit = static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                                (static_cast<unsigned char>(bytes[i + 1]) << 8));
    if (unit != 0) text += unit;
  }
  // UTF-8 of 16-bit units never holds FE, FF or (without zero units) 00.
  return EncodeUtf8(text);
}

std::string LogSafe(const std::string& text, size_t limit) {
  std::string out = text.size() > limit ? text.substr(0, limit) + "..." : text;
  for (char& c : out) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  }
  return out;
}

}  // namespace orvalinth
