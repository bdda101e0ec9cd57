#pragma once
// CXMemWriter: builds a payload in memory. Numbers are written little-endian;
// strings as their units, narrow (one byte per unit, its low byte) or wide
// (UTF-16LE), as the caller chose. Writing never fails short of memory
// exhaustion, which ends the program. The written payload is bytes 0 up to
// position().
//
// A payload too long to hold can be streamed (StreamTo): whenever a part's
// worth is held and a write needs room, the bytes held go to a sink, which
// keeps them (compressed, in a file), and the buffer starts over. Payloads
// are only ever appended to, so nothing handed over is needed again.

#include <cstdint>
#include <cstring>

#include "storage/mem_alloc_grow.h"

namespace orvalinth {

// Where a streamed payload's bytes go.
class CXPayloadSink {
 public:
  virtual ~CXPayloadSink() = default;
  // Takes the next n bytes of the payload (valid during the call only);
  // false when they cannot be kept, which the sink reports when the payload
  // is stored (the writing goes on, to no avail).
  virtual bool Take(const uint8_t* bytes, int32_t n) = 0;
  // The payload passed 2 GiB, beyond what its 32-bit offsets can reach.
  virtual void TooLong() = 0;
};

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

  // The payload's length so far, from its first byte (handed over or not).
  int32_t position() const { return base_ + position_; }
  // The bytes held: all of them unless the payload is streamed, else those
  // written since the last hand-over.
  const uint8_t* data() const { return buffer_.data(); }
  int32_t held() const { return position_; }
  // The bytes handed to the sink so far.
  int32_t handed() const { return base_; }

  // From now on hands the bytes held to `sink` whenever at least `part`
  // bytes are held and a write needs room (null: holds everything again,
  // from the next payload on). Held bytes stay at most about `part` (or one
  // longer write).
  void StreamTo(CXPayloadSink* sink, int32_t part);

  // Starts over at position 0, keeping the buffer for the next payload.
  void Rewind() {
    position_ = 0;
    base_ = 0;
    too_long_ = false;
  }
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
  // Hands the bytes held to the sink before a write of n bytes.
  void HandOver(int32_t n);

  CXMemAllocGrow buffer_;
  int32_t position_ = 0;  // in the buffer
  int32_t base_ = 0;      // bytes handed over before the buffer's first
  int32_t limit_ = 0;
  int32_t reserve_chunk_;
  CXPayloadSink* sink_ = nullptr;
  int32_t part_ = 0;
  bool too_long_ = false;
};

}  // namespace orvalinth
