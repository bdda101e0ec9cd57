#pragma once
// CXScanThread: the thread holder every scan job of a recording starts from
// (registry, file system, applications). It keeps the job's lock, its state,
// the thread's handle and the job's argument (the job itself), and counts the
// job in the recording's counters while it runs.
//
// States: 3 idle (before the start and after the end), 1 running, 2 stop
// requested. A job's long loops call StopRequested() between entries and end
// early when it says so.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "platform/threads.h"

namespace orvalinth {

class CXSnapshotWriter;

class CXScanThread {
 public:
  enum : int32_t {
    kStateRunning = 1,
    kStateStopRequested = 2,
    kStateIdle = 3,
  };
  // A waiting stop polls the state this many times, this far apart, before
  // it ends the job forcibly: a minute.
  static constexpr int kStopPolls = 600;
  static constexpr uint32_t kStopPollMs = 100;

  CXScanThread() = default;
  // Stops the job, waiting, when it still runs: a job never outlives its object.
  virtual ~CXScanThread();
  CXScanThread(const CXScanThread&) = delete;
  CXScanThread& operator=(const CXScanThread&) = delete;

  // Starts Run() on a new thread as a job of `kind` (kScan*), counted in the
  // writer's job counter of that kind (from -1, or up from the jobs of that
  // kind already counted) and in its total of running jobs, both until the
  // job ends. 1 when started; 0, counted out again, when the thread cannot be
  // created or the job runs already.
  int StartJob(CXSnapshotWriter& writer, int32_t kind);

  // Stops the job. Idle: 1 at once (the ended thread is joined). Otherwise
  // the state becomes 2; without `wait` the result is 0. With `wait`, polls
  // until the job is idle (1); when it is not after the last poll, the
  // thread is ended forcibly (platform/threads.h), counted out, and the
  // result is 1 as well.
  int StopJob(bool wait);

  // Whether a stop was requested; cheap enough to ask after every entry.
  bool StopRequested() const { return state_.load(std::memory_order_acquire) == kStateStopRequested; }
  int32_t state();

  // The waiting stop's polls (tests shorten them).
  void set_stop_wait(int polls, uint32_t poll_ms) {
    stop_polls_ = polls;
    stop_poll_ms_ = poll_ms;
  }
  // Whether the last waiting stop had to end the thread forcibly.
  bool terminated() const { return terminated_; }

 protected:
  // The job's work, on its own thread.
  virtual void Run() = 0;

 private:
  static void ThreadBody(void* argument);
  // Under the lock: the job leaves the counters and becomes idle.
  void CountOutLocked();

  std::mutex lock_;
  // Changed under the lock; read without it by StopRequested, so that the
  // scans' inner loops take no lock per entry.
  std::atomic<int32_t> state_{kStateIdle};
  std::unique_ptr<platform::Thread> handle_;
  void* argument_ = nullptr;
  CXSnapshotWriter* writer_ = nullptr;
  int32_t kind_ = 0;
  bool counted_ = false;
  bool terminated_ = false;
  int stop_polls_ = kStopPolls;
  uint32_t stop_poll_ms_ = kStopPollMs;
};

}  // namespace orvalinth
