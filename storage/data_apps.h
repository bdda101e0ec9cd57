#pragma once
// SXSnapshotDataApps: one application item, read side (the format is in
// storage/app_items.h). The item's file record is read into `file_record`
// and the object file's into `object_file_record`; their disk fields and the
// missing marks are also kept in the base's `file` and `object_file`, so
// that the item order and the change rules of app_items.h apply as they
// stand.

#include <cstdint>

#include "storage/app_items.h"
#include "storage/data_file.h"
#include "storage/data_scan.h"

namespace orvalinth {

class SXSnapshotDataApps : public SXSnapshotDataScan, public SXSnapshotDataAppsBase {
 public:
  int32_t SectionType() const override { return 2; }
  // Reads one item at the reader's position; fields the kind does not store
  // are left empty.
  void Read(CXMemReader& reader) override;
  // Walks two item runs in step: 0 when every pair is equal under the item
  // order and unchanged and both runs end together, 1 at the first difference.
  int CompareRuns(CXMemReader& a, CXMemReader& b, SXScanContext& context) override;
  // The item order (CompareAppItems).
  int Order(const SXSnapshotDataScan& other) const override;
  // 1 when `other` has changed (AppItemsDiffer).
  int Differs(const SXSnapshotDataScan& other) const override;

  SXSnapshotDataFile file_record;
  SXSnapshotDataFile object_file_record;
};

}  // namespace orvalinth
