#pragma once
// The stored blocks of a snapshot file: decoding block headers, walking the
// chain of blocks from the header to the end of the file, and loading one
// block's payload (LZ4-decoded when compressed).

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "storage/reader/snapshot_reader_cursor.h"
#include "storage/reader/snapshot_reader_source.h"

namespace orvalinth {

enum : uint32_t { kSnapshotHeaderSize = 20 };

struct SXBlockHeader {
  uint32_t header_length = 0;  // 1, 4 or 8
  bool compressed = false;
  uint32_t stored = 0;  // bytes after the header (S, or L when raw)
  uint32_t length = 0;  // payload length L
};

// Decodes the block header at the start of `bytes` (of which `available` are
// there). False when the form needs more bytes than are available.
bool DecodeBlockHeader(const uint8_t* bytes, size_t available, SXBlockHeader* header);

// The header form the writer uses for a payload of `length` bytes stored
// compressed or raw: 1, 4 or 8 (0 for a compressed payload under 128 bytes,
// which the writer never compresses).
uint32_t CanonicalHeaderLength(uint32_t length, bool compressed);

// The blocks of one file, found by walking headers from offset 20: every block
// must end inside the file and the last one exactly at its end. Only the
// blocks' offsets are kept (each block holds at least 3 payload bytes, so
// they take no more memory than the file has bytes); headers are decoded
// again when a block is claimed.
class CXBlockChain {
 public:
  struct Block {
    uint32_t offset = 0;
    SXBlockHeader header;
  };

  // Walks the chain of `source`, which must outlive this object; a fault when
  // a header or block leaves the file or a block is too short to hold a payload.
  void Walk(CXSnapshotSource& source, snapshot_read::ReadContext& context);

  uint32_t count() const { return static_cast<uint32_t>(starts_.size()); }
  // The offset of the last block (0 when there is none).
  uint32_t last_offset() const { return starts_.empty() ? 0 : starts_.back(); }
  // Finds the block that `offset` (named by `reference`, for instance "the
  // info offset in the header") points at and marks it used as `use`; a fault
  // when no block starts there or the block is already in use.
  Block Claim(uint32_t offset, const char* use, const std::string& reference);
  // The block's payload, decoded; a fault when it cannot be read or does not
  // decode to exactly its length.
  std::vector<uint8_t> Load(const Block& block) const;
  // The offsets of the blocks nothing claimed, in file order.
  std::vector<uint32_t> Unclaimed() const;
  // The file the blocks lie in (after Walk).
  CXSnapshotSource& source() const { return *source_; }

 private:
  bool ReadHeader(uint64_t position, SXBlockHeader* header, uint32_t* available) const;

  CXSnapshotSource* source_ = nullptr;
  std::vector<uint32_t> starts_;
  std::unordered_map<uint32_t, const char*> uses_;
};

namespace snapshot_read {

// The faults of loading a block, shared by every way of loading one: a read
// of the block that failed; a compressed block whose method byte is not 0
// (LZ4) or whose length is out of range; LZ4 data that does not decode
// (`decoded` < 0) or decodes to `decoded` bytes instead of `length`.
[[noreturn]] void FailBlockRead(uint32_t block_offset);
void CheckCompressedBlock(uint32_t block_offset, const SXBlockHeader& header, uint8_t method);
[[noreturn]] void FailLz4(uint32_t block_offset, uint32_t length, int64_t decoded);

}  // namespace snapshot_read
}  // namespace orvalinth
