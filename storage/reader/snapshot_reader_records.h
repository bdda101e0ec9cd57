#pragma once
// Decoders of the records inside snapshot payloads: nodes and node tables,
// file records and runs, registry values and runs, version records and
// application items and runs. Each reads at the cursor's position and leaves
// the cursor after what it read; anything that does not decode is a fault,
// anything readable but not in the form the writer produces is a remark.

#include <cstdint>
#include <vector>

#include "storage/reader/snapshot_reader_cursor.h"
#include "storage/reader/snapshot_reader_model.h"

namespace orvalinth {
namespace snapshot_read {

// A node with the payload offsets of its child table and content (0 for none).
struct NodeEntry {
  SXReadNode node;
  uint32_t record = 0;   // where the node's record begins
  uint32_t child = 0;
  uint32_t content = 0;
};

// One node table, up to and including the node with the end mark.
std::vector<NodeEntry> ReadNodeTable(CXPayloadCursor& cursor);
// One file run; `in_item` reads the single record embedded in an item.
std::vector<SXReadFile> ReadFileRun(CXPayloadCursor& cursor);
SXReadFile ReadFileRecord(CXPayloadCursor& cursor, bool in_item, bool* last);
std::vector<SXReadValue> ReadValueRun(CXPayloadCursor& cursor);
SXReadValue ReadValueRecord(CXPayloadCursor& cursor, bool* last);
SXReadVersion ReadVersionRecord(CXPayloadCursor& cursor);
std::vector<SXReadItem> ReadItemRun(CXPayloadCursor& cursor);

// Remarks on a category's own item run (the root's) that is not in item
// order: the writer sorts every such run ("Programs" has none).
void CheckApplicationSections(const std::vector<SXReadSection>& sections, ReadContext& context);

// Remarks on a name stored with flags that do not fit it.
void CheckNameForm(CXPayloadCursor& cursor, const char* what, uint32_t at, const std::u16string& name,
                   bool long_length, bool wide);

}  // namespace snapshot_read
}  // namespace orvalinth
