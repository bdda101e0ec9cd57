// Where folder links lead, and the privilege that opens protected folders.

#include "record/folder_links.h"

#include <vector>

#include "base/strings.h"
#include "platform/privileges.h"
#include "platform/reparse_points.h"

namespace orvalinth {
namespace {

bool IsSeparator(char16_t c) { return c == u'\\' || c == u'/'; }

std::u16string WithoutTrailingSeparators(std::u16string path) {
  while (path.size() > 1 && IsSeparator(path.back()) && path[path.size() - 2] != u':') path.pop_back();
  return path;
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
  if (!platform::ReparsePoints::Get().VolumeMountPaths(u"\\\\?\\" + volume, &paths)) return volume;
  const std::u16string self = WithoutTrailingSeparators(folder);
  const std::u16string* best = nullptr;
  for (const std::u16string& path : paths) {
    if (EqualsFolded(WithoutTrailingSeparators(path), self)) continue;
    if (best == nullptr || path.size() < best->size()) best = &path;
  }
  return best != nullptr ? *best : folder;
}

}  // namespace

std::u16string SearchedFolder(const std::u16string& path) {
  const size_t cut = path.find_last_of(u"\\/:");
  return cut == std::u16string::npos ? std::u16string() : path.substr(0, cut + 1);
}

int ResolveFolderLink(const std::u16string& folder, std::u16string* target) {
  platform::FolderLink link;
  if (!platform::ReparsePoints::Get().ReadFolderLink(folder, &link) || link.kind == platform::kLinkNone) return 0;
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
