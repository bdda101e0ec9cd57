// Splitting a command line by the Windows rules; the same code on every build
// (the win32 backend's arguments come from CommandLineToArgvW, which the
// tests compare with this).

#include "platform/process.h"

namespace orvalinth::platform {
namespace {
bool IsBlank(char16_t c) { return c == u' ' || c == u'\t'; }
}  // namespace

std::vector<std::u16string> SplitCommandLine(const std::u16string& command_line) {
  std::vector<std::u16string> out;
  const size_t n = command_line.size();
  size_t i = 0;
  if (n == 0) return out;

  // The program's own name: up to the next quote when quoted, else up to a blank.
  std::u16string first;
  if (command_line[0] == u'"') {
    for (i = 1; i < n && command_line[i] != u'"'; ++i) first += command_line[i];
    if (i < n) ++i;
  } else {
    for (; i < n && !IsBlank(command_line[i]); ++i) first += command_line[i];
  }
  out.push_back(first);

  while (i < n && IsBlank(command_line[i])) ++i;
  if (i >= n) return out;

  std::u16string current;
  size_t backslashes = 0;
  int quotes = 0;  // 1 inside a quoted part; counts runs of quotes as Windows does
  while (i < n) {
    const char16_t c = command_line[i];
    if (IsBlank(c) && quotes == 0) {
      out.push_back(current);
      current.clear();
      backslashes = 0;
      while (i < n && IsBlank(command_line[i])) ++i;
      if (i >= n) return out;
      continue;
    }
    if (c == u'\\') {
      current += c;
      ++backslashes;
      ++i;
      continue;
    }
    if (c == u'"') {
      if (backslashes % 2 == 0) {
        // 2n backslashes: n of them, and the quote opens or closes.
        current.erase(current.size() - backslashes / 2);
        ++quotes;
      } else {
        // 2n+1 backslashes: n of them and a literal quote.
        current.erase(current.size() - backslashes / 2 - 1);
        current += u'"';
      }
      backslashes = 0;
      ++i;
      // A run of quotes: every third one is a literal quote.
      while (i < n && command_line[i] == u'"') {
        if (++quotes == 3) {
          current += u'"';
          quotes = 0;
        }
        ++i;
      }
      if (quotes == 2) quotes = 0;
      continue;
    }
    current += c;
    backslashes = 0;
    ++i;
  }
  out.push_back(current);
  return out;
}

std::u16string QuoteArgument(const std::u16string& argument) {
  if (!argument.empty() && argument.find_first_of(u" \t\"") == std::u16string::npos) return argument;
  std::u16string out = u"\"";
  size_t backslashes = 0;
  for (char16_t c : argument) {
    if (c == u'\\') {
      ++backslashes;
      continue;
    }
    if (c == u'"') {
      out.append(backslashes * 2 + 1, u'\\');
      out += u'"';
    } else {
      out.append(backslashes, u'\\');
      out += c;
    }
    backslashes = 0;
  }
  out.append(backslashes * 2, u'\\');
  out += u'"';
  return out;
}

}  // namespace orvalinth::platform
