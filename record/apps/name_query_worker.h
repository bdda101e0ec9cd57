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
// The worker asks into a 4,096-byte buffer; when that is too small it takes
// the size the query asked for (at most 10,240 bytes), clears it and asks
// once more.

#include <cstdint>
#include <memory>
#include <string>
#include <thread>

namespace orvalinth {

namespace platform {
class DuplicatedHandle;
}  // namespace platform

class CXNameQueryWorker {
 public:
  static constexpr uint32_t kDefaultTimeoutMs = 500;
  static constexpr uint32_t kFirstBufferSize = 4096;
  static constexpr uint32_t kMaxBufferSize = 10240;

  explicit CXNameQueryWorker(uint32_t timeout_ms = kDefaultTimeoutMs);
  ~CXNameQueryWorker();  // ends the live worker (one not blocked) and waits for it
  CXNameQueryWorker(const CXNameQueryWorker&) = delete;
  CXNameQueryWorker& operator=(const CXNameQueryWorker&) = delete;

  // The name of `handle`; false when the query failed or timed out.
  bool Query(const std::shared_ptr<platform::DuplicatedHandle>& handle, std::u16string* name);
  // Workers abandoned because their query timed out.
  int replaced() const { return replaced_; }
  // Time spent waiting for names, in microseconds.
  int64_t wait_us() const { return wait_us_; }

 private:
  struct Shared;
  static void Loop(std::shared_ptr<Shared> shared);

  const uint32_t timeout_ms_;
  std::shared_ptr<Shared> shared_;  // the live worker's state; null when none
  std::thread thread_;
  int replaced_ = 0;
  int64_t wait_us_ = 0;
};

}  // namespace orvalinth
