#pragma once
// Folders that are links, as the file-system scan records them and the
// console's folder browsing lists them, and the privilege both need to search
// protected folders.

#include <string>

namespace orvalinth {

// Where the folder `folder` (a reparse point) leads: kLinkMountPoint (2) for
// a junction or volume mount point, kLinkSymbolic (1) for a symbolic link,
// with *target set; 0 when the link cannot be read (*target unchanged). The
// target loses its "\??\" prefix ("\??\UNC\s\x" becomes "\\s\x"), a relative
// link is resolved against the folder holding it, and a volume name
// "Volume{...}" becomes the volume's shortest mount path other than `folder`
// itself (or `folder` when it has no other).
int ResolveFolderLink(const std::u16string& folder, std::u16string* target);

// The folder a search pattern's names live in: everything up to the last
// separator (or drive colon), so that "C:\Windows" + "*.*" finds names in "C:\".
std::u16string SearchedFolder(const std::u16string& path);

// Enables "SeBackupPrivilege" for the process, so that protected folders can
// be searched; failures are ignored.
void EnableBackupPrivilege();

}  // namespace orvalinth
