#include "storage/reader/snapshot_reader_chunked.h"

#include <lz4.h>

#include <algorithm>
#include <cstring>

#include "base/strings.h"
#include "storage/reader/lz4_chunks.h"

namespace orvalinth {

namespace {

enum : uint32_t {
  kWindow = 65536,  // a match reaches at most 65,535 bytes back
  kPiece = 65536,   // the stored bytes are read this many at a time at load
};

// A fingerprint of stored bytes against accidental change (not against a
// forger): 64-bit FNV-1a, which can be fed in pieces.
constexpr uint64_t kPrintStart = 0xCBF29CE484222325ull;
uint64_t Fingerprint(uint64_t h, const uint8_t* p, size_t n) {
  for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 0x100000001B3ull;
  return h;
}

}  // namespace

CXChunkedPayload::CXChunkedPayload(CXSnapshotSource& source, uint32_t block_offset, const SXBlockHeader& header,
                                   uint32_t chunk, uint32_t cached)
    : source_(source), block_offset_(block_offset),
      data_offset_(static_cast<uint64_t>(block_offset) + header.header_length), compressed_(header.compressed),
      length_(header.length), chunk_(std::max<uint32_t>(chunk, 1)), slots_(std::max<uint32_t>(cached, 1)) {
  if (!compressed_) {
    // Read through once, a chunk at a time, for the fingerprints.
    std::vector<uint8_t> bytes;
    for (uint32_t k = 0; k < chunk_count(); ++k) {
      bytes.resize(End(k) - Begin(k));
      if (!source_.ReadAt(data_offset_ + Begin(k), bytes.data(), End(k) - Begin(k))) {
        snapshot_read::FailBlockRead(block_offset_);
      }
      prints_.push_back(Fingerprint(kPrintStart, bytes.data(), bytes.size()));
    }
    return;
  }
  // The one pass, over the stored bytes read a piece at a time (a piece
  // grows when one sequence is longer).
  if (header.stored < 2) snapshot_read::FailLz4(block_offset_, length_, -1);
  uint8_t method = 0;
  if (!source_.ReadAt(data_offset_, &method, 1)) snapshot_read::FailBlockRead(block_offset_);
  snapshot_read::CheckCompressedBlock(block_offset_, header, method);
  lz4_length_ = header.stored - 1;
  std::vector<uint8_t> piece;
  SXLz4Input in{nullptr, 0, 0, lz4_length_};
  SXLz4Window window;
  window.length = length_;
  window.bytes.resize(std::min<uint64_t>(length_, static_cast<uint64_t>(chunk_) + kWindow + kWindow / 4));
  SXLz4Mark at;
  uint64_t print = kPrintStart;
  Checkpoint point;
  window.reach = 0;
  for (;;) {
    const uint64_t stop = (static_cast<uint64_t>(point.output) / chunk_ + 1) * chunk_;
    const uint32_t from = at.input;
    const SXLz4Result result =
        DecodeLz4Sequences(in, static_cast<uint32_t>(std::min<uint64_t>(stop, UINT32_MAX)), &at, &window);
    if (result == SXLz4Result::kMalformed) snapshot_read::FailLz4(block_offset_, length_, -1);
    if (at.input != from) print = Fingerprint(print, in.bytes + (from - in.first), at.input - from);
    if (result == SXLz4Result::kNeedInput) {
      // Keep the undecoded rest, read what follows it.
      const uint32_t rest = in.end - at.input;
      const uint32_t want = std::min<uint32_t>(std::max<uint32_t>(kPiece, 2 * rest), lz4_length_ - at.input);
      std::vector<uint8_t> next(want);
      if (rest != 0) std::memcpy(next.data(), in.bytes + (at.input - in.first), rest);
      if (!source_.ReadAt(data_offset_ + 1 + in.end, next.data() + rest, want - rest)) {
        snapshot_read::FailBlockRead(block_offset_);
      }
      piece = std::move(next);
      in.bytes = piece.data();
      in.first = at.input;
      in.end = at.input + want;
      continue;
    }
    // A chunk is done: keep what its matches read before it, packed.
    const uint32_t reach = std::min(window.reach, point.output);
    point.history_length = point.output - reach;
    if (point.history_length != 0) {
      point.history.resize(LZ4_compressBound(static_cast<int>(point.history_length)));
      const int packed = LZ4_compress_default(
          reinterpret_cast<const char*>(window.bytes.data() + (reach - window.first)),
          reinterpret_cast<char*>(point.history.data()), static_cast<int>(point.history_length),
          static_cast<int>(point.history.size()));
      point.history.resize(static_cast<size_t>(std::max(packed, 0)));
      point.history.shrink_to_fit();
    }
    checkpoints_.push_back(std::move(point));
    prints_.push_back(print);
    if (result == SXLz4Result::kFinished) break;
    point = Checkpoint();
    point.input = at.input;
    point.output = at.output;
    window.reach = at.output;
    print = kPrintStart;
    // Keep the 64 KiB before the next chunk at the window's front.
    const uint32_t keep_from = at.output > kWindow ? at.output - kWindow : 0;
    if (keep_from > window.first) {
      std::memmove(window.bytes.data(), window.bytes.data() + (keep_from - window.first), at.output - keep_from);
      window.first = keep_from;
    }
  }
  if (at.output != length_) snapshot_read::FailLz4(block_offset_, length_, at.output);
  checkpoints_.shrink_to_fit();
  prints_.shrink_to_fit();
  // The last chunk, where a section's root table lies, stays decoded.
  Slot& slot = slots_[0];
  slot.chunk = static_cast<uint32_t>(checkpoints_.size() - 1);
  slot.first = window.first;
  slot.bytes = std::move(window.bytes);
  slot.used = ++clock_;
}

uint32_t CXChunkedPayload::chunk_count() const {
  if (compressed_) return static_cast<uint32_t>(checkpoints_.size());
  return static_cast<uint32_t>((static_cast<uint64_t>(length_) + chunk_ - 1) / chunk_);
}

uint32_t CXChunkedPayload::ChunkOf(uint32_t offset) const {
  if (!compressed_) return offset / chunk_;
  const auto after = std::upper_bound(checkpoints_.begin(), checkpoints_.end(), offset,
                                      [](uint32_t o, const Checkpoint& c) { return o < c.output; });
  return static_cast<uint32_t>(after - checkpoints_.begin()) - 1;
}

uint32_t CXChunkedPayload::Begin(uint32_t chunk) const {
  return compressed_ ? checkpoints_[chunk].output : chunk * chunk_;
}

uint32_t CXChunkedPayload::End(uint32_t chunk) const {
  if (chunk + 1 >= chunk_count()) return length_;
  return Begin(chunk + 1);
}

const uint8_t* CXChunkedPayload::Read(uint32_t offset, uint32_t n) {
  static const uint8_t kNothing = 0;
  if (n == 0) return &kNothing;
  // Most reads fall in the chunk read last.
  const Slot* slot = &slots_[last_];
  if (slot->chunk == UINT32_MAX || offset < Begin(slot->chunk) || offset >= End(slot->chunk)) {
    slot = &Chunk(ChunkOf(offset));
  }
  uint32_t end = End(slot->chunk);
  if (n <= end - offset) return slot->bytes.data() + (offset - slot->first);
  // Across chunks: put the pieces together.
  scratch_.resize(n);
  uint32_t done = 0;
  for (;;) {
    const uint32_t piece = std::min(n - done, end - offset);
    std::memcpy(scratch_.data() + done, slot->bytes.data() + (offset - slot->first), piece);
    done += piece;
    offset += piece;
    if (done == n) break;
    slot = &Chunk(slot->chunk + 1);
    end = End(slot->chunk);
  }
  return scratch_.data();
}

const CXChunkedPayload::Slot& CXChunkedPayload::Chunk(uint32_t chunk) {
  size_t pick = 0;
  for (size_t i = 0; i < slots_.size(); ++i) {
    if (slots_[i].chunk == chunk) {
      pick = i;
      break;
    }
    if (slots_[i].used < slots_[pick].used) pick = i;
  }
  Slot& slot = slots_[pick];
  if (slot.chunk != chunk) {
    slot.chunk = UINT32_MAX;  // until it holds the chunk whole
    Decode(chunk, &slot);
    slot.chunk = chunk;
  }
  slot.used = ++clock_;
  last_ = pick;
  return slot;
}

void CXChunkedPayload::Decode(uint32_t chunk, Slot* slot) {
  const uint32_t begin = Begin(chunk);
  const uint32_t end = End(chunk);
  if (!compressed_) {
    slot->first = begin;
    slot->bytes.resize(end - begin);
    if (!source_.ReadAt(data_offset_ + begin, slot->bytes.data(), end - begin)) {
      snapshot_read::FailBlockRead(block_offset_);
    }
    if (Fingerprint(kPrintStart, slot->bytes.data(), slot->bytes.size()) != prints_[chunk]) FailChanged();
    return;
  }
  const Checkpoint& point = checkpoints_[chunk];
  const bool last = chunk + 1 == checkpoints_.size();
  const uint32_t input_end = last ? lz4_length_ : checkpoints_[chunk + 1].input;
  stretch_.resize(input_end - point.input);
  if (!source_.ReadAt(data_offset_ + 1 + point.input, stretch_.data(), input_end - point.input)) {
    snapshot_read::FailBlockRead(block_offset_);
  }
  if (Fingerprint(kPrintStart, stretch_.data(), stretch_.size()) != prints_[chunk]) FailChanged();
  const SXLz4Input in{stretch_.data(), point.input, input_end, lz4_length_};
  SXLz4Window window;
  window.bytes = std::move(slot->bytes);  // its room is reused
  window.bytes.resize(end - begin + point.history_length);
  if (point.history_length != 0 &&
      LZ4_decompress_safe(reinterpret_cast<const char*>(point.history.data()),
                          reinterpret_cast<char*>(window.bytes.data()), static_cast<int>(point.history.size()),
                          static_cast<int>(point.history_length)) != static_cast<int>(point.history_length)) {
    FailChanged();  // never: the reader packed it itself
  }
  window.first = begin - point.history_length;
  window.length = length_;
  window.reach = begin;
  SXLz4Mark at{point.input, begin};
  const SXLz4Result result = DecodeLz4Sequences(in, last ? UINT32_MAX : end, &at, &window);
  slot->bytes = std::move(window.bytes);
  slot->first = window.first;
  // The same bytes decode as they did at load.
  const bool same = at.output == end && at.input == input_end &&
                    result == (last ? SXLz4Result::kFinished : SXLz4Result::kStopped);
  if (!same) FailChanged();
}

void CXChunkedPayload::FailChanged() const {
  snapshot_read::Fail(SXReadFaultKind::kCannotRead, block_offset_, -1,
                      Format("cannot read the block at file offset %u again: the file changed since it was opened",
                             block_offset_));
}

}  // namespace orvalinth
