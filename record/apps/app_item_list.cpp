#include "record/apps/app_item_list.h"

#include <algorithm>

#include "storage/mem_writer.h"

namespace orvalinth {

SXSnapshotDataAppsBase* CXAppItemList::NewItem() {
  if (items_.size() == items_.capacity()) items_.reserve(items_.capacity() + kGrowth);
  items_.push_back(std::make_unique<SXSnapshotDataAppsBase>());
  return items_.back().get();
}

int32_t CXAppItemList::Flush(CXMemWriter& payload, bool sort) {
  if (items_.empty()) return 0;
  if (sort) {
    // Stable, so that a run of mixed kinds (whose third keys differ) cannot
    // lead the sort astray, and equal items keep the order they were made in.
    std::stable_sort(items_.begin(), items_.end(),
              [](const std::unique_ptr<SXSnapshotDataAppsBase>& a, const std::unique_ptr<SXSnapshotDataAppsBase>& b) {
                return CompareAppItems(*a, *b) < 0;
              });
  }
  const int32_t offset = payload.position();
  for (size_t i = 0; i < items_.size(); ++i) WriteAppItem(payload, *items_[i], i + 1 == items_.size());
  items_.clear();
  return offset;
}

}  // namespace orvalinth
