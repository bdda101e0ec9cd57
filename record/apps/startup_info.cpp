#include "record/apps/startup_info.h"

#include <memory>

#include "platform/errors.h"
#include "platform/files.h"
#include "platform/known_folders.h"
#include "record/apps/shell_folder.h"
#include "record/command_path.h"
#include "storage/serialized_access.h"
#include "base/strings.h"

namespace orvalinth {

const char16_t CXStartupInfo::kMachineRunKeys[] =
    u"Software\\Microsoft\\Windows\\CurrentVersion\\Run|"
    u"Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce|"
    u"Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce\\Setup|"
    u"Software\\Microsoft\\Windows\\CurrentVersion\\RunServices|"
    u"Software\\Microsoft\\Windows\\CurrentVersion\\RunServicesOnce|"
    u"Software\\Microsoft\\Windows\\CurrentVersion\\RunServicesOnceEx|"
    u"Software\\Microsoft\\Windows\\CurrentVersion\\policies\\Explorer\\Run";
const char16_t CXStartupInfo::kMachine32RunKeys[] = u"Software\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Run";
const char16_t CXStartupInfo::kUserRunKeys[] =
    u"Software\\Microsoft\\Windows NT\\CurrentVersion\\Windows\\Run|"
    u"Software\\Microsoft\\Windows\\CurrentVersion\\Run|"
    u"Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce|"
    u"Software\\Microsoft\\Windows\\CurrentVersion\\RunOnceEx";

CXStartupInfo::CXStartupInfo() {
  AddLocations(platform::RegistryRoot::kLocalMachine, kMachineRunKeys);
  AddLocations(platform::RegistryRoot::kLocalMachine, kMachine32RunKeys);
  AddLocations(platform::RegistryRoot::kCurrentUser, kUserRunKeys);
}

void CXStartupInfo::AddLocations(platform::RegistryRoot root, const char16_t* keys) {
  const std::u16string text = keys;
  size_t start = 0;
  for (;;) {
    const size_t bar = text.find(u'|', start);
    locations_.push_back(SXLocation{root, text.substr(start, bar == std::u16string::npos ? bar : bar - start)});
    if (bar == std::u16string::npos) break;
    start = bar + 1;
  }
}

void CXStartupInfo::Run(SXAppsScanContext& context) {
  for (const SXLocation& location : locations_) ReadLocation(location, context);
  ReadFolder(ShellFolderPath(platform::kFolderStartup), context);
  ReadFolder(ShellFolderPath(platform::kFolderCommonStartup), context);
  SXAppCategory& startup = context.category(kAppStartup);
  startup.items_offset = items_.Flush(startup.payload, true);
}

void CXStartupInfo::ReadLocation(const SXLocation& location, SXAppsScanContext& context) {
  std::unique_ptr<platform::RegistryKey> key;
  if (platform::Registry::Get().OpenKey(location.root, location.subkey, platform::kRegOptionNone,
                                          platform::kRegRead, &key) != platform::kErrorSuccess) {
    return;
  }
  platform::RegistryKey::Info info;
  if (key->QueryInfo(&info) != platform::kErrorSuccess) return;
  // The work buffer holds the longest name and data of the key, terminators
  // included, and never shrinks during the phase.
  value_name_.reserve(info.max_value_name_length + 1);
  value_data_.reserve(info.max_value_data + 2);
  uint32_t type = 0;
  for (uint32_t index = 0; key->EnumValue(index, &value_name_, &type, &value_data_) == platform::kErrorSuccess;
       ++index) {
    if (type != platform::kRegSz && type != platform::kRegExpandSz) continue;
    // The data as stored: its length in whole units, up to the first zero unit.
    AddEntry(value_name_, platform::RegDataText(value_data_), context);
  }
}

void CXStartupInfo::ReadFolder(const std::u16string& folder, SXAppsScanContext& context) {
  if (folder.empty()) return;
  platform::FindData entry;
  std::unique_ptr<platform::FindHandle> search = platform::FileSystem::Get().FindFirst(folder + u"*.*", &entry);
  if (search == nullptr) return;
  do {
    if ((entry.attributes & platform::kAttrDirectory) != 0 || EqualsFolded(entry.name, u"desktop.ini")) continue;
    AddEntry(entry.name, folder + entry.name, context);
  } while (search->Next(&entry));
}

void CXStartupInfo::AddEntry(const std::u16string& name, const std::u16string& command, SXAppsScanContext& context) {
  SXSnapshotDataAppsBase* item = items_.NewItem();
  item->kind = kAppItemExecutable;
  item->source = kAppSourceStartup;
  item->name = name;
  ResolveCommandPath(command, &item->path, &item->arguments);
  context.LookUpFile(item->path, &item->file);
  context.entries->Add(1);
}

}  // namespace orvalinth
