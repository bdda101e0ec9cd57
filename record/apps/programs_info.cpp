#include "record/apps/programs_info.h"

#include <algorithm>
#include <memory>

#include "base/strings.h"
#include "platform/environment.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/known_folders.h"
#include "platform/registry.h"
#include "record/apps/shell_folder.h"
#include "record/apps/shortcut.h"
#include "record/command_path.h"
#include "storage/exe_version.h"
#include "storage/node_table.h"
#include "storage/serialized_access.h"

namespace orvalinth {
namespace {

SXUninstallEntry FoundProgram(const std::u16string& path) {
  SXUninstallEntry found;
  found.path = path;
  const size_t slash = path.rfind(u'\\');
  found.folder = slash == std::u16string::npos ? std::u16string() : path.substr(0, slash + 1);
  return found;
}

// The file name part of a path: after the last "\", or else the last "/".
std::u16string FileNameOf(const std::u16string& path) {
  size_t slash = path.rfind(u'\\');
  if (slash == std::u16string::npos) slash = path.rfind(u'/');
  return slash == std::u16string::npos ? path : path.substr(slash + 1);
}

// Sorted by path, one program per path (A-Z case ignored).
void KeepOnePerPath(std::vector<SXUninstallEntry>* found) {
  std::stable_sort(found->begin(), found->end(), [](const SXUninstallEntry& a, const SXUninstallEntry& b) {
    return CompareNames(a.path, b.path) < 0;
  });
  found->erase(std::unique(found->begin(), found->end(),
                           [](const SXUninstallEntry& a, const SXUninstallEntry& b) {
                             return EqualsFolded(a.path, b.path);
                           }),
               found->end());
}

}  // namespace

void CXProgramsInfo::Run(SXAppsScanContext& context) {
  ReadUninstallEntries(platform::RegistryRoot::kLocalMachine, &entries_);
  ReadUninstallEntries(platform::RegistryRoot::kCurrentUser, &entries_);
  GroupEntries(&entries_);
  SortEntries(&entries_);

  SXAppCategory& programs = context.category(kAppPrograms);
  const int32_t installed = WriteInstalled(programs.payload);
  const int32_t components = WriteComponents(programs.payload);
  const int32_t found_nodes = WriteFound(context);
  KeepOnePerPath(&all_found_);
  const int32_t all_found = FoundRun(std::move(all_found_), kAppItemExecutable, false, context);
  all_found_.clear();

  CXNodeTable root;
  root.Append(u"Installed Programs", 0)->content_offset = installed;
  root.Append(u"Installed Components", 0)->child_offset = components;
  SXNodeRecord* found = root.Append(u"Programs Found", 0);
  found->child_offset = found_nodes;
  found->content_offset = all_found;
  programs.child_offset = root.Flush(programs.payload, false);
  programs.items_offset = 0;
}

void CXProgramsInfo::AddInstalled(const SXUninstallEntry& entry) {
  SXSnapshotDataAppsBase* item = items_.NewItem();
  item->kind = kAppItemInstalled;
  item->name = entry.name;
  item->path = entry.folder;
  item->version = entry.version;
  item->publisher = entry.publisher;
  item->uninstall = entry.uninstall;
  item->install_date = entry.install_date;
  item->group = entry.group;
}

int32_t CXProgramsInfo::WriteInstalled(CXMemWriter& payload) {
  for (const SXUninstallEntry& entry : entries_) {
    if (entry.status == kEntryVisible || entry.status == kEntryVisibleParent) AddInstalled(entry);
  }
  return items_.Flush(payload, true);
}

int32_t CXProgramsInfo::WriteComponents(CXMemWriter& payload) {
  const std::vector<std::u16string> groups = GroupNames(entries_);
  std::vector<int32_t> runs;
  for (const std::u16string& group : groups) {
    for (const SXUninstallEntry& entry : entries_) {
      if (EqualsFolded(entry.group, group)) AddInstalled(entry);
    }
    runs.push_back(items_.Flush(payload, false));
  }
  for (const SXUninstallEntry& entry : entries_) {
    if (entry.status == kEntryComponent && entry.group.empty()) AddInstalled(entry);
  }
  const int32_t unknown = items_.Flush(payload, false);
  CXNodeTable table;
  for (size_t i = 0; i < groups.size(); ++i) table.Append(groups[i], 0)->content_offset = runs[i];
  table.Append(u"Unknown", 0)->content_offset = unknown;
  return table.Flush(payload, true);
}

int32_t CXProgramsInfo::WriteFound(SXAppsScanContext& context) {
  CXMemWriter& payload = context.category(kAppPrograms).payload;
  const int32_t desktop = SearchRun({platform::kFolderDesktop, platform::kFolderCommonDesktop}, false, context);
  const int32_t start_menu = SearchRun({platform::kFolderStartMenu, platform::kFolderCommonStartMenu}, false, context);
  const int32_t programs = SearchRun({platform::kFolderPrograms, platform::kFolderCommonPrograms}, true, context);
  CXNodeTable below_start;
  below_start.Append(u"Programs", 0)->content_offset = programs;
  const int32_t start_menu_children = below_start.Flush(payload, false);
  const int32_t windows = SearchRun({platform::kFolderWindows}, false, context);
  const int32_t system = SearchRun({platform::kFolderSystem}, false, context);
  CXNodeTable below_windows;
  below_windows.Append(u"System", 0)->content_offset = system;
  const int32_t windows_children = below_windows.Flush(payload, false);

  // The search path: the Windows and System folders have been searched.
  const std::u16string windows_folder = ShellFolderPath(platform::kFolderWindows);
  const std::u16string system_folder = ShellFolderPath(platform::kFolderSystem);
  std::u16string path;
  platform::Environment::Get().Variable(u"PATH", &path);
  const std::vector<std::u16string> pieces = PathPieces(path);
  std::vector<int32_t> piece_runs;
  for (const std::u16string& piece : pieces) {
    if (piece.empty()) {
      piece_runs.push_back(0);
    } else if (piece == windows_folder) {
      piece_runs.push_back(windows);
    } else if (piece == system_folder) {
      piece_runs.push_back(system);
    } else {
      std::vector<SXUninstallEntry> found;
      FindPrograms(piece, false, &found);
      piece_runs.push_back(FoundRun(std::move(found), kAppItemExecutable, true, context));
    }
  }
  CXNodeTable search_paths;
  for (size_t i = 0; i < pieces.size(); ++i) search_paths.Append(pieces[i], 0)->content_offset = piece_runs[i];
  const int32_t search_children = search_paths.Flush(payload, true);

  std::vector<SXUninstallEntry> registered;
  ReadAppPaths(&registered);
  const int32_t app_paths = FoundRun(std::move(registered), kAppItemRegistered, true, context);

  CXNodeTable nodes;
  nodes.Append(u"Desktop", 0)->content_offset = desktop;
  SXNodeRecord* node = nodes.Append(u"Start Menu", 0);
  node->content_offset = start_menu;
  node->child_offset = start_menu_children;
  node = nodes.Append(u"Windows", 0);
  node->content_offset = windows;
  node->child_offset = windows_children;
  nodes.Append(u"Search Paths", 0)->child_offset = search_children;
  nodes.Append(u"App Paths", 0)->content_offset = app_paths;
  return nodes.Flush(payload, false);
}

int32_t CXProgramsInfo::SearchRun(std::initializer_list<int> folders, bool subfolders, SXAppsScanContext& context) {
  std::vector<SXUninstallEntry> found;
  for (int csidl : folders) FindPrograms(ShellFolderPath(csidl), subfolders, &found);
  return FoundRun(std::move(found), kAppItemExecutable, true, context);
}

int32_t CXProgramsInfo::FoundRun(std::vector<SXUninstallEntry> found, uint8_t kind, bool count,
                                 SXAppsScanContext& context) {
  KeepOnePerPath(&found);
  for (const SXUninstallEntry& program : found) {
    SXSnapshotDataAppsBase* item = items_.NewItem();
    item->kind = kind;
    item->source = kAppSourceFound;
    item->path = program.path;
    if (kind == kAppItemRegistered) item->registered_name = program.registered_name;
    SXExeVersion version;
    context.LookUpFile(program.path, &item->file, &version);
    item->name = !version.product_name.empty() ? version.product_name : FileNameOf(program.path);
  }
  if (count && !found.empty()) context.entries->Add(static_cast<int32_t>(found.size()));
  if (count) all_found_.insert(all_found_.end(), found.begin(), found.end());
  return items_.Flush(context.category(kAppPrograms).payload, true);
}

void CXProgramsInfo::FindPrograms(const std::u16string& folder, bool subfolders, std::vector<SXUninstallEntry>* found) {
  if (folder.empty()) return;
  // Folders still to search; a deep tree takes room here, not on the stack.
  std::vector<std::u16string> pending{folder};
  while (!pending.empty()) {
    const std::u16string at = std::move(pending.back());
    pending.pop_back();
    platform::FindData entry;
    std::unique_ptr<platform::FindHandle> search = platform::FileSystem::Get().FindFirst(at + u"*.*", &entry);
    if (search == nullptr) continue;
    do {
      if ((entry.attributes & platform::kAttrDirectory) != 0) {
        // A junction or a folder link may lead back up the tree: not entered.
        if (subfolders && entry.name != u"." && entry.name != u".." &&
            (entry.attributes & platform::kAttrReparsePoint) == 0) {
          pending.push_back(at + entry.name + u'\\');
        }
        continue;
      }
      if (EndsWithFolded(entry.name, u".exe")) {
        found->push_back(FoundProgram(at + entry.name));
      } else if (EndsWithFolded(entry.name, u".lnk")) {
        std::u16string target, path;
        CXShortcut shortcut;
        if (shortcut.Resolve(at + entry.name, &target) && EndsWithFolded(target, u".exe") &&
            ResolveCommandPath(target, &path) == 1 && PassesUninstallerFilter(path)) {
          found->push_back(FoundProgram(path));
        }
      }
    } while (search->Next(&entry));
  }
}

std::vector<std::u16string> CXProgramsInfo::PathPieces(const std::u16string& path) {
  std::vector<std::u16string> pieces;
  if (path.empty()) return pieces;
  size_t start = 0;
  for (;;) {
    const size_t semicolon = path.find(u';', start);
    std::u16string piece = path.substr(start, semicolon == std::u16string::npos ? semicolon : semicolon - start);
    if (!piece.empty() && piece.back() != u'\\' && piece.back() != u'/') piece += u'\\';
    pieces.push_back(std::move(piece));
    if (semicolon == std::u16string::npos) break;
    start = semicolon + 1;
  }
  return pieces;
}

void CXProgramsInfo::ReadAppPaths(std::vector<SXUninstallEntry>* found) {
  std::unique_ptr<platform::RegistryKey> app_paths;
  if (platform::Registry::Get().OpenKey(platform::RegistryRoot::kLocalMachine, kAppPathsKey, platform::kRegOptionNone,
                                          platform::kRegRead, &app_paths) != platform::kErrorSuccess) {
    return;
  }
  std::u16string name;
  for (uint32_t index = 0;; ++index) {
    const uint32_t result = app_paths->EnumKey(index, &name, kUninstallNameRoom);
    if (result == platform::kErrorMoreData) continue;
    if (result != platform::kErrorSuccess) break;
    std::unique_ptr<platform::RegistryKey> key;
    if (app_paths->OpenSubKey(name, platform::kRegOptionNone, platform::kRegRead, &key) != platform::kErrorSuccess) {
      continue;
    }
    uint32_t type = 0;
    std::string data;
    if (key->QueryValue(u"", &type, &data) != platform::kErrorSuccess) continue;
    std::u16string path;
    ResolveCommandPath(UninstallText(type, data), &path);
    if (!EndsWithFolded(path, u".exe")) continue;
    SXUninstallEntry program = FoundProgram(path);
    program.registered_name = name;
    found->push_back(std::move(program));
  }
}

}  // namespace orvalinth
