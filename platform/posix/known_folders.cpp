// Known folders on POSIX: the freedesktop.org folders that Linux has, in
// Windows form (see platform/known_folders.h for the table).

#include "platform/known_folders.h"

#include <pwd.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "platform/errors.h"
#include "platform/path_lookup.h"
#include "platform/posix/drive_table.h"

namespace orvalinth::platform {
namespace {

// The variable's value when it is set to an absolute path, else empty.
std::string AbsoluteVariable(const char* name) {
  const char* value = getenv(name);
  return value != nullptr && value[0] == '/' ? std::string(value) : std::string();
}

// The first absolute entry of a ":" list held by a variable, else empty.
std::string FirstOfList(const char* name) {
  const char* value = getenv(name);
  if (value == nullptr) return std::string();
  const std::string list = value;
  size_t start = 0;
  while (start <= list.size()) {
    size_t colon = list.find(':', start);
    if (colon == std::string::npos) colon = list.size();
    if (colon > start && list[start] == '/') return list.substr(start, colon - start);
    start = colon + 1;
  }
  return std::string();
}

std::string Home() {
  std::string home = AbsoluteVariable("HOME");
  if (!home.empty()) return home;
  const passwd* entry = getpwuid(getuid());
  return entry != nullptr && entry->pw_dir != nullptr && entry->pw_dir[0] == '/' ? std::string(entry->pw_dir)
                                                                                 : std::string();
}

// `variable` (when current and set) or `home_relative` below the home folder.
std::string UserFolder(bool current, const char* variable, const char* home_relative, const char* below) {
  std::string base = current ? AbsoluteVariable(variable) : std::string();
  if (base.empty()) {
    const std::string home = Home();
    if (home.empty()) return std::string();
    base = home + home_relative;
  }
  return base + below;
}

// The first entry of `variable` (when current and set), else `fallback`.
std::string SystemFolder(bool current, const char* variable, const char* fallback, const char* below) {
  const std::string first = current ? FirstOfList(variable) : std::string();
  return (first.empty() ? std::string(fallback) : first) + below;
}

class PosixKnownFolder final : public KnownFolder {
 public:
  bool FolderPath(int csidl, bool current, std::u16string* path) override {
    path->clear();
    std::string host;
    switch (csidl) {
      case kFolderStartup: host = UserFolder(current, "XDG_CONFIG_HOME", "/.config", "/autostart"); break;
      case kFolderCommonStartup: host = SystemFolder(current, "XDG_CONFIG_DIRS", "/etc/xdg", "/autostart"); break;
      case kFolderDesktop: host = UserFolder(false, nullptr, "/Desktop", ""); break;
      case kFolderPrograms:
      case kFolderStartMenu:
        host = UserFolder(current, "XDG_DATA_HOME", "/.local/share", "/applications");
        break;
      case kFolderCommonStartMenu:
      case kFolderCommonPrograms:
        host = SystemFolder(current, "XDG_DATA_DIRS", "/usr/share", "/applications");
        break;
      case kFolderWindows:
      case kFolderSystem: {
        std::u16string windows = PathLookup::Get().WindowsFolder();
        if (windows.empty()) break;
        if (csidl == kFolderSystem) windows += windows.back() == u'\\' ? u"system32" : u"\\system32";
        *path = windows;
        SetLastError(kErrorSuccess);
        return true;
      }
      default: break;
    }
    if (host.empty()) {
      SetLastError(kErrorFileNotFound);
      return false;
    }
    *path = posix::FromHostPath(host);
    SetLastError(kErrorSuccess);
    return true;
  }
};

}  // namespace

template <>
KnownFolder& Facility<KnownFolder>::Real() {
  static PosixKnownFolder instance;
  return instance;
}

}  // namespace orvalinth::platform
