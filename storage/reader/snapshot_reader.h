#pragma once
// CXSnapshotReader: an untrusting reader of snapshot files, for tools and
// tests (the service only writes snapshots).
//
// It checks the header, walks every block from offset 20 to the end of the
// file, decodes the info block, the tables block, every version chunk and
// every section down to its file, value and item runs, and fills a plain tree
// (storage/reader/snapshot_reader_model.h). Every read is checked against its file or
// payload; anything that points outside them, a run without its end mark, an
// offset that does not point backwards into its payload, an LZ4 block that
// does not decode to exactly its length, and counts that disagree are faults
// with the file offset (and payload offset) where they were found. Memory
// stays in proportion to the data: no count or length is trusted before the
// bytes behind it are known to exist.
//
// Forms that decode but are not what the writer produces (a wide name that
// fits narrow, a flag with a zero value, a non-minimal block header, an
// unreferenced block, ...) do not stop the read; they are kept as remarks.

#include <cstdint>
#include <string>
#include <vector>

#include "storage/app_items.h"
#include "storage/reader/snapshot_reader_cursor.h"
#include "storage/reader/snapshot_reader_model.h"
#include "storage/reader/snapshot_reader_source.h"

namespace orvalinth {

class CXSnapshotReader {
 public:
  explicit CXSnapshotReader(SXReadLimits limits = SXReadLimits()) : limits_(limits) {}

  // Reads the snapshot file at `path` (Windows form). 1 on success; 0 with
  // fault() telling why, *snapshot then being empty.
  int ReadFile(const std::u16string& path, SXReadSnapshot* snapshot);
  // The same from any source of bytes.
  int Read(CXSnapshotSource& source, SXReadSnapshot* snapshot);

  // Why the last read failed (kind kNone after a success).
  const SXReadFault& fault() const { return fault_; }
  // Remarks of the last read, at most limits.max_remarks of them, and how
  // many there were in all.
  const std::vector<std::string>& remarks() const { return remarks_; }
  uint64_t remark_count() const { return remark_count_; }

 private:
  void Decode(CXSnapshotSource& source, SXReadSnapshot* snapshot, snapshot_read::ReadContext& context);

  SXReadLimits limits_;
  SXReadFault fault_;
  std::vector<std::string> remarks_;
  uint64_t remark_count_ = 0;
};

// A decoded item as the record that the item order and the change rules of
// storage/app_items.h take (file records without their names).
SXSnapshotDataAppsBase AppItemOf(const SXReadItem& item);

}  // namespace orvalinth
