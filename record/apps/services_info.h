#pragma once
// CXServicesInfo: the collector of "Services" and "Drivers", every service
// and driver the service control manager knows, in any state.
//
// The manager is opened for reading and its list of every type (0x13F) and
// state read once into a buffer of the size it asks for; no manager or no
// list: both categories stay empty. Each entry, in the manager's order,
// becomes an item: a driver (kind 2) when its type has neither the own-process
// (0x10) nor the share-process (0x20) bit, else a service (kind 3), named
// after its display name, with its current state and source 5 until its
// configuration is read:
//  - the service is opened for reading (not opened: the item stays so);
//  - its configuration is queried into the phase's one work buffer (8,192
//    bytes at first, afterwards as large as it has grown); when the buffer is
//    too small it grows to the size asked for and the query is made once
//    more; any other failure, or a second one, leaves the item as it is
//    (source 5, no description, a file record not marked missing);
//  - the image path runs through ResolveCommandPath: resolved, path and
//    arguments are the resolver's and the file is looked up with version
//    information; not resolved, the path is the configured text, unchanged,
//    and the file is marked missing. An empty image path marks a service's
//    file missing; a driver's is looked for as "<display name>.sys" and,
//    when that fails and the service name differs from the display name (A-Z
//    case ignored), as "<service name>.sys";
//  - the source becomes the start type (0 boot ... 4 disabled);
//  - the description is queried the same way (same buffer, same one retry)
//    and kept when there is one;
//  - the service handle is closed.
// A stop requested while the entries are read ends the loop; the items made
// so far are still written. Each list is written as one run, sorted, offset
// B of its category; the first progress counter counts every entry read.

#include <cstdint>
#include <string>
#include <vector>

#include "record/apps/app_item_list.h"
#include "record/apps/apps_scan.h"

namespace orvalinth {

namespace platform {
class Service;
}  // namespace platform

class CXServicesInfo final : public CXAppsCollector {
 public:
  // The work buffer's size at its first use.
  static constexpr uint32_t kFirstBufferSize = 8192;

  CXServicesInfo() = default;
  ~CXServicesInfo() override = default;

  void Run(SXAppsScanContext& context) override;

  // The work buffer's size now (it only grows).
  uint32_t buffer_size() const { return static_cast<uint32_t>(buffer_.size() * sizeof(uint64_t)); }

 private:
  // Reads the configuration and description of `name` into `item`.
  void ReadConfiguration(platform::Service& service, const std::u16string& name, SXSnapshotDataAppsBase* item,
                         SXAppsScanContext& context);
  // Resolves `command` into the item; false when it names no file.
  static bool Resolve(const std::u16string& command, SXSnapshotDataAppsBase* item, SXAppsScanContext& context);

  // The work buffer of every configuration and description query, in words
  // so that the system's records in it are aligned.
  std::vector<uint64_t> buffer_;
  CXAppItemList services_;
  CXAppItemList drivers_;
};

}  // namespace orvalinth
