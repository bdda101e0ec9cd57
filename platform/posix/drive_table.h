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

// Windows path to host path by the rule above (no case resolution).
std::string ToHostPath(const std::u16string& windows_path);
// Host path to Windows path.
std::u16string FromHostPath(const std::string& host_path);
// ToHostPath, then every component that does not exist as written replaced by
// an entry of its folder equal to it with A-Z folded, when there is one.
std::string ResolveHostPath(const std::u16string& windows_path);

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
