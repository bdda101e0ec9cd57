#pragma once
// Decoders of whole payloads: a section's tree, the info block and the tables
// block. Each checks that the payload holds exactly what it should.

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "storage/reader/snapshot_reader_cursor.h"
#include "storage/reader/snapshot_reader_model.h"

namespace orvalinth {
namespace snapshot_read {

// The tree of one section payload of `kind` whose root node table begins at
// `root_offset`: format mark, root table of one node, and below it every node
// table and run, each lying before the table that points at it.
SXReadNode ReadSectionTree(CXPayloadCursor& cursor, int kind, uint32_t root_offset);

// The info block's fields, all 17 of them, with the chunk offsets of the
// version records in info->chunk_offsets.
void ReadInfoPayload(CXPayloadCursor& cursor, SXReadInfo* info);

struct SectionTableEntry {
  std::u16string name;
  uint32_t block_offset = 0;
  uint32_t root_offset = 0;
};

struct TablesPayload {
  std::array<std::vector<SectionTableEntry>, 3> tables;  // registry, files, applications
  std::array<uint32_t, 3> offsets{};                     // where each table begins, 0 when empty
};

TablesPayload ReadTablesPayload(CXPayloadCursor& cursor);

}  // namespace snapshot_read
}  // namespace orvalinth
