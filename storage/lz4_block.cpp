#include "storage/lz4_block.h"

#include <lz4.h>

namespace orvalinth {

int32_t Lz4CompressBound(int32_t n) { return n < 0 ? 0 : LZ4_compressBound(n); }

int32_t Lz4CompressBlock(const uint8_t* source, int32_t n, uint8_t* target, int32_t capacity) {
  if (n <= 0 || capacity <= 0) return 0;
  return LZ4_compress_default(reinterpret_cast<const char*>(source), reinterpret_cast<char*>(target), n, capacity);
}

int32_t Lz4DecompressBlock(const uint8_t* source, int32_t n, uint8_t* target, int32_t capacity) {
  if (n <= 0 || capacity < 0) return -1;
  const int got = LZ4_decompress_safe(reinterpret_cast<const char*>(source), reinterpret_cast<char*>(target), n,
                                      capacity);
  return got < 0 ? -1 : got;
}

}  // namespace orvalinth
