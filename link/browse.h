#pragma once
// Remote browsing: the listings with which the console's user chooses what
// to record, one level deep and built afresh for every request: the drives,
// the subfolders of a folder and the subkeys of a registry key. Files and
// values are never listed. Nothing here reports an error: what cannot be
// read lists as nothing, or as an element that cannot be opened further.
//
// A listing element is one wide string: the kind digit ("0" cannot be opened
// further, "1" has subfolders or subkeys, "2" a link), the name as the system
// gives it, and for a link " \u25BA " and the target (empty when it cannot
// be read). Elements come in the order the system enumerates them.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/registry.h"
#include "record/folder_links.h"
#include "record/registry_paths.h"

namespace orvalinth {

enum : int {
  kBrowseLeaf = 0,
  kBrowseBranch = 1,
  kBrowseLink = 2,
};

// The separator between a link's name and its target: space, U+25BA, space.
inline constexpr char16_t kLinkSeparator[] = u" \u25BA ";

// One listing element; the target is used for kBrowseLink only.
std::u16string ListingElement(int kind, const std::u16string& name, const std::u16string& target);

// ---- drives and folders ----------------------------------------------------

// Two characters per present drive, from a to z: the lower-case letter, then
// "1" for a fixed disk and "0" for any other type ("a0c1z0"); "" without drives.
std::string ListDrives();

// The subfolders matching `path` followed by "*.*": for a folder path ending
// with "\" its subfolders; for "C:\Windows" the folders of C:\ whose names
// begin with "Windows". "." and ".." are left out; a folder that is a link is
// kind 2 with its target (ResolveFolderLink, record/folder_links.h), another one kind 1 when
// HasSubfolders says so. Empty when the search cannot start. Only a path on
// a drive is searched (IsDrivePath); any other (a share "\\server\share\",
// a device "\\.\", "\\?\", a rooted or relative path) lists nothing and
// logs "get-dir refused [path]".
bool IsDrivePath(const std::u16string& path);
void ListSubfolders(const std::u16string& path, std::vector<std::u16string>* listing);

// Whether the folder `parent` + `name` (parent ending with "\") holds a
// subfolder. Entries that do not decide it (files, "." and "..") are counted:
// at the first beyond kSubfolderProbeLimit the answer is true without looking
// further. False when the folder cannot be searched.
inline constexpr int kSubfolderProbeLimit = 1000;
bool HasSubfolders(const std::u16string& parent, const std::u16string& name);

// ---- registry --------------------------------------------------------------

// The kind of the subkey `name` of `parent`: 2 when it is a link whose
// "SymbolicLinkValue" begins with "\registry\" (A-Z folded; *target is that
// native path), 1 when it has subkeys, 0 otherwise or when it cannot be opened.
int RegistryKeyKind(platform::RegistryKey& parent, const std::u16string& name, std::u16string* target);

// "\registry\machine\x" -> "HKEY_LOCAL_MACHINE\x", "\registry\user\x" ->
// "HKEY_USERS\x" (A-Z folded, the rest kept as written; the hive alone gives
// the root name alone); anything else unchanged.
std::u16string NativeToRootPath(const std::u16string& native);

// The subkeys of the key at `path` (see OpenRegistryPath), links with their
// targets in root-name form. Empty when the key cannot be opened.
void ListRegistryKeys(const std::u16string& path, std::vector<std::u16string>* listing);

// The longest subkey name taken from the registry; longer names are cut.
inline constexpr size_t kRegistryNameUnits = 1024;

}  // namespace orvalinth
