#include "tools/console_text.h"

#include <cstdint>

#include "base/strings.h"

namespace orvalinth::tools {
namespace {

// Length of the well-formed UTF-8 sequence at p (at most n bytes available)
// and its code point; 0 when the bytes there are no such sequence (overlong
// forms, encoded surrogates and values above U+10FFFF are refused).
size_t DecodeSequence(const uint8_t* p, size_t n, uint32_t* code_point) {
  const uint8_t b = p[0];
  if (b < 0x80) {
    *code_point = b;
    return 1;
  }
  size_t length;
  uint32_t cp;
  uint32_t minimum;
  if ((b & 0xE0) == 0xC0) {
    length = 2, cp = b & 0x1F, minimum = 0x80;
  } else if ((b & 0xF0) == 0xE0) {
    length = 3, cp = b & 0x0F, minimum = 0x800;
  } else if ((b & 0xF8) == 0xF0) {
    length = 4, cp = b & 0x07, minimum = 0x10000;
  } else {
    return 0;
  }
  if (n < length) return 0;
  for (size_t i = 1; i < length; ++i) {
    if ((p[i] & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (p[i] & 0x3F);
  }
  if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  *code_point = cp;
  return length;
}

void AppendUtf8(uint32_t cp, std::string* out) {
  if (cp < 0x80) {
    *out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    *out += static_cast<char>(0xC0 | (cp >> 6));
    *out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    *out += static_cast<char>(0xE0 | (cp >> 12));
    *out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    *out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    *out += static_cast<char>(0xF0 | (cp >> 18));
    *out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    *out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    *out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

bool IsHigh(char16_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool IsLow(char16_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

// Calls emit(code point, lone) for each character of UTF-16 text; lone is true
// for a surrogate without its partner (then the code point is that unit).
template <class Emit>
void ForEachCodePoint(std::u16string_view text, Emit emit) {
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t u = text[i];
    if (IsHigh(u) && i + 1 < text.size() && IsLow(text[i + 1])) {
      emit(0x10000 + ((static_cast<uint32_t>(u) - 0xD800) << 10) + (text[i + 1] - 0xDC00), false);
      ++i;
    } else {
      emit(static_cast<uint32_t>(u), IsHigh(u) || IsLow(u));
    }
  }
}

void AppendJsonChar(uint32_t cp, std::string* out) {
  switch (cp) {
    case '"': *out += "\\\""; return;
    case '\\': *out += "\\\\"; return;
    case '\n': *out += "\\n"; return;
    case '\r': *out += "\\r"; return;
    case '\t': *out += "\\t"; return;
    default: break;
  }
  if (cp < 0x20 || cp == 0x7F) {
    *out += Format("\\u%04x", static_cast<unsigned>(cp));
  } else {
    AppendUtf8(cp, out);
  }
}

void AppendDisplayChar(uint32_t cp, std::string* out) {
  if (cp < 0x20 || cp == 0x7F || (cp >= 0x80 && cp < 0xA0)) {
    *out += Format("\\x%02x", static_cast<unsigned>(cp));
  } else {
    AppendUtf8(cp, out);
  }
}

// Calls emit(code point) for each character of 8-bit text read as UTF-8,
// with every byte outside a well-formed sequence taken as its own value.
template <class Emit>
void ForEachByteChar(std::string_view bytes, Emit emit) {
  const uint8_t* p = reinterpret_cast<const uint8_t*>(bytes.data());
  size_t left = bytes.size();
  while (left > 0) {
    uint32_t cp = 0;
    size_t n = DecodeSequence(p, left, &cp);
    if (n == 0) {
      cp = p[0];
      n = 1;
    }
    emit(cp);
    p += n;
    left -= n;
  }
}

}  // namespace

std::u16string Utf8ToUtf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  ForEachByteChar(text, [&](uint32_t cp) {
    if (cp >= 0x10000) {
      out += static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
      out += static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
    } else {
      out += static_cast<char16_t>(cp);
    }
  });
  return out;
}

std::string Utf16ToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  ForEachCodePoint(text, [&](uint32_t cp, bool lone) { AppendUtf8(lone ? 0xFFFD : cp, &out); });
  return out;
}

std::string BytesToUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  ForEachByteChar(bytes, [&](uint32_t cp) { AppendUtf8(cp, &out); });
  return out;
}

std::string JsonQuote(std::string_view bytes) {
  std::string out = "\"";
  ForEachByteChar(bytes, [&](uint32_t cp) { AppendJsonChar(cp, &out); });
  out += '"';
  return out;
}

std::string JsonQuote(std::u16string_view text) {
  std::string out = "\"";
  ForEachCodePoint(text, [&](uint32_t cp, bool lone) {
    if (lone) {
      out += Format("\\u%04x", static_cast<unsigned>(cp));
    } else {
      AppendJsonChar(cp, &out);
    }
  });
  out += '"';
  return out;
}

std::string DisplayText(std::string_view bytes, bool keep_newlines) {
  std::string out;
  out.reserve(bytes.size());
  for (size_t i = 0; i < bytes.size();) {
    // Lines are cut at LF; the run before it is shown on its own.
    size_t end = keep_newlines ? bytes.find('\n', i) : std::string_view::npos;
    const bool newline = end != std::string_view::npos;
    if (!newline) end = bytes.size();
    size_t stop = end;
    if (newline && stop > i && bytes[stop - 1] == '\r') --stop;
    ForEachByteChar(bytes.substr(i, stop - i), [&](uint32_t cp) { AppendDisplayChar(cp, &out); });
    if (newline) out += '\n';
    i = newline ? end + 1 : end;
  }
  return out;
}

std::string DisplayText(std::u16string_view text) {
  std::string out;
  ForEachCodePoint(text, [&](uint32_t cp, bool lone) { AppendDisplayChar(lone ? 0xFFFD : cp, &out); });
  return out;
}

std::string HexDump(std::string_view bytes, size_t limit) {
  static const char kDigits[] = "0123456789ABCDEF";
  const size_t shown = bytes.size() < limit ? bytes.size() : limit;
  std::string out;
  out.reserve(shown * 3 + 32);
  for (size_t i = 0; i < shown; ++i) {
    if (i != 0) out += ' ';
    const uint8_t b = static_cast<uint8_t>(bytes[i]);
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
  }
  if (shown < bytes.size()) out += " ... (" + std::to_string(bytes.size() - shown) + " more bytes)";
  return out;
}

size_t DisplayWidth(std::string_view utf8) {
  size_t n = 0;
  for (const char c : utf8) {
    if ((static_cast<uint8_t>(c) & 0xC0) != 0x80) ++n;
  }
  return n;
}

std::string PadRight(const std::string& text, size_t width) {
  const size_t have = DisplayWidth(text);
  return have >= width ? text : text + std::string(width - have, ' ');
}

}  // namespace orvalinth::tools
