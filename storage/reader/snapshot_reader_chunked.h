#pragma once
// A stored block's payload read in chunks, for readers that must not hold
// whole payloads (the comparison of two snapshots of millions of files).
//
// At load one pass decodes the whole LZ4 block, with every check of the
// full reader (the same faults), and keeps a checkpoint at the first
// sequence start at or after every `chunk` bytes of output: where the
// sequence lies in the stored block, where its output begins, and the
// output before it that the chunk's matches read (at most 64 KiB, kept
// LZ4-packed). The stored bytes are read a piece at a time in the pass and
// not kept. A chunk is decoded again when it
// is read, from its stretch of the stored block read anew from the file;
// the last few chunks are kept. A raw block is read a chunk at a time
// straight from the file. Each chunk's stored bytes are fingerprinted at
// load, so that a file that changes under the reader is a fault rather than
// bytes that were never checked.

#include <cstdint>
#include <vector>

#include "storage/reader/snapshot_reader_blocks.h"
#include "storage/reader/snapshot_reader_source.h"

namespace orvalinth {

class CXChunkedPayload {
 public:
  // A chunk of 256 KiB costs about 22 KiB of packed history and keeps the
  // re-decoding of a chunk well under a millisecond.
  static constexpr uint32_t kDefaultChunk = 256u << 10;
  static constexpr uint32_t kDefaultCached = 2;

  // Loads the block at `block_offset` of `source` (which outlives this
  // object) with `header`; raises snapshot_read::FaultSignal as
  // CXBlockChain::Load does when it cannot be read or does not decode to
  // exactly its length.
  CXChunkedPayload(CXSnapshotSource& source, uint32_t block_offset, const SXBlockHeader& header,
                   uint32_t chunk = kDefaultChunk, uint32_t cached = kDefaultCached);
  CXChunkedPayload(const CXChunkedPayload&) = delete;
  CXChunkedPayload& operator=(const CXChunkedPayload&) = delete;

  uint32_t size() const { return length_; }
  uint32_t block_offset() const { return block_offset_; }
  uint32_t chunk_count() const;

  // The n bytes at payload offset `offset` (offset + n <= size()), valid
  // until the next call. A fault when a chunk cannot be read again or its
  // stored bytes changed since the load.
  const uint8_t* Read(uint32_t offset, uint32_t n);

 private:
  struct Checkpoint {
    uint32_t input = 0;  // the sequence's offset in the LZ4 data
    uint32_t output = 0;
    // The output just before `output` that the chunk's matches read, LZ4-packed.
    uint32_t history_length = 0;
    std::vector<uint8_t> history;
  };
  struct Slot {
    uint32_t chunk = UINT32_MAX;
    uint32_t first = 0;  // payload offset of bytes[0]
    std::vector<uint8_t> bytes;
    uint64_t used = 0;
  };

  uint32_t ChunkOf(uint32_t offset) const;
  uint32_t Begin(uint32_t chunk) const;
  uint32_t End(uint32_t chunk) const;
  const Slot& Chunk(uint32_t chunk);
  void Decode(uint32_t chunk, Slot* slot);
  [[noreturn]] void FailChanged() const;

  CXSnapshotSource& source_;
  uint32_t block_offset_;
  uint64_t data_offset_;  // file offset of the stored bytes
  bool compressed_;
  uint32_t length_;
  uint32_t lz4_length_ = 0;  // stored bytes after the method byte
  uint32_t chunk_;
  std::vector<Checkpoint> checkpoints_;
  std::vector<uint64_t> prints_;  // each chunk's fingerprint of its stored bytes
  std::vector<Slot> slots_;
  uint64_t clock_ = 0;
  size_t last_ = 0;  // the slot read last
  std::vector<uint8_t> stretch_;  // the stored bytes of the chunk being decoded
  std::vector<uint8_t> scratch_;  // a read that spans chunks
};

}  // namespace orvalinth
