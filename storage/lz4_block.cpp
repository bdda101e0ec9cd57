#include "storage/lz4_block.h"

#include <lz4.h>
#include <lz4hc.h>

#include <algorithm>

#ifndef ORVALINTH_LZ4_LEVEL
#define ORVALINTH_LZ4_LEVEL 0
#endif

namespace orvalinth {
namespace {

int32_t ClampLevel(int32_t level) { return std::min<int32_t>(std::max<int32_t>(level, 0), kLz4MaxLevel); }

// One stream of dependent parts, fast or high-compression.
class Stream {
 public:
  explicit Stream(int32_t level) : level_(ClampLevel(level)) {
    if (level_ == 0) {
      fast_ = LZ4_createStream();
    } else {
      hc_ = LZ4_createStreamHC();
      if (hc_ != nullptr) LZ4_resetStreamHC_fast(hc_, level_);
    }
  }
  ~Stream() {
    if (fast_ != nullptr) LZ4_freeStream(fast_);
    if (hc_ != nullptr) LZ4_freeStreamHC(hc_);
  }
  Stream(const Stream&) = delete;
  Stream& operator=(const Stream&) = delete;

  bool ok() const { return fast_ != nullptr || hc_ != nullptr; }

  // The next part, matching into what came before it; its size as a block of its own.
  int32_t Compress(const uint8_t* source, int32_t n, uint8_t* target, int32_t capacity) {
    const auto* s = reinterpret_cast<const char*>(source);
    auto* t = reinterpret_cast<char*>(target);
    if (fast_ != nullptr) return LZ4_compress_fast_continue(fast_, s, t, n, capacity, /*acceleration=*/1);
    return LZ4_compress_HC_continue(hc_, s, t, n, capacity);
  }

 private:
  int32_t level_;
  LZ4_stream_t* fast_ = nullptr;
  LZ4_streamHC_t* hc_ = nullptr;
};

// One sequence of a block: a token, its literals and, unless it is the
// block's last, a match (offset and length).
struct Sequence {
  int32_t literals = 0;
  int32_t literal_start = 0;  // where the literal bytes begin
  int32_t end = 0;            // where the next sequence begins
  bool last = false;          // literals only, ending the block
};

bool ReadSequence(const uint8_t* block, int32_t size, int32_t at, Sequence* s) {
  if (at >= size) return false;
  const uint8_t token = block[at++];
  int64_t literals = token >> 4;
  if (literals == 15) {
    uint8_t more = 255;
    while (more == 255) {
      if (at >= size) return false;
      more = block[at++];
      literals += more;
    }
  }
  if (literals > size - at) return false;
  s->literals = static_cast<int32_t>(literals);
  s->literal_start = at;
  at += s->literals;
  s->last = at == size;
  if (!s->last) {
    at += 2;  // the match offset
    if (at > size) return false;
    if ((token & 0x0F) == 0x0F) {
      uint8_t more = 255;
      while (more == 255) {
        if (at >= size) return false;
        more = block[at++];
      }
    }
  }
  s->end = at;
  return true;
}

// Where the block's last sequence (literals only) begins, walking from the
// sequence at `at`; -1 when the block ends inside a sequence. One tight pass
// over the tokens: it runs once per compressed part, over bytes just made.
int32_t LastSequenceStart(const uint8_t* block, int32_t size, int32_t at) {
  for (;;) {
    if (at >= size) return -1;
    const int32_t start = at;
    const uint32_t token = block[at++];
    uint64_t literals = token >> 4;
    if (literals == 15) {
      uint32_t more = 0;
      do {
        if (at >= size) return -1;
        more = block[at++];
        literals += more;
      } while (more == 255);
    }
    const uint64_t left = static_cast<uint64_t>(size - at);
    if (literals >= left) return literals == left ? start : -1;
    at += static_cast<int32_t>(literals) + 2;  // the literals and the match offset
    if ((token & 0x0F) == 0x0F) {
      uint32_t more = 0;
      do {
        if (at >= size) return -1;
        more = block[at++];
      } while (more == 255);
    }
  }
}

// Hands out the block's bytes and counts them.
class Output {
 public:
  explicit Output(CXLz4Sink& sink) : sink_(sink) {}
  bool Put(const uint8_t* bytes, int32_t n) {
    if (n <= 0) return true;
    total_ += n;
    return sink_.Put(bytes, n);
  }
  // A token with `literals` literals and the match-length nibble `match`,
  // with the literal count's extra bytes.
  bool Head(int32_t literals, uint8_t match) {
    uint8_t bytes[256];
    int32_t n = 0;
    bytes[n++] = static_cast<uint8_t>((std::min(literals, 15) << 4) | (match & 0x0F));
    if (literals >= 15) {
      int32_t rest = literals - 15;
      for (;;) {
        if (n == static_cast<int32_t>(sizeof bytes)) {
          if (!Put(bytes, n)) return false;
          n = 0;
        }
        if (rest < 255) break;
        bytes[n++] = 255;
        rest -= 255;
      }
      bytes[n++] = static_cast<uint8_t>(rest);
    }
    return Put(bytes, n);
  }
  int64_t total() const { return total_; }

 private:
  CXLz4Sink& sink_;
  int64_t total_ = 0;
};

}  // namespace

int32_t Lz4Level() { return ClampLevel(ORVALINTH_LZ4_LEVEL); }

int32_t Lz4CompressBound(int32_t n) { return n < 0 ? 0 : LZ4_compressBound(n); }

int32_t Lz4CompressBlock(const uint8_t* source, int32_t n, uint8_t* target, int32_t capacity, int32_t level) {
  if (n <= 0 || capacity <= 0) return 0;
  const auto* s = reinterpret_cast<const char*>(source);
  auto* t = reinterpret_cast<char*>(target);
  level = ClampLevel(level);
  if (level == 0) return LZ4_compress_default(s, t, n, capacity);
  return LZ4_compress_HC(s, t, n, capacity, level);
}

int64_t Lz4CompressInParts(const uint8_t* source, int32_t n, int32_t part, int32_t level, uint8_t* work,
                           int32_t work_size, CXLz4Sink& sink) {
  if (n <= 0 || part <= 0 || work_size < Lz4CompressBound(std::min(part, n))) return -1;
  Stream stream(level);
  if (!stream.ok()) return -1;
  Output out(sink);
  // Literals that end the parts so far and are not written yet: the bytes
  // just before `at` in the source. Their count goes into the head of the
  // next part's first sequence, so they are written with it.
  int32_t pending = 0;
  for (int32_t at = 0; at < n;) {
    const int32_t length = std::min(part, n - at);
    const bool final = length == n - at;
    const int32_t size = stream.Compress(source + at, length, work, work_size);
    Sequence first;
    if (size <= 0 || !ReadSequence(work, size, 0, &first)) return -1;
    if (first.last) {
      // A part of literals only: they all run on.
      pending += first.literals;
      at += length;
      if (final && (!out.Head(pending, 0) || !out.Put(source + n - pending, pending))) return -1;
      continue;
    }
    const int32_t last_start = LastSequenceStart(work, size, first.end);
    Sequence last;
    if (last_start < 0 || !ReadSequence(work, size, last_start, &last) || !last.last) return -1;
    const int32_t literals = pending + first.literals;
    const int32_t match_start = first.literal_start + first.literals;
    if (!out.Head(literals, work[0]) || !out.Put(source + at - pending, literals) ||
        !out.Put(work + match_start, last_start - match_start)) {
      return -1;
    }
    at += length;
    if (final) {
      if (!out.Put(work + last_start, size - last_start)) return -1;
      pending = 0;
    } else {
      pending = last.literals;
    }
  }
  return out.total();
}

int32_t Lz4DecompressBlock(const uint8_t* source, int32_t n, uint8_t* target, int32_t capacity) {
  if (n <= 0 || capacity < 0) return -1;
  const int got = LZ4_decompress_safe(reinterpret_cast<const char*>(source), reinterpret_cast<char*>(target), n,
                                      capacity);
  return got < 0 ? -1 : got;
}

}  // namespace orvalinth
