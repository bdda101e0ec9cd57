// Folder links on POSIX are symbolic links, read with readlink and given in
// Windows form through the drive table. There are no volume names to mount.

#include "platform/reparse_points.h"

#include <errno.h>
#include <unistd.h>

#include "platform/errors.h"
#include "platform/extended_path.h"
#include "platform/posix/drive_table.h"

namespace orvalinth::platform {
namespace {

class PosixReparsePoints final : public ReparsePoints {
 public:
  bool ReadFolderLink(const std::u16string& path, FolderLink* link) override {
    if (PathTooLong(path)) {
      SetLastError(kErrorFilenameTooLong);
      return false;
    }
    std::string host = posix::ResolveHostPath(path);
    while (host.size() > 1 && host.back() == '/') host.pop_back();
    const posix::HostPathAt at(host);
    std::string target(4096, '\0');
    for (;;) {
      const ssize_t n = at.ok() ? readlinkat(at.folder(), at.name(), &target[0], target.size()) : -1;
      if (n < 0) {
        // A path that is no link is what Windows calls "not a reparse point".
        if (errno == EINVAL) {
          SetLastError(kErrorNotAReparsePoint);
        } else {
          posix::SetLastErrorFromErrno(errno, host);
        }
        return false;
      }
      if (static_cast<size_t>(n) < target.size()) {
        target.resize(static_cast<size_t>(n));
        break;
      }
      target.resize(target.size() * 2);
    }
    *link = FolderLink();
    link->kind = kLinkSymbolic;
    if (!target.empty() && target[0] == '/') {
      link->target = posix::FromHostPath(target);
    } else {
      link->relative = true;
      for (char& c : target) {
        if (c == '/') c = '\\';
      }
      link->target = posix::FromUtf8(target);
    }
    return true;
  }

  bool VolumeMountPaths(const std::u16string&, std::vector<std::u16string>*) override {
    SetLastError(kErrorFileNotFound);
    return false;
  }
};

}  // namespace

template <>
ReparsePoints& Facility<ReparsePoints>::Real() {
  static PosixReparsePoints instance;
  return instance;
}

}  // namespace orvalinth::platform
