// Browsing drives and folders.

#include <vector>

#include "base/log.h"
#include "base/strings.h"
#include "link/browse.h"
#include "link/wire_text.h"
#include "platform/files.h"
#include "platform/volumes.h"
#include "record/folder_links.h"

namespace orvalinth {
namespace {

bool IsDots(const std::u16string& name) { return name == u"." || name == u".."; }

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
  platform::Volumes& volumes = platform::Volumes::Get();
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

bool IsDrivePath(const std::u16string& path) {
  return path.size() >= 3 && ((path[0] >= u'a' && path[0] <= u'z') || (path[0] >= u'A' && path[0] <= u'Z')) &&
         path[1] == u':' && (path[2] == u'\\' || path[2] == u'/');
}

void ListSubfolders(const std::u16string& path, std::vector<std::u16string>* listing) {
  listing->clear();
  if (!IsDrivePath(path)) {
    // A share would have the service sign in to whatever server the path
    // names, a device path would reach what is no folder: neither is browsed.
    LogError("get-dir refused [%s]", LogSafe(EncodeUtf8(path), 300).c_str());
    return;
  }
  platform::FindData entry;
  auto search = platform::FileSystem::Get().FindFirst(path + u"*.*", &entry);
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
  auto search = platform::FileSystem::Get().FindFirst(parent + name + u"\\*.*", &entry);
  if (search == nullptr) return false;
  int undecided = 0;
  do {
    if ((entry.attributes & platform::kAttrDirectory) != 0 && !IsDots(entry.name)) return true;
    // A folder of many files most likely holds folders too; do not read them all.
    if (++undecided > kSubfolderProbeLimit) return true;
  } while (search->Next(&entry));
  return false;
}

}  // namespace orvalinth
