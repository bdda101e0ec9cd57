#pragma once
// One collector of the applications scan run as the job runs it: on a job
// thread of a recording (so that its stop checks and the version table are
// real), with COM, into eight fresh categories. A category's item run is
// read back with the strict reader.

#include <memory>
#include <string>
#include <vector>

#include "record/apps/apps_scan.h"
#include "record/record_support.h"
#include "storage/reader/snapshot_reader_model.h"

namespace orvalinth::test {

class CollectorRun {
 public:
  CollectorRun();
  ~CollectorRun();

  // Runs `collector` to its end; false when the recording could not begin
  // or the job did not end within a minute.
  bool Run(CXAppsCollector& collector);
  // Asks the running job to stop (from inside the collector's run).
  void RequestStop();

  const SXAppCategory& category(int which) const { return categories_[which]; }
  // The items of the category's run (offset B), read back; empty for none.
  // A read fault fails the calling test.
  std::vector<SXReadItem> Items(int which);
  // The category as its section would hold it (its payload with the root
  // node table appended), read back as a tree; its root node.
  SXReadNode Tree(int which);
  // The first progress counter of the applications.
  int32_t entries() { return recording_.writer().progress(kScanApps, 0).Get(); }
  CXSnapshotWriter& writer() { return recording_.writer(); }

 private:
  class Job;
  JobRecording recording_;
  std::unique_ptr<Job> job_;
  SXAppCategory categories_[kAppCategoryCount];
};

}  // namespace orvalinth::test
