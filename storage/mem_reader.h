#pragma once
// CXMemReader: reads a payload that CXMemWriter built, trusting it: no read is
// checked against the payload's length. It serves payloads this program has
// just built, or that a strict reader has already checked; a reader of
// untrusted files checks every read itself.

#include <cstdint>
#include <cstring>
#include <string>

namespace orvalinth {

class CXMemReader {
 public:
  explicit CXMemReader(const uint8_t* data = nullptr, int32_t position = 0) : data_(data), position_(position) {}

  uint8_t ReadU8() { return data_[position_++]; }
  uint16_t ReadU16() {
    const uint8_t* p = Take(2);
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
  }
  uint32_t ReadU32() {
    const uint8_t* p = Take(4);
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
  }
  int32_t ReadI32() { return static_cast<int32_t>(ReadU32()); }
  uint64_t ReadU64() {
    const uint64_t low = ReadU32();
    return low | (static_cast<uint64_t>(ReadU32()) << 32);
  }
  int64_t ReadI64() { return static_cast<int64_t>(ReadU64()); }
  void ReadBytes(void* out, int32_t n) {
    if (n > 0) std::memcpy(out, Take(n), static_cast<size_t>(n));
  }
  // n units, narrow (each byte widened by zero extension) or wide (UTF-16LE).
  std::u16string ReadUnits(int32_t n, bool wide);
  void Skip(int32_t n) { position_ += n; }

  const uint8_t* data() const { return data_; }
  const uint8_t* current() const { return data_ + position_; }
  int32_t position() const { return position_; }
  void set_position(int32_t position) { position_ = position; }

 private:
  const uint8_t* Take(int32_t n) {
    const uint8_t* p = data_ + position_;
    position_ += n;
    return p;
  }

  const uint8_t* data_;
  int32_t position_;
};

}  // namespace orvalinth
