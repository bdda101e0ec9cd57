#include "base/strings.h"

#include <cstdarg>
#include <cstdio>

namespace orvalinth {

std::string Narrow(std::u16string_view text) {
  std::string out(text.size(), '\0');
  for (size_t i = 0; i < text.size(); ++i) {
    const char low = static_cast<char>(text[i] & 0xFF);
    out[i] = low == '\0' ? '?' : low;
  }
  return out;
}

std::u16string Widen(std::string_view text) {
  std::u16string out(text.size(), u'\0');
  for (size_t i = 0; i < text.size(); ++i) out[i] = static_cast<unsigned char>(text[i]);
  return out;
}

std::u16string FoldedAZ(std::u16string_view text) {
  std::u16string out(text);
  for (char16_t& c : out) c = FoldAZ(c);
  return out;
}

std::string FoldedAZ(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = FoldAZ(c);
  return out;
}

namespace {
template <class Char>
bool EqualFoldedRange(const Char* a, const Char* b, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if (FoldAZ(a[i]) != FoldAZ(b[i])) return false;
  }
  return true;
}
}  // namespace

bool EqualsFolded(std::u16string_view a, std::u16string_view b) {
  return a.size() == b.size() && EqualFoldedRange(a.data(), b.data(), a.size());
}
bool EqualsFolded(std::string_view a, std::string_view b) {
  return a.size() == b.size() && EqualFoldedRange(a.data(), b.data(), a.size());
}
bool StartsWithFolded(std::u16string_view text, std::u16string_view prefix) {
  return text.size() >= prefix.size() && EqualFoldedRange(text.data(), prefix.data(), prefix.size());
}
bool StartsWithFolded(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && EqualFoldedRange(text.data(), prefix.data(), prefix.size());
}
bool EndsWithFolded(std::u16string_view text, std::u16string_view suffix) {
  return text.size() >= suffix.size() &&
         EqualFoldedRange(text.data() + text.size() - suffix.size(), suffix.data(), suffix.size());
}

int CompareNames(std::u16string_view a, std::u16string_view b) {
  const size_t n = a.size() < b.size() ? a.size() : b.size();
  for (size_t i = 0; i < n; ++i) {
    const char16_t x = FoldAZ(a[i]);
    const char16_t y = FoldAZ(b[i]);
    if (x != y) return x < y ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

std::string EncodeUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char16_t u : text) {
    if (u < 0x80) {
      out += static_cast<char>(u);
    } else if (u < 0x800) {
      out += static_cast<char>(0xC0 | (u >> 6));
      out += static_cast<char>(0x80 | (u & 0x3F));
    } else {
      out += static_cast<char>(0xE0 | (u >> 12));
      out += static_cast<char>(0x80 | ((u >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (u & 0x3F));
    }
  }
  return out;
}

std::u16string DecodeUtf8(const char* bytes, size_t length) {
  std::u16string out;
  out.reserve(length);
  const auto* s = reinterpret_cast<const unsigned char*>(bytes);
  auto at = [&](size_t k) -> unsigned { return k < length ? s[k] : 0u; };
  size_t i = 0;
  while (i < length) {
    const unsigned b = s[i];
    if (b < 0x80) {
      out += static_cast<char16_t>(b);
      i += 1;
    } else if ((b & 0xE0) == 0xC0) {
      out += static_cast<char16_t>(((b & 0x1F) << 6) | (at(i + 1) & 0x3F));
      i += 2;
    } else if ((b & 0xF0) == 0xE0) {
      out += static_cast<char16_t>(((b & 0x0F) << 12) | ((at(i + 1) & 0x3F) << 6) | (at(i + 2) & 0x3F));
      i += 3;
    } else {
      out += static_cast<char16_t>(b);
      i += 1;
    }
  }
  return out;
}

std::u16string DecodeUtf8(const char* zero_terminated) {
  size_t n = 0;
  while (zero_terminated[n] != '\0') ++n;
  return DecodeUtf8(zero_terminated, n);
}

std::string VFormat(const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  const int n = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (n <= 0) return std::string();
  std::string out(static_cast<size_t>(n) + 1, '\0');
  std::vsnprintf(&out[0], out.size(), format, args);
  out.resize(static_cast<size_t>(n));
  return out;
}

std::string Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string out = VFormat(format, args);
  va_end(args);
  return out;
}

}  // namespace orvalinth
