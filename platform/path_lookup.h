#pragma once
// The system's ways of turning a program's name into a file: the Windows
// folder, the executable search, environment variables and long path names.
//
// On win32 these are GetWindowsDirectoryW, SearchPathW (default search order),
// ExpandEnvironmentStringsW and GetLongPathNameW; results longer than 259
// units are taken whole, never cut.
//
// On POSIX (paths in Windows form through the drive table):
// - the Windows folder is "C:\Windows", written as drive C stores it when
//   drive C is mapped and has such a folder;
// - the search takes a name holding a drive, "\" or "/" as a path of its own
//   (made full against the current folder) and otherwise looks in the folder
//   of the running executable, the Windows folder's "system32\" and
//   "system\", the Windows folder, the current folder and the folders of
//   PATH (host folders mapped onto their drives), in that order, as Windows'
//   safe search order does;
// - %NAME% is replaced by the variable NAME of the environment (names
//   compared without regard to A-Z case); "SystemRoot" and "windir" are the
//   Windows folder when the environment does not set them; an unknown
//   %NAME% stays as it stands;
// - the long form of a path is the path itself when it exists.

#include <string>

#include "platform/facility.h"

namespace orvalinth::platform {

class PathLookup : public Facility<PathLookup> {
 public:
  virtual ~PathLookup() = default;
  // The Windows folder, as the system gives it (without a final "\" unless it
  // is a drive's root).
  virtual std::u16string WindowsFolder() = 0;
  // Searches `name` as the system searches for an executable; true with the
  // full path of the file or folder found.
  virtual bool SearchExecutable(const std::u16string& name, std::u16string* found) = 0;
  // `text` with its environment variables expanded (unchanged on failure).
  virtual std::u16string ExpandEnvironment(const std::u16string& text) = 0;
  // The long form of an existing `path`; false with the error code when it
  // cannot be had.
  virtual bool LongPathName(const std::u16string& path, std::u16string* long_path) = 0;
};

template <>
PathLookup& Facility<PathLookup>::Real();

}  // namespace orvalinth::platform
