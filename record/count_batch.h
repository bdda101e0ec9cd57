#pragma once
// CXCountBatch: adds counts to a shared progress counter in batches, so that
// the counter's lock is taken once per batch rather than once per item.

#include <cstdint>

namespace orvalinth {

class CXSerializedAccessInt;

class CXCountBatch {
 public:
  CXCountBatch(CXSerializedAccessInt& counter, int32_t batch) : counter_(counter), batch_(batch) {}
  CXCountBatch(const CXCountBatch&) = delete;
  CXCountBatch& operator=(const CXCountBatch&) = delete;

  // Counts one; adds `batch` to the counter whenever that many are pending.
  void Count();
  // Adds what is pending.
  void Flush();
  int32_t pending() const { return pending_; }

 private:
  CXSerializedAccessInt& counter_;
  int32_t batch_;
  int32_t pending_ = 0;
};

}  // namespace orvalinth
