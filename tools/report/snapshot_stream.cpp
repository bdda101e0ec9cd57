#include "tools/report/snapshot_stream.h"

#include <algorithm>
#include <cstring>

#include "base/strings.h"
#include "platform/errors.h"
#include "storage/reader/snapshot_reader_payloads.h"
#include "storage/reader/snapshot_reader_records.h"

namespace orvalinth::report {

using snapshot_read::CXPayloadCursor;
using snapshot_read::Fail;

namespace {

const char* const kSectionUse[3] = {"registry section", "file-system section", "applications section"};

uint32_t Le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}

// The stored length of one file record or registry value starting at `p`,
// of which `head` bytes are at hand and `n` lie before the end of the run's
// room, or 0 when it does not fit. `head` must hold the record's fixed part
// (at most 25 bytes) when n does.
size_t FileRecordLength(const uint8_t* p, size_t head, size_t n) {
  if (head < 1) return 0;
  const uint8_t flags = p[0];
  size_t at = 1 + ((flags & 0x40) ? 2 : 0) + ((flags & 0x20) ? 4 : 0) + 8;
  static const size_t kSizeBytes[4] = {1, 2, 4, 8};
  at += kSizeBytes[flags & 0x03];
  size_t length = 0;
  if (flags & 0x04) {
    if (at + 2 > head) return 0;
    length = p[at] | (p[at + 1] << 8);
    at += 2;
  } else {
    if (at + 1 > head) return 0;
    length = p[at];
    at += 1;
  }
  at += length * ((flags & 0x08) ? 2 : 1);
  return at <= n ? at : 0;
}

size_t ValueRecordLength(const uint8_t* p, size_t head, size_t n) {
  if (head < 1) return 0;
  const uint8_t flags = p[0];
  size_t at = 1;
  size_t name_length = 0;
  if (flags & 0x04) {
    if (at + 2 > head) return 0;
    name_length = p[at] | (p[at + 1] << 8);
    at += 2;
  } else {
    if (at + 1 > head) return 0;
    name_length = p[at++];
  }
  const uint32_t code = flags & 0x03;
  if (code == 3) return 0;
  static const size_t kSizeBytes[3] = {1, 2, 4};
  if (at + kSizeBytes[code] > head) return 0;
  uint64_t data = 0;
  for (size_t i = 0; i < kSizeBytes[code]; ++i) data |= static_cast<uint64_t>(p[at + i]) << (8 * i);
  at += kSizeBytes[code];
  uint32_t type = 0;
  if (flags & 0x10) {
    if (at + 4 > head) return 0;
    type = Le32(p + at);
    at += 4;
  } else {
    if (at + 1 > head) return 0;
    type = p[at++];
  }
  at += name_length * ((flags & 0x08) ? 2 : 1);
  if (IsRegistryTextType(type)) data *= (flags & 0x20) ? 2 : 1;
  if (data > n) return 0;
  at += static_cast<size_t>(data);
  return at <= n ? at : 0;
}

}  // namespace

template <class Read>
auto CXSectionView::Labelled(Read&& read) -> decltype(read()) {
  try {
    return read();
  } catch (snapshot_read::FaultSignal& signal) {
    if (!label_.empty()) signal.fault.message = label_ + ": " + signal.fault.message;
    throw;
  }
}

CXSectionView::CXSectionView(int kind, std::u16string name, std::unique_ptr<CXChunkedPayload> payload,
                             uint32_t root_offset, snapshot_read::ReadContext& context, const std::string& label)
    : kind_(kind), label_(label), name_(std::move(name)), payload_(std::move(payload)),
      cursor_(*payload_, payload_->block_offset(), "section block", context) {
  Labelled([&] { ReadRoot(root_offset); });
}

void CXSectionView::ReadRoot(uint32_t root_offset) {
  cursor_.Enter("section payload", 0);
  const uint8_t mark = cursor_.U8();
  if (mark != 0x01) cursor_.Fail("section payload", 0, Format("begins with %u instead of the format mark 1", mark));
  if (root_offset == 0 || root_offset >= cursor_.size()) {
    cursor_.Fail("root node table", root_offset, Format("lies outside the payload (%u bytes)", cursor_.size()));
  }
  cursor_.Seek(root_offset);
  std::vector<snapshot_read::NodeEntry> roots = snapshot_read::ReadNodeTable(cursor_);
  if (roots.size() != 1) {
    cursor_.Fail("root node table", root_offset,
                 Format("holds %u nodes (a section has one root)", static_cast<unsigned>(roots.size())));
  }
  root_.node = std::move(roots[0].node);
  root_.record = roots[0].record;
  root_.child = roots[0].child;
  root_.content = roots[0].content;
  root_.limit = root_offset;
}

void CXSectionView::Seek(const SXStreamNode& node, uint32_t offset, const char* what) {
  if (offset >= node.limit) {
    cursor_.Fail("node", node.record,
                 Format("points to its %s at payload offset %u, which is not before its own table at %u", what,
                        offset, node.limit));
  }
  cursor_.Seek(offset);
}

std::vector<SXStreamNode> CXSectionView::Children(const SXStreamNode& node) {
  return Labelled([&] { return ReadChildren(node); });
}

std::vector<SXStreamNode> CXSectionView::ReadChildren(const SXStreamNode& node) {
  std::vector<SXStreamNode> out;
  if (node.child == 0) return out;
  if (node.depth + 1 > cursor_.context().limits.max_depth) {
    cursor_.Fail("node", node.record, Format("nests node tables deeper than %u levels", cursor_.context().limits.max_depth));
  }
  Seek(node, node.child, "child table");
  std::vector<snapshot_read::NodeEntry> table = snapshot_read::ReadNodeTable(cursor_);
  if (cursor_.position() > node.limit) {
    cursor_.Fail("node table", node.child, Format("runs into the node table at payload offset %u that points at it", node.limit));
  }
  out.reserve(table.size());
  for (snapshot_read::NodeEntry& entry : table) {
    SXStreamNode child;
    child.node = std::move(entry.node);
    child.record = entry.record;
    child.child = entry.child;
    child.content = entry.content;
    child.limit = node.child;
    child.depth = node.depth + 1;
    out.push_back(std::move(child));
  }
  return out;
}

std::vector<SXReadFile> CXSectionView::Files(const SXStreamNode& node) {
  if (node.content == 0) return {};
  return Labelled([&] {
    Seek(node, node.content, "content");
    return snapshot_read::ReadFileRun(cursor_);
  });
}

std::vector<SXReadValue> CXSectionView::Values(const SXStreamNode& node) {
  if (node.content == 0) return {};
  return Labelled([&] {
    Seek(node, node.content, "content");
    return snapshot_read::ReadValueRun(cursor_);
  });
}

std::vector<SXReadItem> CXSectionView::Items(const SXStreamNode& node) {
  if (node.content == 0) return {};
  return Labelled([&] {
    Seek(node, node.content, "content");
    return snapshot_read::ReadItemRun(cursor_);
  });
}

uint32_t CXSectionView::ReadRecord(const SXStreamNode& node, uint32_t at, SXReadFile* file, bool* last) {
  return Labelled([&] {
    if (at == node.content) Seek(node, at, "content");
    else cursor_.Seek(at);
    cursor_.Enter("file run", node.content);
    *file = snapshot_read::ReadFileRecord(cursor_, false, last);
    return cursor_.position();
  });
}

uint32_t CXSectionView::ReadRecord(const SXStreamNode& node, uint32_t at, SXReadValue* value, bool* last) {
  return Labelled([&] {
    if (at == node.content) Seek(node, at, "content");
    else cursor_.Seek(at);
    cursor_.Enter("value run", node.content);
    *value = snapshot_read::ReadValueRecord(cursor_, last);
    return cursor_.position();
  });
}

uint32_t CXSectionView::RunLength(const SXStreamNode& node) {
  if (node.content == 0 || node.content >= node.limit || kind_ == kReadApplications) return 0;
  // The longest head (a file record's) is 25 bytes.
  const uint32_t available = node.limit - node.content;
  uint32_t at = 0;
  for (;;) {
    const uint32_t head = std::min<uint32_t>(32, available - at);
    const uint8_t* p = payload_->Read(node.content + at, head);
    const size_t n = kind_ == kReadFiles ? FileRecordLength(p, head, available - at)
                                         : ValueRecordLength(p, head, available - at);
    if (n == 0) return 0;
    const bool last = (p[0] & 0x80) != 0;
    at += static_cast<uint32_t>(n);
    if (last) return at;
  }
}

bool CXSectionView::SameRunBytes(CXSectionView& a, const SXStreamNode& node_a, CXSectionView& b,
                                 const SXStreamNode& node_b) {
  const uint32_t length = a.RunLength(node_a);
  if (length == 0 || length != b.RunLength(node_b)) return false;
  // A piece within one chunk of each side is read without a copy.
  constexpr uint32_t kPiece = 16u << 10;
  for (uint32_t at = 0; at < length; at += kPiece) {
    const uint32_t n = std::min(kPiece, length - at);
    const uint8_t* pa = a.payload_->Read(node_a.content + at, n);
    const uint8_t* pb = b.payload_->Read(node_b.content + at, n);
    if (std::memcmp(pa, pb, n) != 0) return false;
  }
  return true;
}

int CXSnapshotStream::Open(const std::u16string& path) {
  auto source = std::make_unique<CXSnapshotFileSource>();
  uint32_t error = 0;
  if (!source->Open(path, &error)) {
    fault_ = SXReadFault();
    fault_.kind = SXReadFaultKind::kCannotOpen;
    fault_.message = Format("cannot open the file (error %u)", error);
    if (!label_.empty()) fault_.message = label_ + ": " + fault_.message;
    return 0;
  }
  return Open(std::move(source));
}

int CXSnapshotStream::Open(std::unique_ptr<CXSnapshotSource> source) {
  source_ = std::move(source);
  fault_ = SXReadFault();
  if (Guarded(&fault_, [&] { Start(); })) return 1;
  if (!label_.empty()) fault_.message = label_ + ": " + fault_.message;
  return 0;
}

int CXSnapshotStream::Start() {
  CXSnapshotSource& source = *source_;
  file_size_ = source.Size();
  uint8_t header[kSnapshotHeaderSize] = {};
  const uint32_t have = static_cast<uint32_t>(std::min<uint64_t>(file_size_, kSnapshotHeaderSize));
  if (!source.ReadAt(0, header, have)) {
    Fail(SXReadFaultKind::kCannotRead, 0, -1,
         Format("cannot read the header at file offset 0 (error %u)", platform::LastError()));
  }
  if (std::memcmp(header, "s4.1", std::min<uint32_t>(have, 4)) != 0) {
    Fail(SXReadFaultKind::kNotSnapshot, 0, -1, "not a snapshot file: the bytes at file offset 0 are not \"s4.1\"");
  }
  if (file_size_ < kSnapshotHeaderSize || file_size_ > 0x7FFFFFFF) {
    Fail(SXReadFaultKind::kCorrupt, 0, -1,
         Format("corrupt snapshot: the file has %llu bytes", static_cast<unsigned long long>(file_size_)));
  }
  const uint32_t info_offset = Le32(header + 16);
  if (info_offset == 0) {
    Fail(SXReadFaultKind::kUnfinished, 16, -1,
         "unfinished snapshot: the info offset at file offset 16 is 0 (the recording did not finish)");
  }
  chain_.Walk(source, context_);
  {
    const CXBlockChain::Block block = chain_.Claim(info_offset, "info block", "the info offset at file offset 16");
    const std::vector<uint8_t> payload = chain_.Load(block);
    CXPayloadCursor cursor(payload, block.offset, "info block", context_);
    snapshot_read::ReadInfoPayload(cursor, &info_);
  }
  context_.version_count = info_.version_count;
  snapshot_read::TablesPayload tables;
  {
    const CXBlockChain::Block block =
        chain_.Claim(info_.tables_offset, "tables block", "the tables block offset in the info block");
    const std::vector<uint8_t> payload = chain_.Load(block);
    CXPayloadCursor cursor(payload, block.offset, "tables block", context_);
    tables = snapshot_read::ReadTablesPayload(cursor);
  }
  for (int kind = 0; kind < 3; ++kind) {
    for (size_t i = 0; i < tables.tables[kind].size(); ++i) {
      const snapshot_read::SectionTableEntry& entry = tables.tables[kind][i];
      Section section;
      section.kind = kind;
      section.name = entry.name;
      section.root_offset = entry.root_offset;
      section.block = chain_.Claim(entry.block_offset, kSectionUse[kind],
                                   Format("entry %u of the section table", static_cast<unsigned>(i)));
      sections_.push_back(std::move(section));
    }
  }
  return 1;
}

std::unique_ptr<CXSectionView> CXSnapshotStream::Load(size_t index) {
  const Section& section = sections_.at(index);
  std::unique_ptr<CXChunkedPayload> payload;
  try {
    payload = std::make_unique<CXChunkedPayload>(chain_.source(), section.block.offset, section.block.header, chunk_,
                                                 cached_);
  } catch (snapshot_read::FaultSignal& signal) {
    if (!label_.empty()) signal.fault.message = label_ + ": " + signal.fault.message;
    throw;
  }
  return std::make_unique<CXSectionView>(section.kind, section.name, std::move(payload), section.root_offset,
                                         context_, label_);
}

}  // namespace orvalinth::report
