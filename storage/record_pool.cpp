#include "storage/record_pool.h"

#include <cstdlib>

namespace orvalinth {

namespace {
constexpr size_t kAlign = 8;

uint8_t* NewBlock(size_t n) {
  void* block = std::malloc(n);
  if (block == nullptr) std::abort();
  return static_cast<uint8_t*>(block);
}
}  // namespace

CXRecordPool::~CXRecordPool() {
  for (uint8_t* block : blocks_) std::free(block);
}

void* CXRecordPool::Allocate(size_t n) {
  n = (n + kAlign - 1) & ~(kAlign - 1);
  if (n > kBlockSize) {
    // An outsized piece gets its own block, placed before the current one so
    // that the current block keeps serving small pieces.
    uint8_t* block = NewBlock(n);
    if (have_current_) {
      blocks_.insert(blocks_.begin() + static_cast<std::ptrdiff_t>(current_), block);
      ++current_;
    } else {
      blocks_.insert(blocks_.begin(), block);
    }
    return block;
  }
  if (!have_current_ || used_ + n > kBlockSize) {
    blocks_.push_back(NewBlock(kBlockSize));
    current_ = blocks_.size() - 1;
    have_current_ = true;
    used_ = 0;
  }
  uint8_t* piece = blocks_[current_] + used_;
  used_ += n;
  return piece;
}

void CXRecordPool::Reset() {
  // Keep one ordinary block: the list is usually filled again at once.
  uint8_t* keep = have_current_ ? blocks_[current_] : nullptr;
  for (uint8_t* block : blocks_) {
    if (block != keep) std::free(block);
  }
  blocks_.clear();
  if (keep != nullptr) blocks_.push_back(keep);
  current_ = 0;
  used_ = 0;
  have_current_ = keep != nullptr;
}

}  // namespace orvalinth
