#include "storage/reader/snapshot_reader_cursor.h"

#include "base/strings.h"
#include "storage/reader/snapshot_reader_chunked.h"

namespace orvalinth {
namespace snapshot_read {

void Fail(SXReadFaultKind kind, int64_t file_offset, int64_t payload_offset, std::string message) {
  FaultSignal signal;
  signal.fault.kind = kind;
  signal.fault.file_offset = file_offset;
  signal.fault.payload_offset = payload_offset;
  signal.fault.message = std::move(message);
  throw signal;
}

void ReadContext::Remark(std::string text) {
  ++remark_count;
  if (remarks.size() < limits.max_remarks) remarks.push_back(std::move(text));
}

CXPayloadCursor::CXPayloadCursor(const std::vector<uint8_t>& payload, uint32_t block_offset, const char* block_name,
                                 ReadContext& context)
    : data_(payload.data()), size_(static_cast<uint32_t>(payload.size())), block_offset_(block_offset),
      block_name_(block_name), context_(context) {
  budget_ = context.limits.cost_per_payload_byte * size_ + context.limits.cost_allowance;
}

CXPayloadCursor::CXPayloadCursor(CXChunkedPayload& payload, uint32_t block_offset, const char* block_name,
                                 ReadContext& context)
    : chunked_(&payload), size_(payload.size()), block_offset_(block_offset), block_name_(block_name),
      context_(context) {
  budget_ = context.limits.cost_per_payload_byte * size_ + context.limits.cost_allowance;
}

const uint8_t* CXPayloadCursor::Fetch(uint32_t n) { return chunked_->Read(position_, n); }

void CXPayloadCursor::Need(uint64_t n) const {
  if (n > remaining()) {
    Fail(what_, what_start_, "runs past the payload's end (" + std::to_string(size()) + " bytes)");
  }
}

uint8_t CXPayloadCursor::U8() {
  Need(1);
  const uint8_t b = *At(1);
  ++position_;
  return b;
}

uint16_t CXPayloadCursor::U16() {
  Need(2);
  const uint8_t* p = At(2);
  position_ += 2;
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

uint32_t CXPayloadCursor::U32() {
  Need(4);
  const uint8_t* p = At(4);
  position_ += 4;
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}

uint64_t CXPayloadCursor::U64() {
  const uint64_t low = U32();
  const uint64_t high = U32();
  return low | (high << 32);
}

std::u16string CXPayloadCursor::Units(uint32_t n, bool wide) {
  // The check comes before the allocation: a corrupt count allocates nothing.
  Need(wide ? 2ull * n : n);
  std::u16string out(n, u'\0');
  const uint8_t* p = At(wide ? 2 * n : n);
  if (wide) {
    for (uint32_t i = 0; i < n; ++i) out[i] = static_cast<char16_t>(p[2 * i] | (p[2 * i + 1] << 8));
    position_ += 2 * n;
  } else {
    for (uint32_t i = 0; i < n; ++i) out[i] = p[i];
    position_ += n;
  }
  Charge(2ull * n);
  return out;
}

std::string CXPayloadCursor::Bytes(uint32_t n) {
  Need(n);
  std::string out(reinterpret_cast<const char*>(At(n)), n);
  position_ += n;
  Charge(n);
  return out;
}

void CXPayloadCursor::Charge(uint64_t cost) {
  cost_ += cost;
  if (cost_ > budget_) {
    Fail("payload", 0,
         "decodes to far more records than its " + std::to_string(size()) +
             " bytes can hold (its runs are shared too often)");
  }
}

void CXPayloadCursor::Fail(const char* what, uint32_t at, const std::string& problem) const {
  snapshot_read::Fail(SXReadFaultKind::kCorrupt, block_offset_, at,
                      Format("corrupt snapshot: %s at payload offset %u of the %s at file offset %u ", what, at,
                             block_name_, block_offset_) +
                          problem);
}

void CXPayloadCursor::Remark(const char* what, uint32_t at, const std::string& problem) const {
  context_.Remark(Format("%s at payload offset %u of the %s at file offset %u ", what, at, block_name_,
                         block_offset_) +
                  problem);
}

bool FitsNarrow(const std::u16string& units) {
  for (char16_t u : units) {
    if (u > 0xFF) return false;
  }
  return true;
}

}  // namespace snapshot_read
}  // namespace orvalinth
