// Whole snapshot files: what a reader makes of valid files, and the faults
// it reports for files that are not.

#include "storage/reader/snapshot_reader.h"

#include <gtest/gtest.h>

#include "test_support.h"
#include "tests/storage/snapshot_file_builder.h"
#include "tests/storage/snapshot_samples.h"

namespace orvalinth {
namespace {

using test::Hex;
using test::SnapshotFileBuilder;
using test::Store;

struct Result {
  int ok = 0;
  SXReadSnapshot snapshot;
  SXReadFault fault;
  std::vector<std::string> remarks;
};

Result ReadBytes(const std::string& file, SXReadLimits limits = SXReadLimits()) {
  CXSnapshotMemorySource source(file.data(), file.size());
  CXSnapshotReader reader(limits);
  Result r;
  r.ok = reader.Read(source, &r.snapshot);
  r.fault = reader.fault();
  r.remarks = reader.remarks();
  return r;
}

std::string FirstRemark(const Result& r) { return r.remarks.empty() ? "" : r.remarks[0]; }

TEST(SnapshotReader, SampleReadsBackInEveryStorageForm) {
  for (Store mode : {Store::kAuto, Store::kRaw, Store::kCompressed}) {
    SXReadSnapshot sample = test::SampleSnapshot();
    const std::string file = test::BuildSnapshotFile(sample, mode);
    const Result r = ReadBytes(file);
    ASSERT_EQ(r.ok, 1) << r.fault.message;
    EXPECT_TRUE(r.snapshot == sample);
    EXPECT_EQ(r.snapshot.info.chunk_offsets, sample.info.chunk_offsets);
    EXPECT_EQ(r.snapshot.info.tables_offset, sample.info.tables_offset);
    EXPECT_EQ(r.snapshot.info_offset, sample.info_offset);
    EXPECT_EQ(r.snapshot.file_size, file.size());
    EXPECT_EQ(r.snapshot.sections[kReadFiles][0].block_offset, sample.sections[kReadFiles][0].block_offset);
    EXPECT_EQ(r.snapshot.sections[kReadFiles][0].root_offset, sample.sections[kReadFiles][0].root_offset);
    // Compressed blocks of tiny payloads are the one form the writer never uses.
    if (mode != Store::kCompressed) {
      EXPECT_TRUE(r.remarks.empty()) << FirstRemark(r);
    }
  }
}

TEST(SnapshotReader, ReadsAFileFromDisk) {
  test::TempFolder folder;
  SXReadSnapshot sample = test::SampleSnapshot();
  test::WriteFileBytes(folder / u"snapshot001.snp", test::BuildSnapshotFile(sample));
  CXSnapshotReader reader;
  SXReadSnapshot read;
  ASSERT_EQ(reader.ReadFile(folder / u"snapshot001.snp", &read), 1) << reader.fault().message;
  EXPECT_TRUE(read == sample);

  EXPECT_EQ(reader.ReadFile(folder / u"missing.snp", &read), 0);
  EXPECT_EQ(reader.fault().kind, SXReadFaultKind::kCannotOpen);
  EXPECT_EQ(reader.fault().message, "cannot open the file (error 2)");
}

TEST(SnapshotReader, EmptySnapshotHasZeroTableOffsets) {
  SXReadSnapshot empty;
  const std::string file = test::BuildSnapshotFile(empty);
  EXPECT_EQ(file.substr(4, 12), std::string(12, '\0'));
  const Result r = ReadBytes(file);
  ASSERT_EQ(r.ok, 1) << r.fault.message;
  EXPECT_TRUE(r.snapshot == empty);
  EXPECT_EQ(r.snapshot.block_count, 2u);  // tables and info
}

TEST(SnapshotReader, OnlyFilesHasRegistryAndApplicationsWordsZero) {
  SXReadSnapshot s;
  s.sections[kReadFiles] = {test::SampleFilesSection()};
  s.versions = {test::SampleVersion(1, u"")};  // the sample's notepad.exe refers to version record 0
  const Result r = ReadBytes(test::BuildSnapshotFile(s));
  ASSERT_EQ(r.ok, 1) << r.fault.message;
  EXPECT_EQ(r.snapshot.table_offsets[0], 0u);
  EXPECT_EQ(r.snapshot.table_offsets[1], 5u);  // mark, then the empty registry table's count
  EXPECT_EQ(r.snapshot.table_offsets[2], 0u);
}

TEST(SnapshotReader, VersionRecordsComeChunkByChunk) {
  SXReadSnapshot s;
  for (uint32_t i = 0; i < 1001; ++i) s.versions.push_back(test::SampleVersion(i, u"v" + test::W(std::to_string(i))));
  s.sections[kReadFiles] = {test::SampleFilesSection()};
  s.sections[kReadFiles][0].root.files[0].version_index = 1000;
  const std::string file = test::BuildSnapshotFile(s);
  const Result r = ReadBytes(file);
  ASSERT_EQ(r.ok, 1) << r.fault.message;
  EXPECT_EQ(r.snapshot.info.version_count, 1001);
  EXPECT_EQ(r.snapshot.info.versions_per_chunk, 500);
  ASSERT_EQ(r.snapshot.info.chunk_offsets.size(), 3u);
  // The two full chunks lie before the tables block, the partial one after it.
  EXPECT_LT(r.snapshot.info.chunk_offsets[1], r.snapshot.info.tables_offset);
  EXPECT_GT(r.snapshot.info.chunk_offsets[2], r.snapshot.info.tables_offset);
  EXPECT_EQ(r.snapshot.versions[1000].strings[1], u"v1000");
  EXPECT_TRUE(r.snapshot == s);
}

TEST(SnapshotReader, CategoryWithoutItemsIsARootAlone) {
  SnapshotFileBuilder b;
  // 0x01, then the root table: one node "Startup", end mark, no offsets.
  b.AddSection(kReadApplications, u"Startup", Hex("01 80 07") + "Startup", 1);
  const uint32_t tables = b.AddTables();
  SXReadInfo info;
  info.tables_offset = tables;
  b.AddInfo(info);
  const Result r = ReadBytes(b.bytes());
  ASSERT_EQ(r.ok, 1) << r.fault.message;
  ASSERT_EQ(r.snapshot.sections[kReadApplications].size(), 1u);
  EXPECT_EQ(r.snapshot.sections[kReadApplications][0].root.name, u"Startup");
  EXPECT_TRUE(r.snapshot.sections[kReadApplications][0].root.items.empty());
}

// A file holding one section of `kind` with the given payload and root offset.
std::string FileWithSection(int kind, const std::string& payload, uint32_t root, int versions = 0) {
  SnapshotFileBuilder b;
  b.AddSection(kind, u"x", payload, root);
  SXReadInfo info;
  if (versions > 0) {
    std::string chunk;
    for (int i = 0; i < versions; ++i) chunk += test::VersionRecordBytes(test::SampleVersion(1, u""));
    info.chunk_offsets = {b.AddBlock(chunk)};
    info.version_count = versions;
  }
  info.tables_offset = b.AddTables();
  b.AddInfo(info);
  return b.bytes();
}

TEST(SnapshotReader, SectionFaultsNameBlockAndPayloadOffsets) {
  struct Case {
    std::string payload;
    uint32_t root;
    const char* message;
  } cases[] = {
      {Hex("02 80 01 61"), 1, "section payload at payload offset 0 of the section block at file offset 20 begins "
                              "with 2 instead of the format mark 1"},
      {Hex("01 80 01 61"), 4, "root node table at payload offset 4 of the section block at file offset 20 lies "
                              "outside the payload (4 bytes)"},
      {Hex("01 80 01 61"), 0, "root node table at payload offset 0"},
      {Hex("01 00 01 61 80 01 62"), 1, "root node table at payload offset 1 of the section block at file offset 20 "
                                       "holds 2 nodes"},
      // The root's child table offset points at the root table itself: a loop.
      {Hex("01 81 01 00 00 00 01 61"), 1, "node at payload offset 1 of the section block at file offset 20 points "
                                          "to its child table at payload offset 1, which is not before its own "
                                          "table at 1 (a loop)"},
      // ... and forwards.
      {Hex("01 81 09 00 00 00 01 61 00 80 01 62"), 1, "points to its child table at payload offset 9"},
      // A child table that runs into the root table after it.
      {Hex("01 00 01 62 81 01 00 00 00 01 61"), 4, "node table at payload offset 1 of the section block at file "
                                                  "offset 20 runs into the node table at payload offset 4"},
      // A file run whose record reaches into the root table after it.
      {Hex("01 80 00 00 00 82 01 00 00 00 01 00"), 5,
       "file run at payload offset 1 of the section block at file offset 20 runs into the node table at payload "
       "offset 5"},
      // The same bytes read as a child table by one node and as content by another.
      {Hex("01 80 0A 41 41 41 41 41 41 41 41 00 41 02 01 00 00 00 01 78 81 01 00 00 00 01 79 81 0D 00 00 00 01 72"),
       27, "node at payload offset 13 of the section block at file offset 20 points to its content at payload "
           "offset 1, which another node reads as its child table"},
  };
  for (const Case& c : cases) {
    const Result r = ReadBytes(FileWithSection(kReadFiles, c.payload, c.root));
    EXPECT_EQ(r.ok, 0);
    EXPECT_EQ(r.fault.kind, SXReadFaultKind::kCorrupt);
    EXPECT_NE(r.fault.message.find(c.message), std::string::npos) << r.fault.message;
    EXPECT_EQ(r.fault.file_offset, 20);
  }
}

TEST(SnapshotReader, VersionIndexMustNameAnExistingRecord) {
  // A file run of one file with version index 2 and the root pointing at it.
  const std::string payload = Hex("01 A0 02 00 00 00 00 00 00 00 00 00 00 00 00 01 66 82 01 00 00 00 01 61");
  EXPECT_EQ(ReadBytes(FileWithSection(kReadFiles, payload, 17, 3)).ok, 1);
  const Result r = ReadBytes(FileWithSection(kReadFiles, payload, 17, 2));
  EXPECT_EQ(r.ok, 0);
  EXPECT_NE(r.fault.message.find("refers to version record 2, but the snapshot holds 2"), std::string::npos)
      << r.fault.message;
}

TEST(SnapshotReader, DeepNestingStopsAtTheDepthLimit) {
  // A chain of node tables, each the only child of the next: depth n.
  test::ByteWriter w;
  w.U8(0x01);
  uint32_t previous = 0;
  for (int i = 0; i < 50; ++i) {
    const uint32_t at = w.size();
    w.Raw(test::NodeRecordBytes(test::SampleNode(u"d"), previous, 0, true));
    previous = at;
  }
  SXReadLimits limits;
  limits.max_depth = 49;
  EXPECT_EQ(ReadBytes(FileWithSection(kReadFiles, w.bytes(), previous), limits).ok, 1);
  limits.max_depth = 48;
  const Result r = ReadBytes(FileWithSection(kReadFiles, w.bytes(), previous), limits);
  EXPECT_EQ(r.ok, 0);
  EXPECT_NE(r.fault.message.find("nests node tables deeper than 48 levels"), std::string::npos) << r.fault.message;
}

TEST(SnapshotReader, SharedTablesCannotBlowUpMemory) {
  // Every table holds two nodes pointing at the table before it: 2^40 nodes
  // if the tree were unfolded, from a few hundred bytes.
  test::ByteWriter w;
  w.U8(0x01);
  uint32_t previous = 0;
  for (int i = 0; i < 40; ++i) {
    const uint32_t at = w.size();
    w.Raw(test::NodeRecordBytes(test::SampleNode(u"a"), previous, 0, false));
    w.Raw(test::NodeRecordBytes(test::SampleNode(u"b"), previous, 0, true));
    previous = at;
  }
  const uint32_t root = w.size();
  w.Raw(test::NodeRecordBytes(test::SampleNode(u"r"), previous, 0, true));
  const Result r = ReadBytes(FileWithSection(kReadFiles, w.bytes(), root));
  EXPECT_EQ(r.ok, 0);
  EXPECT_NE(r.fault.message.find("decodes to far more records than its"), std::string::npos) << r.fault.message;
}

TEST(SnapshotReader, FileLevelFaults) {
  SXReadSnapshot sample = test::SampleSnapshot();
  const std::string good = test::BuildSnapshotFile(sample);

  std::string wrong_word = good;  // the registry table's offset in the header
  wrong_word[4] = 2;
  Result r = ReadBytes(wrong_word);
  EXPECT_NE(r.fault.message.find("the header word at file offset 4 gives the registry section table at payload "
                                 "offset 2, but it is at 1"),
            std::string::npos)
      << r.fault.message;

  // Two entries naming the same block.
  SnapshotFileBuilder b;
  uint32_t root = 0;
  const std::string payload = test::SectionPayload(kReadFiles, test::SampleNode(u"c:"), &root);
  const uint32_t block = b.AddSection(kReadFiles, u"c:\\", payload, root);
  SXReadInfo info;
  info.chunk_offsets = {block};
  info.version_count = 1;
  info.tables_offset = b.AddTables();
  b.AddInfo(info);
  r = ReadBytes(b.bytes());
  EXPECT_NE(r.fault.message.find("entry 0 of the file-system section table points at the block at file offset 20, "
                                 "which is already the version chunk"),
            std::string::npos)
      << r.fault.message;

  // Bytes after the info block's reserved field.
  SnapshotFileBuilder c;
  SXReadInfo plain;
  plain.tables_offset = c.AddTables();
  const uint32_t info_at = c.AddStored(test::StoreBlock(test::InfoPayload(plain) + "!"));
  c.SetWord(16, info_at);
  r = ReadBytes(c.bytes());
  EXPECT_NE(r.fault.message.find("info block payload at payload offset 0 of the info block at file offset 34 holds "
                                 "1 bytes after its reserved field"),
            std::string::npos)
      << r.fault.message;
}

TEST(SnapshotReader, OddButReadableFilesGetRemarks) {
  SnapshotFileBuilder b;
  b.AddStored(Hex("80 00 03 00 01 02 03"));  // a 3-byte payload with a 4-byte header, used by nothing
  SXReadInfo info;
  info.tables_offset = b.AddTables();
  info.reserved = 0;
  b.AddInfo(info);
  const Result r = ReadBytes(b.bytes());
  ASSERT_EQ(r.ok, 1) << r.fault.message;
  const std::vector<std::string> expected = {
      "block at file offset 20: a raw payload of 3 bytes has a 4-byte header",
      "info field at payload offset 5 of the info block at file offset 41 \"reserved\" holds 0 instead of -1",
      "block at file offset 20 is referred to by nothing",
  };
  EXPECT_EQ(r.remarks, expected);
}

// The sample without its one long value, so that raw files stay small enough
// to cut at every length.
SXReadSnapshot SmallSample() {
  SXReadSnapshot sample = test::SampleSnapshot();
  std::u16string& text = sample.sections[kReadRegistry][0].root.children[1].children[0].children[0].values[0].text;
  EXPECT_EQ(text.size(), 70000u);
  text.resize(300);
  return sample;
}

TEST(SnapshotReader, EveryTruncationIsRejectedWithAnOffset) {
  SXReadSnapshot sample = SmallSample();
  for (Store mode : {Store::kAuto, Store::kRaw}) {
    const std::string file = test::BuildSnapshotFile(sample, mode);
    for (size_t length = 0; length < file.size(); ++length) {
      // A buffer of exactly `length` bytes, so that the sanitizer sees any read past it.
      const std::vector<uint8_t> bytes(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(length));
      CXSnapshotMemorySource source(bytes.data(), bytes.size());
      CXSnapshotReader reader;
      SXReadSnapshot read;
      ASSERT_EQ(reader.Read(source, &read), 0) << length;
      EXPECT_EQ(reader.fault().kind, SXReadFaultKind::kCorrupt) << length << ": " << reader.fault().message;
      EXPECT_NE(reader.fault().message.find("offset"), std::string::npos) << reader.fault().message;
      EXPECT_GE(reader.fault().file_offset, 0) << reader.fault().message;
    }
  }
}

TEST(SnapshotReader, SingleByteCorruptionsDecodeOrAreReported) {
  SXReadSnapshot sample = SmallSample();
  uint32_t state = 88172645u;
  const auto next = [&state] {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state;
  };
  int rejected = 0, decoded = 0;
  for (Store mode : {Store::kAuto, Store::kRaw}) {
    const std::string file = test::BuildSnapshotFile(sample, mode);
    for (int round = 0; round < 1500; ++round) {
      std::vector<uint8_t> bytes(file.begin(), file.end());
      const size_t at = next() % bytes.size();
      bytes[at] = static_cast<uint8_t>(bytes[at] ^ (1 + next() % 255));
      CXSnapshotMemorySource source(bytes.data(), bytes.size());
      CXSnapshotReader reader;
      SXReadSnapshot read;
      if (reader.Read(source, &read) == 1) {
        ++decoded;
        continue;
      }
      ++rejected;
      EXPECT_NE(reader.fault().kind, SXReadFaultKind::kNone);
      EXPECT_NE(reader.fault().message.find("offset"), std::string::npos)
          << "byte " << at << ": " << reader.fault().message;
    }
  }
  // Most bytes matter; a few (times, sizes, text) may change and still decode.
  EXPECT_GT(rejected, 0);
  EXPECT_GT(decoded, 0);
}

}  // namespace
}  // namespace orvalinth
