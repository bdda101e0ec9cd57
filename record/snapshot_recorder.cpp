#include "record/snapshot_recorder.h"

#include "record/apps/apps_scan.h"
#include "record/scan_request.h"

namespace orvalinth {

CXSnapshotRecorder::CXSnapshotRecorder() : registry_scan_(writer_) {
  file_scans_.reserve(8);
  // The writer's messages (and through it the file's) land in this chain.
  writer_.SetParent(this, true);
}

CXSnapshotRecorder::~CXSnapshotRecorder() { StopJobs(); }

void CXSnapshotRecorder::set_stop_wait(int polls, uint32_t poll_ms) {
  stop_polls_ = polls;
  stop_poll_ms_ = poll_ms;
  registry_scan_.set_stop_wait(polls, poll_ms);
  for (auto& job : file_scans_) job->set_stop_wait(polls, poll_ms);
  if (applications_scan_ != nullptr) applications_scan_->set_stop_wait(polls, poll_ms);
}

void CXSnapshotRecorder::StartJobs(CXScanRequest& request,
                                   bool (*has_version_info_extension)(const std::u16string& name)) {
  request.MakeExclusionSet(kScanRegistry);
  std::vector<std::u16string> registry_roots = CXRegScan::JobRoots(request);
  if (!registry_roots.empty()) {
    registry_scan_.set_stop_wait(stop_polls_, stop_poll_ms_);
    registry_scan_.Start(request, std::move(registry_roots));
  }

  request.MakeExclusionSet(kScanFiles);
  std::vector<std::u16string> file_roots = CXFileScan::JobRoots(request);
  if (!file_roots.empty()) {
    file_scans_.push_back(
        std::make_unique<CXFileScan>(writer_, request, std::move(file_roots), has_version_info_extension));
    file_scans_.back()->set_stop_wait(stop_polls_, stop_poll_ms_);
    file_scans_.back()->StartJob(writer_, kScanFiles);
  }

  request.MakeExclusionSet(kScanApps);
  applications_scan_ = MakeApplicationsJob(request);
  if (applications_scan_ != nullptr) {
    applications_scan_->set_stop_wait(stop_polls_, stop_poll_ms_);
    applications_scan_->StartJob(writer_, kScanApps);
  }
}

std::unique_ptr<CXScanThread> CXSnapshotRecorder::MakeApplicationsJob(const CXScanRequest& request) {
  if (!CXAppsScan::Requested(request)) return nullptr;
  return std::make_unique<CXAppsScan>(writer_);
}

void CXSnapshotRecorder::StopJobs() {
  // First every job hears of the stop, so that they all wind down at once...
  registry_scan_.StopJob(false);
  for (auto& job : file_scans_) job->StopJob(false);
  if (applications_scan_ != nullptr) applications_scan_->StopJob(false);
  // ...then each is waited for in turn.
  registry_scan_.StopJob(true);
  for (auto& job : file_scans_) job->StopJob(true);
  file_scans_.clear();
  if (applications_scan_ != nullptr) applications_scan_->StopJob(true);
}

void CXSnapshotRecorder::DestroyEndedJobs() {
  // Every job is idle here: these only join the threads that have ended.
  registry_scan_.StopJob(false);
  file_scans_.clear();
  if (applications_scan_ != nullptr) applications_scan_->StopJob(false);
}

}  // namespace orvalinth
