#pragma once
// A strict check of JSON text (RFC 8259) for tests: one value, nothing after
// it, strings of valid UTF-8 without raw control characters, escapes and
// numbers as the grammar says.

#include <cctype>
#include <cstddef>
#include <string>

namespace orvalinth::test {

class JsonCheck {
 public:
  // True when `text` is one valid JSON value; otherwise *error tells where.
  static bool Valid(const std::string& text, std::string* error) {
    JsonCheck c(text);
    const bool ok = c.Value(0) && (c.Space(), c.at_ == text.size());
    if (!ok) *error = "invalid JSON near byte " + std::to_string(c.at_) + ": " + text.substr(c.at_, 40);
    return ok;
  }

 private:
  explicit JsonCheck(const std::string& text) : s_(text) {}

  void Space() {
    while (at_ < s_.size() && (s_[at_] == ' ' || s_[at_] == '\t' || s_[at_] == '\n' || s_[at_] == '\r')) ++at_;
  }
  bool Take(char c) {
    Space();
    if (at_ < s_.size() && s_[at_] == c) {
      ++at_;
      return true;
    }
    return false;
  }
  bool Word(const char* w) {
    const std::string word(w);
    if (s_.compare(at_, word.size(), word) != 0) return false;
    at_ += word.size();
    return true;
  }
  bool Value(int depth) {
    if (depth > 4000) return false;
    Space();
    if (at_ >= s_.size()) return false;
    const char c = s_[at_];
    if (c == '{') return Object(depth);
    if (c == '[') return Array(depth);
    if (c == '"') return String();
    if (c == 't') return Word("true");
    if (c == 'f') return Word("false");
    if (c == 'n') return Word("null");
    return Number();
  }
  bool Object(int depth) {
    ++at_;
    if (Take('}')) return true;
    do {
      Space();
      if (!String() || !Take(':') || !Value(depth + 1)) return false;
    } while (Take(','));
    return Take('}');
  }
  bool Array(int depth) {
    ++at_;
    if (Take(']')) return true;
    do {
      if (!Value(depth + 1)) return false;
    } while (Take(','));
    return Take(']');
  }
  bool Digits() {
    const size_t start = at_;
    while (at_ < s_.size() && s_[at_] >= '0' && s_[at_] <= '9') ++at_;
    return at_ > start;
  }
  bool Number() {
    if (at_ < s_.size() && s_[at_] == '-') ++at_;
    if (at_ < s_.size() && s_[at_] == '0') {
      ++at_;
    } else if (!Digits()) {
      return false;
    }
    if (at_ < s_.size() && s_[at_] == '.' && (++at_, !Digits())) return false;
    if (at_ < s_.size() && (s_[at_] == 'e' || s_[at_] == 'E')) {
      ++at_;
      if (at_ < s_.size() && (s_[at_] == '+' || s_[at_] == '-')) ++at_;
      if (!Digits()) return false;
    }
    return true;
  }
  bool String() {
    if (at_ >= s_.size() || s_[at_] != '"') return false;
    ++at_;
    while (at_ < s_.size()) {
      const auto c = static_cast<unsigned char>(s_[at_]);
      if (c == '"') {
        ++at_;
        return true;
      }
      if (c < 0x20) return false;
      if (c == '\\') {
        if (++at_ >= s_.size()) return false;
        const char e = s_[at_++];
        if (e == 'u') {
          for (int i = 0; i < 4; ++i, ++at_) {
            if (at_ >= s_.size() || !std::isxdigit(static_cast<unsigned char>(s_[at_]))) return false;
          }
        } else if (std::string("\"\\/bfnrt").find(e) == std::string::npos) {
          return false;
        }
        continue;
      }
      // UTF-8: a lead byte and its continuation bytes, no overlong two-byte forms.
      int follow = c < 0x80 ? 0 : (c >= 0xC2 && c < 0xE0) ? 1 : (c >= 0xE0 && c < 0xF0) ? 2 : (c >= 0xF0 && c < 0xF5) ? 3 : -1;
      if (follow < 0) return false;
      ++at_;
      for (; follow > 0; --follow, ++at_) {
        if (at_ >= s_.size() || (static_cast<unsigned char>(s_[at_]) & 0xC0) != 0x80) return false;
      }
    }
    return false;
  }

  const std::string& s_;
  size_t at_ = 0;
};

}  // namespace orvalinth::test
