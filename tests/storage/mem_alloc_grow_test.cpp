#include "storage/mem_alloc_grow.h"

#include <gtest/gtest.h>

#include <cstring>

namespace orvalinth {
namespace {

TEST(MemAllocGrow, SetSizeGrowsToSizePlusStep) {
  CXMemAllocGrow block(100);
  block.SetSize(10);
  EXPECT_EQ(block.size(), 10);
  EXPECT_EQ(block.capacity(), 110);
  block.SetSize(50);  // fits: no reallocation
  EXPECT_EQ(block.capacity(), 110);
  block.SetSize(111);
  EXPECT_EQ(block.capacity(), 211);
  block.SetSize(5);  // shrinking keeps the capacity
  EXPECT_EQ(block.capacity(), 211);
  EXPECT_EQ(block.size(), 5);
}

TEST(MemAllocGrow, ExtendReturnsThePositionOfTheNewBytesAndKeepsOldOnes) {
  CXMemAllocGrow block;  // grow step 0: exactly what is needed
  uint8_t* first = block.Extend(3);
  std::memcpy(first, "abc", 3);
  EXPECT_EQ(block.capacity(), 3);
  uint8_t* second = block.Extend(2);
  std::memcpy(second, "de", 2);
  EXPECT_EQ(second, block.data() + 3);
  EXPECT_EQ(block.size(), 5);
  EXPECT_EQ(block.capacity(), 5);  // old capacity + n + step
  EXPECT_EQ(std::memcmp(block.data(), "abcde", 5), 0);
}

TEST(MemAllocGrow, ExtendAddsTheStepToTheOldCapacity) {
  CXMemAllocGrow block(10);
  block.SetSize(4);  // capacity 14
  block.Extend(20);  // size 24 > 14: capacity 14 + 20 + 10
  EXPECT_EQ(block.capacity(), 44);
  EXPECT_EQ(block.size(), 24);
}

TEST(MemAllocGrow, TruncateAndFree) {
  CXMemAllocGrow block(7);
  block.SetSize(20);
  block.Truncate(3);
  EXPECT_EQ(block.size(), 3);
  EXPECT_EQ(block.capacity(), 27);
  block.Free();
  EXPECT_EQ(block.data(), nullptr);
  EXPECT_EQ(block.size(), 0);
  EXPECT_EQ(block.capacity(), 0);
  EXPECT_EQ(block.grow_step(), 7);
}

}  // namespace
}  // namespace orvalinth
