#include "storage/block_header.h"

namespace orvalinth {

namespace {

// The double word's little-endian bytes with the first and last exchanged.
void PutExchanged(uint32_t word, uint8_t* out) {
  out[0] = static_cast<uint8_t>(word >> 24);
  out[1] = static_cast<uint8_t>(word >> 8);
  out[2] = static_cast<uint8_t>(word >> 16);
  out[3] = static_cast<uint8_t>(word);
}

int32_t Short(uint32_t x, uint32_t y, uint8_t out[8]) {
  PutExchanged((x << 16) + y + 0x80000000u, out);
  return 4;
}

int32_t Long(uint32_t z, uint32_t w, uint8_t out[8]) {
  PutExchanged(z + 0xC0000000u, out);
  for (int i = 0; i < 4; ++i) out[4 + i] = static_cast<uint8_t>(w >> (8 * i));
  return 8;
}

}  // namespace

int32_t EncodeBlockHeader(int32_t stored, int32_t length, bool compressed, uint8_t out[8]) {
  if (stored < 0 || length < 0) return 0;
  if (compressed) {
    if (length == 0 || stored == 0) return 0;
    if (length < kCompressedShortLimit) return Short(static_cast<uint32_t>(stored), static_cast<uint32_t>(length), out);
    if (stored >= kLongBlockLimit) return 0;
    return Long(static_cast<uint32_t>(stored), static_cast<uint32_t>(length), out);
  }
  if (length < kRawOneByteLimit) {
    out[0] = static_cast<uint8_t>(length);
    return 1;
  }
  if (length < kRawShortLimit) return Short(static_cast<uint32_t>(length), 0, out);
  if (length >= kLongBlockLimit) return 0;
  return Long(static_cast<uint32_t>(length), 0, out);
}

int32_t DecodeBlockHeader(const uint8_t* in, uint32_t* stored, uint32_t* length, bool* compressed) {
  const uint8_t h0 = in[0];
  if (h0 < 0x80) {
    *stored = h0;
    *length = h0;
    *compressed = false;
    return 1;
  }
  if (h0 < 0xC0) {
    const uint32_t x = ((h0 & 0x3Fu) << 8) + in[2];
    const uint32_t y = (static_cast<uint32_t>(in[1]) << 8) + in[3];
    *stored = x;
    *compressed = y != 0;
    *length = y != 0 ? y : x;
    return 4;
  }
  const uint32_t z = ((h0 & 0x3Fu) << 24) + (static_cast<uint32_t>(in[2]) << 16) +
                     (static_cast<uint32_t>(in[1]) << 8) + in[3];
  const uint32_t w = static_cast<uint32_t>(in[4]) | (static_cast<uint32_t>(in[5]) << 8) |
                     (static_cast<uint32_t>(in[6]) << 16) | (static_cast<uint32_t>(in[7]) << 24);
  *stored = z;
  *compressed = w != 0;
  *length = w != 0 ? w : z;
  return 8;
}

}  // namespace orvalinth
