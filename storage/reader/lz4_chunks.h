#pragma once
// An LZ4 block decoded a stretch at a time: sequence by sequence, every
// length and offset checked against the bytes that are there, so that
// decoding can stop at a sequence start and resume there later given the
// output just before it (a match reaches at most 65,535 bytes back).
//
// The checks are those of LZ4's bounds-checked decoder: literal and match
// lengths stay inside the input and the declared output length, a match
// offset is 1 to 65,535 and reaches no earlier than the payload's start (or
// the output window held), the block ends with a sequence of literals only
// that uses up the input, only that sequence ends within 12 output or 8
// input bytes of the end, and the last 5 output bytes are literals.

#include <cstdint>
#include <vector>

namespace orvalinth {

// A sequence start of one block.
struct SXLz4Mark {
  uint32_t input = 0;   // offset of the sequence's token in the block's LZ4 data
  uint32_t output = 0;  // payload offset of the sequence's first output byte
};

// The block's LZ4 data (after the method byte), or the stretch of it held.
struct SXLz4Input {
  const uint8_t* bytes = nullptr;  // bytes[0] is the byte at offset `first` of the data
  uint32_t first = 0;
  uint32_t end = 0;    // offset after the last byte held
  uint32_t total = 0;  // the data's whole length: the block ends there
};

// The output being made: bytes[i] is the payload byte at offset first + i.
// Bytes before the mark's output are the window matches may read from; the
// vector grows as decoding needs (it may be longer than what was decoded).
struct SXLz4Window {
  std::vector<uint8_t> bytes;
  uint32_t first = 0;
  uint32_t length = 0;  // the payload's declared length
  // The lowest payload offset a match read from; the caller sets it to the
  // mark's output before decoding, decoding lowers it.
  uint32_t reach = 0;
};

enum class SXLz4Result {
  kStopped,    // at a sequence start at or after the stop offset
  kFinished,   // the block's last sequence is decoded
  kNeedInput,  // at a sequence start whose sequence runs past the input held (the block goes on)
  kMalformed,  // the data does not decode as LZ4 within its bounds
};

// Decodes the sequences from `at` (a sequence start whose output begins at
// out->first + the bytes already there) until a sequence start at or after
// payload offset `stop`, the end of the input held, or the block's end.
// `at` moves to where it stopped.
SXLz4Result DecodeLz4Sequences(const SXLz4Input& in, uint32_t stop, SXLz4Mark* at, SXLz4Window* out);

}  // namespace orvalinth
