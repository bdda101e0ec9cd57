#include "storage/reader/snapshot_reader_blocks.h"

#include <lz4.h>

#include <algorithm>

#include "base/strings.h"
#include "platform/errors.h"

namespace orvalinth {

using snapshot_read::Fail;

bool DecodeBlockHeader(const uint8_t* h, size_t available, SXBlockHeader* header) {
  if (available < 1) return false;
  *header = SXBlockHeader();
  if (h[0] < 0x80) {
    header->header_length = 1;
    header->stored = header->length = h[0];
    return true;
  }
  if (h[0] < 0xC0) {
    if (available < 4) return false;
    const uint32_t x = ((h[0] & 0x3Fu) << 8) + h[2];
    const uint32_t y = (static_cast<uint32_t>(h[1]) << 8) + h[3];
    header->header_length = 4;
    header->stored = x;
    header->compressed = y != 0;
    header->length = y != 0 ? y : x;
    return true;
  }
  if (available < 8) return false;
  const uint32_t z = ((h[0] & 0x3Fu) << 24) + (static_cast<uint32_t>(h[2]) << 16) +
                     (static_cast<uint32_t>(h[1]) << 8) + h[3];
  const uint32_t w = static_cast<uint32_t>(h[4]) | (static_cast<uint32_t>(h[5]) << 8) |
                     (static_cast<uint32_t>(h[6]) << 16) | (static_cast<uint32_t>(h[7]) << 24);
  header->header_length = 8;
  header->stored = z;
  header->compressed = w != 0;
  header->length = w != 0 ? w : z;
  return true;
}

uint32_t CanonicalHeaderLength(uint32_t length, bool compressed) {
  if (compressed) {
    if (length < 128) return 0;
    return length < 16348 ? 4 : 8;
  }
  if (length < 128) return 1;
  return length < 16384 ? 4 : 8;
}

namespace {

// The most bytes an LZ4 block of n bytes can decode to: every byte of a match
// length can add at most 255 bytes.
uint64_t Lz4Limit(uint64_t n) { return 255 * n + 16; }

}  // namespace

bool CXBlockChain::ReadHeader(uint64_t position, SXBlockHeader* header, uint32_t* available) const {
  uint8_t bytes[8];
  *available = static_cast<uint32_t>(std::min<uint64_t>(8, source_->Size() - position));
  if (!source_->ReadAt(position, bytes, *available)) {
    Fail(SXReadFaultKind::kCannotRead, static_cast<int64_t>(position), -1,
         Format("cannot read the block header at file offset %llu (error %u)",
                static_cast<unsigned long long>(position), platform::LastError()));
  }
  return DecodeBlockHeader(bytes, *available, header);
}

void CXBlockChain::Walk(CXSnapshotSource& source, snapshot_read::ReadContext& context) {
  source_ = &source;
  starts_.clear();
  uses_.clear();
  const uint64_t size = source.Size();
  uint64_t position = kSnapshotHeaderSize;
  while (position < size) {
    const uint32_t offset = static_cast<uint32_t>(position);
    SXBlockHeader h;
    uint32_t available = 0;
    if (!ReadHeader(position, &h, &available)) {
      Fail(SXReadFaultKind::kCorrupt, position, -1,
           Format("corrupt snapshot: block header at file offset %u runs past the end of the file (%llu bytes)",
                  offset, static_cast<unsigned long long>(size)));
    }
    const uint64_t end = position + h.header_length + h.stored;
    if (end > size) {
      Fail(SXReadFaultKind::kCorrupt, position, -1,
           Format("corrupt snapshot: block at file offset %u (%u header and %u stored bytes) runs past the end of "
                  "the file (%llu bytes)",
                  offset, h.header_length, h.stored, static_cast<unsigned long long>(size)));
    }
    if (h.length < 3) {
      // The smallest payload of any kind is a section of a root without a
      // name: format mark, flags, name length.
      Fail(SXReadFaultKind::kCorrupt, position, -1,
           Format("corrupt snapshot: block at file offset %u holds %u payload bytes, fewer than any snapshot "
                  "payload (3)",
                  offset, h.length));
    }
    if (h.compressed && (h.stored < 2 || h.length > Lz4Limit(h.stored - 1))) {
      Fail(SXReadFaultKind::kCorrupt, position, -1,
           Format("corrupt snapshot: compressed block at file offset %u claims %u decoded bytes from %u stored "
                  "bytes, which LZ4 cannot produce",
                  offset, h.length, h.stored));
    }
    if (h.header_length != CanonicalHeaderLength(h.length, h.compressed)) {
      context.Remark(Format("block at file offset %u: a %s payload of %u bytes has a %u-byte header", offset,
                            h.compressed ? "compressed" : "raw", h.length, h.header_length));
    } else if (h.compressed && static_cast<uint64_t>(h.stored) + 4 >= h.length) {
      context.Remark(Format("block at file offset %u: stored compressed although that saves %s", offset,
                            h.stored >= h.length ? "nothing" : "no more than 4 bytes"));
    }
    starts_.push_back(offset);
    position = end;
  }
}

CXBlockChain::Block CXBlockChain::Claim(uint32_t offset, const char* use, const std::string& reference) {
  if (!std::binary_search(starts_.begin(), starts_.end(), offset)) {
    Fail(SXReadFaultKind::kCorrupt, offset, -1,
         Format("corrupt snapshot: %s points at file offset %u, where no block begins", reference.c_str(), offset));
  }
  auto [it, fresh] = uses_.emplace(offset, use);
  if (!fresh) {
    Fail(SXReadFaultKind::kCorrupt, offset, -1,
         Format("corrupt snapshot: %s points at the block at file offset %u, which is already the %s",
                reference.c_str(), offset, it->second));
  }
  Block block;
  block.offset = offset;
  uint32_t available = 0;
  ReadHeader(offset, &block.header, &available);  // whole and within the file: Walk checked it
  return block;
}

std::vector<uint32_t> CXBlockChain::Unclaimed() const {
  std::vector<uint32_t> out;
  for (uint32_t offset : starts_) {
    if (uses_.count(offset) == 0) out.push_back(offset);
  }
  return out;
}

namespace snapshot_read {

void FailBlockRead(uint32_t block_offset) {
  Fail(SXReadFaultKind::kCannotRead, block_offset, -1,
       Format("cannot read the block at file offset %u (error %u)", block_offset, platform::LastError()));
}

void CheckCompressedBlock(uint32_t block_offset, const SXBlockHeader& h, uint8_t method) {
  if (method != 0x00) {
    Fail(SXReadFaultKind::kCorrupt, block_offset, -1,
         Format("corrupt snapshot: compressed block at file offset %u names compression method %u (only 0, LZ4, "
                "exists)",
                block_offset, method));
  }
  if (h.length > 0x7FFFFFFFu) {
    Fail(SXReadFaultKind::kCorrupt, block_offset, -1,
         Format("corrupt snapshot: compressed block at file offset %u claims %u decoded bytes, more than a "
                "snapshot can hold",
                block_offset, h.length));
  }
}

void FailLz4(uint32_t block_offset, uint32_t length, int64_t decoded) {
  Fail(SXReadFaultKind::kCorrupt, block_offset, -1,
       decoded < 0 ? Format("corrupt snapshot: the LZ4 data of the block at file offset %u does not decode "
                            "into its %u bytes",
                            block_offset, length)
                   : Format("corrupt snapshot: the LZ4 data of the block at file offset %u decodes to %lld bytes "
                            "instead of %u",
                            block_offset, static_cast<long long>(decoded), length));
}

}  // namespace snapshot_read

std::vector<uint8_t> CXBlockChain::Load(const Block& block) const {
  const SXBlockHeader& h = block.header;
  const uint64_t data_offset = static_cast<uint64_t>(block.offset) + h.header_length;
  std::vector<uint8_t> stored(h.stored);
  if (!source_->ReadAt(data_offset, stored.data(), h.stored)) snapshot_read::FailBlockRead(block.offset);
  if (!h.compressed) return stored;
  snapshot_read::CheckCompressedBlock(block.offset, h, stored[0]);
  std::vector<uint8_t> payload(h.length);
  const int decoded = LZ4_decompress_safe(reinterpret_cast<const char*>(stored.data() + 1),
                                          reinterpret_cast<char*>(payload.data()), static_cast<int>(h.stored - 1),
                                          static_cast<int>(h.length));
  if (decoded != static_cast<int>(h.length)) snapshot_read::FailLz4(block.offset, h.length, decoded);
  return payload;
}

}  // namespace orvalinth
