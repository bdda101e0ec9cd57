// The roots of the file system job: which drives or folders it scans, and
// their names as the file system stores them.

#include <utility>

#include "base/strings.h"
#include "platform/files.h"
#include "platform/volumes.h"
#include "record/file_scan.h"
#include "record/scan_request.h"

namespace orvalinth {

std::vector<std::u16string> CXFileScan::JobRoots(const CXScanRequest& request) {
  std::vector<std::u16string> roots;
  if (!request.RunsOverEverything(kScanFiles)) {
    roots = request.include[kScanFiles];
    return roots;
  }
  platform::Volumes& volumes = platform::Volumes::Get();
  const uint32_t mask = volumes.LogicalDrives();
  for (int i = 0; i < 26; ++i) {
    if ((mask & (1u << i)) == 0) continue;
    const char letter = static_cast<char>('a' + i);
    // With removable drives on, every present drive is taken, whatever its type.
    if (request.removable_drives || volumes.DriveType(letter) == platform::kDriveFixed) {
      roots.push_back(std::u16string{static_cast<char16_t>(letter), u':', u'\\'});
    }
  }
  return roots;
}

std::u16string CXFileScan::StoredNamePath(const std::u16string& root) {
  std::u16string path;
  path.reserve(root.size());
  for (size_t i = 0; i < root.size(); ++i) {
    // "c:\\a" is "c:\a"; a leading "\\" (a share) is kept.
    if (i >= 2 && root[i] == u'\\' && path.back() == u'\\') continue;
    path += FoldAZ(root[i]);
  }
  // The folder components after the root part, as [start, end) pairs.
  std::vector<std::pair<size_t, size_t>> components;
  size_t start = RootPartLength(path);
  while (start < path.size()) {
    size_t end = path.find(u'\\', start);
    if (end == std::u16string::npos) end = path.size();
    if (end > start) components.emplace_back(start, end);
    start = end + 1;
  }
  // From the last to the first, so that a stored name of another length
  // (a short 8.3 name found as its long one) moves only what is done already.
  platform::FindData entry;
  for (auto it = components.rbegin(); it != components.rend(); ++it) {
    const size_t length = it->second - it->first;
    if (path.find_first_of(u"*?", it->first) < it->second) continue;
    if (platform::FileSystem::Get().FindFirst(path.substr(0, it->second), &entry) == nullptr) continue;
    if (entry.name.empty()) continue;
    path.replace(it->first, length, entry.name);
  }
  return path;
}

}  // namespace orvalinth
