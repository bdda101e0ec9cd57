#include "storage/snapshot_writer.h"

#include <chrono>

#include "platform/clock.h"

namespace orvalinth {

CXSnapshotWriter::CXSnapshotWriter() { ResetCounters(); }

void CXSnapshotWriter::ResetCounters() {
  running_.Set(0);
  for (int32_t k = 0; k < kSectionKinds; ++k) {
    progress_[k][0].Set(0);
    progress_[k][1].Set(0);
    jobs_[k].Set(-1);
  }
}

int CXSnapshotWriter::CreateSnapshot(const std::u16string& path, const std::string& title,
                                     const SXInfoRequest& request) {
  ResetCounters();
  start_ms_ = platform::MonotonicMs();
  return CXSnapshotIO::CreateSnapshot(path, title, request);
}

void CXSnapshotWriter::CountJob(int32_t delta) {
  const int32_t now = running_.Add(delta);
  if (now != 0) return;
  std::lock_guard<std::mutex> guard(jobs_lock_);
  jobs_ended_.notify_all();
}

int32_t CXSnapshotWriter::WaitForJobs(uint32_t timeout_ms) {
  std::unique_lock<std::mutex> guard(jobs_lock_);
  jobs_ended_.wait_for(guard, std::chrono::milliseconds(timeout_ms), [this] { return running_.Get() == 0; });
  return running_.Get();
}

SXRecordingCounters CXSnapshotWriter::ReadCounters() {
  SXRecordingCounters counters;
  for (int32_t k = 0; k < kSectionKinds; ++k) {
    counters.progress[k][0] = progress_[k][0].Get();
    counters.progress[k][1] = progress_[k][1].Get();
  }
  // A monotonic clock: a change of the wall clock during a recording must not
  // show up as its length.
  counters.elapsed_seconds = (platform::MonotonicMs() - start_ms_) / 1000;
  return counters;
}

uint32_t CXSnapshotWriter::FinishSnapshot(int32_t number, const SXMachineDescription& machine) {
  return CXSnapshotIO::FinishSnapshot(number, ReadCounters(), machine);
}

}  // namespace orvalinth
