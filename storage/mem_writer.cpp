#include "storage/mem_writer.h"

#include <algorithm>
#include <cstdlib>

namespace orvalinth {

bool FitsNarrow(const char16_t* units, int32_t n) {
  for (int32_t i = 0; i < n; ++i) {
    if (units[i] > 0xFF) return false;
  }
  return true;
}

CXMemWriter::CXMemWriter(int32_t reserve_chunk) : buffer_(0x100000), reserve_chunk_(reserve_chunk) {}

void CXMemWriter::StreamTo(CXPayloadSink* sink, int32_t part) {
  sink_ = sink;
  part_ = part > 0 ? part : 1;
  // Held bytes stay near a part: the next write that needs room hands them over.
  if (sink_ != nullptr) limit_ = std::min(limit_, std::max(position_ + 1, part_));
  if (sink_ == nullptr) limit_ = buffer_.size();
}

void CXMemWriter::HandOver(int32_t n) {
  if (static_cast<int64_t>(base_) + position_ + n > INT32_MAX) {
    if (!too_long_) sink_->TooLong();
    too_long_ = true;  // what follows is dropped: the payload cannot be stored anyway
  } else {
    if (!too_long_) sink_->Take(buffer_.data(), position_);
    base_ += position_;
  }
  position_ = 0;
}

void CXMemWriter::Grow(int32_t n) {
  if (sink_ != nullptr && position_ > 0 && static_cast<int64_t>(position_) + n >= part_) HandOver(n);
  if (static_cast<int64_t>(position_) + n >= buffer_.size()) {
    // Payloads are bounded by the 32-bit offsets of the file format.
    const int64_t size = buffer_.size();
    const int64_t least = static_cast<int64_t>(reserve_chunk_) + n + 1;
    if (size + least > INT32_MAX) std::abort();
    // Ahead by a quarter of what is held as well: where realloc copies the
    // block (a heap may; glibc remaps large ones), a payload of hundreds of
    // megabytes is then copied a few dozen times rather than once per chunk,
    // which made storing it quadratic. Room never written is never resident.
    const int64_t ahead = std::min(size / 4, (INT32_MAX - size - least) / 2);
    buffer_.Extend(static_cast<int32_t>(least + ahead));
  }
  limit_ = buffer_.size();
  // Streamed: the next write that would pass a part's worth hands it over.
  if (sink_ != nullptr) {
    limit_ = static_cast<int32_t>(std::min<int64_t>(limit_, std::max<int64_t>(part_, static_cast<int64_t>(position_) + n + 1)));
  }
}

void CXMemWriter::Release() {
  buffer_.Free();
  position_ = 0;
  base_ = 0;
  limit_ = 0;
  too_long_ = false;
}

void CXMemWriter::WriteU16(uint16_t v) {
  uint8_t* p = Room(2);
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

void CXMemWriter::WriteU32(uint32_t v) {
  uint8_t* p = Room(4);
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

void CXMemWriter::WriteI64(int64_t v) { WriteU64(static_cast<uint64_t>(v)); }

void CXMemWriter::WriteU64(uint64_t v) {
  uint8_t* p = Room(8);
  for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

void CXMemWriter::WriteUnits(const char16_t* units, int32_t n, bool wide) {
  if (n <= 0) return;
  if (wide) {
    uint8_t* p = Room(2 * n);
    for (int32_t i = 0; i < n; ++i) {
      p[2 * i] = static_cast<uint8_t>(units[i]);
      p[2 * i + 1] = static_cast<uint8_t>(units[i] >> 8);
    }
  } else {
    uint8_t* p = Room(n);
    for (int32_t i = 0; i < n; ++i) p[i] = static_cast<uint8_t>(units[i]);
  }
}

}  // namespace orvalinth
