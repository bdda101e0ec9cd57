// A stored block read in chunks: every byte as LZ4's own decoder gives it,
// whatever the chunk size and the chunks kept, across chunk boundaries; a
// corrupt block gives the fault the whole-block load gives; a file that
// changes after the load is a fault, not unchecked bytes.

#include <gtest/gtest.h>

#include <lz4.h>

#include <random>
#include <string>

#include "base/strings.h"
#include "storage/lz4_block.h"
#include "storage/reader/snapshot_reader_blocks.h"
#include "storage/reader/snapshot_reader_chunked.h"
#include "tests/storage/snapshot_bytes.h"

namespace orvalinth {
namespace {

using test::BlockHeader8;

// Payloads of the shapes LZ4 meets: records with counters (short matches),
// long runs and short periods (overlapping matches), a stretch repeated at
// the far end of the window, and random bytes (literals only).
std::string Payload(const std::string& shape) {
  std::mt19937 random(7);
  std::string out;
  if (shape == "records") {
    for (int i = 0; out.size() < 150000; ++i) out += Format("C:\\Windows\\System32\\file%05d.dll %u\n", i, static_cast<unsigned>(random() % 5000));
  } else if (shape == "runs") {
    while (out.size() < 150000) {
      out += std::string(random() % 3000, '\0') + "ab" + std::string(random() % 700, 'x');
      for (int k = random() % 400; k > 0; --k) out += "xyz"[k % 3];
    }
  } else {
    std::string stretch;
    for (int i = 0; i < 65000; ++i) stretch += static_cast<char>(random());
    out = shape == "far" ? stretch + stretch + stretch.substr(0, 30000) : stretch;
  }
  return out;
}

class Sink final : public CXLz4Sink {
 public:
  bool Put(const uint8_t* bytes, int32_t n) override {
    block.append(reinterpret_cast<const char*>(bytes), n);
    return true;
  }
  std::string block;
};

// A file of the 20-byte header and one compressed block at offset 20
// declaring `length`: LZ4 data made at once or in parts of 4 KiB.
std::string CompressedFile(const std::string& payload, bool in_parts, int64_t length = -1) {
  Sink sink;
  if (in_parts) {
    std::vector<uint8_t> work(Lz4CompressBound(4096));
    Lz4CompressInParts(reinterpret_cast<const uint8_t*>(payload.data()), static_cast<int32_t>(payload.size()), 4096,
                       0, work.data(), static_cast<int32_t>(work.size()), sink);
  } else {
    sink.block.resize(LZ4_compressBound(static_cast<int>(payload.size())));
    sink.block.resize(LZ4_compress_default(payload.data(), &sink.block[0], static_cast<int>(payload.size()),
                                           static_cast<int>(sink.block.size())));
  }
  const uint32_t declared = length < 0 ? static_cast<uint32_t>(payload.size()) : static_cast<uint32_t>(length);
  return "s4.1" + std::string(16, '\0') + BlockHeader8(static_cast<uint32_t>(sink.block.size() + 1), declared) +
         std::string(1, '\0') + sink.block;
}

SXBlockHeader HeaderAt20(const std::string& file) {
  SXBlockHeader h;
  EXPECT_TRUE(DecodeBlockHeader(reinterpret_cast<const uint8_t*>(file.data()) + 20, file.size() - 20, &h));
  return h;
}

std::string Read(CXChunkedPayload& payload, uint32_t offset, uint32_t n) {
  return std::string(reinterpret_cast<const char*>(payload.Read(offset, n)), n);
}

TEST(ChunkedPayload, EveryByteAsLz4DecodesItWhateverTheChunks) {
  struct Chunking {
    uint32_t chunk;
    uint32_t cached;
  } const chunkings[] = {{4096, 1}, {50000, 2}, {1u << 20, 4}};
  for (const char* shape : {"records", "runs", "far", "random"}) {
    const std::string payload = Payload(shape);
    const uint32_t size = static_cast<uint32_t>(payload.size());
    for (bool in_parts : {false, true}) {
      const std::string file = CompressedFile(payload, in_parts);
      CXSnapshotMemorySource source(file.data(), file.size());
      for (const Chunking& c : chunkings) {
        SCOPED_TRACE(Format("%s, %s, chunk %u, %u kept", shape, in_parts ? "in parts" : "at once", c.chunk, c.cached));
        CXChunkedPayload chunked(source, 20, HeaderAt20(file), c.chunk, c.cached);
        ASSERT_EQ(chunked.size(), size);
        if (std::string(shape) == "records") {
          EXPECT_GE(chunked.chunk_count(), size / c.chunk);  // short sequences: a checkpoint every chunk
        }
        uint32_t wrong = 0;
        for (uint32_t i = 0; i < size; ++i) wrong += *chunked.Read(i, 1) != static_cast<uint8_t>(payload[i]);
        EXPECT_EQ(wrong, 0u);
        // Backwards, in reads of 37 bytes that straddle every boundary.
        for (uint32_t end = size; end >= 37; end -= 37) {
          ASSERT_EQ(Read(chunked, end - 37, 37), payload.substr(end - 37, 37)) << "at " << end - 37;
        }
        EXPECT_EQ(Read(chunked, 0, size), payload);
      }
    }
  }
}

TEST(ChunkedPayload, ARawBlockIsReadAChunkAtATime) {
  const std::string payload = Payload("random");
  const std::string file = "s4.1" + std::string(16, '\0') + test::StoreBlock(payload, test::Store::kRaw);
  CXSnapshotMemorySource source(file.data(), file.size());
  CXChunkedPayload chunked(source, 20, HeaderAt20(file), 1000, 1);
  EXPECT_EQ(chunked.chunk_count(), 65u);
  EXPECT_EQ(Read(chunked, 990, 2020), payload.substr(990, 2020));
  EXPECT_EQ(Read(chunked, 64999, 1), payload.substr(64999, 1));
}

// The fault of loading the block at offset 20 whole, as the full reader
// does, or in chunks.
SXReadFault LoadFault(const std::string& file, bool chunked) {
  CXSnapshotMemorySource source(file.data(), file.size());
  snapshot_read::ReadContext context;
  try {
    if (chunked) {
      CXChunkedPayload payload(source, 20, HeaderAt20(file), 64);
    } else {
      CXBlockChain chain;
      chain.Walk(source, context);
      chain.Load(chain.Claim(20, "test block", "the test"));
    }
  } catch (snapshot_read::FaultSignal& signal) {
    return signal.fault;
  }
  return SXReadFault();
}

TEST(ChunkedPayload, ACorruptBlockGivesTheFaultOfTheWholeBlock) {
  // Four literals, a match of 4 at offset X, eight literals: 16 bytes.
  const auto hand_made = [](uint8_t offset) {
    const std::string lz4 = std::string("\x40" "abcd", 5) + static_cast<char>(offset) + std::string("\0\x80" "12345678", 10);
    return "s4.1" + std::string(16, '\0') + BlockHeader8(1 + static_cast<uint32_t>(lz4.size()), 16) +
           std::string(1, '\0') + lz4;
  };
  const std::string records = Payload("records");
  const uint32_t size = static_cast<uint32_t>(records.size());
  std::string truncated = CompressedFile(records, true);
  truncated.pop_back();
  truncated.replace(20, 8, BlockHeader8(static_cast<uint32_t>(truncated.size() - 28), size));
  std::string bad_method = CompressedFile(records, false);
  bad_method[28] = 1;
  struct Case {
    const char* what;
    std::string file;
    std::string message;
  } const cases[] = {
      {"match before the payload's start", hand_made(5), "does not decode into its 16 bytes"},
      {"truncated", truncated, "does not decode into its"},
      {"declared one byte longer", CompressedFile(records, false, size + 1),
       Format("decodes to %u bytes instead of %u", size, size + 1)},
      {"declared one byte shorter", CompressedFile(records, true, records.size() - 1), "does not decode into its"},
      {"method byte", bad_method, "names compression method 1"},
  };
  ASSERT_EQ(LoadFault(hand_made(4), true).kind, SXReadFaultKind::kNone);
  for (const Case& c : cases) {
    const SXReadFault whole = LoadFault(c.file, false);
    const SXReadFault chunked = LoadFault(c.file, true);
    EXPECT_EQ(chunked.kind, SXReadFaultKind::kCorrupt) << c.what;
    EXPECT_EQ(chunked.file_offset, 20) << c.what;
    EXPECT_EQ(chunked.message, whole.message) << c.what;
    EXPECT_NE(chunked.message.find(c.message), std::string::npos) << c.what << ": " << chunked.message;
  }
  // Offset 0 reaches nowhere: LZ4's own decoder lets it pass, the chunks do not.
  EXPECT_EQ(LoadFault(hand_made(0), true).kind, SXReadFaultKind::kCorrupt);
}

TEST(ChunkedPayload, AFileThatChangesAfterTheLoadIsAFault) {
  const std::string payload = Payload("records");
  std::string file = CompressedFile(payload, false);
  CXSnapshotMemorySource source(file.data(), file.size());
  CXChunkedPayload chunked(source, 20, HeaderAt20(file), 4096, 1);
  EXPECT_EQ(Read(chunked, 100, 10), payload.substr(100, 10));
  file[40] ^= 0x55;  // inside the first chunk's stretch; the last chunk is the one kept
  EXPECT_EQ(Read(chunked, 150, 10), payload.substr(150, 10));  // still kept
  Read(chunked, payload.size() - 1, 1);
  try {
    Read(chunked, 100, 10);
    ADD_FAILURE() << "no fault";
  } catch (snapshot_read::FaultSignal& signal) {
    EXPECT_EQ(signal.fault.kind, SXReadFaultKind::kCannotRead);
    EXPECT_EQ(signal.fault.file_offset, 20);
    EXPECT_NE(signal.fault.message.find("the file changed since it was opened"), std::string::npos)
        << signal.fault.message;
  }
}

}  // namespace
}  // namespace orvalinth
