#include "tools/snapshot_check.h"

#include "storage/reader/snapshot_dump.h"
#include "storage/reader/snapshot_reader.h"

namespace orvalinth::tools {

SXSnapshotCheck CheckSnapshotFile(const std::u16string& path) {
  SXSnapshotCheck check;
  CXSnapshotReader reader;
  SXReadSnapshot snapshot;
  if (!reader.ReadFile(path, &snapshot)) {
    const SXReadFault& fault = reader.fault();
    check.error = fault.message;
    check.file_offset = fault.file_offset;
    check.payload_offset = fault.payload_offset;
    check.cannot_read = fault.kind == SXReadFaultKind::kCannotOpen || fault.kind == SXReadFaultKind::kCannotRead ||
                        fault.kind == SXReadFaultKind::kNoMemory;
    return check;
  }
  check.ok = true;
  check.number = snapshot.info.number;
  check.title = snapshot.info.title;
  check.time = snapshot.info.time;
  check.computer = snapshot.info.computer;
  const SXSnapshotCounts counts = CountSnapshot(snapshot);
  check.keys = counts.keys;
  check.values = counts.values;
  check.folders = counts.folders;
  check.files = counts.files;
  check.file_bytes = counts.file_bytes;
  check.items = counts.items;
  check.errors = counts.errors;
  return check;
}

}  // namespace orvalinth::tools
