#pragma once
// Shell shortcut files (".lnk"): what the system says they point to.
//
// The win32 backend asks the Windows Installer (msi.dll, loaded when first
// needed) and the shell's link object; the link object needs COM on the
// calling thread (see platform/com_apartment.h). The POSIX backend has
// neither: the installer knows no shortcut, HasLinkObject is false, and
// LinkTarget fails with kErrorNotSupported, so that callers read the file's
// format themselves.

#include <string>

#include "platform/facility.h"

namespace orvalinth::platform {

class ShellLinks : public Facility<ShellLinks> {
 public:
  virtual ~ShellLinks() = default;
  // The installed file of the component behind an installer-advertised
  // shortcut; false with the installer's error (1627 for a shortcut it does
  // not know) when there is none.
  virtual bool InstallerTarget(const std::u16string& shortcut, std::u16string* target) = 0;
  // The target path the shell link object gives for the shortcut file (UNC
  // form preferred, at most 259 units), empty for a link to something that
  // is not a file; false with the error code when the file cannot be loaded
  // as a link.
  virtual bool LinkTarget(const std::u16string& shortcut, std::u16string* target) = 0;
  // Whether the system has a shell link object at all; where it has one, a
  // shortcut it cannot load stays unresolved, whatever its error.
  virtual bool HasLinkObject() = 0;
};

template <>
ShellLinks& Facility<ShellLinks>::Real();

}  // namespace orvalinth::platform
