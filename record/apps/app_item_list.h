#pragma once
// CXAppItemList: the items of one run of an applications payload, collected
// by a collector and written, sorted, as one run. The list owns its items
// until they are written.

#include <cstdint>
#include <memory>
#include <vector>

#include "storage/app_items.h"

namespace orvalinth {

class CXMemWriter;

class CXAppItemList {
 public:
  // The list grows by this many slots at a time.
  static constexpr size_t kGrowth = 1024;

  CXAppItemList() = default;
  CXAppItemList(const CXAppItemList&) = delete;
  CXAppItemList& operator=(const CXAppItemList&) = delete;

  // A new item in its empty state (storage/app_items.h), appended; the
  // caller fills it.
  SXSnapshotDataAppsBase* NewItem();

  // Writes the items as one run at the payload's position (sorted by the item
  // order when `sort`; equal items keep their order), the last with the end
  // mark; destroys them and returns the run's offset. An empty list writes
  // nothing and returns 0.
  int32_t Flush(CXMemWriter& payload, bool sort);

  int32_t size() const { return static_cast<int32_t>(items_.size()); }
  SXSnapshotDataAppsBase* at(int32_t index) const { return items_[static_cast<size_t>(index)].get(); }

 private:
  std::vector<std::unique_ptr<SXSnapshotDataAppsBase>> items_;
};

}  // namespace orvalinth
