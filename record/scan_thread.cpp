#include "record/scan_thread.h"

#include "platform/process.h"
#include "storage/snapshot_writer.h"

namespace orvalinth {

CXScanThread::~CXScanThread() {
  // A derived job's Run() may still be on its thread when the derived part is
  // already gone: derived jobs stop in their own destructors. This one only
  // joins what is left.
  StopJob(true);
}

int32_t CXScanThread::state() {
  std::lock_guard<std::mutex> guard(lock_);
  return state_.load(std::memory_order_relaxed);
}

int CXScanThread::StartJob(CXSnapshotWriter& writer, int32_t kind) {
  std::unique_ptr<platform::Thread> finished;
  std::lock_guard<std::mutex> guard(lock_);
  if (state_.load(std::memory_order_relaxed) != kStateIdle) return 0;
  finished = std::move(handle_);  // a thread of an earlier run, already past its end
  if (finished != nullptr) finished->Wait(platform::kWaitForever);
  writer_ = &writer;
  kind_ = kind;
  argument_ = this;
  terminated_ = false;
  // Several jobs of one kind may overlap: the first takes the counter from
  // -1 to 1, every further one adds itself.
  CXSerializedAccessInt& jobs = writer.job_counter(kind);
  const bool first_of_kind = jobs.CompareExchange(-1, 1) == -1;
  if (!first_of_kind) jobs.Add(1);
  writer.CountJob(1);
  counted_ = true;
  // Running before the thread exists: a stop that comes before the thread's
  // first instruction must find a job to stop, not an idle one to forget.
  state_.store(kStateRunning, std::memory_order_release);
  handle_ = platform::ThreadSystem::Get().Start(&CXScanThread::ThreadBody, argument_);
  if (handle_ == nullptr) {
    CountOutLocked();
    // The kind never ran: its counter says so again.
    if (first_of_kind) jobs.CompareExchange(0, -1);
    return 0;
  }
  return 1;
}

void CXScanThread::ThreadBody(void* argument) {
  auto* job = static_cast<CXScanThread*>(argument);
  job->Run();
  std::lock_guard<std::mutex> guard(job->lock_);
  job->CountOutLocked();
}

void CXScanThread::CountOutLocked() {
  if (counted_) {
    writer_->job_counter(kind_).Add(-1);
    writer_->CountJob(-1);
    counted_ = false;
  }
  state_.store(kStateIdle, std::memory_order_release);
}

int CXScanThread::StopJob(bool wait) {
  std::unique_lock<std::mutex> guard(lock_);
  if (state_.load(std::memory_order_relaxed) == kStateIdle) {
    std::unique_ptr<platform::Thread> ended = std::move(handle_);
    guard.unlock();
    // The thread may still be between its count-out and its return.
    if (ended != nullptr) ended->Wait(platform::kWaitForever);
    return 1;
  }
  state_.store(kStateStopRequested, std::memory_order_release);
  if (!wait) return 0;
  guard.unlock();
  for (int poll = 0; poll < stop_polls_; ++poll) {
    if (poll > 0) platform::SleepMs(stop_poll_ms_);
    if (state() == kStateIdle) return StopJob(false);
  }
  // The job did not see the stop within the polls: end its thread.
  guard.lock();
  std::unique_ptr<platform::Thread> thread = std::move(handle_);
  guard.unlock();
  if (thread != nullptr) {
    terminated_ = thread->Terminate();
    thread->Wait(platform::kWaitForever);
  }
  guard.lock();
  CountOutLocked();
  return 1;
}

}  // namespace orvalinth
