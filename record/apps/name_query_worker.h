#pragma once
// CXNameQueryWorker: asks for the names of handles on a worker thread, so
// that a query that blocks (as it does on some pipes) never stalls the scan.
//
// The scan hands one handle at a time to the worker and waits for the answer
// at most the time limit (500 ms). When the worker has not answered by then,
// it is abandoned: told to end once its query returns, it keeps its own
// buffer, events and the handle alive until then, and the next query starts
// a fresh worker. The handle counts as having no name. Abandoning rather than
// terminating the thread leaves no lock held and no memory half-changed; a
// thread whose query never returns stays blocked until the process ends.
//
// Such threads must not pile up in a service that scans for months, so what
// hung is remembered across scans (CXHungHandles) and never asked again
// while its process lives, and at most kMaxAbandoned abandoned workers may
// be blocked at once: past that, no new worker starts and the remaining
// handles of the scan go without names. A worker that cannot be started
// leaves its handle without a name too.
//
// The worker asks into a 4,096-byte buffer; when that is too small it takes
// the size the query asked for (at most 10,240 bytes), clears it and asks
// once more.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <tuple>
#include <vector>

namespace orvalinth {

namespace platform {
class DuplicatedHandle;
class Thread;
}  // namespace platform

// What the name queries of one process learn from one scan to the next: the
// handles whose query hung, and the worker threads still alive.
class CXHungHandles {
 public:
  static constexpr int kMaxAbandoned = 4;
  static constexpr size_t kMaxRemembered = 4096;

  // A handle as the system table gives it: its owner, value and granted
  // access, and its object's type code.
  struct Key {
    uint32_t pid = 0;
    uint16_t handle = 0;
    uint32_t access = 0;
    uint32_t type = 0;
    bool operator<(const Key& o) const {
      return std::tie(pid, handle, access, type) < std::tie(o.pid, o.handle, o.access, o.type);
    }
  };

  CXHungHandles();
  // The service's own, for the life of the process.
  static CXHungHandles& Process();

  bool Hung(const Key& key) const;
  // Remembers `key`; beyond kMaxRemembered the lowest keys give way.
  void Remember(const Key& key);
  // Forgets the handles of processes that are not in `pids` (sorted): a
  // process that ended took its handles with it.
  void KeepProcesses(const std::vector<uint32_t>& pids);
  size_t remembered() const;
  // Worker threads alive: the blocked ones abandoned, and the live one.
  int threads() const { return threads_->load(); }

 private:
  friend class CXNameQueryWorker;
  mutable std::mutex lock_;
  std::set<Key> hung_;
  // Shared with the threads, which count themselves out as they end, even
  // after the scan (or a test's own memory) has gone.
  std::shared_ptr<std::atomic<int>> threads_;
};

class CXNameQueryWorker {
 public:
  static constexpr uint32_t kDefaultTimeoutMs = 500;
  static constexpr uint32_t kFirstBufferSize = 4096;
  static constexpr uint32_t kMaxBufferSize = 10240;

  explicit CXNameQueryWorker(uint32_t timeout_ms = kDefaultTimeoutMs,
                             CXHungHandles& memory = CXHungHandles::Process());
  ~CXNameQueryWorker();  // ends the live worker (one not blocked) and waits for it
  CXNameQueryWorker(const CXNameQueryWorker&) = delete;
  CXNameQueryWorker& operator=(const CXNameQueryWorker&) = delete;

  // The name of `handle`, known to the system table as `key`; false when the
  // query failed, timed out or was not made (see above).
  bool Query(const std::shared_ptr<platform::DuplicatedHandle>& handle, const CXHungHandles::Key& key,
             std::u16string* name);
  // Workers abandoned because their query timed out.
  int replaced() const { return replaced_; }
  // Handles not asked for: remembered as hung, or past the cap of abandoned workers.
  int skipped_hung() const { return skipped_hung_; }
  int skipped_capped() const { return skipped_capped_; }
  // Workers that could not be started.
  int start_failures() const { return start_failures_; }
  // Time spent waiting for names, in microseconds.
  int64_t wait_us() const { return wait_us_; }

 private:
  struct Shared;
  static void Loop(void* argument);
  bool StartWorker();

  const uint32_t timeout_ms_;
  CXHungHandles& memory_;
  std::shared_ptr<Shared> shared_;  // the live worker's state; null when none
  std::unique_ptr<platform::Thread> thread_;
  int replaced_ = 0;
  int skipped_hung_ = 0;
  int skipped_capped_ = 0;
  int start_failures_ = 0;
  int64_t wait_us_ = 0;
};

}  // namespace orvalinth
