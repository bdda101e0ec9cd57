#include "storage/reader/snapshot_reader.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <new>

#include "base/strings.h"
#include "platform/errors.h"
#include "storage/reader/snapshot_reader_blocks.h"
#include "storage/reader/snapshot_reader_payloads.h"
#include "storage/reader/snapshot_reader_records.h"

namespace orvalinth {

using snapshot_read::CXPayloadCursor;
using snapshot_read::Fail;

namespace {

const char kMagic[4] = {'s', '4', '.', '1'};
const uint32_t kMaxSnapshotSize = 0x7FFFFFFF;  // positions are signed 32-bit numbers

uint32_t Le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}

const char* const kSectionUse[3] = {"registry section", "file-system section", "applications section"};
const char* const kTableName[3] = {"registry section table", "file-system section table",
                                   "applications section table"};

// Checks the 20-byte header; returns the info offset and fills the table offsets.
uint32_t ReadHeader(CXSnapshotSource& source, SXReadSnapshot* snapshot) {
  const uint64_t size = source.Size();
  uint8_t header[kSnapshotHeaderSize] = {};
  const uint32_t have = static_cast<uint32_t>(std::min<uint64_t>(size, kSnapshotHeaderSize));
  if (!source.ReadAt(0, header, have)) {
    Fail(SXReadFaultKind::kCannotRead, 0, -1, Format("cannot read the header at file offset 0 (error %u)",
                                                     platform::LastError()));
  }
  if (std::memcmp(header, kMagic, std::min<uint32_t>(have, 4)) != 0) {
    Fail(SXReadFaultKind::kNotSnapshot, 0, -1,
         "not a snapshot file: the bytes at file offset 0 are not \"s4.1\"");
  }
  if (size < kSnapshotHeaderSize) {
    Fail(SXReadFaultKind::kCorrupt, static_cast<int64_t>(size), -1,
         Format("corrupt snapshot: the file ends at file offset %llu, inside its 20-byte header",
                static_cast<unsigned long long>(size)));
  }
  if (size > kMaxSnapshotSize) {
    Fail(SXReadFaultKind::kCorrupt, kMaxSnapshotSize, -1,
         Format("corrupt snapshot: the file has %llu bytes, more than a snapshot can have (2 GiB)",
                static_cast<unsigned long long>(size)));
  }
  for (int k = 0; k < 3; ++k) snapshot->table_offsets[k] = Le32(header + 4 + 4 * k);
  const uint32_t info_offset = Le32(header + 16);
  if (info_offset == 0) {
    Fail(SXReadFaultKind::kUnfinished, 16, -1,
         "unfinished snapshot: the info offset at file offset 16 is 0 (the recording did not finish)");
  }
  return info_offset;
}

}  // namespace

int CXSnapshotReader::ReadFile(const std::u16string& path, SXReadSnapshot* snapshot) {
  CXSnapshotFileSource source;
  uint32_t error = 0;
  if (!source.Open(path, &error)) {
    *snapshot = SXReadSnapshot();
    remarks_.clear();
    remark_count_ = 0;
    fault_ = SXReadFault();
    fault_.kind = SXReadFaultKind::kCannotOpen;
    fault_.message = Format("cannot open the file (error %u)", error);
    return 0;
  }
  return Read(source, snapshot);
}

int CXSnapshotReader::Read(CXSnapshotSource& source, SXReadSnapshot* snapshot) {
  snapshot_read::ReadContext context;
  context.limits = limits_;
  fault_ = SXReadFault();
  *snapshot = SXReadSnapshot();
  int ok = 0;
  try {
    Decode(source, snapshot, context);
    ok = 1;
  } catch (snapshot_read::FaultSignal& signal) {
    fault_ = std::move(signal.fault);
  } catch (const std::bad_alloc&) {
    fault_.kind = SXReadFaultKind::kNoMemory;
    fault_.message = "out of memory while reading the snapshot";
  }
  if (!ok) *snapshot = SXReadSnapshot();
  remarks_ = std::move(context.remarks);
  remark_count_ = context.remark_count;
  return ok;
}

void CXSnapshotReader::Decode(CXSnapshotSource& source, SXReadSnapshot* snapshot,
                              snapshot_read::ReadContext& context) {
  snapshot->file_size = source.Size();
  const uint32_t info_offset = ReadHeader(source, snapshot);
  snapshot->info_offset = info_offset;

  CXBlockChain chain;
  chain.Walk(source, context);
  snapshot->block_count = chain.count();

  // Info block: the header points at it, and it ends the file.
  SXReadInfo& info = snapshot->info;
  {
    const CXBlockChain::Block block = chain.Claim(info_offset, "info block", "the info offset at file offset 16");
    if (block.offset != chain.last_offset()) {
      context.Remark(Format("info block at file offset %u is not the last block of the file", block.offset));
    }
    const std::vector<uint8_t> payload = chain.Load(block);
    CXPayloadCursor cursor(payload, block.offset, "info block", context);
    snapshot_read::ReadInfoPayload(cursor, &info);
  }

  // Tables block: its three tables must be where the header says.
  snapshot_read::TablesPayload tables;
  {
    const CXBlockChain::Block block =
        chain.Claim(info.tables_offset, "tables block", "the tables block offset in the info block");
    const std::vector<uint8_t> payload = chain.Load(block);
    CXPayloadCursor cursor(payload, block.offset, "tables block", context);
    tables = snapshot_read::ReadTablesPayload(cursor);
    for (int k = 0; k < 3; ++k) {
      if (tables.offsets[k] != snapshot->table_offsets[k]) {
        Fail(SXReadFaultKind::kCorrupt, 4 + 4 * k, -1,
             Format("corrupt snapshot: the header word at file offset %d gives the %s at payload offset %u, but it "
                    "is at %u of the tables block at file offset %u",
                    4 + 4 * k, kTableName[k], snapshot->table_offsets[k], tables.offsets[k], block.offset));
      }
    }
  }

  // Every block that the info and tables blocks point at is claimed before
  // any is decoded, so that a block named twice is reported as such.
  std::vector<CXBlockChain::Block> chunks;
  for (size_t k = 0; k < info.chunk_offsets.size(); ++k) {
    chunks.push_back(chain.Claim(info.chunk_offsets[k], "version chunk",
                                  Format("chunk %u of the info block's version table", static_cast<unsigned>(k))));
  }
  std::array<std::vector<CXBlockChain::Block>, 3> section_blocks;
  for (int kind = 0; kind < 3; ++kind) {
    for (size_t i = 0; i < tables.tables[kind].size(); ++i) {
      section_blocks[kind].push_back(chain.Claim(tables.tables[kind][i].block_offset, kSectionUse[kind],
                                                  Format("entry %u of the %s", static_cast<unsigned>(i), kTableName[kind])));
    }
  }

  // Version records, chunk by chunk: record i lies in chunk i / per-chunk.
  for (size_t k = 0; k < chunks.size(); ++k) {
    const std::vector<uint8_t> payload = chain.Load(chunks[k]);
    CXPayloadCursor cursor(payload, chunks[k].offset, "version chunk", context);
    const int64_t first = static_cast<int64_t>(k) * info.versions_per_chunk;
    const int64_t count = std::min<int64_t>(info.versions_per_chunk, info.version_count - first);
    for (int64_t i = 0; i < count; ++i) snapshot->versions.push_back(snapshot_read::ReadVersionRecord(cursor));
    if (cursor.remaining() != 0) {
      cursor.Fail("version chunk payload", 0,
                  Format("holds %u bytes after its %lld records", cursor.remaining(), static_cast<long long>(count)));
    }
  }
  context.version_count = static_cast<int64_t>(snapshot->versions.size());

  // Sections, each a tree in its own block.
  for (int kind = 0; kind < 3; ++kind) {
    for (size_t i = 0; i < tables.tables[kind].size(); ++i) {
      const snapshot_read::SectionTableEntry& entry = tables.tables[kind][i];
      const CXBlockChain::Block& block = section_blocks[kind][i];
      const std::vector<uint8_t> payload = chain.Load(block);
      CXPayloadCursor cursor(payload, block.offset, "section block", context);
      SXReadSection section;
      section.kind = kind;
      section.name = entry.name;
      section.block_offset = block.offset;
      section.root_offset = entry.root_offset;
      section.payload_length = block.header.length;
      section.stored_length = block.header.header_length + block.header.stored;
      section.root = snapshot_read::ReadSectionTree(cursor, kind, entry.root_offset);
      snapshot->sections[kind].push_back(std::move(section));
    }
  }

  snapshot_read::CheckApplicationSections(snapshot->sections[kReadApplications], context);

  for (uint32_t offset : chain.Unclaimed()) {
    context.Remark(Format("block at file offset %u is referred to by nothing", offset));
  }
}

}  // namespace orvalinth
