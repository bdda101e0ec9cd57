#pragma once
// CXProgramsInfo: the collector of "Programs", the installed programs of the
// system's list (record/apps/uninstall_entries.h) and the programs found
// where programs live. Offset B of the category is 0; offset A is its root
// node table:
//   "Installed Programs"    kind-4 items of the visible entries (1 and 2), sorted
//   "Installed Components"  one node per group (uninstall_entries.h) with the
//                           entries of that group (any letter case), and
//                           "Unknown" with the components of no group; their
//                           runs in entry order, the nodes sorted by name
//   "Programs Found"        every program found below, once, kind 1, sorted;
//                           its nodes, in this order:
//     "Desktop"      the user's and the common desktop (CSIDL 0, 25)
//     "Start Menu"   the user's and the common start menu (11, 22), and its
//                    node "Programs": the user's and the common programs
//                    folders (2, 23) with all their subfolders
//     "Windows"      the Windows folder (36), and its node "System" (37)
//     "Search Paths" one node per piece of PATH (split at ";", a final "\"
//                    added), sorted by name: the piece that is the Windows
//                    or the System folder (exactly as the shell spells it)
//                    shares that node's run, an empty piece has no items,
//                    any other is searched
//     "App Paths"    kind-5 items: every subkey of App Paths below
//                    HKEY_LOCAL_MACHINE whose default value resolves to an
//                    ".exe", registered under the subkey's name
// Only the "Programs" search enters subfolders, never a reparse point.
//
// In a folder, a program is an ".exe" file, or an ".lnk" whose target ends
// in ".exe" and resolves (ResolveCommandPath) to a path that passes the
// uninstaller filter. Each node's programs are sorted by path and kept once
// per path (A-Z case ignored); each is an item of source 10 with the file
// record of its path (version information included), named after the file's
// "ProductName", else its file name. The first progress counter counts the
// items of every node's run.

#include <string>
#include <vector>

#include "record/apps/app_item_list.h"
#include "record/apps/apps_scan.h"
#include "record/apps/uninstall_entries.h"

namespace orvalinth {

class CXProgramsInfo final : public CXAppsCollector {
 public:
  static constexpr char16_t kAppPathsKey[] = u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths";

  CXProgramsInfo() = default;
  ~CXProgramsInfo() override = default;

  void Run(SXAppsScanContext& context) override;

  // Appends the programs of `folder` (ending in "\"; empty finds nothing),
  // and of all its subfolders when `subfolders`.
  static void FindPrograms(const std::u16string& folder, bool subfolders, std::vector<SXUninstallEntry>* found);
  // The pieces of a PATH text, each with a final "\" unless empty or ending
  // in "\" or "/".
  static std::vector<std::u16string> PathPieces(const std::u16string& path);

 private:
  int32_t WriteInstalled(CXMemWriter& payload);
  int32_t WriteComponents(CXMemWriter& payload);
  int32_t WriteFound(SXAppsScanContext& context);
  // The programs of `folders` as one run.
  int32_t SearchRun(std::initializer_list<int> folders, bool subfolders, SXAppsScanContext& context);
  // Writes `found` as one sorted run of `kind` items, one per path, and moves
  // the programs to the list of every program found.
  int32_t FoundRun(std::vector<SXUninstallEntry> found, uint8_t kind, bool count, SXAppsScanContext& context);
  void ReadAppPaths(std::vector<SXUninstallEntry>* found);
  void AddInstalled(const SXUninstallEntry& entry);

  std::vector<SXUninstallEntry> entries_;
  std::vector<SXUninstallEntry> all_found_;
  CXAppItemList items_;
};

}  // namespace orvalinth
