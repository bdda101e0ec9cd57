// Browsing drives and folders.

#include <vector>

#include "link/browse.h"
#include "platform/files.h"
#include "platform/privileges.h"
#include "platform/reparse_points.h"
#include "platform/volumes.h"
#include "storage/strings.h"

namespace orvalinth {
namespace {

bool IsDots(const std::u16string& name) { return name == u"." || name == u".."; }

bool IsSeparator(char16_t c) { return c == u'\\' || c == u'/'; }

std::u16string WithoutTrailingSeparators(std::u16string path) {
  while (path.size() > 1 && IsSeparator(path.back()) && path[path.size() - 2] != u':') path.pop_back();
  return path;
}

// The folder a search pattern's names live in: everything up to the last
// separator (or drive colon), so that "C:\Windows" + "*.*" finds names in "C:\".
std::u16string SearchedFolder(const std::u16string& path) {
  const size_t cut = path.find_last_of(u"\\/:");
  return cut == std::u16string::npos ? std::u16string() : path.substr(0, cut + 1);
}

// `path` with "." and ".." taken out; ".." never climbs above the drive or share.
std::u16string Normalized(const std::u16string& path) {
  size_t root_end = 0;
  if (path.size() >= 2 && path[1] == u':') {
    root_end = 2;
  } else if (path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1])) {
    // "\\server\share": both components belong to the root.
    root_end = 2;
    for (int part = 0; part < 2 && root_end < path.size(); ++part) {
      while (root_end < path.size() && !IsSeparator(path[root_end])) ++root_end;
      if (part == 0 && root_end < path.size()) ++root_end;
    }
  }
  std::vector<std::u16string> parts;
  size_t start = root_end;
  while (start < path.size()) {
    size_t end = start;
    while (end < path.size() && !IsSeparator(path[end])) ++end;
    const std::u16string part = path.substr(start, end - start);
    if (part == u"..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != u".") {
      parts.push_back(part);
    }
    start = end + 1;
  }
  const bool rooted = root_end > 0 || (!path.empty() && IsSeparator(path[0]));
  std::u16string out = path.substr(0, root_end);
  for (size_t i = 0; i < parts.size(); ++i) {
    if (i > 0 || rooted) out += u'\\';
    out += parts[i];
  }
  if (parts.empty() && rooted) out += u'\\';
  return out;
}

// A relative link's target seen from the folder that holds the link.
std::u16string FromLinkFolder(const std::u16string& link, const std::u16string& relative) {
  const std::u16string holder = SearchedFolder(WithoutTrailingSeparators(link));
  if (!relative.empty() && IsSeparator(relative[0])) {
    // Relative to the root of the link's drive.
    return Normalized(holder.size() >= 2 && holder[1] == u':' ? holder.substr(0, 2) + relative : relative);
  }
  return Normalized(holder + relative);
}

// The shortest mount path of `volume` other than `folder`; `folder` when
// there is none, the volume text itself when the volume is unknown.
std::u16string MountPath(const std::u16string& folder, const std::u16string& volume) {
  std::vector<std::u16string> paths;
  if (!platform::Reparse::Get().VolumeMountPaths(u"\\\\?\\" + volume, &paths)) return volume;
  const std::u16string self = WithoutTrailingSeparators(folder);
  const std::u16string* best = nullptr;
  for (const std::u16string& path : paths) {
    if (EqualsFolded(WithoutTrailingSeparators(path), self)) continue;
    if (best == nullptr || path.size() < best->size()) best = &path;
  }
  return best != nullptr ? *best : folder;
}

}  // namespace

std::u16string ListingElement(int kind, const std::u16string& name, const std::u16string& target) {
  std::u16string element(1, static_cast<char16_t>(u'0' + kind));
  element += name;
  if (kind == kBrowseLink) {
    element += kLinkSeparator;
    element += target;
  }
  return element;
}

std::string ListDrives() {
  platform::Volumes& volumes = platform::Drives::Get();
  const uint32_t mask = volumes.LogicalDrives();
  std::string drives;
  for (int i = 0; i < 26; ++i) {
    if ((mask & (1u << i)) == 0) continue;
    const char letter = static_cast<char>('a' + i);
    drives += letter;
    drives += volumes.DriveType(letter) == platform::kDriveFixed ? '1' : '0';
  }
  return drives;
}

void ListSubfolders(const std::u16string& path, std::vector<std::u16string>* listing) {
  listing->clear();
  platform::FindData entry;
  auto search = platform::Files::Get().FindFirst(path + u"*.*", &entry);
  if (search == nullptr) return;
  EnableBackupPrivilege();
  const std::u16string folder = SearchedFolder(path);
  do {
    if ((entry.attributes & platform::kAttrDirectory) == 0 || IsDots(entry.name)) continue;
    if (entry.attributes & platform::kAttrReparsePoint) {
      std::u16string target;
      ResolveFolderLink(folder + entry.name, &target);
      listing->push_back(ListingElement(kBrowseLink, entry.name, target));
    } else {
      const int kind = HasSubfolders(folder, entry.name) ? kBrowseBranch : kBrowseLeaf;
      listing->push_back(ListingElement(kind, entry.name, std::u16string()));
    }
  } while (search->Next(&entry));
}

bool HasSubfolders(const std::u16string& parent, const std::u16string& name) {
  platform::FindData entry;
  auto search = platform::Files::Get().FindFirst(parent + name + u"\\*.*", &entry);
  if (search == nullptr) return false;
  int undecided = 0;
  do {
    if ((entry.attributes & platform::kAttrDirectory) != 0 && !IsDots(entry.name)) return true;
    // A folder of many files most likely holds folders too; do not read them all.
    if (++undecided > kSubfolderProbeLimit) return true;
  } while (search->Next(&entry));
  return false;
}

int ResolveFolderLink(const std::u16string& folder, std::u16string* target) {
  platform::FolderLink link;
  if (!platform::Reparse::Get().ReadFolderLink(folder, &link) || link.kind == platform::kLinkNone) return 0;
  std::u16string text = link.target;
  if (link.relative) {
    text = FromLinkFolder(folder, text);
  } else if (text.compare(0, 4, u"\\??\\") == 0) {
    text.erase(0, 4);
    if (StartsWithFolded(text, u"UNC\\")) text = u"\\\\" + text.substr(4);
  }
  if (text.compare(0, 7, u"Volume{") == 0) text = MountPath(folder, text);
  *target = text;
  return static_cast<int>(link.kind);
}

void EnableBackupPrivilege() { platform::EnableTokenPrivilege("SeBackupPrivilege"); }

}  // namespace orvalinth
