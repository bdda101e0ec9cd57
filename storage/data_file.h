#pragma once
// SXSnapshotDataFile: one file record of a file run, read side. The format:
//   flags (uint8): bits 0x01-0x02 the size width code (0: one byte, 1: two,
//     2: four, 3: eight), 0x04 name length of two bytes (256 units or more),
//     0x08 name wide, 0x20 version index present, 0x40 attributes present,
//     0x80 last record of the run;
//   attributes (uint16, with 0x40); version index (int32, with 0x20);
//   last-write time (int64); size (1, 2, 4 or 8 bytes);
//   name length (uint16 with 0x04, else uint8); name (wide with 0x08, else narrow).

#include <cstdint>
#include <string>
#include <string_view>

#include "storage/data_scan.h"

namespace orvalinth {

// The size width code of a file size.
int FileSizeWidthCode(uint64_t size);

// Writes one file record; `last` adds the end mark. Names longer than 65,535
// units are cut to that many.
void WriteFileRecord(CXMemWriter& writer, int32_t version_index, uint16_t attributes, int64_t last_write,
                     uint64_t size, const char16_t* name, int32_t name_length, bool last);

// The name of a file record as stored at `record` (one that WriteFileRecord
// made): where its units begin, how many there are, and whether they are wide.
void StoredFileRecordName(const uint8_t* record, const uint8_t** units, int32_t* length, bool* wide);
// The name order (A-Z folded, then the units) of two stored names.
int CompareStoredNames(const uint8_t* a, int32_t a_length, bool a_wide, const uint8_t* b, int32_t b_length,
                       bool b_wide);
// Sets or clears the last-record mark of a stored file record.
void MarkStoredFileRecordLast(uint8_t* record, bool last);

// True when the name is longer than four units and ends with a point and one
// of the executable extensions bat, cmd, com, cpl, dll, drv, exe, ini, msi,
// ocx, scr, sys, vxd (A-Z case ignored).
bool HasExecutableExtension(std::u16string_view name);

class SXSnapshotDataFile : public SXSnapshotDataScan {
 public:
  int32_t SectionType() const override { return 1; }
  // Missing fields read as version index -1 and attributes 0.
  void Read(CXMemReader& reader) override;
  int Write(SXScanContext& context) override;
  // Equal runs have the same flags (the version bit aside), times, sizes and
  // names, record for record; versions and attributes are not compared.
  int CompareRuns(CXMemReader& a, CXMemReader& b, SXScanContext& context) override;
  // Without a filter as CompareRuns; with one, only the records that pass it
  // are compared (time, size and name), and one run ending first differs.
  int Compare(CXMemReader* a, CXMemReader* b, SXScanContext& context) override;
  // The name order of the whole names.
  int Order(const SXSnapshotDataScan& other) const override;
  // 1 when the last-write time or the size differs.
  int Differs(const SXSnapshotDataScan& other) const override;
  // Mode 0 every name; 1 and 3 names with an executable extension; 2 names of
  // five units or more without one.
  int Accept(int32_t filter) const override;

  int32_t version_index = -1;
  int16_t attributes = 0;
  int64_t last_write = 0;
  int64_t size = 0;
  std::u16string name;
};

}  // namespace orvalinth
