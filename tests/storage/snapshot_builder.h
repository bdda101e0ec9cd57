#pragma once
// Writes snapshot files from a described tree, and reads them back trustingly,
// for round-trip tests of the writer and of snapshot readers.
//
//   test::SnapshotPlan plan;
//   test::NodeSpec root = test::Node(u"c:\\", {test::Node(u"Windows")});
//   root.children[0].files = {test::File(u"notepad.exe", 193536, 0x01D5C0A1B2C3D4E5, 0x20, 0)};
//   plan.versions = {{u"C:\\Windows\\notepad.exe", version}};
//   plan.sections.push_back({kSectionFiles, u"c:\\", root});
//   ASSERT_GT(test::WriteSnapshot(dir / u"snapshot001.snp", plan), 0u);
//   const std::string bytes = test::ReadFileBytes(dir / u"snapshot001.snp");
//   test::SnapshotImage image;
//   ASSERT_TRUE(test::ReadSnapshotImage(bytes, &image));

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "record/scan_request.h"
#include "storage/exe_version.h"
#include "storage/snapshot_io.h"

namespace orvalinth::test {

struct FileSpec {
  std::u16string name;
  uint64_t size = 0;
  int64_t last_write = 0;
  uint16_t attributes = 0;
  int32_t version_index = -1;
};

// A value as the registry gives it; read back, `data` holds the stored form
// (text as its units, one byte each or two when `wide_text`).
struct ValueSpec {
  std::u16string name;
  uint32_t type = 0;
  std::string data;
  bool wide_text = false;  // read back only
};

struct NodeSpec {
  std::u16string name;
  uint16_t attributes = 0;
  int32_t error = 0;
  int32_t link_type = 0;  // kLink*; a link has no children and no content
  std::u16string link_target;
  std::vector<NodeSpec> children;
  std::vector<FileSpec> files;    // the node's file run (file sections)
  std::vector<ValueSpec> values;  // the node's value run (registry sections)
  std::string raw_content;        // a run stored as it stands (item runs); not read back
};

// Short ways to describe a tree.
inline FileSpec File(std::u16string name, uint64_t size, int64_t last_write, uint16_t attributes = 0,
                     int32_t version_index = -1) {
  FileSpec f;
  f.name = std::move(name);
  f.size = size;
  f.last_write = last_write;
  f.attributes = attributes;
  f.version_index = version_index;
  return f;
}
inline ValueSpec Value(std::u16string name, uint32_t type, std::string data) {
  ValueSpec v;
  v.name = std::move(name);
  v.type = type;
  v.data = std::move(data);
  return v;
}
inline NodeSpec Node(std::u16string name, std::vector<NodeSpec> children = {}) {
  NodeSpec n;
  n.name = std::move(name);
  n.children = std::move(children);
  return n;
}

struct SectionPlan {
  int32_t kind = kSectionFiles;  // kSection*
  std::u16string name;           // the name in the section table
  NodeSpec root;                 // the root node (its name: "HKEY_LOCAL_MACHINE", "c:\", a category)
};

struct VersionPlan {
  std::u16string path;
  SXExeVersion version;
};

struct SnapshotPlan {
  int32_t number = 1;
  std::string title = "test snapshot";
  CXScanRequest request;
  std::vector<SectionPlan> sections;   // stored in this order
  std::vector<VersionPlan> versions;   // looked up first, so record i is versions[i]
  int32_t progress[3][2] = {{0, 0}, {0, 0}, {0, 0}};
  bool sort = true;                    // sort nodes, files and values by the name order
  // The machine the info block names; unset: this one's (DescribeMachine),
  // whose texts, and so the file's size, differ from machine to machine.
  std::optional<SXMachineDescription> machine;
};

// The payload of one section: the format mark, then the node tables and runs
// bottom-up, the root node table last. Returns the root table's offset.
int32_t BuildSectionPayload(const NodeSpec& root, int32_t kind, bool sort, CXMemWriter* payload);

// Writes the whole snapshot through a CXSnapshotWriter. The file size, or 0
// when the writer failed (its error text then in *error when given).
uint32_t WriteSnapshot(const std::u16string& path, const SnapshotPlan& plan, std::string* error = nullptr);

// ---- reading back (trusting: for files this program has just written) ----

struct StoredBlock {
  uint32_t offset = 0;
  int32_t header_size = 0;
  uint32_t stored = 0;
  uint32_t length = 0;
  bool compressed = false;
  std::string payload;  // decoded
};

// Decodes the block at `offset`; false when a compressed block does not
// begin with the method byte 0x00 or does not decode to exactly its length.
bool DecodeBlock(const std::string& file, uint32_t offset, StoredBlock* block);

// Every block from offset 20 to the end of the file, in order; false when one
// does not decode or the last does not end exactly at the end of the file.
bool DecodeAllBlocks(const std::string& file, std::vector<StoredBlock>* blocks);

// The node tree of a section payload read back (files for kind 1, values for kind 0).
NodeSpec ReadSectionTree(const std::string& payload, int32_t root_offset, int32_t kind);

struct InfoImage {
  uint8_t mark = 0;
  int32_t number = 0, reserved = 0, format_version = 0;
  std::string title, time, computer_name, os_name, os_details, processor;
  std::u16string user_name;
  uint32_t tables_offset = 0;
  int32_t progress[3][2] = {};
  int16_t minutes = 0, seconds = 0;
  int32_t version_count = 0, versions_per_chunk = 0;
  std::vector<uint32_t> version_chunks;
  uint8_t full = 0, removable = 0, version_info = 0;
  std::vector<std::u16string> targets[3];
  std::string reserved_tail;  // the 120 bytes after the targets
  size_t unread = 0;          // bytes left after the reserved tail
};

// Field by field.
InfoImage ParseInfo(const std::string& payload);

struct SnapshotImage {
  uint32_t table_words[3] = {};
  uint32_t info_offset = 0;
  std::vector<SXSectionEntry> tables[3];  // as stored in the tables block
  InfoImage info;
  std::vector<SXExeVersion> versions;     // every record of every chunk, in index order
};

// Reads header, tables block, info block and version chunks; false when the
// magic, an offset or a block is wrong.
bool ReadSnapshotImage(const std::string& file, SnapshotImage* image);

}  // namespace orvalinth::test
