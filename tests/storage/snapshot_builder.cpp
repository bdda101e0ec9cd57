#include "snapshot_builder.h"

#include <map>

#include "base/strings.h"
#include "record/apps/system_info.h"
#include "storage/block_header.h"
#include "storage/data_dir.h"
#include "storage/data_file.h"
#include "storage/file_records.h"
#include "storage/lz4_block.h"
#include "storage/mem_reader.h"
#include "storage/mem_writer.h"
#include "storage/node_table.h"
#include "storage/reg_values.h"
#include "storage/snapshot_writer.h"

namespace orvalinth::test {

namespace {

int32_t WriteContent(const NodeSpec& node, bool sort, CXMemWriter& w) {
  if (!node.raw_content.empty()) {
    const int32_t at = w.position();
    w.WriteBytes(node.raw_content.data(), static_cast<int32_t>(node.raw_content.size()));
    return at;
  }
  if (!node.files.empty()) {
    CXSnapshotDataFileRecArray files;
    for (const FileSpec& f : node.files) {
      SXFileRecord* r = files.Append(f.name);
      r->size = f.size;
      r->last_write = f.last_write;
      r->attributes = f.attributes;
      r->version_index = f.version_index;
    }
    return files.Flush(w, sort);
  }
  CXRegValueList values;
  for (const ValueSpec& v : node.values) values.Add(v.type, v.name, v.data);
  return values.Flush(w, sort);
}

// The table of `nodes`, written after everything below them.
int32_t WriteLevel(const std::vector<NodeSpec>& nodes, bool sort, CXMemWriter& w) {
  std::vector<int32_t> content(nodes.size()), children(nodes.size());
  for (size_t i = 0; i < nodes.size(); ++i) {
    if (nodes[i].link_type != kLinkNone) continue;
    content[i] = WriteContent(nodes[i], sort, w);
    children[i] = nodes[i].children.empty() ? 0 : WriteLevel(nodes[i].children, sort, w);
  }
  CXNodeTable table;
  for (size_t i = 0; i < nodes.size(); ++i) {
    SXNodeRecord* n = table.Append(nodes[i].name, nodes[i].attributes);
    n->error = nodes[i].error;
    n->content_offset = content[i];
    n->child_offset = children[i];
    if (nodes[i].link_type != kLinkNone) table.SetLink(n, nodes[i].link_target, nodes[i].link_type);
  }
  return table.Flush(w, sort);
}

uint32_t U32At(const std::string& s, size_t at) {
  return static_cast<uint32_t>(static_cast<unsigned char>(s[at])) |
         (static_cast<uint32_t>(static_cast<unsigned char>(s[at + 1])) << 8) |
         (static_cast<uint32_t>(static_cast<unsigned char>(s[at + 2])) << 16) |
         (static_cast<uint32_t>(static_cast<unsigned char>(s[at + 3])) << 24);
}

const uint8_t* Bytes(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

std::string String8(CXMemReader& r) {
  const uint16_t n = r.ReadU16();
  std::string out(reinterpret_cast<const char*>(r.current()), n);
  r.Skip(n);
  return out;
}

std::u16string Wide(CXMemReader& r) { return r.ReadUnits(r.ReadU16(), true); }

void ReadTree(const std::string& payload, int32_t table_offset, int32_t kind, std::vector<NodeSpec>* out) {
  CXMemReader reader(Bytes(payload), table_offset);
  SXSnapshotDataDir dir;
  do {
    dir.Read(reader);
    NodeSpec node;
    node.name = dir.name;
    node.attributes = dir.attributes;
    node.error = dir.error;
    node.link_type = dir.link_type;
    node.link_target = dir.link_target;
    if (dir.child_offset != 0) ReadTree(payload, dir.child_offset, kind, &node.children);
    if (dir.content_offset != 0 && kind == kSectionFiles) {
      CXMemReader run(Bytes(payload), dir.content_offset);
      SXSnapshotDataFile file;
      do {
        file.Read(run);
        node.files.push_back(FileSpec{file.name, static_cast<uint64_t>(file.size), file.last_write,
                                      static_cast<uint16_t>(file.attributes), file.version_index});
      } while (!(file.flags & 0x80));
    } else if (dir.content_offset != 0 && kind == kSectionRegistry) {
      CXMemReader run(Bytes(payload), dir.content_offset);
      uint8_t flags = 0;
      do {
        ValueSpec v;
        ReadRegValueRecord(run, &flags, &v.type, &v.name, &v.data);
        v.wide_text = (flags & 0x20) != 0;
        node.values.push_back(std::move(v));
      } while (!(flags & 0x80));
    }
    out->push_back(std::move(node));
  } while (!(dir.flags & 0x80));
}

}  // namespace

int32_t BuildSectionPayload(const NodeSpec& root, int32_t /*kind*/, bool sort, CXMemWriter* payload) {
  payload->WriteU8(0x01);
  return WriteLevel(std::vector<NodeSpec>{root}, sort, *payload);
}

uint32_t WriteSnapshot(const std::u16string& path, const SnapshotPlan& plan, std::string* error) {
  CXSnapshotWriter writer;
  std::map<std::u16string, SXExeVersion> versions;
  for (const VersionPlan& v : plan.versions) versions[FoldedAZ(v.path)] = v.version;
  writer.version_table().set_reader([&versions](const std::u16string& p, SXExeVersion* out) {
    const auto found = versions.find(FoldedAZ(p));
    if (found == versions.end()) return 0;
    *out = found->second;
    return 1;
  });
  if (!writer.CreateSnapshot(path, plan.title, plan.request.InfoRequest())) {
    if (error != nullptr) *error = writer.ChainText(false);
    return 0;
  }
  for (const VersionPlan& v : plan.versions) writer.version_table().LookupVersion(v.path, nullptr, nullptr);
  for (const SectionPlan& s : plan.sections) {
    CXMemWriter payload;
    const int32_t root = BuildSectionPayload(s.root, s.kind, plan.sort, &payload);
    writer.AddSection(s.kind, s.name, root, payload);
  }
  for (int k = 0; k < 3; ++k) {
    writer.progress(k, 0).Set(plan.progress[k][0]);
    writer.progress(k, 1).Set(plan.progress[k][1]);
  }
  const uint32_t size = writer.FinishSnapshot(plan.number, plan.machine ? *plan.machine : DescribeMachine());
  if (size == 0 && error != nullptr) *error = writer.ChainText(false);
  return size;
}

bool DecodeBlock(const std::string& file, uint32_t offset, StoredBlock* block) {
  if (offset >= file.size()) return false;
  block->offset = offset;
  block->header_size = DecodeBlockHeader(Bytes(file) + offset, &block->stored, &block->length, &block->compressed);
  const uint64_t begin = static_cast<uint64_t>(offset) + static_cast<uint64_t>(block->header_size);
  if (begin + block->stored > file.size()) return false;
  if (!block->compressed) {
    block->payload = file.substr(begin, block->stored);
    return true;
  }
  if (block->stored < 2 || file[begin] != '\0') return false;
  block->payload.assign(block->length, '\0');
  const int32_t got = Lz4DecompressBlock(Bytes(file) + begin + 1, static_cast<int32_t>(block->stored - 1),
                                         reinterpret_cast<uint8_t*>(&block->payload[0]),
                                         static_cast<int32_t>(block->length));
  return got == static_cast<int32_t>(block->length);
}

bool DecodeAllBlocks(const std::string& file, std::vector<StoredBlock>* blocks) {
  blocks->clear();
  uint64_t at = CXSnapshotIO::kHeaderSize;
  while (at < file.size()) {
    StoredBlock block;
    if (!DecodeBlock(file, static_cast<uint32_t>(at), &block)) return false;
    at += static_cast<uint64_t>(block.header_size) + block.stored;
    blocks->push_back(std::move(block));
  }
  return at == file.size();
}

NodeSpec ReadSectionTree(const std::string& payload, int32_t root_offset, int32_t kind) {
  std::vector<NodeSpec> roots;
  ReadTree(payload, root_offset, kind, &roots);
  return roots.empty() ? NodeSpec() : roots.front();
}

InfoImage ParseInfo(const std::string& payload) {
  InfoImage info;
  CXMemReader r(Bytes(payload));
  info.mark = r.ReadU8();
  info.number = r.ReadI32();
  info.reserved = r.ReadI32();
  info.format_version = r.ReadI32();
  info.title = String8(r);
  info.time = String8(r);
  info.computer_name = String8(r);
  info.os_name = String8(r);
  info.os_details = String8(r);
  info.processor = String8(r);
  info.user_name = Wide(r);
  info.tables_offset = r.ReadU32();
  for (auto& pair : info.progress) {
    pair[0] = r.ReadI32();
    pair[1] = r.ReadI32();
  }
  info.minutes = static_cast<int16_t>(r.ReadU16());
  info.seconds = static_cast<int16_t>(r.ReadU16());
  info.version_count = r.ReadI32();
  info.versions_per_chunk = r.ReadI32();
  const int32_t chunks = r.ReadI32();
  for (int32_t i = 0; i < chunks; ++i) info.version_chunks.push_back(r.ReadU32());
  info.full = r.ReadU8();
  info.removable = r.ReadU8();
  info.version_info = r.ReadU8();
  for (auto& list : info.targets) {
    const int32_t n = r.ReadI32();
    for (int32_t i = 0; i < n; ++i) list.push_back(Wide(r));
  }
  info.reserved_tail = payload.substr(static_cast<size_t>(r.position()), 120);
  info.unread = payload.size() - std::min(payload.size(), static_cast<size_t>(r.position()) + 120);
  return info;
}

bool ReadSnapshotImage(const std::string& file, SnapshotImage* image) {
  if (file.size() < 20 || file.compare(0, 4, "s4.1") != 0) return false;
  for (int k = 0; k < 3; ++k) image->table_words[k] = U32At(file, 4 + 4 * k);
  image->info_offset = U32At(file, 16);
  if (image->info_offset == 0) return false;
  StoredBlock info;
  if (!DecodeBlock(file, image->info_offset, &info)) return false;
  image->info = ParseInfo(info.payload);
  StoredBlock tables;
  if (!DecodeBlock(file, image->info.tables_offset, &tables)) return false;
  CXMemReader r(Bytes(tables.payload), 1);
  for (auto& table : image->tables) {
    const uint32_t n = r.ReadU32();
    for (uint32_t i = 0; i < n; ++i) {
      SXSectionEntry e;
      e.name = Wide(r);
      e.block_offset = r.ReadU32();
      e.root_offset = r.ReadI32();
      e.index = static_cast<int32_t>(i);
      table.push_back(std::move(e));
    }
  }
  image->versions.clear();
  int32_t left = image->info.version_count;
  for (uint32_t offset : image->info.version_chunks) {
    StoredBlock chunk;
    if (!DecodeBlock(file, offset, &chunk)) return false;
    CXMemReader c(Bytes(chunk.payload));
    SXDskSnapshotVersionExp record;
    while (c.position() < static_cast<int32_t>(chunk.payload.size()) && left > 0) {
      record.Read(c);
      image->versions.push_back(record);
      --left;
    }
  }
  return left == 0;
}

}  // namespace orvalinth::test
