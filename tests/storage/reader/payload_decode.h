#pragma once
// What the reader's record and item tests share: one payload decoded by a
// part of the reader, as the reader decodes a section block.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "storage/reader/snapshot_reader_cursor.h"
#include "test_support.h"

namespace orvalinth::test {

// A payload in hex, and a part of the fault message that reading it gives.
struct FaultCase {
  const char* hex;
  const char* message;
};

// Decodes `bytes` (a payload from offset 0 of a section block at
// `block_offset`) with `read`, in `context`; the fault message, or "" (and a
// test failure when `read` leaves bytes over).
template <class Read>
std::string DecodePayload(const std::string& bytes, uint32_t block_offset, snapshot_read::ReadContext& context,
                          Read read) {
  const std::vector<uint8_t> payload(bytes.begin(), bytes.end());
  snapshot_read::CXPayloadCursor cursor(payload, block_offset, "section block", context);
  try {
    read(cursor);
    EXPECT_EQ(cursor.remaining(), 0u) << "left over after " << ToHex(bytes);
  } catch (const snapshot_read::FaultSignal& signal) {
    return signal.fault.message;
  }
  return "";
}

}  // namespace orvalinth::test
