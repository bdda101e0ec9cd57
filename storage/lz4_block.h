#pragma once
// The one way into LZ4: raw LZ4 blocks (no frame, no checksum) compressed with
// the fast compressor at its default acceleration (a table of 4,096 entries)
// and decoded with the bounds-checked decoder.

#include <cstdint>

namespace orvalinth {

// The largest compressed size of n input bytes; 0 when n cannot be compressed
// as one block.
int32_t Lz4CompressBound(int32_t n);

// Compresses n bytes of `source` into at most `capacity` bytes of `target`;
// the compressed size, or 0 when it does not fit or n is out of range.
int32_t Lz4CompressBlock(const uint8_t* source, int32_t n, uint8_t* target, int32_t capacity);

// Decodes one block of n bytes into at most `capacity` bytes; the decoded
// size, or -1 when the block is malformed or decodes to more than `capacity`.
int32_t Lz4DecompressBlock(const uint8_t* source, int32_t n, uint8_t* target, int32_t capacity);

}  // namespace orvalinth
