#pragma once
// The POSIX backend's drive table: how Windows paths map onto host paths.
//
// Rule: a path "X:rest" (drive letter in either case) maps onto the host
// folder registered for drive X followed by rest with every "\" turned into
// "/". A path that starts with "\" (no drive) is taken on drive Z. Any other
// path is relative and only has its backslashes turned. The table starts with
// drive Z: mapped onto "/" as a fixed disk (as under Wine); tests add drives
// (SetDrive) and take them away again (RemoveDrive).
//
// Going back, a host path is given the drive whose folder is its longest
// leading match (folder boundaries respected) and the rest with "/" turned
// into "\": with the default table "/opt/x" becomes "Z:\opt\x".
//
// Names are UTF-8 on the host; a host name that is not valid UTF-8 has each
// invalid byte taken as the unit of the same value.
//
// Looking a path up on the host, a component that does not exist as written is
// matched against the folder's entries without regard to A-Z case, as Windows
// file systems do (ResolveHostPath).

#include <cstdint>
#include <string>

namespace orvalinth::platform::posix {

// Maps drive `letter` onto the host folder `host_root` with `drive_type`
// (one of the kDrive* values of platform/volumes.h); replaces an earlier entry.
void SetDrive(char letter, const std::string& host_root, uint32_t drive_type);
void RemoveDrive(char letter);
// Back to the single drive Z: -> "/".
void ResetDrives();

// Bit mask of the drives in the table, and one drive's type (kDriveNoRootDir when absent).
uint32_t DriveMask();
uint32_t DriveTypeOf(char letter);

// Windows path to host path by the rule above (no case resolution). A rooted
// path is read as Windows reads it first: "." components and repeated
// separators go, and ".." takes the component before it away but never
// climbs above the drive's folder, so no path leaves its drive.
std::string ToHostPath(const std::u16string& windows_path);
// Host path to Windows path.
std::u16string FromHostPath(const std::string& host_path);
// ToHostPath, then every component that does not exist as written replaced by
// an entry of its folder equal to it with A-Z folded, when there is one. Once
// a component is found in neither form, the rest is taken as written (nothing
// can lie below a missing folder). Each component is looked up once, relative
// to its folder: linear in the length of the path, whatever its depth.
std::string ResolveHostPath(const std::u16string& windows_path);

// open(2) of a host path of any length. The kernel takes at most PATH_MAX
// bytes per call; a longer path is opened in steps of whole components, each
// shorter than that, from folder to folder. -1 with errno on failure.
int OpenHostPath(const std::string& host_path, int flags, unsigned mode = 0);

// A host path for the *at(2) calls: a short path as it is (folder AT_FDCWD),
// a longer one as its folder, opened with OpenHostPath, and its last name.
class HostPathAt {
 public:
  explicit HostPathAt(const std::string& host_path);
  ~HostPathAt();
  HostPathAt(const HostPathAt&) = delete;
  HostPathAt& operator=(const HostPathAt&) = delete;

  // False when the folder of a long path cannot be opened (errno says why).
  bool ok() const { return ok_; }
  int folder() const { return folder_; }
  const char* name() const { return name_.c_str(); }

 private:
  int folder_;
  std::string name_;
  bool ok_ = true;
};

// UTF-16 to UTF-8 (surrogate pairs combined, lone surrogates as three bytes)
// and back (invalid bytes as the unit of the same value).
std::string ToUtf8(const std::u16string& text);
std::u16string FromUtf8(const std::string& text);
// FromUtf8 of `length` bytes appended to *out (reusing its room: no
// allocation when the name fits, as in a folder search's entry).
void AppendFromUtf8(const char* text, size_t length, std::u16string* out);

// errno to the Windows error code a Windows program would see.
uint32_t ErrnoToWindowsError(int errno_value);
// Sets the thread's last error from errno (for a failure on `host_path`: a
// missing file whose folder is missing too gives kErrorPathNotFound).
void SetLastErrorFromErrno(int errno_value, const std::string& host_path = std::string());

}  // namespace orvalinth::platform::posix
