#pragma once
// The one way into LZ4: raw LZ4 blocks (no frame, no checksum), decoded with
// the bounds-checked decoder and made at the build's compression level:
// 0 is LZ4's fast compressor at its default acceleration (a table of 4,096
// entries), 1 to 12 its high-compression levels (smaller blocks, slower to
// make, read as fast). Any level makes blocks every LZ4 decoder reads.

#include <cstdint>
#include <memory>
#include <vector>

namespace orvalinth {

// The level the build compresses at (the CMake setting ORVALINTH_LZ4_LEVEL).
int32_t Lz4Level();
// The highest level; higher ones count as this.
inline constexpr int32_t kLz4MaxLevel = 12;

// The largest compressed size of n input bytes; 0 when n cannot be compressed
// as one block.
int32_t Lz4CompressBound(int32_t n);

// Compresses n bytes of `source` into at most `capacity` bytes of `target` at
// `level`; the compressed size, or 0 when it does not fit or n is out of range.
int32_t Lz4CompressBlock(const uint8_t* source, int32_t n, uint8_t* target, int32_t capacity,
                         int32_t level = Lz4Level());

// Where a block made in parts goes: each piece in order; false stops the
// compression.
class CXLz4Sink {
 public:
  virtual ~CXLz4Sink() = default;
  virtual bool Put(const uint8_t* bytes, int32_t n) = 0;
};

// Compresses n bytes of `source` into one LZ4 block without holding the
// block: the source is compressed in parts of `part` bytes, each part
// matching into the 64 KiB before it as within one block, and the parts'
// sequences are joined where they meet (the literals that end one part run
// on into the first sequence of the next), so that `sink` receives the bytes
// of a single block that decodes to the n bytes. `work` (at least
// Lz4CompressBound(part) bytes) holds one part's output at a time. Returns
// the block's size, or -1 when the sink stopped it or the sizes are out of
// range.
int64_t Lz4CompressInParts(const uint8_t* source, int32_t n, int32_t part, int32_t level, uint8_t* work,
                           int32_t work_size, CXLz4Sink& sink);

// The parts of one payload compressed one after the other, each as a block
// of its own that may match into the 64 KiB before it. With `keep_window`
// the stream keeps a copy of those 64 KiB, so that the caller may reuse the
// part's buffer for the next part; otherwise the parts must lie one after
// the other in memory that stays as it is.
class CXLz4PartStream {
 public:
  explicit CXLz4PartStream(bool keep_window, int32_t level = Lz4Level());
  ~CXLz4PartStream();
  CXLz4PartStream(const CXLz4PartStream&) = delete;
  CXLz4PartStream& operator=(const CXLz4PartStream&) = delete;

  bool ok() const;
  // Compresses the next part of n bytes into at most `capacity` bytes of
  // `target` (Lz4CompressBound(n) always suffices); the block's size, 0 on failure.
  int32_t Compress(const uint8_t* source, int32_t n, uint8_t* target, int32_t capacity);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// Joins the blocks of consecutive parts of a CXLz4PartStream into one
// block: the literals that end one part run on into the first sequence of
// the next, so that `sink` receives the bytes of a single block that decodes
// to all the parts. It holds those literals between parts (at most a part).
class CXLz4Joiner {
 public:
  explicit CXLz4Joiner(CXLz4Sink& sink);
  ~CXLz4Joiner();
  CXLz4Joiner(const CXLz4Joiner&) = delete;
  CXLz4Joiner& operator=(const CXLz4Joiner&) = delete;

  // The next part's block, `final` for the payload's last; false when the
  // block is malformed or the sink stopped.
  bool Add(const uint8_t* block, int32_t size, bool final);
  // The bytes handed to the sink so far.
  int64_t total() const;

 private:
  struct Output;
  std::unique_ptr<Output> out_;
  std::vector<uint8_t> pending_;  // literals of the part before, not yet written
};

// Decodes the blocks of consecutive parts of a CXLz4PartStream one at a
// time, keeping the 64 KiB before each for the next.
class CXLz4PartDecoder {
 public:
  // Decodes the next part's block into exactly n bytes of `target`; false
  // when it is malformed or decodes to another length.
  bool Decode(const uint8_t* block, int32_t size, uint8_t* target, int32_t n);

 private:
  std::vector<uint8_t> window_;  // the last 64 KiB decoded
};

// Decodes one block of n bytes into at most `capacity` bytes; the decoded
// size, or -1 when the block is malformed or decodes to more than `capacity`.
int32_t Lz4DecompressBlock(const uint8_t* source, int32_t n, uint8_t* target, int32_t capacity);

}  // namespace orvalinth
