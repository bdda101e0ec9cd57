// The roots of the file system job: which drives or folders it scans, and
// their names as the file system stores them.

#include <string_view>
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

std::u16string CXFileScan::StoredNamePath(const std::u16string& root, const CXScanThread* job) {
  std::u16string path;
  path.reserve(root.size());
  for (size_t i = 0; i < root.size(); ++i) {
    // "c:\\a" is "c:\a"; a leading "\\" (a share) is kept.
    if (i >= 2 && root[i] == u'\\' && path.back() == u'\\') continue;
    path += FoldAZ(root[i]);
  }
  // From the first component down, each looked up once in the path named so
  // far. Nothing lies below a component that is not found (or holds a
  // wildcard), and nothing below the depth limit is ever walked: the rest
  // stays lower-cased. A stop ends the lookups too.
  const size_t root_part = RootPartLength(path);
  std::u16string stored = path.substr(0, root_part);
  stored.reserve(path.size());
  platform::FindData entry;
  size_t start = root_part;
  int32_t depth = 0;
  while (start < path.size()) {
    size_t end = path.find(u'\\', start);
    if (end == std::u16string::npos) end = path.size();
    const std::u16string_view component(path.data() + start, end - start);
    if (!component.empty()) {
      const bool wildcard = component.find_first_of(u"*?") != std::u16string_view::npos;
      if (++depth >= kMaxDepth || wildcard || (job != nullptr && job->StopRequested())) break;
      const size_t at = stored.size();
      stored += component;
      if (platform::FileSystem::Get().FindFirst(stored, &entry) == nullptr) {
        start = end;
        break;
      }
      // A stored name of another length (a short 8.3 name found as its long one) moves only the tail.
      if (!entry.name.empty()) stored.replace(at, component.size(), entry.name);
    }
    if (end < path.size()) stored += u'\\';
    start = end + 1;
  }
  if (start < path.size()) stored.append(path, start, std::u16string::npos);
  return stored;
}

}  // namespace orvalinth
