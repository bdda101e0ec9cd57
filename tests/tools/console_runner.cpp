#include "tools/console_runner.h"

#include <cctype>
#include <cstdint>

#include "test_support.h"
#include "tools/console_options.h"
#ifndef _WIN32
#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/posix/drive_table.h"
#endif

namespace orvalinth::test {

ConsoleRun RunConsoleInProcess(const std::vector<std::string>& arguments, const std::u16string& port_file,
                               const std::vector<std::string>& input, bool stdin_terminal) {
  ConsoleRun run;
  tools::SXConsoleIo io;
  io.out = [&](std::string_view t) { run.out.append(t); };
  io.err = [&](std::string_view t) { run.err.append(t); };
  size_t next = 0;
  io.read_line = [&](std::string* line) {
    if (next >= input.size()) return false;
    *line = input[next++];
    return true;
  };
  io.stdin_terminal = stdin_terminal;
  std::vector<std::string> all = {"--listen", "127.0.0.1", "--port", "0", "--port-file", N(port_file),
                                  "--accept-timeout", "10", "--reply-timeout", "10"};
  all.insert(all.end(), arguments.begin(), arguments.end());
  run.code = tools::RunConsole(all, io);
  return run;
}

#ifndef _WIN32
ConsoleRun RunShell(const std::string& line, const TempFolder& folder) {
  const std::string command =
      "cd '" + platform::posix::ToHostPath(folder / u"") + "' && " + line + " >out.txt 2>err.txt; echo $? >rc.txt";
  EXPECT_EQ(std::system(command.c_str()), 0);
  ConsoleRun run;
  run.code = std::atoi(ReadFileBytes(folder / u"rc.txt").c_str());
  run.out = ReadFileBytes(folder / u"out.txt");
  run.err = ReadFileBytes(folder / u"err.txt");
  return run;
}
#endif

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

namespace {

class JsonReader {
 public:
  explicit JsonReader(std::string_view t) : t_(t) {}

  bool Document(std::string* error) {
    Blank();
    if (!Value()) return Error(error);
    Blank();
    if (i_ != t_.size()) return Error(error, "text after the value");
    return true;
  }

 private:
  bool Error(std::string* error, const char* what = "bad value") {
    *error = std::string(what) + " at offset " + std::to_string(i_);
    return false;
  }
  void Blank() {
    while (i_ < t_.size() && (t_[i_] == ' ' || t_[i_] == '\t' || t_[i_] == '\n' || t_[i_] == '\r')) ++i_;
  }
  bool Eat(char c) {
    if (i_ < t_.size() && t_[i_] == c) {
      ++i_;
      return true;
    }
    return false;
  }
  bool Word(std::string_view w) {
    if (t_.substr(i_, w.size()) != w) return false;
    i_ += w.size();
    return true;
  }
  bool Value() {
    if (i_ >= t_.size()) return false;
    const char c = t_[i_];
    if (c == '{') return Object();
    if (c == '[') return Array();
    if (c == '"') return String();
    if (c == 't') return Word("true");
    if (c == 'f') return Word("false");
    if (c == 'n') return Word("null");
    return Number();
  }
  bool Object() {
    ++i_;
    Blank();
    if (Eat('}')) return true;
    for (;;) {
      Blank();
      if (!String()) return false;
      Blank();
      if (!Eat(':')) return false;
      Blank();
      if (!Value()) return false;
      Blank();
      if (Eat('}')) return true;
      if (!Eat(',')) return false;
    }
  }
  bool Array() {
    ++i_;
    Blank();
    if (Eat(']')) return true;
    for (;;) {
      Blank();
      if (!Value()) return false;
      Blank();
      if (Eat(']')) return true;
      if (!Eat(',')) return false;
    }
  }
  bool Number() {
    const size_t start = i_;
    Eat('-');
    if (Eat('0')) {
    } else if (!Digits()) {
      return false;
    }
    if (Eat('.') && !Digits()) return false;
    if (Eat('e') || Eat('E')) {
      if (!Eat('+')) Eat('-');
      if (!Digits()) return false;
    }
    return i_ > start;
  }
  bool Digits() {
    const size_t start = i_;
    while (i_ < t_.size() && t_[i_] >= '0' && t_[i_] <= '9') ++i_;
    return i_ > start;
  }
  bool String() {
    if (!Eat('"')) return false;
    while (i_ < t_.size()) {
      const uint8_t c = static_cast<uint8_t>(t_[i_]);
      if (c == '"') {
        ++i_;
        return true;
      }
      if (c < 0x20) return false;
      if (c == '\\') {
        ++i_;
        if (i_ >= t_.size()) return false;
        const char e = t_[i_++];
        if (e == 'u') {
          for (int k = 0; k < 4; ++k, ++i_) {
            if (i_ >= t_.size() || !std::isxdigit(static_cast<unsigned char>(t_[i_]))) return false;
          }
        } else if (std::string_view("\"\\/bfnrt").find(e) == std::string_view::npos) {
          return false;
        }
        continue;
      }
      if (!Utf8()) return false;
    }
    return false;
  }
  // One well-formed UTF-8 character.
  bool Utf8() {
    const uint8_t b = static_cast<uint8_t>(t_[i_]);
    size_t n = b < 0x80 ? 1 : (b & 0xE0) == 0xC0 ? 2 : (b & 0xF0) == 0xE0 ? 3 : (b & 0xF8) == 0xF0 ? 4 : 0;
    if (n == 0 || i_ + n > t_.size()) return false;
    uint32_t cp = n == 1 ? b : n == 2 ? (b & 0x1F) : n == 3 ? (b & 0x0F) : (b & 0x07);
    for (size_t k = 1; k < n; ++k) {
      const uint8_t c = static_cast<uint8_t>(t_[i_ + k]);
      if ((c & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (c & 0x3F);
    }
    static const uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kMin[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i_ += n;
    return true;
  }

  std::string_view t_;
  size_t i_ = 0;
};

}  // namespace

bool IsValidJson(std::string_view text, std::string* error) { return JsonReader(text).Document(error); }

}  // namespace orvalinth::test
