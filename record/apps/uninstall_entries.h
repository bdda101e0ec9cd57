#pragma once
// SXUninstallEntry: one subkey of an Uninstall key, what the system's list of
// installed programs shows, and the rules that turn the subkeys into
// programs, components and groups. The same record, with only name, path,
// folder and registered name used, is a program found on disk.
//
// Reading. The subkeys of "SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall"
// below HKEY_LOCAL_MACHINE, then below HKEY_CURRENT_USER (this process's
// registry view), names read into a 1,024-unit buffer; a subkey that cannot
// be opened or whose name does not fit is left out. Texts come only from
// REG_SZ and REG_EXPAND_SZ values (not expanded) of at most 2,046 bytes, up
// to their first zero unit; anything else reads as empty.
//   name       "DisplayName", else the key's default value, else the subkey name
//   uninstall  "UninstallString", else "QuietUninstallString"
//   folder     "InstallLocation" without surrounding double quotes, a "~"
//              name in its long form, with a final "\" when not empty
//   date       "InstallDate" when it is eight digits, else the UTC date of the
//              subkey's last write ("YYYYMMDD"), else as read
// An entry is visible (1) when it has a "DisplayName", its "SystemComponent"
// (a REG_DWORD; 0xFFFFFFFF counts as 0) is 0 and it names no parent
// ("ParentDisplayName", "ParentKeyName"); hidden (0) otherwise.
//
// Grouping (GroupEntries), over the hidden entries in reading order:
//  1. a "ParentKeyName" that is the key name of an entry (case-sensitive, the
//     first such): a component (4) of the parent's group, the parent's name;
//     the parent's group becomes its own name and it becomes a parent
//     (0 and 4 -> 3, 1 -> 2);
//  2. else a "ParentDisplayName": a component of that group;
//  3. else a component; when the key name is "{...}." followed by more, the
//     braced part is looked up as in 1 (group and parent marked the same
//     way); then a non-empty publisher replaces the group.

#include <cstdint>
#include <string>
#include <vector>

#include "platform/registry.h"

namespace orvalinth {

enum UninstallStatus : int {
  kEntryHidden = 0,
  kEntryVisible = 1,
  kEntryVisibleParent = 2,  // visible, with components
  kEntryHiddenParent = 3,   // hidden, with components
  kEntryComponent = 4,
};

struct SXUninstallEntry {
  int status = kEntryHidden;
  std::u16string name;
  std::u16string version;
  std::u16string install_date;
  std::u16string folder;  // the install folder; of a found program, the folder holding it
  std::u16string uninstall;
  std::u16string publisher;
  std::u16string group;
  std::u16string key_name;
  std::u16string parent_name;
  std::u16string parent_key;
  std::u16string path;             // found program: the executable
  std::u16string registered_name;  // found program: its App Paths name
};

inline constexpr char16_t kUninstallKey[] = u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
// Room for a subkey name, and the largest text value read, in bytes.
inline constexpr size_t kUninstallNameRoom = 1024;
inline constexpr size_t kUninstallValueRoom = 2046;

// Appends the entries of the Uninstall key below `root` in the registry's
// order; a missing key adds nothing.
void ReadUninstallEntries(platform::RegistryRoot root, std::vector<SXUninstallEntry>* entries);
// One entry from its open subkey.
SXUninstallEntry ReadUninstallEntry(platform::RegistryKey& key, const std::u16string& key_name);

// The text of a value of `type` with `data` by the rule above.
std::u16string UninstallText(uint32_t type, const std::string& data);
// The install folder of a raw "InstallLocation".
std::u16string InstallFolderOf(std::u16string raw);
// The install date of a raw "InstallDate"; `write_time` is the subkey's last
// write (a FILETIME), or 0 when it could not be read.
std::u16string InstallDateOf(const std::u16string& raw, int64_t write_time);
// "YYYYMMDD" of a FILETIME, in UTC.
std::u16string UtcDateText(int64_t filetime);

// The grouping above, then the entry order: parents (2 and 3) first, then by
// name, then by install date and version joined (A-Z case ignored).
void GroupEntries(std::vector<SXUninstallEntry>* entries);
void SortEntries(std::vector<SXUninstallEntry>* entries);
// The distinct non-empty groups of the entries, each once whatever its
// letter case, in the name order.
std::vector<std::u16string> GroupNames(const std::vector<SXUninstallEntry>& entries);

// Whether a shortcut's program is worth listing: false for a path that,
// lower-cased, holds "\unins", "install", "\unvise" or "\rundll32".
bool PassesUninstallerFilter(const std::u16string& path);

}  // namespace orvalinth
