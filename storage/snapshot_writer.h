#pragma once
// CXSnapshotWriter: the snapshot writer of one recording. It adds to
// CXSnapshotIO the recording's counters, each an integer under its own lock:
// the total of running jobs and, for each section kind (kSectionRegistry,
// kSectionFiles, kSectionApps), the first and second progress counters and the
// kind's job counter; and the recording's start time. Progress counters are
// stored in the info block:
//   registry      keys entered          values recorded
//   files         folders entered       files recorded
//   applications  entries found         distinct loaded modules
// A job counter is -1 until a job of its kind starts, then the number of
// running jobs of that kind.

#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "storage/serialized_access.h"
#include "storage/snapshot_io.h"

namespace orvalinth {

class CXSnapshotWriter : public CXSnapshotIO {
 public:
  CXSnapshotWriter();

  // Resets the counters (progress 0, job counters -1, no running job), takes
  // the start time, then creates the file as CXSnapshotIO does.
  int CreateSnapshot(const std::u16string& path, const std::string& title, const SXInfoRequest& request) override;

  // Finishes the file with the counters read now (each under its lock) and
  // the whole seconds elapsed since CreateSnapshot, and the recorder's
  // description of the machine. The file size, 0 on failure.
  uint32_t FinishSnapshot(int32_t number, const SXMachineDescription& machine);
  using CXSnapshotIO::FinishSnapshot;

  // which: 0 first counter, 1 second.
  CXSerializedAccessInt& progress(int32_t kind, int which) { return progress_[kind][which]; }
  CXSerializedAccessInt& job_counter(int32_t kind) { return jobs_[kind]; }
  CXSerializedAccessInt& running_jobs() { return running_; }
  // Counts a job into (+1) or out of (-1) the total of running jobs; the
  // last one out wakes WaitForJobs.
  void CountJob(int32_t delta);
  // Waits until no job runs, at most `timeout_ms`; the jobs running then.
  int32_t WaitForJobs(uint32_t timeout_ms);
  // The counters as the info block stores them, read now.
  SXRecordingCounters ReadCounters();

 private:
  void ResetCounters();

  CXSerializedAccessInt running_;
  std::mutex jobs_lock_;  // taken around the wait and its wake-up, so none is lost
  std::condition_variable jobs_ended_;
  int64_t start_ms_ = 0;
  CXSerializedAccessInt progress_[kSectionKinds][2];
  CXSerializedAccessInt jobs_[kSectionKinds];
};

}  // namespace orvalinth
