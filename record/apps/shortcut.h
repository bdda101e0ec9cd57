#pragma once
// CXShortcut: turns a shell shortcut file (".lnk") into the path of the file
// it points to, so that a collector records the program rather than the
// shortcut. Made on the stack around each use; it keeps no state.
//
// The Windows Installer is asked first (an advertised shortcut resolves to
// its component's installed file even when the link names no file), then the
// shell's link object. Only where the system has no link object at all
// (POSIX) is the file read with ReadShellLinkTarget
// (record/apps/shell_link_file.h); a link that the link object refused is
// not resolved.
// On win32 the calling thread must have COM (platform/com_apartment.h).

#include <cstdint>
#include <string>

namespace orvalinth {

class CXShortcut {
 public:
  // Shortcut files read by the format reader are read up to this size.
  static constexpr uint32_t kLargestFileRead = 1 << 20;

  CXShortcut() = default;
  virtual ~CXShortcut() = default;
  CXShortcut(const CXShortcut&) = delete;
  CXShortcut& operator=(const CXShortcut&) = delete;

  // True with the target path (empty for a shortcut to something that is not
  // a file); false when the shortcut cannot be resolved, which is no error.
  bool Resolve(const std::u16string& shortcut, std::u16string* target);
};

}  // namespace orvalinth
