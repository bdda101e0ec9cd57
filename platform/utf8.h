#pragma once
// One Unicode character in UTF-8: the encoding every layer that writes UTF-8
// text from code points shares (the host backend's file names, the snapshot
// dump's text).

#include <cstdint>
#include <string>

namespace orvalinth::platform {

// Appends code point `c` (at most 0x10FFFF) to *out in one to four bytes.
// A surrogate code point is written as its three bytes, as any other.
inline void AppendUtf8(uint32_t c, std::string* out) {
  if (c < 0x80) {
    *out += static_cast<char>(c);
  } else if (c < 0x800) {
    *out += static_cast<char>(0xC0 | (c >> 6));
    *out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    *out += static_cast<char>(0xE0 | (c >> 12));
    *out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    *out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    *out += static_cast<char>(0xF0 | (c >> 18));
    *out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    *out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    *out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

}  // namespace orvalinth::platform
