#pragma once
// Paths that the ordinary Windows path rules would misread, and the
// extended-length form ("\\?\") that the file-system calls take them in.
//
// Windows normalises a path before it opens anything: it refuses paths of
// MAX_PATH (260) units or more, drops a trailing "." or " " of a component
// (so the folder "name." opens "name"), and takes a reserved device name
// ("CON", "NUL", "COM1", also with an extension: "nul.txt") as that device.
// A folder scan meets all of these as names inside folders. The form
// "\\?\C:\..." passes the path to the file system unchanged, so such names
// open as what the folder listed. The form is used only where a path needs
// it; what the system records and shows is always the path as given.
//
// Pure text rules, shared by both backends and tested on both.

#include <string>

namespace orvalinth::platform {

// The longest path a Windows file-system call takes, in units (the limit of
// the "\\?\" form). Both backends refuse longer paths at once with
// kErrorFilenameTooLong (206), the error Windows gives for them.
inline constexpr size_t kMaxPathUnits = 32767;

// Paths of this many units or more need the extended form (the limit of
// CreateDirectoryW: MAX_PATH less room for an 8.3 name).
inline constexpr size_t kExtendedFromUnits = 248;

// Whether `path` is too long for any Windows call.
inline bool PathTooLong(const std::u16string& path) { return path.size() > kMaxPathUnits; }

// Whether `name` (one path component) is a reserved device name: CON, PRN,
// AUX, NUL, COM0-COM9, LPT0-LPT9, CONIN$, CONOUT$, A-Z folded, alone or
// followed by an extension or by spaces ("con.txt", "NUL ").
bool IsReservedDeviceName(const std::u16string& name, size_t begin, size_t end);

// `path` in the form for the file-system calls. An absolute path ("C:\...",
// "\\server\share\...") of kExtendedFromUnits or more, or with a component
// that ends with "." or " " or is a reserved device name, becomes
// "\\?\C:\..." or "\\?\UNC\server\share\...": "/" becomes "\", repeated
// separators and "." components go, ".." takes the component before it away
// (never the drive or share), a final "\" stays. Every other path (already
// "\\?\" or "\\.\", relative, ordinary) is returned unchanged. Linear in the
// length of the path.
std::u16string ExtendedLengthPath(const std::u16string& path);

}  // namespace orvalinth::platform
