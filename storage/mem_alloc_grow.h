#pragma once
// CXMemAllocGrow: a growable byte block. Sizes are signed 32-bit, as in every
// buffer of the system; a block never exceeds 2 GiB.

#include <cstdint>

namespace orvalinth {

class CXMemAllocGrow {
 public:
  explicit CXMemAllocGrow(int32_t grow_step = 0) : grow_step_(grow_step) {}
  virtual ~CXMemAllocGrow();
  CXMemAllocGrow(const CXMemAllocGrow&) = delete;
  CXMemAllocGrow& operator=(const CXMemAllocGrow&) = delete;

  // Size becomes n; when n exceeds the capacity, the capacity becomes n plus
  // the grow step first. Returns the data.
  uint8_t* SetSize(int32_t n);
  // Adds n bytes to the size; when the size then exceeds the capacity, the
  // capacity becomes the old capacity plus n plus the grow step. Returns the
  // position of the new bytes.
  uint8_t* Extend(int32_t n);
  // Size becomes n without any check.
  void Truncate(int32_t n) { size_ = n; }
  // Releases the block; size and capacity become 0, the grow step stays.
  void Free();

  uint8_t* data() const { return data_; }
  int32_t size() const { return size_; }
  int32_t capacity() const { return capacity_; }
  int32_t grow_step() const { return grow_step_; }
  void set_grow_step(int32_t step) { grow_step_ = step; }

 private:
  void Reallocate(int64_t capacity);

  uint8_t* data_ = nullptr;
  int32_t size_ = 0;
  int32_t capacity_ = 0;
  int32_t grow_step_ = 0;
};

}  // namespace orvalinth
