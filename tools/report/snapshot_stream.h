#pragma once
// CXSnapshotStream: a snapshot file read one section at a time, for the
// comparison and the reports. Only the header, the block chain, the info
// block and the tables block are read at opening; a section's payload is
// decoded when it is asked for, and its tree is read one node table or run
// at a time (CXSectionView), so that two snapshots of millions of files can
// be walked side by side with only two section payloads in memory.
//
// Every read is as untrusting as the full reader's (the same decoders): a
// fault raises snapshot_read::FaultSignal, which the callers of this file
// catch. A node's child table and content must lie before the table that
// holds the node, so a walk always ends, and the nesting is bounded.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "storage/reader/snapshot_reader_blocks.h"
#include "storage/reader/snapshot_reader_chunked.h"
#include "storage/reader/snapshot_reader_cursor.h"
#include "storage/reader/snapshot_reader_model.h"
#include "storage/reader/snapshot_reader_source.h"

namespace orvalinth::report {

// A node of a section as read from its table, without its children.
struct SXStreamNode {
  SXReadNode node;          // children, files, values and items stay empty
  uint32_t record = 0;      // payload offset of the node's record
  uint32_t child = 0;       // payload offset of its child table, 0 for none
  uint32_t content = 0;     // payload offset of its run, 0 for none
  uint32_t limit = 0;       // the table holding the node: child and content lie before it
  uint32_t depth = 0;
};

// One section payload, read in chunks.
class CXSectionView {
 public:
  // `label` (the file's name, for fault messages) outlives the view.
  CXSectionView(int kind, std::u16string name, std::unique_ptr<CXChunkedPayload> payload, uint32_t root_offset,
                snapshot_read::ReadContext& context, const std::string& label);
  CXSectionView(const CXSectionView&) = delete;
  CXSectionView& operator=(const CXSectionView&) = delete;

  int kind() const { return kind_; }
  const std::u16string& name() const { return name_; }
  const SXStreamNode& root() const { return root_; }

  // The node's children in stored order (empty without a child table).
  std::vector<SXStreamNode> Children(const SXStreamNode& node);
  // The node's run, by the section's kind (empty without content).
  std::vector<SXReadFile> Files(const SXStreamNode& node);
  std::vector<SXReadValue> Values(const SXStreamNode& node);
  std::vector<SXReadItem> Items(const SXStreamNode& node);
  // One record of the node's file or value run at payload offset `at`
  // (node.content for the first), for reading a run a record at a time
  // (CXRunReader): the offset of the record after it, *last set after the
  // run's last.
  uint32_t ReadRecord(const SXStreamNode& node, uint32_t at, SXReadFile* file, bool* last);
  uint32_t ReadRecord(const SXStreamNode& node, uint32_t at, SXReadValue* value, bool* last);
  // Whether the file or value runs of two nodes hold the same stored bytes,
  // measured record by record from each record's head and compared a piece
  // at a time without decoding them; false when either has none or does not
  // measure (decoding it then tells why).
  static bool SameRunBytes(CXSectionView& a, const SXStreamNode& node_a, CXSectionView& b,
                           const SXStreamNode& node_b);

 private:
  // The stored length of the node's file or value run, 0 as above.
  uint32_t RunLength(const SXStreamNode& node);
  void Seek(const SXStreamNode& node, uint32_t offset, const char* what);
  void ReadRoot(uint32_t root_offset);
  std::vector<SXStreamNode> ReadChildren(const SXStreamNode& node);
  // Runs a read, naming the file in the message of a fault it raises.
  template <class Read>
  auto Labelled(Read&& read) -> decltype(read());

  int kind_;
  const std::string& label_;
  std::u16string name_;
  std::unique_ptr<CXChunkedPayload> payload_;
  snapshot_read::CXPayloadCursor cursor_;
  SXStreamNode root_;
};

// A node's file or value run read one record at a time in stored order, so
// that a folder of 100,000 files costs one record, not 100,000.
template <class Record>
class CXRunReader {
 public:
  // `node` outlives the reader.
  CXRunReader(CXSectionView& view, const SXStreamNode& node)
      : view_(view), node_(node), at_(node.content), done_(node.content == 0) {}

  // The next record into *record; false after the last.
  bool Next(Record* record) {
    if (done_) return false;
    at_ = view_.ReadRecord(node_, at_, record, &done_);
    return true;
  }

 private:
  CXSectionView& view_;
  const SXStreamNode& node_;
  uint32_t at_;
  bool done_;
};

class CXSnapshotStream {
 public:
  struct Section {
    int kind = kReadRegistry;
    std::u16string name;
    CXBlockChain::Block block;
    uint32_t root_offset = 0;
  };

  // Opens the file at `path` (Windows form) and reads its header, blocks,
  // info and tables. 1 on success; 0 with fault() telling why.
  int Open(const std::u16string& path);
  // The same from bytes in memory (kept alive by the caller).
  int Open(std::unique_ptr<CXSnapshotSource> source);
  // The name that fault messages of later reads begin with (the file's name).
  void set_label(std::string label) { label_ = std::move(label); }
  // The bytes of output between a section payload's checkpoints, and how
  // many chunks a view keeps decoded (tests use small chunks).
  void set_chunking(uint32_t chunk, uint32_t cached) {
    chunk_ = chunk;
    cached_ = cached;
  }

  const SXReadFault& fault() const { return fault_; }
  const SXReadInfo& info() const { return info_; }
  uint64_t file_size() const { return file_size_; }
  // The sections in the order of the tables block: registry, files, applications.
  const std::vector<Section>& sections() const { return sections_; }

  // Decodes section `index`; raises snapshot_read::FaultSignal on a fault.
  std::unique_ptr<CXSectionView> Load(size_t index);

 private:
  int Start();

  std::string label_;
  std::unique_ptr<CXSnapshotSource> source_;
  CXBlockChain chain_;
  snapshot_read::ReadContext context_;
  SXReadFault fault_;
  SXReadInfo info_;
  uint64_t file_size_ = 0;
  std::vector<Section> sections_;
  uint32_t chunk_ = CXChunkedPayload::kDefaultChunk;
  uint32_t cached_ = CXChunkedPayload::kDefaultCached;
};

// Runs `body`, turning a read fault into *fault (and an exhausted memory
// into one of kind kNoMemory). 1 when the body ran through.
template <class Body>
int Guarded(SXReadFault* fault, Body&& body) {
  try {
    body();
    return 1;
  } catch (snapshot_read::FaultSignal& signal) {
    *fault = std::move(signal.fault);
  } catch (const std::bad_alloc&) {
    fault->kind = SXReadFaultKind::kNoMemory;
    fault->message = "out of memory while reading the snapshot";
  }
  return 0;
}

}  // namespace orvalinth::report
