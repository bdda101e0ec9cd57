#pragma once
// The shell's known folders by their folder identifiers (CSIDL numbers):
// where the startup folders, the desktop, the start menu and the Windows and
// system folders lie.
//
// On win32 SHGetFolderPathW, asked for the folder's current location or its
// default one; the path comes without a final "\" (unless it is a drive's
// root).
//
// On POSIX the folders that Linux has are its freedesktop.org ones, in
// Windows form through the drive table ("/home/u" is "Z:\home\u" by
// default). The current location follows the XDG variables, the default one
// ignores them:
//   7  startup                 $XDG_CONFIG_HOME/autostart, else ~/.config/autostart
//   24 common startup          first of $XDG_CONFIG_DIRS + /autostart, else /etc/xdg/autostart
//   0  desktop                 ~/Desktop
//   2  programs, 11 start menu $XDG_DATA_HOME/applications, else ~/.local/share/applications
//   22 common start menu,
//   23 common programs         first of $XDG_DATA_DIRS + /applications, else /usr/share/applications
//   36 Windows folder          the Windows folder of platform/path_lookup.h
//   37 system folder           its "system32"
// The common desktop (25) and every other identifier have none there
// (kErrorFileNotFound); neither has a home folder that $HOME and the
// password database leave unknown.

#include <string>

#include "platform/facility.h"

namespace orvalinth::platform {

// Folder identifiers (CSIDL).
enum : int {
  kFolderDesktop = 0,
  kFolderPrograms = 2,
  kFolderStartup = 7,
  kFolderStartMenu = 11,
  kFolderCommonStartMenu = 22,
  kFolderCommonPrograms = 23,
  kFolderCommonStartup = 24,
  kFolderCommonDesktop = 25,
  kFolderWindows = 36,
  kFolderSystem = 37,
};

class KnownFolder : public Facility<KnownFolder> {
 public:
  virtual ~KnownFolder() = default;
  // The path of the folder `csidl`: where it lies now when `current`, else
  // where it lies by default. False with the error code when there is none.
  virtual bool FolderPath(int csidl, bool current, std::u16string* path) = 0;
};

template <>
KnownFolder& Facility<KnownFolder>::Real();

}  // namespace orvalinth::platform
