#pragma once
// SXSnapshotDataDir: one node of a node table (a folder, a registry key or an
// applications category), read side. The format:
//   flags (uint8): 0x01 child-table offset present, 0x02 content offset
//     present, 0x04 name length of two bytes, 0x08 name wide, 0x10 error
//     present, 0x20 attributes present, 0x40 link, 0x80 last node of the table;
//   attributes (uint16, 0x20); child-table offset (int32, 0x01); content
//   offset (int32, 0x02); error (int32, 0x10); name length (uint16 with 0x04,
//   else uint8); name (wide with 0x08, else narrow); with 0x40: link type
//   (uint8), byte length L (uint16) and L bytes of the target in UTF-8.

#include <cstdint>
#include <string>

#include "storage/data_scan.h"

namespace orvalinth {

// Link types of nodes.
enum : int32_t {
  kLinkNone = 0,
  kLinkRegistry = 1,   // registry symbolic link
  kLinkSymbolic = 2,   // file-system symbolic link
  kLinkJunction = 3,   // junction or volume mount point
};

// Writes one node; `last` adds the end mark. A link node is written without
// offsets; its target's UTF-8 is cut, at a whole unit, to 65,535 bytes.
void WriteNodeRecord(CXMemWriter& writer, int32_t error, uint16_t attributes, int32_t child_offset,
                     int32_t content_offset, const char16_t* name, int32_t name_length, int32_t link_type,
                     const char16_t* link_target, int32_t link_target_length, bool last);

class SXSnapshotDataDir : public SXSnapshotDataScan {
 public:
  int32_t SectionType() const override { return -2; }
  // Missing fields read as 0; a name of three units ending with "\" (a drive
  // root such as "C:\") reads as its first two units.
  void Read(CXMemReader& reader) override;
  int CompareRuns(CXMemReader&, CXMemReader&, SXScanContext&) override { return 0; }

  int32_t error = 0;
  uint16_t attributes = 0;
  int32_t child_offset = 0;
  int32_t content_offset = 0;
  std::u16string link_target;
  uint8_t link_type = 0;
  std::u16string name;
};

}  // namespace orvalinth
