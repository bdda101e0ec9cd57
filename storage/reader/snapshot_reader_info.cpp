// The info block and the tables block.

#include "base/strings.h"
#include "storage/reader/snapshot_reader_payloads.h"

namespace orvalinth {
namespace snapshot_read {
namespace {

enum : int32_t { kInfoMark = 3, kFormatVersion = 0x401, kReservedBytes = 120 };

std::string Text8(CXPayloadCursor& c) { return c.Bytes(c.U16()); }
std::u16string WideText(CXPayloadCursor& c) { return c.Units(c.U16(), true); }

bool Flag(CXPayloadCursor& c, const char* name) {
  const uint32_t at = c.position();
  const uint8_t value = c.U8();
  if (value > 1) c.Remark("info field", at, Format("\"%s\" holds %u instead of 0 or 1", name, value));
  return value != 0;
}

// A count read at `at` whose entries take at least `entry_bytes` each: a count
// the remaining bytes cannot hold is a fault before anything is allocated.
uint32_t Count(CXPayloadCursor& c, const char* what, int64_t value, uint32_t entry_bytes) {
  const uint32_t at = c.position() - 4;
  if (value < 0 || static_cast<uint64_t>(value) * entry_bytes > c.remaining()) {
    c.Fail(what, at,
           Format("holds the count %lld, more than the %u bytes left can hold", static_cast<long long>(value),
                  c.remaining()));
  }
  return static_cast<uint32_t>(value);
}

}  // namespace

void ReadInfoPayload(CXPayloadCursor& c, SXReadInfo* info) {
  c.Enter("info block payload", 0);
  const uint8_t mark = c.U8();
  if (mark != kInfoMark) c.Fail("info block payload", 0, Format("has the format mark %u (this reader knows 3)", mark));
  info->number = c.I32();
  info->reserved = c.I32();
  if (info->reserved != -1) c.Remark("info field", 5, Format("\"reserved\" holds %d instead of -1", info->reserved));
  info->format_version = c.I32();
  if (info->format_version != kFormatVersion) {
    c.Fail("info field", 9, Format("\"format version\" is 0x%X (this reader knows 0x401)", info->format_version));
  }
  info->title = Text8(c);
  info->time = Text8(c);
  info->computer = Text8(c);
  info->os = Text8(c);
  info->os_details = Text8(c);
  info->processor = Text8(c);
  info->user = WideText(c);
  info->tables_offset = c.U32();
  for (auto& pair : info->counters) {
    pair[0] = c.I32();
    pair[1] = c.I32();
  }
  const uint32_t elapsed_at = c.position();
  info->elapsed_minutes = c.I16();
  info->elapsed_seconds = c.I16();
  if (info->elapsed_minutes < 0 || info->elapsed_seconds < 0 || info->elapsed_seconds > 59) {
    c.Remark("info field", elapsed_at,
             Format("\"elapsed time\" is %d minutes and %d seconds", info->elapsed_minutes, info->elapsed_seconds));
  }

  const uint32_t versions_at = c.position();
  info->version_count = c.I32();
  info->versions_per_chunk = c.I32();
  const int32_t chunk_count = c.I32();
  if (info->version_count < 0 || info->versions_per_chunk <= 0) {
    c.Fail("info field", versions_at,
           Format("\"executable-version table\" holds %d records in chunks of %d", info->version_count,
                  info->versions_per_chunk));
  }
  if (info->versions_per_chunk != 500) {
    c.Remark("info field", versions_at, Format("\"records per chunk\" is %d instead of 500", info->versions_per_chunk));
  }
  const int64_t needed =
      (static_cast<int64_t>(info->version_count) + info->versions_per_chunk - 1) / info->versions_per_chunk;
  if (chunk_count != needed) {
    c.Fail("info field", versions_at,
           Format("\"executable-version table\" lists %d chunks for %d records in chunks of %d (%lld needed)",
                  chunk_count, info->version_count, info->versions_per_chunk, static_cast<long long>(needed)));
  }
  const uint32_t chunks = Count(c, "chunk list", chunk_count, 4);
  info->chunk_offsets.resize(chunks);
  for (uint32_t& offset : info->chunk_offsets) offset = c.U32();

  info->full = Flag(c, "full");
  info->removable = Flag(c, "removable drives");
  info->version_info = Flag(c, "version information");
  for (auto& list : info->targets) {
    const uint32_t n = Count(c, "target list", c.I32(), 2);
    list.resize(n);
    for (std::u16string& target : list) target = WideText(c);
  }
  const uint32_t reserved_at = c.position();
  if (c.remaining() < kReservedBytes) {
    c.Fail("info block payload", 0, Format("ends %u bytes into its 120 reserved bytes", c.remaining()));
  }
  const std::string reserved = c.Bytes(kReservedBytes);
  if (reserved != std::string(kReservedBytes, ' ')) {
    c.Remark("info field", reserved_at, "\"reserved\" holds bytes other than 0x20");
  }
  if (c.remaining() != 0) {
    c.Fail("info block payload", 0, Format("holds %u bytes after its reserved field", c.remaining()));
  }
}

TablesPayload ReadTablesPayload(CXPayloadCursor& c) {
  TablesPayload out;
  c.Enter("tables block payload", 0);
  const uint8_t mark = c.U8();
  if (mark != 0x01) c.Fail("tables block payload", 0, Format("begins with %u instead of the format mark 1", mark));
  static const char* const kTableNames[3] = {"registry section table", "file-system section table",
                                             "applications section table"};
  for (int kind = 0; kind < 3; ++kind) {
    const uint32_t start = c.position();
    c.Enter(kTableNames[kind], start);
    const uint32_t raw_count = c.U32();
    // Each entry takes at least ten bytes: name length, block offset, root offset.
    const uint32_t count = Count(c, kTableNames[kind], raw_count, 10);
    std::vector<SectionTableEntry>& table = out.tables[kind];
    table.resize(count);
    for (SectionTableEntry& entry : table) {
      entry.name = WideText(c);
      entry.block_offset = c.U32();
      entry.root_offset = c.U32();
    }
    out.offsets[kind] = count != 0 ? start : 0;
    if (kind == kReadFiles) {
      for (uint32_t i = 1; i < count; ++i) {
        if (CompareNames(table[i - 1].name, table[i].name) > 0) {
          c.Remark(kTableNames[kind], start, Format("is not sorted by name at entry %u", i));
          break;
        }
      }
    }
  }
  if (c.remaining() != 0) {
    c.Fail("tables block payload", 0, Format("holds %u bytes after its three tables", c.remaining()));
  }
  return out;
}

}  // namespace snapshot_read
}  // namespace orvalinth
