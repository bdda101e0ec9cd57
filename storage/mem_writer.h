#pragma once
// CXMemWriter: builds a payload in memory. Numbers are written little-endian;
// strings as their units, narrow (one byte per unit, its low byte) or wide
// (UTF-16LE), as the caller chose. Writing never fails short of memory
// exhaustion, which ends the program. The written payload is bytes 0 up to
// position().

#include <cstdint>
#include <cstring>

#include "storage/mem_alloc_grow.h"

namespace orvalinth {

// True when every one of the n units is at most 255, so that the string can be
// written narrow.
bool FitsNarrow(const char16_t* units, int32_t n);

class CXMemWriter {
 public:
  // `reserve_chunk` bytes are added beyond what a write needs whenever the
  // buffer grows (1 MiB for payloads).
  explicit CXMemWriter(int32_t reserve_chunk = 0x100000);

  void WriteU8(uint8_t v) { *Room(1) = v; }
  void WriteU16(uint16_t v);
  void WriteI32(int32_t v) { WriteU32(static_cast<uint32_t>(v)); }
  void WriteU32(uint32_t v);
  void WriteI64(int64_t v);
  void WriteU64(uint64_t v);
  void WriteBytes(const void* bytes, int32_t n) {
    if (n > 0) std::memcpy(Room(n), bytes, static_cast<size_t>(n));
  }
  // n units, each as its low byte when `wide` is false, else as UTF-16LE.
  void WriteUnits(const char16_t* units, int32_t n, bool wide);

  int32_t position() const { return position_; }
  const uint8_t* data() const { return buffer_.data(); }
  // Starts over at position 0, keeping the buffer for the next payload.
  void Rewind() { position_ = 0; }
  // Starts over and releases the buffer.
  void Release();

 private:
  // Makes room for n bytes at the position, advances it and returns the room.
  uint8_t* Room(int32_t n) {
    if (static_cast<int64_t>(position_) + n >= limit_) Grow(n);
    uint8_t* at = buffer_.data() + position_;
    position_ += n;
    return at;
  }
  void Grow(int32_t n);

  CXMemAllocGrow buffer_;
  int32_t position_ = 0;
  int32_t limit_ = 0;
  int32_t reserve_chunk_;
};

}  // namespace orvalinth
