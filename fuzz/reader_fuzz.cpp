// Arbitrary bytes as a snapshot file: the reader must decode them or report a
// fault, never read out of bounds, crash, leak or allocate without bound.

#include <cstddef>
#include <cstdint>

#include "storage/reader/snapshot_dump.h"
#include "storage/reader/snapshot_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace orvalinth;
  CXSnapshotMemorySource source(data, size);
  SXReadLimits limits;
  limits.cost_allowance = 4u << 20;  // keeps shared-run blow-ups quick to reach
  CXSnapshotReader reader(limits);
  SXReadSnapshot snapshot;
  if (reader.Read(source, &snapshot) == 1) {
    // A file that decodes is also shown, so the views meet the odd trees too.
    SXDumpDocument document;
    document.snapshot = &snapshot;
    document.file_name = "fuzz.snp";
    document.remarks = reader.remarks();
    document.remark_count = reader.remark_count();
    CXStringSink text, json;
    DumpText(document, SXDumpOptions(), text);
    DumpJson(document, json);
  } else if (reader.fault().message.empty()) {
    __builtin_trap();  // every failure must say why
  }
  return 0;
}
