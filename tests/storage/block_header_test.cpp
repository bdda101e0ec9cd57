#include "storage/block_header.h"

#include <gtest/gtest.h>

#include "test_support.h"

namespace orvalinth {
namespace {

using test::ToHex;

std::string Encode(int32_t stored, int32_t length, bool compressed) {
  uint8_t out[8];
  const int32_t n = EncodeBlockHeader(stored, length, compressed, out);
  return std::string(reinterpret_cast<const char*>(out), static_cast<size_t>(n));
}

TEST(BlockHeader, GoldenHeaders) {
  struct Case {
    int32_t stored, length;
    bool compressed;
    const char* hex;
  } cases[] = {
      {0, 0, false, "00"},
      {127, 127, false, "7F"},
      {128, 128, false, "80 00 80 00"},
      {200, 200, false, "80 00 C8 00"},
      {16383, 16383, false, "BF 00 FF 00"},
      {16384, 16384, false, "C0 40 00 00 00 00 00 00"},
      {20000, 20000, false, "C0 4E 00 20 00 00 00 00"},
      {0x3FFFFFFF, 0x3FFFFFFF, false, "FF FF FF FF 00 00 00 00"},
      {52, 10000, true, "80 27 34 10"},
      {100, 16347, true, "80 3F 64 DB"},
      {100, 16348, true, "C0 00 00 64 DC 3F 00 00"},
      {0x123456, 0x01000000, true, "C0 34 12 56 00 00 00 01"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ToHex(Encode(c.stored, c.length, c.compressed)), c.hex) << c.stored << " " << c.length;
    uint32_t stored = 0, length = 0;
    bool compressed = !c.compressed;
    const std::string h = test::Hex(c.hex);
    EXPECT_EQ(DecodeBlockHeader(reinterpret_cast<const uint8_t*>(h.data()), &stored, &length, &compressed),
              static_cast<int32_t>(h.size()));
    EXPECT_EQ(stored, static_cast<uint32_t>(c.stored));
    EXPECT_EQ(length, static_cast<uint32_t>(c.length));
    EXPECT_EQ(compressed, c.compressed);
  }
}

TEST(BlockHeader, CountsBeyondThirtyBitsCannotBeEncoded) {
  uint8_t out[8];
  EXPECT_EQ(EncodeBlockHeader(0x40000000, 0x40000000, false, out), 0);
  EXPECT_EQ(EncodeBlockHeader(0x40000000, 0x7FFFFFFF, true, out), 0);
  EXPECT_EQ(EncodeBlockHeader(0, 100, true, out), 0);
  EXPECT_EQ(EncodeBlockHeader(-1, 5, false, out), 0);
}

}  // namespace
}  // namespace orvalinth
