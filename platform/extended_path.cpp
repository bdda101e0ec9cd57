// The extended-length form of paths, shared by both backends and the tests.

#include "platform/extended_path.h"

#include <vector>

namespace orvalinth::platform {
namespace {

bool IsSeparator(char16_t c) { return c == u'\\' || c == u'/'; }

char16_t Fold(char16_t c) { return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c; }

bool EqualsFoldedAscii(const std::u16string& text, size_t begin, size_t end, const char* word) {
  size_t i = begin;
  for (; i < end && *word != '\0'; ++i, ++word) {
    if (Fold(text[i]) != static_cast<char16_t>(*word)) return false;
  }
  return i == end && *word == '\0';
}

bool IsDeviceDigit(char16_t c) { return (c >= u'0' && c <= u'9') || c == 0x00B9 || c == 0x00B2 || c == 0x00B3; }

// Where the root of an absolute path ends ("C:\" -> 2, "\\server\share" ->
// after the share), or 0 for a path that is not absolute or that has a
// device or extended prefix already.
size_t AbsoluteRootEnd(const std::u16string& path, bool* unc) {
  *unc = false;
  if (path.size() >= 3 && path[1] == u':' && IsSeparator(path[2]) &&
      ((path[0] >= u'a' && path[0] <= u'z') || (path[0] >= u'A' && path[0] <= u'Z'))) {
    return 2;
  }
  if (path.size() < 3 || !IsSeparator(path[0]) || !IsSeparator(path[1])) return 0;
  if ((path[2] == u'?' || path[2] == u'.') && (path.size() == 3 || IsSeparator(path[3]))) return 0;
  // "\\server\share": both belong to the root, and both must be there.
  size_t at = 2;
  for (int part = 0; part < 2; ++part) {
    const size_t start = at;
    while (at < path.size() && !IsSeparator(path[at])) ++at;
    if (at == start) return 0;
    if (part == 0) {
      if (at == path.size()) return 0;
      ++at;
    }
  }
  *unc = true;
  return at;
}

// Whether any component after the root reads differently under the ordinary rules.
bool HasOddComponent(const std::u16string& path, size_t root_end) {
  size_t start = root_end;
  while (start < path.size()) {
    size_t end = start;
    while (end < path.size() && !IsSeparator(path[end])) ++end;
    if (end > start) {
      const bool dots = (end - start == 1 && path[start] == u'.') ||
                        (end - start == 2 && path[start] == u'.' && path[start + 1] == u'.');
      const char16_t last = path[end - 1];
      if (!dots && (last == u'.' || last == u' ')) return true;
      if (IsReservedDeviceName(path, start, end)) return true;
    }
    start = end + 1;
  }
  return false;
}

}  // namespace

bool IsReservedDeviceName(const std::u16string& name, size_t begin, size_t end) {
  size_t base_end = begin;
  while (base_end < end && name[base_end] != u'.') ++base_end;
  while (base_end > begin && name[base_end - 1] == u' ') --base_end;
  const size_t n = base_end - begin;
  if (n == 3) {
    for (const char* word : {"con", "prn", "aux", "nul"}) {
      if (EqualsFoldedAscii(name, begin, base_end, word)) return true;
    }
    return false;
  }
  if (n == 4 && IsDeviceDigit(name[begin + 3])) {
    return EqualsFoldedAscii(name, begin, begin + 3, "com") || EqualsFoldedAscii(name, begin, begin + 3, "lpt");
  }
  return EqualsFoldedAscii(name, begin, base_end, "conin$") || EqualsFoldedAscii(name, begin, base_end, "conout$");
}

std::u16string ExtendedLengthPath(const std::u16string& path) {
  bool unc = false;
  const size_t root_end = AbsoluteRootEnd(path, &unc);
  if (root_end == 0) return path;
  if (path.size() < kExtendedFromUnits && !HasOddComponent(path, root_end)) return path;

  std::u16string out = u"\\\\?\\";
  if (unc) {
    out += u"UNC\\";
    for (size_t i = 2; i < root_end; ++i) out += IsSeparator(path[i]) ? u'\\' : path[i];
  } else {
    out.append(path, 0, 2);
  }
  const size_t out_root = out.size();
  std::vector<size_t> starts;  // where each kept component's "\" is in `out`
  size_t start = root_end;
  while (start < path.size()) {
    size_t end = start;
    while (end < path.size() && !IsSeparator(path[end])) ++end;
    const size_t n = end - start;
    if (n == 2 && path[start] == u'.' && path[start + 1] == u'.') {
      if (!starts.empty()) {
        out.resize(starts.back());
        starts.pop_back();
      }
    } else if (n > 0 && !(n == 1 && path[start] == u'.')) {
      starts.push_back(out.size());
      out += u'\\';
      out.append(path, start, n);
    }
    start = end + 1;
  }
  if (out.size() == out_root || IsSeparator(path.back())) out += u'\\';
  return out;
}

}  // namespace orvalinth::platform
