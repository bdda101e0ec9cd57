#pragma once
// The snapshot reader's fault reports and its bounded payload cursor.
//
// Inside the reader a fault is raised as a snapshot_read::FaultSignal and
// caught by CXSnapshotReader, which hands it back as an SXReadFault; no
// exception leaves the reader.

#include <cstdint>
#include <string>
#include <vector>

namespace orvalinth {

class CXChunkedPayload;

enum class SXReadFaultKind {
  kNone,
  kCannotOpen,   // the file cannot be opened
  kCannotRead,   // a read of the file failed
  kNotSnapshot,  // no "s4.1" magic
  kUnfinished,   // the header's info offset is 0: the recording never finished
  kCorrupt,      // anything that does not decode as the format says
  kNoMemory,     // the machine ran out of memory
};

struct SXReadFault {
  SXReadFaultKind kind = SXReadFaultKind::kNone;
  std::string message;          // one line for people, starting with what went wrong
  int64_t file_offset = -1;     // the file offset where it was found, or of the block holding it
  int64_t payload_offset = -1;  // inside that block's decoded payload, -1 when not in a payload
};

// How far the reader lets untrusted data take it.
struct SXReadLimits {
  uint32_t max_depth = 2048;  // nesting of node tables (the recording itself stops at 1,024)
  // Decoded records cost roughly their size in memory. One payload may decode
  // to at most this many cost units per payload byte plus the allowance: more
  // than a payload can hold without sharing its runs many times over.
  uint64_t cost_per_payload_byte = 128;
  uint64_t cost_allowance = 32u << 20;
  uint32_t max_remarks = 100;  // remarks kept; later ones are only counted
};

namespace snapshot_read {

struct FaultSignal {
  SXReadFault fault;
};

[[noreturn]] void Fail(SXReadFaultKind kind, int64_t file_offset, int64_t payload_offset, std::string message);

// What the whole read shares: limits, remarks (readable but not the form the
// writer produces) and the number of version records, which file records index.
struct ReadContext {
  SXReadLimits limits;
  std::vector<std::string> remarks;
  uint64_t remark_count = 0;
  int64_t version_count = 0;

  void Remark(std::string text);
};

// Reads one decoded payload, held whole or read in chunks. Every read is
// checked against the payload's length; a read past its end is a fault
// naming the structure being read.
class CXPayloadCursor {
 public:
  CXPayloadCursor(const std::vector<uint8_t>& payload, uint32_t block_offset, const char* block_name,
                  ReadContext& context);
  CXPayloadCursor(CXChunkedPayload& payload, uint32_t block_offset, const char* block_name, ReadContext& context);

  uint32_t size() const { return size_; }
  uint32_t position() const { return position_; }
  uint32_t remaining() const { return size() - position_; }
  void Seek(uint32_t position) { position_ = position; }
  ReadContext& context() { return context_; }

  // Names the structure now being read (for instance "node table") and where it began.
  void Enter(const char* what, uint32_t start) {
    what_ = what;
    what_start_ = start;
  }

  uint8_t U8();
  uint16_t U16();
  uint32_t U32();
  int32_t I32() { return static_cast<int32_t>(U32()); }
  int16_t I16() { return static_cast<int16_t>(U16()); }
  uint64_t U64();
  int64_t I64() { return static_cast<int64_t>(U64()); }
  // n units, two bytes each when wide, else one byte each widened.
  std::u16string Units(uint32_t n, bool wide);
  std::string Bytes(uint32_t n);

  // Counts decoded records against the payload's budget; a fault when spent.
  void Charge(uint64_t cost);

  // "<what> at payload offset <at> of the <block> at file offset <F> <problem>".
  [[noreturn]] void Fail(const char* what, uint32_t at, const std::string& problem) const;
  void Remark(const char* what, uint32_t at, const std::string& problem) const;

 private:
  void Need(uint64_t n) const;
  // The n bytes at the position (after Need(n)), valid until the next read.
  const uint8_t* At(uint32_t n) { return chunked_ == nullptr ? data_ + position_ : Fetch(n); }
  const uint8_t* Fetch(uint32_t n);

  const uint8_t* data_ = nullptr;
  CXChunkedPayload* chunked_ = nullptr;
  uint32_t size_;
  uint32_t block_offset_;
  const char* block_name_;
  ReadContext& context_;
  uint32_t position_ = 0;
  const char* what_ = "record";
  uint32_t what_start_ = 0;
  uint64_t cost_ = 0;
  uint64_t budget_;
};

// True when every unit is at most 255 (the narrow form can hold it).
bool FitsNarrow(const std::u16string& units);

}  // namespace snapshot_read
}  // namespace orvalinth
