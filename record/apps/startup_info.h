#pragma once
// CXStartupInfo: the collector of "Startup", every program that Windows
// starts by itself through the registry's Run keys or the startup folders.
//
// The registry locations, in this order, are the pieces (split at "|") of
// three texts: kMachineRunKeys and kMachine32RunKeys below
// HKEY_LOCAL_MACHINE, kUserRunKeys below HKEY_CURRENT_USER (the account the
// service runs as). Of each key every value of type REG_SZ or REG_EXPAND_SZ
// (not expanded) is an entry named after the value, its data up to its
// stored length or its first zero unit being the command; other types are
// left out. Then the startup folders, the user's (CSIDL 7) and the common
// one (CSIDL 24): every file but "desktop.ini" (any letter case) is an entry
// named after the file, whose command is its path; shortcuts are resolved to
// their targets by the command-line path resolver.
//
// Every entry becomes an item of kind 1, source 2: the path and arguments
// that ResolveCommandPath derives from the command (the command itself when
// it names no file, whose file record is then marked missing), and the file
// record with version information. Items from all locations form one run,
// sorted, offset B of "Startup"; the first progress counter counts them.
// Missing or unreadable keys and folders contribute nothing. The phase has
// no stop check of its own.

#include <string>
#include <vector>

#include "platform/registry.h"
#include "record/apps/app_item_list.h"
#include "record/apps/apps_scan.h"

namespace orvalinth {

class CXStartupInfo final : public CXAppsCollector {
 public:
  static const char16_t kMachineRunKeys[];
  static const char16_t kMachine32RunKeys[];
  static const char16_t kUserRunKeys[];

  struct SXLocation {
    platform::RegistryRoot root;
    std::u16string subkey;
  };

  CXStartupInfo();
  ~CXStartupInfo() override = default;

  void Run(SXAppsScanContext& context) override;

  const std::vector<SXLocation>& locations() const { return locations_; }

 private:
  void AddLocations(platform::RegistryRoot root, const char16_t* keys);
  void ReadLocation(const SXLocation& location, SXAppsScanContext& context);
  void ReadFolder(const std::u16string& folder, SXAppsScanContext& context);
  void AddEntry(const std::u16string& name, const std::u16string& command, SXAppsScanContext& context);

  std::vector<SXLocation> locations_;
  CXAppItemList items_;
  // The work buffer of value names and data, reused for every value.
  std::u16string value_name_;
  std::string value_data_;
};

}  // namespace orvalinth
