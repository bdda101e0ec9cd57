// LZ4 blocks made in parts: whatever the parts, one block that decodes to
// exactly the payload, at every level.

#include "storage/lz4_block.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <random>
#include <string>
#include <vector>

namespace orvalinth {
namespace {

const uint8_t* U8(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

std::string Random(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(gen() & 0xFF);
  return s;
}

// Names and numbers as file records have them.
std::string Records(size_t n) {
  std::mt19937 gen(7);
  static const char* const kWords[] = {"setup", "kernel32", "readme", "System32", "api-ms-win", ".dll", ".exe"};
  std::string s;
  while (s.size() < n) {
    s += kWords[gen() % 7];
    s += std::to_string(gen() % 1000);
    s.push_back(static_cast<char>(gen() % 4));
  }
  s.resize(n);
  return s;
}

class Collect final : public CXLz4Sink {
 public:
  explicit Collect(size_t limit = SIZE_MAX) : limit_(limit) {}
  bool Put(const uint8_t* bytes, int32_t n) override {
    if (block.size() + static_cast<size_t>(n) > limit_) return false;
    block.append(reinterpret_cast<const char*>(bytes), static_cast<size_t>(n));
    return true;
  }
  std::string block;

 private:
  size_t limit_;
};

// The block of `payload` made in parts of `part`, checked to decode to it exactly.
std::string InParts(const std::string& payload, int32_t part, int32_t level) {
  const int32_t n = static_cast<int32_t>(payload.size());
  std::vector<uint8_t> work(static_cast<size_t>(Lz4CompressBound(part)));
  Collect sink;
  const int64_t size =
      Lz4CompressInParts(U8(payload), n, part, level, work.data(), static_cast<int32_t>(work.size()), sink);
  EXPECT_EQ(size, static_cast<int64_t>(sink.block.size()));
  std::string back(payload.size(), '\0');
  EXPECT_EQ(Lz4DecompressBlock(U8(sink.block), static_cast<int32_t>(sink.block.size()),
                               reinterpret_cast<uint8_t*>(&back[0]), n),
            n)
      << "part " << part << " level " << level;
  EXPECT_TRUE(back == payload) << "part " << part << " level " << level;
  return sink.block;
}

TEST(Lz4InParts, EveryPartSizeAndLevelGivesOneBlockOfThePayload) {
  // Literal runs that span parts, parts of literals only, matches across
  // part boundaries, a final part shorter than a match can be.
  const std::string payloads[] = {
      std::string(5000, '\0'),
      Random(3000, 1),
      Records(20000),
      Random(9000, 2) + Records(9000) + Random(70000, 3) + std::string(300, 'z') + Random(5, 4),
      "x",
      std::string(13, 'y'),
  };
  for (const std::string& payload : payloads) {
    for (int32_t level : {0, 3, 9}) {
      for (int32_t part : {1, 7, 64, 1000, 4096, 65536, 1 << 20}) {
        if (part < 64 && payload.size() > 5000) continue;  // a part per byte costs too long; short ones do
        InParts(payload, part, level);
      }
    }
  }
}

// The parts of a payload handed over one at a time in a buffer that is
// reused (as a streamed payload hands them over): the stream keeps its own
// window, the joined block decodes to the payload, and so do the parts one
// by one.
TEST(Lz4InParts, PartsFromAReusedBufferJoinIntoOneBlockAndDecodeOneByOne) {
  const std::string payload = Random(9000, 2) + Records(90000) + Random(70000, 3) + std::string(300, 'z');
  for (int32_t level : {0, 9}) {
    for (int32_t part : {1000, 4096, 65536, 100000}) {
      CXLz4PartStream stream(/*keep_window=*/true, level);
      ASSERT_TRUE(stream.ok());
      Collect sink;
      CXLz4Joiner joiner(sink);
      CXLz4PartDecoder decoder;
      std::vector<uint8_t> buffer, block(static_cast<size_t>(Lz4CompressBound(part)));
      std::string parts_back;
      for (size_t at = 0; at < payload.size(); at += static_cast<size_t>(part)) {
        const size_t n = std::min(payload.size() - at, static_cast<size_t>(part));
        buffer.assign(payload.begin() + static_cast<std::ptrdiff_t>(at),
                      payload.begin() + static_cast<std::ptrdiff_t>(at + n));
        const int32_t size = stream.Compress(buffer.data(), static_cast<int32_t>(n), block.data(),
                                             static_cast<int32_t>(block.size()));
        ASSERT_GT(size, 0);
        std::fill(buffer.begin(), buffer.end(), '\xEE');  // reused: the window must be the stream's own
        ASSERT_TRUE(joiner.Add(block.data(), size, at + n == payload.size()));
        std::string decoded(n, '\0');
        ASSERT_TRUE(decoder.Decode(block.data(), size, reinterpret_cast<uint8_t*>(&decoded[0]), static_cast<int32_t>(n)));
        parts_back += decoded;
      }
      EXPECT_TRUE(parts_back == payload) << "part " << part << " level " << level;
      std::string back(payload.size(), '\0');
      EXPECT_EQ(Lz4DecompressBlock(U8(sink.block), static_cast<int32_t>(sink.block.size()),
                                   reinterpret_cast<uint8_t*>(&back[0]), static_cast<int32_t>(payload.size())),
                static_cast<int32_t>(payload.size()));
      EXPECT_TRUE(back == payload) << "part " << part << " level " << level;
      EXPECT_EQ(joiner.total(), static_cast<int64_t>(sink.block.size()));
    }
  }
}

TEST(Lz4InParts, PartsMatchIntoThoseBefore) {
  // 3,000 random bytes twenty times: only matches across parts make it small.
  const std::string piece = Random(3000, 5);
  std::string payload;
  for (int i = 0; i < 20; ++i) payload += piece;
  for (int32_t level : {0, 9}) {
    EXPECT_LT(InParts(payload, 1000, level).size(), 4000u) << level;
    EXPECT_LT(InParts(payload, 1 << 20, level).size(), 4000u) << level;
  }
  // High compression makes smaller blocks of the same data.
  const std::string records = Records(200000);
  EXPECT_LT(InParts(records, 65536, 9).size(), InParts(records, 65536, 0).size());
}

TEST(Lz4InParts, ASinkThatStopsStopsTheBlock) {
  const std::string payload = Random(50000, 6);
  std::vector<uint8_t> work(static_cast<size_t>(Lz4CompressBound(4096)));
  Collect sink(10000);
  EXPECT_EQ(Lz4CompressInParts(U8(payload), 50000, 4096, 0, work.data(), static_cast<int32_t>(work.size()), sink), -1);
  EXPECT_LE(sink.block.size(), 10000u);
  // Work room below one part's bound, no payload, no part: refused.
  Collect other;
  EXPECT_EQ(Lz4CompressInParts(U8(payload), 50000, 4096, 0, work.data(), 100, other), -1);
  EXPECT_EQ(Lz4CompressInParts(U8(payload), 0, 4096, 0, work.data(), static_cast<int32_t>(work.size()), other), -1);
  EXPECT_EQ(Lz4CompressInParts(U8(payload), 10, 0, 0, work.data(), static_cast<int32_t>(work.size()), other), -1);
  EXPECT_TRUE(other.block.empty());
}

TEST(Lz4InParts, TheBuildsLevelIsAValidOne) {
  EXPECT_GE(Lz4Level(), 0);
  EXPECT_LE(Lz4Level(), kLz4MaxLevel);
  const std::string records = Records(5000);
  std::vector<uint8_t> out(static_cast<size_t>(Lz4CompressBound(5000)));
  for (int32_t level : {0, 1, 12, 99}) {
    const int32_t size = Lz4CompressBlock(U8(records), 5000, out.data(), static_cast<int32_t>(out.size()), level);
    ASSERT_GT(size, 0) << level;
    std::string back(5000, '\0');
    EXPECT_EQ(Lz4DecompressBlock(out.data(), size, reinterpret_cast<uint8_t*>(&back[0]), 5000), 5000) << level;
    EXPECT_EQ(back, records) << level;
  }
}

}  // namespace
}  // namespace orvalinth
