#pragma once
// The header of a stored block in a snapshot file. L is the payload length, S
// the number of stored bytes of a compressed block (its method byte 0x00 and
// one raw LZ4 block).
//
//   L < 128, raw:                    1 byte, L
//   raw, L < 16,384:                 4 bytes, X = L, Y = 0
//   raw, L >= 16,384:                8 bytes, Z = L, W = 0
//   compressed, L < 16,348:          4 bytes, X = S, Y = L
//   compressed, L >= 16,348:         8 bytes, Z = S, W = L
//
// The 4-byte form is the little-endian double word X * 2^16 + Y + 0x80000000
// with its first and last bytes exchanged; the 8-byte form the double word
// Z + 0xC0000000 likewise exchanged, followed by W (uint32). X has 14 bits
// and Z 30, so a block holds at most 1 GiB - 1.

#include <cstdint>

namespace orvalinth {

enum : int32_t {
  kRawOneByteLimit = 128,        // raw payloads below this take one header byte
  kCompressedShortLimit = 16348, // compressed payloads below this take four
  kRawShortLimit = 16384,        // raw payloads below this take four
  kLongBlockLimit = 0x40000000,  // stored counts of eight-byte headers stay below this
};

// Writes the header for `stored` bytes holding a payload of `length` bytes,
// compressed or raw (then `stored` equals `length`), into `out`; returns its
// size (1, 4 or 8), or 0 when the counts cannot be encoded.
int32_t EncodeBlockHeader(int32_t stored, int32_t length, bool compressed, uint8_t out[8]);

// Reads a header at `in` without checks; returns its size and fills the
// stored count, the payload length and whether the block is compressed.
int32_t DecodeBlockHeader(const uint8_t* in, uint32_t* stored, uint32_t* length, bool* compressed);

}  // namespace orvalinth
