#pragma once
// Test-side builder of whole snapshot files from a description (the reader's
// model structs): section payloads written bottom-up, version chunks, the
// tables block, the info block and the header, laid out as the recording lays
// them out. Header-only, shared with the fuzzer's seed writer.

#include <algorithm>
#include <vector>

#include "base/strings.h"
#include "tests/storage/snapshot_bytes.h"

namespace orvalinth::test {

// Appends the runs and tables below `nodes` and then their own table; returns
// the table's payload offset (0 for no nodes).
inline uint32_t WriteNodeTable(ByteWriter& payload, int kind, const std::vector<SXReadNode>& nodes) {
  if (nodes.empty()) return 0;
  std::vector<std::pair<uint32_t, uint32_t>> offsets;
  for (const SXReadNode& node : nodes) {
    const uint32_t child = WriteNodeTable(payload, kind, node.children);
    uint32_t content = 0;
    const size_t count = kind == kReadRegistry ? node.values.size()
                         : kind == kReadFiles  ? node.files.size()
                                               : node.items.size();
    if (count != 0) content = payload.size();
    for (size_t i = 0; i < count; ++i) {
      const bool last = i + 1 == count;
      if (kind == kReadRegistry) payload.Raw(ValueRecordBytes(node.values[i], last));
      if (kind == kReadFiles) payload.Raw(FileRecordBytes(node.files[i], last));
      if (kind == kReadApplications) payload.Raw(ItemRecordBytes(node.items[i], last));
    }
    offsets.emplace_back(child, content);
  }
  const uint32_t start = payload.size();
  for (size_t i = 0; i < nodes.size(); ++i) {
    payload.Raw(NodeRecordBytes(nodes[i], offsets[i].first, offsets[i].second, i + 1 == nodes.size()));
  }
  return start;
}

// A section payload: format mark, everything below the root, the root table.
inline std::string SectionPayload(int kind, const SXReadNode& root, uint32_t* root_offset) {
  ByteWriter payload;
  payload.U8(0x01);
  *root_offset = WriteNodeTable(payload, kind, {root});
  return payload.bytes();
}

inline std::string InfoPayload(const SXReadInfo& info) {
  ByteWriter w;
  w.U8(3).U32(static_cast<uint32_t>(info.number)).U32(static_cast<uint32_t>(info.reserved));
  w.U32(static_cast<uint32_t>(info.format_version));
  for (const std::string* s : {&info.title, &info.time, &info.computer, &info.os, &info.os_details, &info.processor}) {
    w.U16(static_cast<uint32_t>(s->size())).Raw(*s);
  }
  w.Text(info.user, true).U32(info.tables_offset);
  for (const auto& pair : info.counters) w.U32(static_cast<uint32_t>(pair[0])).U32(static_cast<uint32_t>(pair[1]));
  w.U16(static_cast<uint16_t>(info.elapsed_minutes)).U16(static_cast<uint16_t>(info.elapsed_seconds));
  w.U32(static_cast<uint32_t>(info.version_count)).U32(static_cast<uint32_t>(info.versions_per_chunk));
  w.U32(static_cast<uint32_t>(info.chunk_offsets.size()));
  for (uint32_t offset : info.chunk_offsets) w.U32(offset);
  w.U8(info.full).U8(info.removable).U8(info.version_info);
  for (const auto& list : info.targets) {
    w.U32(static_cast<uint32_t>(list.size()));
    for (const std::u16string& target : list) w.Text(target, true);
  }
  return w.Raw(std::string(120, ' ')).bytes();
}

// Lays out a file block by block: header, blocks in the order added, and the
// header words set as the tables and info blocks are added.
class SnapshotFileBuilder {
 public:
  explicit SnapshotFileBuilder(Store mode = Store::kAuto) : mode_(mode), file_("s4.1" + std::string(16, '\0')) {}

  // Stores `payload` as the next block; returns its file offset.
  uint32_t AddBlock(const std::string& payload) { return AddStored(StoreBlock(payload, mode_)); }
  // Appends a block given with its header; returns its file offset.
  uint32_t AddStored(const std::string& block) {
    const uint32_t offset = static_cast<uint32_t>(file_.size());
    file_ += block;
    return offset;
  }
  // Stores a section payload and lists it in the tables of its kind.
  uint32_t AddSection(int kind, const std::u16string& name, const std::string& payload, uint32_t root_offset) {
    const uint32_t offset = AddBlock(payload);
    tables_[kind].push_back({name, offset, root_offset});
    return offset;
  }
  // Stores the tables block and puts its table offsets into the header.
  uint32_t AddTables() {
    ByteWriter w;
    w.U8(0x01);
    for (int k = 0; k < 3; ++k) {
      table_offsets_[k] = tables_[k].empty() ? 0 : w.size();
      w.U32(static_cast<uint32_t>(tables_[k].size()));
      for (const Entry& e : tables_[k]) w.Text(e.name, true).U32(e.block_offset).U32(e.root_offset);
      SetWord(4 + 4 * k, table_offsets_[k]);
    }
    return AddBlock(w.bytes());
  }
  // Stores the info block and puts its offset into the header.
  uint32_t AddInfo(const SXReadInfo& info) {
    const uint32_t offset = AddBlock(InfoPayload(info));
    SetWord(16, offset);
    return offset;
  }
  void SetWord(size_t at, uint32_t value) { file_.replace(at, 4, ByteWriter().U32(value).bytes()); }

  uint32_t table_offset(int kind) const { return table_offsets_[kind]; }
  uint32_t size() const { return static_cast<uint32_t>(file_.size()); }
  const std::string& bytes() const { return file_; }

 private:
  struct Entry {
    std::u16string name;
    uint32_t block_offset;
    uint32_t root_offset;
  };
  Store mode_;
  std::string file_;
  std::vector<Entry> tables_[3];
  uint32_t table_offsets_[3] = {0, 0, 0};
};

// Builds the file of `snapshot`: sections in the order given (kinds
// interleaved registry, files, applications), full version chunks behind
// them, then the tables block, the last partial chunk and the info block.
// Sets the version count and the places (offsets) in `snapshot`, so that it
// compares equal to what a reader makes of the file.
inline std::string BuildSnapshotFile(SXReadSnapshot& snapshot, Store mode = Store::kAuto) {
  SnapshotFileBuilder file(mode);
  size_t longest = 0;
  for (const auto& list : snapshot.sections) longest = std::max(longest, list.size());
  for (size_t i = 0; i < longest; ++i) {
    for (int k = 0; k < 3; ++k) {
      if (i >= snapshot.sections[k].size()) continue;
      SXReadSection& section = snapshot.sections[k][i];
      section.kind = k;
      const std::string payload = SectionPayload(k, section.root, &section.root_offset);
      section.block_offset = file.AddSection(k, section.name, payload, section.root_offset);
    }
  }
  SXReadInfo& info = snapshot.info;
  const size_t per = static_cast<size_t>(info.versions_per_chunk);
  info.version_count = static_cast<int32_t>(snapshot.versions.size());
  info.chunk_offsets.clear();
  const auto write_chunk = [&](size_t first) {
    std::string chunk;
    for (size_t i = first; i < std::min(snapshot.versions.size(), first + per); ++i) {
      chunk += VersionRecordBytes(snapshot.versions[i]);
    }
    info.chunk_offsets.push_back(file.AddBlock(chunk));
  };
  size_t next = 0;
  for (; next + per <= snapshot.versions.size(); next += per) write_chunk(next);
  info.tables_offset = file.AddTables();
  if (next < snapshot.versions.size()) write_chunk(next);
  snapshot.info_offset = file.AddInfo(info);
  for (int k = 0; k < 3; ++k) snapshot.table_offsets[k] = file.table_offset(k);
  snapshot.file_size = file.size();
  return file.bytes();
}

}  // namespace orvalinth::test
