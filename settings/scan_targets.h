#pragma once
// SXScanTargets: what one snapshot records. The three lists name registry
// keys, folders and application categories; a list holding only "*" stands
// for all of them. Full scan records everything whatever the lists say.

#include <cstdint>
#include <string>
#include <vector>

namespace orvalinth {

struct SXScanTargets {
  std::vector<std::u16string> registry;
  std::vector<std::u16string> files;
  std::vector<std::u16string> applications;
  int32_t full_scan = 1;
  int32_t show_removable_disks = 0;
  int32_t add_version_info = 0;

  bool operator==(const SXScanTargets& other) const {
    return registry == other.registry && files == other.files && applications == other.applications &&
           full_scan == other.full_scan && show_removable_disks == other.show_removable_disks &&
           add_version_info == other.add_version_info;
  }
  bool operator!=(const SXScanTargets& other) const { return !(*this == other); }
};

// The short text the console shows for the targets:
//   full scan:  "full", plus "+ver" with version information;
//   otherwise:  the files, then the registry keys, then the applications,
//               each as "all <word>" (the list is only "*") or "<word> part.",
//               joined with ", ", empty lists left out; "+ver" right after
//               the files part when version information is on.
// Examples: "files part.+ver, all regs", "full+ver", "" (nothing chosen).
std::string ScanTargetsText(const SXScanTargets& targets);

}  // namespace orvalinth
