#include "storage/lz4_block.h"

#include <lz4.h>
#include <lz4hc.h>

#include <algorithm>
#include <cstddef>

#ifndef ORVALINTH_LZ4_LEVEL
#define ORVALINTH_LZ4_LEVEL 0
#endif

namespace orvalinth {
namespace {

int32_t ClampLevel(int32_t level) { return std::min<int32_t>(std::max<int32_t>(level, 0), kLz4MaxLevel); }

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

// One stream of dependent parts, fast or high-compression.
struct CXLz4PartStream::State {
  State(bool keep, int32_t level) : level(ClampLevel(level)), keep_window(keep) {
    if (this->level == 0) {
      fast = LZ4_createStream();
    } else {
      hc = LZ4_createStreamHC();
      if (hc != nullptr) LZ4_resetStreamHC_fast(hc, this->level);
    }
    if (keep_window) window.resize(kWindow);
  }
  ~State() {
    if (fast != nullptr) LZ4_freeStream(fast);
    if (hc != nullptr) LZ4_freeStreamHC(hc);
  }

  static constexpr int kWindow = 64 * 1024;
  int32_t level;
  bool keep_window;
  LZ4_stream_t* fast = nullptr;
  LZ4_streamHC_t* hc = nullptr;
  std::vector<char> window;
};

CXLz4PartStream::CXLz4PartStream(bool keep_window, int32_t level)
    : state_(std::make_unique<State>(keep_window, level)) {}

CXLz4PartStream::~CXLz4PartStream() = default;

bool CXLz4PartStream::ok() const { return state_->fast != nullptr || state_->hc != nullptr; }

int32_t CXLz4PartStream::Compress(const uint8_t* source, int32_t n, uint8_t* target, int32_t capacity) {
  State& st = *state_;
  const auto* s = reinterpret_cast<const char*>(source);
  auto* t = reinterpret_cast<char*>(target);
  int32_t size = 0;
  if (st.fast != nullptr) {
    size = LZ4_compress_fast_continue(st.fast, s, t, n, capacity, /*acceleration=*/1);
    if (size > 0 && st.keep_window) LZ4_saveDict(st.fast, st.window.data(), State::kWindow);
  } else if (st.hc != nullptr) {
    size = LZ4_compress_HC_continue(st.hc, s, t, n, capacity);
    if (size > 0 && st.keep_window) LZ4_saveDictHC(st.hc, st.window.data(), State::kWindow);
  }
  return size;
}

// Hands out the block's bytes and counts them.
struct CXLz4Joiner::Output {
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

  CXLz4Sink& sink_;
  int64_t total_ = 0;
};

CXLz4Joiner::CXLz4Joiner(CXLz4Sink& sink) : out_(std::make_unique<Output>(sink)) {}

CXLz4Joiner::~CXLz4Joiner() = default;

int64_t CXLz4Joiner::total() const { return out_->total(); }

bool CXLz4Joiner::Add(const uint8_t* block, int32_t size, bool final) {
  Output& out = *out_;
  Sequence first;
  if (size <= 0 || !ReadSequence(block, size, 0, &first)) return false;
  const uint8_t* literals_at = block + first.literal_start;
  if (first.last) {
    // A part of literals only: they all run on.
    pending_.insert(pending_.end(), literals_at, literals_at + first.literals);
    if (!final) return true;
    const int32_t n = static_cast<int32_t>(pending_.size());
    return out.Head(n, 0) && out.Put(pending_.data(), n);
  }
  const int32_t last_start = LastSequenceStart(block, size, first.end);
  Sequence last;
  if (last_start < 0 || !ReadSequence(block, size, last_start, &last) || !last.last) return false;
  const int32_t held = static_cast<int32_t>(pending_.size());
  const int32_t match_start = first.literal_start + first.literals;
  if (!out.Head(held + first.literals, block[0]) || !out.Put(pending_.data(), held) ||
      !out.Put(literals_at, first.literals) || !out.Put(block + match_start, last_start - match_start)) {
    return false;
  }
  if (final) {
    pending_.clear();
    return out.Put(block + last_start, size - last_start);
  }
  pending_.assign(block + last.literal_start, block + last.literal_start + last.literals);
  return true;
}

bool CXLz4PartDecoder::Decode(const uint8_t* block, int32_t size, uint8_t* target, int32_t n) {
  constexpr size_t kWindow = 64 * 1024;
  if (size <= 0 || n <= 0) return false;
  const int got = LZ4_decompress_safe_usingDict(reinterpret_cast<const char*>(block), reinterpret_cast<char*>(target),
                                                size, n, reinterpret_cast<const char*>(window_.data()),
                                                static_cast<int>(window_.size()));
  if (got != n) return false;
  // The window for the next part: the last 64 KiB of what was decoded so far.
  const size_t keep_old = static_cast<size_t>(n) >= kWindow ? 0 : std::min(window_.size(), kWindow - n);
  window_.erase(window_.begin(), window_.end() - static_cast<std::ptrdiff_t>(keep_old));
  const size_t take = std::min<size_t>(static_cast<size_t>(n), kWindow);
  window_.insert(window_.end(), target + n - take, target + n);
  return true;
}

int64_t Lz4CompressInParts(const uint8_t* source, int32_t n, int32_t part, int32_t level, uint8_t* work,
                           int32_t work_size, CXLz4Sink& sink) {
  if (n <= 0 || part <= 0 || work_size < Lz4CompressBound(std::min(part, n))) return -1;
  // The parts lie one after the other in the source: the stream matches into it in place.
  CXLz4PartStream stream(/*keep_window=*/false, level);
  if (!stream.ok()) return -1;
  CXLz4Joiner joiner(sink);
  for (int32_t at = 0; at < n;) {
    const int32_t length = std::min(part, n - at);
    const int32_t size = stream.Compress(source + at, length, work, work_size);
    at += length;
    if (size <= 0 || !joiner.Add(work, size, at == n)) return -1;
  }
  return joiner.total();
}

int32_t Lz4DecompressBlock(const uint8_t* source, int32_t n, uint8_t* target, int32_t capacity) {
  if (n <= 0 || capacity < 0) return -1;
  const int got = LZ4_decompress_safe(reinterpret_cast<const char*>(source), reinterpret_cast<char*>(target), n,
                                      capacity);
  return got < 0 ? -1 : got;
}

}  // namespace orvalinth
