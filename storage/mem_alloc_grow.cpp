#include "storage/mem_alloc_grow.h"

#include <cstdlib>

namespace orvalinth {

CXMemAllocGrow::~CXMemAllocGrow() { Free(); }

void CXMemAllocGrow::Reallocate(int64_t capacity) {
  // Blocks are bounded by the 32-bit sizes; running out of memory ends the program.
  if (capacity > INT32_MAX) std::abort();
  void* grown = std::realloc(data_, static_cast<size_t>(capacity > 0 ? capacity : 1));
  if (grown == nullptr) std::abort();
  data_ = static_cast<uint8_t*>(grown);
  capacity_ = static_cast<int32_t>(capacity);
}

uint8_t* CXMemAllocGrow::SetSize(int32_t n) {
  if (n > capacity_ || data_ == nullptr) Reallocate(static_cast<int64_t>(n) + grow_step_);
  size_ = n;
  return data_;
}

uint8_t* CXMemAllocGrow::Extend(int32_t n) {
  const int32_t old_size = size_;
  const int64_t new_size = static_cast<int64_t>(old_size) + n;
  if (new_size > capacity_ || data_ == nullptr) Reallocate(static_cast<int64_t>(capacity_) + n + grow_step_);
  size_ = static_cast<int32_t>(new_size);
  return data_ + old_size;
}

void CXMemAllocGrow::Free() {
  std::free(data_);
  data_ = nullptr;
  size_ = 0;
  capacity_ = 0;
}

}  // namespace orvalinth
