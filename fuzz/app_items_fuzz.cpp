// Arbitrary bytes as a decoded payload holding an applications item run: the
// snapshot reader's item reader (ReadItemRun) must decode it or report a
// fault with a message, never read beyond the payload, crash or allocate
// without bound. A run that decodes without a remark is in the writer's own
// form, so the writer (WriteAppItem) gives back the very bytes it came from;
// the item order compares each item with itself as equal and two items of
// one kind in opposite directions with opposite signs.
//
// Input: byte 0 is the number of version records the file claims (which
// file records index); the rest is the payload.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "storage/app_items.h"
#include "storage/mem_writer.h"
#include "storage/reader/snapshot_reader.h"
#include "storage/reader/snapshot_reader_records.h"

#include "fuzz/fuzz_check.h"

namespace {

int Sign(int v) { return (v > 0) - (v < 0); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace orvalinth;
  using namespace orvalinth::snapshot_read;
  if (size < 1) return 0;
  ReadContext context;
  context.version_count = data[0];
  context.limits.cost_allowance = 1u << 20;
  const std::vector<uint8_t> payload(data + 1, data + size);
  CXPayloadCursor cursor(payload, 40, "section block", context);
  std::vector<SXReadItem> run;
  try {
    run = ReadItemRun(cursor);
  } catch (const FaultSignal& signal) {
    Check(!signal.fault.message.empty());  // every failure says why
    return 0;
  }
  Check(!run.empty() && cursor.position() <= payload.size());

  std::vector<SXSnapshotDataAppsBase> items;
  for (const SXReadItem& item : run) items.push_back(AppItemOf(item));
  for (size_t i = 0; i < items.size(); ++i) {
    Check(CompareAppItems(items[i], items[i]) == 0);
    if (i > 0 && items[i - 1].kind == items[i].kind) {
      Check(Sign(CompareAppItems(items[i - 1], items[i])) == -Sign(CompareAppItems(items[i], items[i - 1])));
    }
  }
  if (context.remark_count != 0) return 0;
  CXMemWriter writer(0);
  for (size_t i = 0; i < items.size(); ++i) WriteAppItem(writer, items[i], i + 1 == items.size());
  Check(static_cast<uint32_t>(writer.position()) == cursor.position());
  for (uint32_t i = 0; i < cursor.position(); ++i) {
    if (writer.data()[i] != payload[i]) {
      std::fprintf(stderr, "app_items_fuzz: the writer gives 0x%02X at payload offset %u where the run has 0x%02X\n",
                   writer.data()[i], static_cast<unsigned>(i), payload[i]);
      std::abort();
    }
  }
  return 0;
}
