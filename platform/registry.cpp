// Value data helpers shared by both registry backends.

#include "platform/registry.h"

namespace orvalinth::platform {
namespace {

void AppendUnits(const std::u16string& text, std::string* out) {
  for (char16_t c : text) {
    *out += static_cast<char>(c & 0xFF);
    *out += static_cast<char>(c >> 8);
  }
}

}  // namespace

std::string RegSzData(const std::u16string& text) {
  std::string out;
  out.reserve(text.size() * 2 + 2);
  AppendUnits(text, &out);
  out.append(2, '\0');
  return out;
}

std::string RegDwordData(uint32_t value) {
  std::string out(4, '\0');
  for (int i = 0; i < 4; ++i) out[i] = static_cast<char>((value >> (8 * i)) & 0xFF);
  return out;
}

std::string RegLinkData(const std::u16string& native_path) {
  std::string out;
  out.reserve(native_path.size() * 2);
  AppendUnits(native_path, &out);
  return out;
}

std::u16string RegDataText(const std::string& data) {
  std::u16string text;
  text.reserve(data.size() / 2);
  for (size_t i = 0; i + 1 < data.size(); i += 2) {
    const char16_t c = static_cast<char16_t>(static_cast<unsigned char>(data[i]) |
                                             (static_cast<unsigned char>(data[i + 1]) << 8));
    if (c == 0) break;
    text += c;
  }
  return text;
}

}  // namespace orvalinth::platform
