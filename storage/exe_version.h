#pragma once
// SXExeVersion: the version data of one executable. SXDskSnapshotVersionExp:
// its record in a version chunk. The format:
//   length flags (uint8): bit k set when string k has 256 units or more;
//   wide flags (uint8): bit k set when string k does not fit narrow;
//   file version high (int32), file version low (int32);
//   the six strings in the order FileVersion, FileDescription, ProductName,
//   ProductVersion, CompanyName, Comments: each a length (uint16 with its
//   length flag, else uint8) and its units (wide or narrow by its wide flag),
//   cut to 65,535 units.
// Version records have no end mark and no count: the info block counts them.

#include <cstdint>
#include <string>

#include "storage/data_scan.h"

namespace orvalinth {

struct SXExeVersion {
  int32_t file_version_low = 0;   // the fixed file version's least significant double word
  int32_t file_version_high = 0;  // its most significant double word
  std::u16string file_version;
  std::u16string file_description;
  std::u16string product_name;
  std::u16string product_version;
  std::u16string company_name;
  std::u16string comments;

  // The six strings in record order.
  static constexpr int kStringCount = 6;
  std::u16string* strings(int k);
  const std::u16string* strings(int k) const;
  bool operator==(const SXExeVersion& other) const;
};

class SXDskSnapshotVersionExp : public SXSnapshotDataScan, public SXExeVersion {
 public:
  SXDskSnapshotVersionExp() = default;
  explicit SXDskSnapshotVersionExp(const SXExeVersion& version) : SXExeVersion(version) {}

  int32_t SectionType() const override { return -1; }
  void Read(CXMemReader& reader) override;
  int CompareRuns(CXMemReader&, CXMemReader&, SXScanContext&) override { return 0; }

  // Appends the record to `writer`.
  void WriteRecord(CXMemWriter& writer) const;
};

}  // namespace orvalinth
