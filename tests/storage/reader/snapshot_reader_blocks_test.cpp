// Block headers, stored blocks and the chain of blocks.

#include <gtest/gtest.h>

#include <cstring>

#include "storage/reader/snapshot_reader.h"
#include "storage/reader/snapshot_reader_blocks.h"
#include "test_support.h"
#include "tests/storage/snapshot_bytes.h"

namespace orvalinth {
namespace {

using test::Hex;
using test::StoreBlock;
using test::Store;
using test::ToHex;

SXBlockHeader Decode(const std::string& bytes) {
  SXBlockHeader h;
  EXPECT_TRUE(DecodeBlockHeader(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), &h)) << ToHex(bytes);
  return h;
}

TEST(SnapshotBlocks, HeaderFormsDecodeAsTheTableSays) {
  struct Case {
    const char* hex;
    uint32_t header_length;
    bool compressed;
    uint32_t stored;
    uint32_t length;
  } cases[] = {
      {"00", 1, false, 0, 0},
      {"7F", 1, false, 127, 127},                          // 127 bytes: one header byte
      {"80 00 C8 00", 4, false, 200, 200},                 // 200 raw bytes: X = 200, Y = 0
      {"BF FF FF FF", 4, true, 0x3FFF, 0xFFFF},            // the largest 4-byte form
      {"80 27 10 10", 4, true, 16, 10000},                 // X = 16 stored, Y = 10,000 decoded
      {"C0 4E 00 20 00 00 00 00", 8, false, 20000, 20000}, // 20,000 raw bytes: Z = 20,000, W = 0
      {"C1 02 03 04 05 06 07 08", 8, true, 0x01030204, 0x08070605},
      {"FF FF FF FF 00 00 00 80", 8, true, 0x3FFFFFFF, 0x80000000},
  };
  for (const Case& c : cases) {
    const SXBlockHeader h = Decode(Hex(c.hex));
    EXPECT_EQ(h.header_length, c.header_length) << c.hex;
    EXPECT_EQ(h.compressed, c.compressed) << c.hex;
    EXPECT_EQ(h.stored, c.stored) << c.hex;
    EXPECT_EQ(h.length, c.length) << c.hex;
  }
}

TEST(SnapshotBlocks, HeaderNeedsAllItsBytes) {
  SXBlockHeader h;
  const std::string four = Hex("80 00 C8 00");
  const std::string eight = Hex("C0 4E 00 20 00 00 00 00");
  EXPECT_FALSE(DecodeBlockHeader(nullptr, 0, &h));
  EXPECT_FALSE(DecodeBlockHeader(reinterpret_cast<const uint8_t*>(four.data()), 3, &h));
  EXPECT_FALSE(DecodeBlockHeader(reinterpret_cast<const uint8_t*>(eight.data()), 7, &h));
  EXPECT_TRUE(DecodeBlockHeader(reinterpret_cast<const uint8_t*>(eight.data()), 8, &h));
}

TEST(SnapshotBlocks, TestEncoderWritesTheWorkedExamples) {
  EXPECT_EQ(ToHex(StoreBlock(std::string(127, 'x')).substr(0, 1)), "7F");
  // Bytes that LZ4 cannot shrink: every 4-byte window differs.
  std::string noise;
  uint32_t state = 2463534242u;
  while (noise.size() < 20000) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    noise += static_cast<char>(state >> 24);
  }
  EXPECT_EQ(ToHex(StoreBlock(noise.substr(0, 200)).substr(0, 4)), "80 00 C8 00");
  EXPECT_EQ(ToHex(StoreBlock(noise).substr(0, 8)), "C0 4E 00 20 00 00 00 00");
  const std::string zeros = StoreBlock(std::string(10000, '\0'));
  const SXBlockHeader h = Decode(zeros);
  EXPECT_EQ(h.header_length, 4u);
  EXPECT_TRUE(h.compressed);
  EXPECT_EQ(h.length, 10000u);  // Y
  EXPECT_EQ(zeros[4], '\0');    // the method byte leads the stored bytes
  EXPECT_EQ(h.stored + 4, zeros.size());
}

TEST(SnapshotBlocks, CanonicalHeaderLengthFollowsTheTwoThresholds) {
  EXPECT_EQ(CanonicalHeaderLength(127, false), 1u);
  EXPECT_EQ(CanonicalHeaderLength(128, false), 4u);
  EXPECT_EQ(CanonicalHeaderLength(16383, false), 4u);
  EXPECT_EQ(CanonicalHeaderLength(16384, false), 8u);
  EXPECT_EQ(CanonicalHeaderLength(127, true), 0u);
  EXPECT_EQ(CanonicalHeaderLength(16347, true), 4u);
  EXPECT_EQ(CanonicalHeaderLength(16348, true), 8u);
}

// A file of the header and the given blocks; the info offset points at the
// first block so that the chain is walked.
std::string FileOf(const std::string& blocks) {
  return "s4.1" + std::string(12, '\0') + Hex("14 00 00 00") + blocks;
}

SXReadFault ReadFault(const std::string& file) {
  CXSnapshotMemorySource source(file.data(), file.size());
  CXSnapshotReader reader;
  SXReadSnapshot snapshot;
  EXPECT_EQ(reader.Read(source, &snapshot), 0);
  return reader.fault();
}

TEST(SnapshotBlocks, ChainFaultsNameTheirOffset) {
  struct Case {
    std::string blocks;
    const char* message;
  } cases[] = {
      {Hex("05 01 02"), "block at file offset 20 (1 header and 5 stored bytes) runs past the end of the file (23 bytes)"},
      {Hex("03 00 00 00 80 00"), "block header at file offset 24 runs past the end of the file (26 bytes)"},
      {Hex("00"), "block at file offset 20 holds 0 payload bytes, fewer than any snapshot payload (3)"},
      {Hex("80 00 02 00 01 02"), "block at file offset 20 holds 2 payload bytes"},
      {Hex("C0 00 00 10 00 00"), "block header at file offset 20 runs past the end of the file (26 bytes)"},
      {Hex("80 00 01 FF 00"), "compressed block at file offset 20 claims 255 decoded bytes from 1 stored bytes"},
      {Hex("C0 00 00 02 FF FF FF 7F 00 00"),
       "compressed block at file offset 20 claims 2147483647 decoded bytes from 2 stored bytes"},
  };
  for (const Case& c : cases) {
    const SXReadFault fault = ReadFault(FileOf(c.blocks));
    EXPECT_EQ(fault.kind, SXReadFaultKind::kCorrupt) << c.message;
    EXPECT_NE(fault.message.find(c.message), std::string::npos) << fault.message;
  }
}

TEST(SnapshotBlocks, Lz4BlockMustDecodeToExactlyItsLength) {
  const std::string payload(1000, 'a');
  const std::string good = StoreBlock(payload, Store::kCompressed);
  std::string shorter = good;  // the same data claiming one byte more
  shorter[3] = static_cast<char>(static_cast<uint8_t>(shorter[3]) + 1);
  SXReadFault fault = ReadFault(FileOf(shorter));
  EXPECT_EQ(fault.kind, SXReadFaultKind::kCorrupt);
  EXPECT_NE(fault.message.find("LZ4 data of the block at file offset 20"), std::string::npos) << fault.message;
  EXPECT_EQ(fault.file_offset, 20);

  std::string method = good;
  method[4] = 1;
  fault = ReadFault(FileOf(method));
  EXPECT_NE(fault.message.find("names compression method 1"), std::string::npos) << fault.message;

  std::string garbage = good;
  garbage[6] = '\xFF';
  garbage[7] = '\xFF';
  fault = ReadFault(FileOf(garbage));
  EXPECT_EQ(fault.kind, SXReadFaultKind::kCorrupt) << fault.message;
}

TEST(SnapshotBlocks, HeaderFaults) {
  struct Case {
    std::string file;
    SXReadFaultKind kind;
    const char* message;
  } cases[] = {
      {"", SXReadFaultKind::kCorrupt, "the file ends at file offset 0, inside its 20-byte header"},
      {"s4.", SXReadFaultKind::kCorrupt, "the file ends at file offset 3, inside its 20-byte header"},
      {"s4.1" + std::string(10, '\0'), SXReadFaultKind::kCorrupt, "ends at file offset 14"},
      {"S4.1" + std::string(16, '\0'), SXReadFaultKind::kNotSnapshot, "not a snapshot file"},
      {"PK\x03\x04", SXReadFaultKind::kNotSnapshot, "bytes at file offset 0 are not \"s4.1\""},
      {"s4.1" + std::string(16, '\0') + Hex("03 01 01 01"), SXReadFaultKind::kUnfinished,
       "unfinished snapshot: the info offset at file offset 16 is 0"},
      {"s4.1" + std::string(12, '\0') + Hex("15 00 00 00") + Hex("03 01 01 01"), SXReadFaultKind::kCorrupt,
       "the info offset at file offset 16 points at file offset 21, where no block begins"},
  };
  for (const Case& c : cases) {
    const SXReadFault fault = ReadFault(c.file);
    EXPECT_EQ(fault.kind, c.kind) << c.message;
    EXPECT_NE(fault.message.find(c.message), std::string::npos) << fault.message;
  }
}

TEST(SnapshotBlocks, TenThousandZerosDecodeFromTheirLz4Block) {
  const std::string file = "s4.1" + std::string(16, '\0') + StoreBlock(std::string(10000, '\0'));
  CXSnapshotMemorySource source(file.data(), file.size());
  snapshot_read::ReadContext context;
  CXBlockChain chain;
  chain.Walk(source, context);
  ASSERT_EQ(chain.count(), 1u);
  const CXBlockChain::Block block = chain.Claim(20, "test block", "the test");
  EXPECT_TRUE(block.header.compressed);
  EXPECT_EQ(chain.Load(block), std::vector<uint8_t>(10000, 0));
  EXPECT_TRUE(context.remarks.empty());
  EXPECT_TRUE(chain.Unclaimed().empty());
}

// A source that claims to be larger than it is: only its header is there.
class HugeSource final : public CXSnapshotSource {
 public:
  explicit HugeSource(std::string header) : header_(std::move(header)) {}
  uint64_t Size() const override { return 3ull << 30; }
  bool ReadAt(uint64_t offset, void* buffer, uint32_t n) override {
    if (offset + n > header_.size()) return false;  // the test fails if the reader gets here
    std::memcpy(buffer, header_.data() + offset, n);
    return true;
  }

 private:
  std::string header_;
};

TEST(SnapshotBlocks, FileLargerThanASnapshotCanBeIsRejectedUnread) {
  HugeSource source("s4.1" + std::string(12, '\0') + Hex("14 00 00 00"));
  CXSnapshotReader reader;
  SXReadSnapshot snapshot;
  EXPECT_EQ(reader.Read(source, &snapshot), 0);
  EXPECT_EQ(reader.fault().kind, SXReadFaultKind::kCorrupt);
  EXPECT_EQ(reader.fault().message,
            "corrupt snapshot: the file has 3221225472 bytes, more than a snapshot can have (2 GiB)");
}

}  // namespace
}  // namespace orvalinth
