#pragma once
// SXSnapshotDataScan: the common base of the read-side records (file records,
// nodes, version records, application items). One object is reused record
// after record by calling Read repeatedly; `flags` holds the flag byte last
// read. The comparison operations serve readers of two snapshots; the
// recording service itself only writes.

#include <cstdint>

namespace orvalinth {

class CXMemReader;
class CXMemWriter;

// Filter modes of Compare and Accept.
enum : int32_t {
  kFilterAll = 0,              // every record
  kFilterExecutables = 1,      // only names with an executable extension
  kFilterNonExecutables = 2,   // only names without one
  kFilterExecutablesAlso = 3,  // as 1
};

// What Write and the comparisons work with.
struct SXScanContext {
  CXMemWriter* writer = nullptr;  // where Write puts the record
  bool last = false;              // Write adds the end mark (0x80)
  int32_t filter = kFilterAll;    // filter mode of Compare
};

class SXSnapshotDataScan {
 public:
  virtual ~SXSnapshotDataScan() = default;

  // 1 file record, -2 node, -1 version record, 2 application item.
  virtual int32_t SectionType() const = 0;
  // Reads one record at the reader's position and advances past it.
  virtual void Read(CXMemReader& reader) = 0;
  // Writes this record into context.writer; the base writes nothing.
  virtual int Write(SXScanContext& /*context*/) { return 1; }
  // Walks the two runs at `a` and `b` in step: 0 when they hold the same
  // records, 1 at the first difference.
  virtual int CompareRuns(CXMemReader& a, CXMemReader& b, SXScanContext& context) = 0;
  // CompareRuns when both runs are given; 1 when one is missing.
  virtual int Compare(CXMemReader* a, CXMemReader* b, SXScanContext& context) {
    return a != nullptr && b != nullptr ? CompareRuns(*a, *b, context) : 1;
  }
  // The order of this record against `other` (negative, 0, positive).
  virtual int Order(const SXSnapshotDataScan& /*other*/) const { return 0; }
  // 1 when `other` (the same record in another snapshot) has changed.
  virtual int Differs(const SXSnapshotDataScan& /*other*/) const { return 0; }
  // 1 when the record passes the filter mode.
  virtual int Accept(int32_t /*filter*/) const { return 1; }

  uint8_t flags = 0;
};

}  // namespace orvalinth
