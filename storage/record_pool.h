#pragma once
// CXRecordPool: hands out pieces of memory for the records of one list (nodes,
// file records, value records) from blocks of 102,400 bytes, so that millions
// of small records cost a few large allocations. Pieces live until Reset.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace orvalinth {

class CXRecordPool {
 public:
  static constexpr size_t kBlockSize = 102400;

  CXRecordPool() = default;
  ~CXRecordPool();
  CXRecordPool(const CXRecordPool&) = delete;
  CXRecordPool& operator=(const CXRecordPool&) = delete;

  // A piece of n bytes aligned for any record field; a piece larger than a
  // block gets a block of its own. Running out of memory ends the program.
  void* Allocate(size_t n);
  // Releases every piece; the first block is kept for the next use.
  void Reset();

  size_t block_count() const { return blocks_.size(); }

 private:
  std::vector<uint8_t*> blocks_;
  size_t used_ = 0;      // bytes taken from the current (last ordinary) block
  size_t current_ = 0;   // index of that block in blocks_
  bool have_current_ = false;
};

}  // namespace orvalinth
