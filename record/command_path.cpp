#include "record/command_path.h"

#include "base/strings.h"
#include "platform/files.h"
#include "platform/path_lookup.h"
#include "record/apps/shortcut.h"

namespace orvalinth {
namespace {

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t'; }

std::u16string Trimmed(const std::u16string& text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && IsBlank(text[begin])) ++begin;
  while (end > begin && IsBlank(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

// The system's executable search, taking files only.
bool Search(const std::u16string& name, std::u16string* found) {
  std::u16string full;
  if (name.empty() || !platform::PathLookup::Get().SearchExecutable(name, &full)) return false;
  const uint32_t attributes = platform::FileSystem::Get().Attributes(full);
  if (attributes == platform::kInvalidAttributes || (attributes & platform::kAttrDirectory) != 0) return false;
  *found = full;
  return true;
}

int Resolved(std::u16string found, std::u16string* path) {
  std::u16string long_path;
  if (found.find(u'~') != std::u16string::npos && platform::PathLookup::Get().LongPathName(found, &long_path)) {
    found = long_path;
  }
  *path = found;
  return 1;
}

}  // namespace

int ResolveCommandPath(const std::u16string& command, std::u16string* path, std::u16string* arguments) {
  if (arguments != nullptr) arguments->clear();
  *path = command;
  if (command.empty()) return 0;
  std::u16string windows = platform::PathLookup::Get().WindowsFolder();
  if (windows.empty() || windows.back() != u'\\') windows += u'\\';

  std::u16string s = command;
  bool quoted = false;
  if (s[0] == u'"') {
    quoted = true;
    const size_t close = s.find(u'"', 1);
    if (close != std::u16string::npos) {
      if (arguments != nullptr) *arguments = Trimmed(s.substr(close + 1));
      s = s.substr(1, close - 1);
    } else {
      s.erase(0, 1);
    }
  }
  if (s.compare(0, 4, u"\\??\\") == 0) s.erase(0, 4);
  if (StartsWithFolded(s, u"system32\\")) {
    s = windows + s;
  } else if (StartsWithFolded(s, u"\\systemroot\\")) {
    s = windows + s.substr(12);
  }
  if (EndsWithFolded(s, u".lnk")) {
    CXShortcut shortcut;
    std::u16string target;
    // A shortcut to something that is not a file keeps its own path.
    if (shortcut.Resolve(s, &target) && !target.empty()) s = target;
  }

  std::u16string found;
  if (Search(s, &found)) return Resolved(found, path);
  const std::u16string searched = s;
  if (!quoted) {
    const size_t exe = s.find(u".exe");
    size_t blank = exe == std::u16string::npos ? 0 : exe + 4;
    while (blank < s.size() && !IsBlank(s[blank])) ++blank;
    if (blank < s.size() && !EndsWithFolded(s, u".sys")) {
      if (arguments != nullptr) *arguments = Trimmed(s.substr(blank + 1));
      s.erase(blank);
    }
  }
  const bool driver = EndsWithFolded(s, u".sys");
  if (!driver && !EndsWithFolded(s, u".exe")) s += u".exe";
  // A search of the same name again would find the same nothing.
  if (s != searched && Search(s, &found)) return Resolved(found, path);
  const std::u16string expanded = platform::PathLookup::Get().ExpandEnvironment(s);
  if (expanded != s && Search(expanded, &found)) return Resolved(found, path);
  if (EndsWithFolded(expanded, u".sys") && Search(windows + u"system32\\drivers\\" + expanded, &found)) {
    return Resolved(found, path);
  }
  return 0;
}

}  // namespace orvalinth
