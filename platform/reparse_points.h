#pragma once
// Folders that lead elsewhere (junctions, volume mount points and symbolic
// links), and the mount paths of volumes.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/facility.h"

namespace orvalinth::platform {

// The two kinds of folder link, by their reparse tags.
enum : uint32_t {
  kLinkNone = 0,
  kLinkSymbolic = 1,    // IO_REPARSE_TAG_SYMLINK
  kLinkMountPoint = 2,  // IO_REPARSE_TAG_MOUNT_POINT: a junction or a volume mount point
};

struct FolderLink {
  uint32_t kind = kLinkNone;
  // The target as stored: "\??\C:\Users", "\??\Volume{GUID}\", "\??\UNC\server\share",
  // or a path relative to the link's own folder when `relative` is set.
  std::u16string target;
  bool relative = false;
};

class ReparsePoints : public Facility<ReparsePoints> {
 public:
  virtual ~ReparsePoints() = default;
  // Reads the link data of `path` itself (never followed); false with the
  // error code when it cannot be read (4390 when it is no reparse point, 50
  // for another kind of reparse point, 13 for malformed data).
  virtual bool ReadFolderLink(const std::u16string& path, FolderLink* link) = 0;
  // The paths where the volume "\\?\Volume{GUID}\" is mounted ("C:\",
  // "C:\mnt\data\"), in the system's order; false with the error code when
  // the volume is unknown.
  virtual bool VolumeMountPaths(const std::u16string& volume, std::vector<std::u16string>* paths) = 0;
};

template <>
ReparsePoints& Facility<ReparsePoints>::Real();

// Reads reparse data in the layout FSCTL_GET_REPARSE_POINT gives: tag (32
// bits), data length and a reserved field (16 bits each), then for a mount
// point four 16-bit fields (substitute name offset and length, print name
// offset and length, in bytes from the path buffer) and the path buffer, for
// a symbolic link the same four fields, 32-bit flags (1: relative) and the
// path buffer. The target is the substitute name, or the print name when that
// is empty. False (kind kLinkNone) for another tag or names outside the data.
bool ParseReparseData(const void* data, size_t size, FolderLink* link);

}  // namespace orvalinth::platform
