// Program paths on POSIX: the Windows search rules over the drive table (see
// platform/path_lookup.h for the folders and their order).

#include "platform/path_lookup.h"

#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "platform/errors.h"
#include "platform/files.h"
#include "platform/posix/drive_table.h"
#include "platform/process.h"
#include "platform/volumes.h"

extern char** environ;

namespace orvalinth::platform {
namespace {

using posix::FromUtf8;

char16_t FoldAZ(char16_t c) { return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c; }

bool SameFolded(const std::u16string& a, const std::u16string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (FoldAZ(a[i]) != FoldAZ(b[i])) return false;
  }
  return true;
}

bool Exists(const std::u16string& path) { return FileSystem::Get().Attributes(path) != kInvalidAttributes; }

std::u16string Join(const std::u16string& folder, const std::u16string& name) {
  if (folder.empty() || folder.back() == u'\\') return folder + name;
  return folder + u'\\' + name;
}

std::u16string CurrentFolder() {
  char buffer[PATH_MAX];
  if (getcwd(buffer, sizeof buffer) == nullptr) return std::u16string();
  return posix::FromHostPath(buffer);
}

// A name with a drive or a separator is a path of its own, not searched for.
bool HoldsPath(const std::u16string& name) {
  return (name.size() >= 2 && name[1] == u':') || name.find_first_of(u"\\/") != std::u16string::npos;
}

// `name` made full against the current folder, with "." and ".." taken out.
std::u16string FullPath(std::u16string name) {
  for (char16_t& c : name) {
    if (c == u'/') c = u'\\';
  }
  std::u16string root;
  std::u16string rest;
  const std::u16string current = CurrentFolder();
  if (name.compare(0, 2, u"\\\\") == 0) {
    root = u"\\\\";
    rest = name.substr(2);
  } else if (name.size() >= 2 && name[1] == u':') {
    root = name.substr(0, 2) + u'\\';
    rest = name.substr(name.size() >= 3 && name[2] == u'\\' ? 3 : 2);
  } else if (!name.empty() && name[0] == u'\\') {
    root = current.substr(0, 3);
    rest = name.substr(1);
  } else {
    root = current.substr(0, 3);
    rest = current.size() > 3 ? current.substr(3) + u'\\' + name : name;
  }
  std::vector<std::u16string> parts;
  size_t start = 0;
  while (start <= rest.size()) {
    size_t end = rest.find(u'\\', start);
    if (end == std::u16string::npos) end = rest.size();
    const std::u16string part = rest.substr(start, end - start);
    if (part == u"..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != u".") {
      parts.push_back(part);
    }
    start = end + 1;
  }
  std::u16string full = root;
  for (size_t i = 0; i < parts.size(); ++i) full += (i == 0 ? u"" : u"\\") + parts[i];
  return full;
}

class PosixPathLookup final : public PathLookup {
 public:
  std::u16string WindowsFolder() override {
    if (posix::DriveTypeOf('c') != kDriveNoRootDir) {
      const std::string host = posix::ResolveHostPath(u"C:\\Windows");
      struct stat st;
      if (stat(host.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        return u"C:\\" + FromUtf8(host.substr(host.rfind('/') + 1));
      }
    }
    return u"C:\\Windows";
  }

  bool SearchExecutable(const std::u16string& name, std::u16string* found) override {
    if (name.empty()) {
      SetLastError(kErrorInvalidParameter);
      return false;
    }
    if (HoldsPath(name)) {
      const std::u16string full = FullPath(name);
      if (Exists(full)) {
        *found = full;
        return true;
      }
    } else {
      for (const std::u16string& folder : SearchFolders()) {
        const std::u16string candidate = Join(folder, name);
        if (!folder.empty() && Exists(candidate)) {
          *found = candidate;
          return true;
        }
      }
    }
    SetLastError(kErrorFileNotFound);
    return false;
  }

  std::u16string ExpandEnvironment(const std::u16string& text) override {
    std::u16string out;
    size_t i = 0;
    while (i < text.size()) {
      const size_t open = text.find(u'%', i);
      const size_t close = open == std::u16string::npos ? open : text.find(u'%', open + 1);
      if (close == std::u16string::npos) {
        out.append(text, i, std::u16string::npos);
        break;
      }
      out.append(text, i, open - i);
      std::u16string value;
      if (close > open + 1 && Variable(text.substr(open + 1, close - open - 1), &value)) {
        out += value;
      } else {
        out.append(text, open, close - open + 1);  // an unknown %NAME% stays whole
      }
      i = close + 1;
    }
    return out;
  }

  bool LongPathName(const std::u16string& path, std::u16string* long_path) override {
    if (!Exists(path)) {
      SetLastError(kErrorFileNotFound);
      return false;
    }
    *long_path = path;
    return true;
  }

 private:
  std::vector<std::u16string> SearchFolders() {
    std::vector<std::u16string> folders;
    const std::u16string executable = Process::Get().ExecutablePath();
    const size_t slash = executable.rfind(u'\\');
    folders.push_back(slash == std::u16string::npos ? std::u16string() : executable.substr(0, slash + 1));
    const std::u16string windows = WindowsFolder();
    folders.push_back(Join(windows, u"system32"));
    folders.push_back(Join(windows, u"system"));
    folders.push_back(windows);
    folders.push_back(CurrentFolder());
    const char* path = getenv("PATH");
    const std::string list = path != nullptr ? path : "";
    size_t start = 0;
    while (start < list.size()) {
      size_t end = list.find(':', start);
      if (end == std::string::npos) end = list.size();
      if (end > start && list[start] == '/') folders.push_back(posix::FromHostPath(list.substr(start, end - start)));
      start = end + 1;
    }
    return folders;
  }

  bool Variable(const std::u16string& name, std::u16string* value) {
    const std::string narrow = posix::ToUtf8(name);
    if (const char* exact = getenv(narrow.c_str())) {
      *value = FromUtf8(exact);
      return true;
    }
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
      const std::string pair = *entry;
      const size_t equals = pair.find('=');
      if (equals != std::string::npos && SameFolded(FromUtf8(pair.substr(0, equals)), name)) {
        *value = FromUtf8(pair.substr(equals + 1));
        return true;
      }
    }
    if (SameFolded(name, u"SystemRoot") || SameFolded(name, u"windir")) {
      *value = WindowsFolder();
      return true;
    }
    return false;
  }
};

}  // namespace

template <>
PathLookup& Facility<PathLookup>::Real() {
  static PosixPathLookup instance;
  return instance;
}

}  // namespace orvalinth::platform
