#pragma once
// CXComparisonPool: a fixed number of worker threads that run the
// comparisons on arrival, so that the event loop never waits for one. Submit
// only queues the job and returns: when every worker is busy the job waits
// in the queue (a few hundred bytes each), so a busy pool delays
// comparisons, never the downloads that hand them in. The workers run at a
// lower priority than the rest of the process, so that they take what
// processor the loop and the downloads leave.
//
// Every job Submit accepts has its `on_done` called exactly once, on a
// worker thread (never on the caller's): with the comparison's result, or
// with status kAbandoned when the pool stopped before the job began. An
// `on_done` that touches the event loop's state posts to the loop; it must
// not throw (what it throws is dropped).
//
// Stop abandons rather than finishes: jobs still queued are not run (each
// gets its kAbandoned result), running comparisons are cancelled at their
// next change (kCancelled; a change file they were writing is removed), and
// Stop returns when every worker has ended. Nothing is half-written, and
// nothing is lost either: the snapshots are stored, so their comparison can
// be queued again at the next start.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "server/comparison.h"

namespace orvalinth::server {

struct SXComparisonJob {
  std::string old_path;  // the machine's previous snapshot (host path)
  std::string new_path;  // the one just stored
  SXComparisonOptions options;  // options.cancel is the pool's own
};

class CXComparisonPool {
 public:
  using Done = std::function<void(SXComparison result)>;
  // The work of one job; `cancel` is set when the pool stops.
  using Work = std::function<SXComparison(const std::atomic<bool>& cancel)>;

  // Starts `workers` threads (at least 1).
  explicit CXComparisonPool(unsigned workers);
  ~CXComparisonPool();  // Stop()
  CXComparisonPool(const CXComparisonPool&) = delete;
  CXComparisonPool& operator=(const CXComparisonPool&) = delete;

  // Queues CompareArrived(job...) and returns at once. false once Stop has
  // begun (on_done is then never called).
  bool Submit(SXComparisonJob job, Done on_done);
  // Queues any work that produces a comparison the same way.
  bool Submit(Work work, Done on_done);

  // Abandons the queue, cancels what runs and joins the workers (see above).
  // Idempotent; not to be called from an on_done.
  void Stop();

  // For /metrics; each read on its own (they may move between two reads).
  unsigned workers() const { return static_cast<unsigned>(threads_.size()); }
  size_t queued() const;                                     // jobs waiting for a worker
  unsigned busy() const { return busy_.load(); }             // workers running a job
  uint64_t completed() const { return completed_.load(); }   // on_done called with a result
  uint64_t abandoned() const { return abandoned_.load(); }   // on_done called with kAbandoned
  uint64_t busy_micros() const { return busy_micros_.load(); }  // time the workers spent in jobs, summed

 private:
  struct Task {
    Work work;
    Done done;
  };

  void Run();
  static void Call(const Done& done, SXComparison result);

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Task> queue_;
  bool stopping_ = false;
  std::atomic<bool> cancel_{false};
  std::atomic<unsigned> busy_{0};
  std::atomic<uint64_t> completed_{0};
  std::atomic<uint64_t> abandoned_{0};
  std::atomic<uint64_t> busy_micros_{0};
  std::vector<std::thread> threads_;
  std::mutex stop_mutex_;  // one Stop at a time
};

}  // namespace orvalinth::server
