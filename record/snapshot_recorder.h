#pragma once
// CXSnapshotRecorder: the writer of one snapshot and the scan jobs that fill
// it. Its error chain receives the writer's and the file's messages. The jobs
// run at the same time, each on its own thread, and store their sections
// through the one writer whenever they finish one.
//
// The applications job (CXAppsScan, record/apps/apps_scan.h) is made by
// MakeApplicationsJob, only for a request that asks for the applications;
// otherwise its job counter stays -1.

#include <cstdint>
#include <memory>
#include <vector>

#include "base/error.h"
#include "record/file_scan.h"
#include "record/reg_scan.h"
#include "record/scan_thread.h"
#include "storage/snapshot_writer.h"

namespace orvalinth {

class CXScanRequest;

class CXSnapshotRecorder : public CXError {
 public:
  CXSnapshotRecorder();
  ~CXSnapshotRecorder() override;

  CXSnapshotWriter& writer() { return writer_; }
  // The waiting stop's polls for every job (tests shorten them).
  void set_stop_wait(int polls, uint32_t poll_ms);

 protected:
  // Starts the registry, file system and applications jobs of `request`, in
  // this order, each only when the request asks for it; makes each kind's
  // exclusion set first. A job whose thread cannot start is counted out
  // again and its kind stays missing from the snapshot.
  void StartJobs(CXScanRequest& request, bool (*has_version_info_extension)(const std::u16string& name));
  // The total of running jobs.
  int32_t RunningJobs() { return writer_.running_jobs().Get(); }
  // Requests a stop of every job without waiting, then stops each again,
  // waiting (see CXScanThread::StopJob); the file system jobs are destroyed.
  void StopJobs();
  // Joins the ended jobs' threads and destroys the file system jobs.
  void DestroyEndedJobs();

  // The applications job for `request`, or null when none runs (tests put
  // their own jobs in here).
  virtual std::unique_ptr<CXScanThread> MakeApplicationsJob(const CXScanRequest& request);

 private:
  CXSnapshotWriter writer_;
  CXRegScan registry_scan_;
  std::vector<std::unique_ptr<CXFileScan>> file_scans_;
  std::unique_ptr<CXScanThread> applications_scan_;
  int stop_polls_ = CXScanThread::kStopPolls;
  uint32_t stop_poll_ms_ = CXScanThread::kStopPollMs;
};

}  // namespace orvalinth
