#include "record/apps/shell_folder.h"

#include "platform/known_folders.h"

namespace orvalinth {

std::u16string ShellFolderPath(int csidl) {
  platform::KnownFolder& folders = platform::KnownFolder::Get();
  std::u16string path;
  if (!folders.FolderPath(csidl, true, &path) && !folders.FolderPath(csidl, false, &path)) return std::u16string();
  if (path.empty()) return path;
  if (path.back() != u'\\') path += u'\\';
  return path;
}

}  // namespace orvalinth
