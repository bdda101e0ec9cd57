#include "record/apps/shortcut.h"

#include <algorithm>
#include <memory>
#include <vector>

#include "platform/errors.h"
#include "platform/files.h"
#include "platform/shell_links.h"
#include "record/apps/shell_link_file.h"

namespace orvalinth {
namespace {

bool ReadLinkFile(const std::u16string& shortcut, std::u16string* target) {
  const std::unique_ptr<platform::File> file = platform::FileSystem::Get().Open(shortcut, platform::kOpenRead);
  uint64_t size = 0;
  if (!file || !file->Size(&size)) return false;
  std::vector<uint8_t> bytes(static_cast<size_t>(std::min<uint64_t>(size, CXShortcut::kLargestFileRead)));
  size_t have = 0;
  while (have < bytes.size()) {
    uint32_t got = 0;
    if (!file->Read(bytes.data() + have, static_cast<uint32_t>(bytes.size() - have), &got)) return false;
    if (got == 0) break;
    have += got;
  }
  return ReadShellLinkTarget(bytes.data(), have, target);
}

}  // namespace

bool CXShortcut::Resolve(const std::u16string& shortcut, std::u16string* target) {
  target->clear();
  platform::ShellLinks& links = platform::ShellLinks::Get();
  std::u16string found;
  if (links.InstallerTarget(shortcut, &found) && !found.empty()) {
    *target = found;
    return true;
  }
  if (links.LinkTarget(shortcut, &found)) {
    *target = found;
    return true;
  }
  // No link object on this system (the Linux build): read the file's format
  // instead. Where the system has one, a link it refused stays unresolved.
  if (!links.HasLinkObject()) return ReadLinkFile(shortcut, target);
  return false;
}

}  // namespace orvalinth
