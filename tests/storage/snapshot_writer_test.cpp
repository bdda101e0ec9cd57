#include "storage/snapshot_writer.h"

#include <gtest/gtest.h>

#include <random>
#include <thread>

#include "fakes/fake_machine.h"
#include "platform/files.h"
#include "platform/system_info.h"
#include "record/apps/system_info.h"
#include "snapshot_builder.h"
#include "storage/data_dir.h"
#include "storage/lz4_block.h"
#include "storage/mem_writer.h"
#include "test_support.h"

namespace orvalinth {
namespace {

using test::Hex;
using test::ReadFileBytes;
using test::TempFolder;
using test::ToHex;

std::string Random(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(gen() & 0xFF);
  return s;
}

const uint8_t* U8(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

class SnapshotWriter : public ::testing::Test {
 protected:
  SnapshotWriter() {
    machine_.machine.computer_name = "WORKSTATION-0123456789";
    machine_.machine.user_name = u"SYSTEM \u4e2d";
  }
  std::u16string Path(const char16_t* name = u"snapshot001.snp") { return dir_ / name; }

  TempFolder dir_;
  test::DescribedMachine machine_;
};

// Stores one payload in a fresh snapshot and gives the stored block's bytes.
std::string StoreOne(const std::u16string& path, const std::string& payload, uint32_t* offset) {
  CXSnapshotWriter writer;
  EXPECT_EQ(writer.CreateSnapshot(path, "t", SXInfoRequest()), 1);
  *offset = writer.WriteBlock(U8(payload), static_cast<int32_t>(payload.size()));
  writer.ResetWriter();
  return ReadFileBytes(path).substr(20);
}

TEST_F(SnapshotWriter, WhileRecordingTheHeaderIsProvisional) {
  CXSnapshotWriter writer;
  ASSERT_EQ(writer.CreateSnapshot(Path(), "t", SXInfoRequest()), 1);
  EXPECT_EQ(ToHex(ReadFileBytes(Path())), ToHex("s4.1" + std::string(16, '\0')));
  EXPECT_EQ(writer.job_counter(kScanFiles).Get(), -1);
  EXPECT_EQ(writer.progress(kScanFiles, 0).Get(), 0);
}

TEST_F(SnapshotWriter, PayloadOf127BytesHasTheSingleHeaderByte7F) {
  uint32_t offset = 0;
  const std::string payload(127, 'a');  // would compress well, but is too short to try
  EXPECT_EQ(ToHex(StoreOne(Path(), payload, &offset)), ToHex(Hex("7F") + payload));
  EXPECT_EQ(offset, 20u);
}

TEST_F(SnapshotWriter, IncompressiblePayloadsAreStoredRaw) {
  uint32_t offset = 0;
  const std::string small = Random(200, 1);
  EXPECT_EQ(ToHex(StoreOne(Path(), small, &offset)), ToHex(Hex("80 00 C8 00") + small));
  const std::string large = Random(20000, 2);
  EXPECT_EQ(StoreOne(Path(), large, &offset), Hex("C0 4E 00 20 00 00 00 00") + large);
  const std::string edge = Random(16384, 3);
  EXPECT_EQ(StoreOne(Path(), edge, &offset).substr(0, 8), Hex("C0 40 00 00 00 00 00 00"));
  const std::string below = Random(16383, 4);
  EXPECT_EQ(StoreOne(Path(), below, &offset).substr(0, 4), Hex("BF 00 FF 00"));
}

TEST_F(SnapshotWriter, TenThousandZerosAreStoredCompressed) {
  uint32_t offset = 0;
  const std::string zeros(10000, '\0');
  const std::string block = StoreOne(Path(), zeros, &offset);
  ASSERT_GE(block.size(), 5u);
  const uint8_t* h = U8(block);
  EXPECT_EQ(h[0] & 0xC0, 0x80);
  EXPECT_EQ(h[1] * 256 + h[3], 10000);                 // Y = L
  const int32_t stored = (h[0] & 0x3F) * 256 + h[2];   // X = S
  EXPECT_EQ(static_cast<size_t>(stored) + 4, block.size());
  EXPECT_LT(stored + 4, 10000);
  EXPECT_EQ(h[4], 0x00);  // the method byte
  std::string back(10000, 'x');
  EXPECT_EQ(Lz4DecompressBlock(h + 5, stored - 1, reinterpret_cast<uint8_t*>(&back[0]), 10000), 10000);
  EXPECT_EQ(back, zeros);
}

TEST_F(SnapshotWriter, CompressedPayloadsFrom16348BytesTakeTheLongHeader) {
  uint32_t offset = 0;
  for (int32_t length : {16347, 16348, 100000}) {
    const std::string block = StoreOne(Path(), std::string(static_cast<size_t>(length), 'q'), &offset);
    test::StoredBlock decoded;
    ASSERT_TRUE(test::DecodeBlock(std::string(20, '\0') + block, 20, &decoded)) << length;
    EXPECT_TRUE(decoded.compressed);
    EXPECT_EQ(decoded.header_size, length < 16348 ? 4 : 8) << length;
    EXPECT_EQ(decoded.payload, std::string(static_cast<size_t>(length), 'q'));
  }
}

TEST_F(SnapshotWriter, LargePayloadsAreCompressedInPartsOrStoredRawWithNothingLeftOver) {
  // Parts of compressible bytes; incompressible ones; and a payload whose
  // compressed bytes reach the payload's length only near their end, after
  // most of them were written.
  std::string records;
  for (int i = 0; records.size() < 3u * CXSnapshotWriter::kPartSize; ++i) {
    records += "kernel32.dll" + std::to_string(i % 977) + std::string(1, static_cast<char>(i % 5));
  }
  const std::string random = Random(2 * CXSnapshotWriter::kPartSize, 7);
  const std::string late = std::string(4096, '\0') + Random(2 * CXSnapshotWriter::kPartSize, 8);
  struct Case {
    const std::string* payload;
    bool compressed;
  };
  for (const Case& c : {Case{&records, true}, Case{&random, false}, Case{&late, false}}) {
    CXSnapshotWriter writer;
    ASSERT_EQ(writer.CreateSnapshot(Path(), "t", SXInfoRequest()), 1);
    const std::string small(300, 'a');
    const int32_t length = static_cast<int32_t>(c.payload->size());
    EXPECT_EQ(writer.WriteBlock(U8(*c.payload), length), 20u);
    const uint32_t next = writer.WriteBlock(U8(small), 300);
    writer.ResetWriter();
    const std::string file = ReadFileBytes(Path());
    std::vector<test::StoredBlock> blocks;
    ASSERT_TRUE(test::DecodeAllBlocks(file, &blocks)) << length;  // back to back, ending at the file's end
    ASSERT_EQ(blocks.size(), 2u);
    EXPECT_EQ(blocks[0].compressed, c.compressed) << length;
    EXPECT_EQ(blocks[0].header_size, 8);
    EXPECT_TRUE(blocks[0].payload == *c.payload) << length;
    if (!c.compressed) {
      EXPECT_EQ(file.substr(24, 4), std::string(4, '\0'));  // W = 0
    }
    EXPECT_EQ(next, 20u + 8u + blocks[0].stored);
    EXPECT_EQ(blocks[1].payload, small);
  }
}

TEST_F(SnapshotWriter, OffsetsFollowEachOtherWithoutGaps) {
  CXSnapshotWriter writer;
  ASSERT_EQ(writer.CreateSnapshot(Path(), "t", SXInfoRequest()), 1);
  EXPECT_EQ(writer.WriteBlock(U8("abc"), 3), 20u);
  EXPECT_EQ(writer.WriteBlock(U8(Random(300, 5)), 300), 24u);
  EXPECT_EQ(writer.WriteBlock(U8(""), 0), 328u);
  EXPECT_EQ(writer.WriteBlock(U8("z"), 1), 329u);
}

TEST_F(SnapshotWriter, SnapshotWithOnlyFileSectionsHasRegistryAndApplicationWordsZero) {
  test::SnapshotPlan plan;
  test::NodeSpec d;
  d.name = u"d:\\";
  d.files = {test::File(u"x", 1, 2)};
  plan.sections.push_back({kSectionFiles, u"d:\\", d});
  plan.sections.push_back({kSectionFiles, u"C:\\", d});
  plan.sections.push_back({kSectionFiles, u"b:\\", d});
  const uint32_t size = test::WriteSnapshot(Path(), plan);
  const std::string bytes = ReadFileBytes(Path());
  ASSERT_EQ(size, bytes.size());
  test::SnapshotImage image;
  ASSERT_TRUE(test::ReadSnapshotImage(bytes, &image));
  EXPECT_EQ(image.table_words[0], 0u);
  EXPECT_EQ(image.table_words[1], 5u);  // after the mark and the registry count
  EXPECT_EQ(image.table_words[2], 0u);
  EXPECT_TRUE(image.tables[0].empty());
  EXPECT_TRUE(image.tables[2].empty());
  // The file-system table is sorted by name, A-Z folded.
  ASSERT_EQ(image.tables[1].size(), 3u);
  EXPECT_EQ(image.tables[1][0].name, u"b:\\");
  EXPECT_EQ(image.tables[1][1].name, u"C:\\");
  EXPECT_EQ(image.tables[1][2].name, u"d:\\");
  // The file ends with the info block.
  test::StoredBlock info;
  ASSERT_TRUE(test::DecodeBlock(bytes, image.info_offset, &info));
  EXPECT_EQ(info.offset + info.header_size + info.stored, bytes.size());
}

TEST_F(SnapshotWriter, TablesBlockGoldenBytes) {
  CXSnapshotWriter writer;
  ASSERT_EQ(writer.CreateSnapshot(Path(), "t", SXInfoRequest()), 1);
  EXPECT_EQ(writer.AddSection(kSectionApps, u"Startup", 1, U8("\x01\x80\x01" "A"), 4), 20u);
  EXPECT_EQ(writer.AddSection(kSectionRegistry, u"HKEY_USERS", 1, U8("\x01\x80\x01" "B"), 4), 25u);
  EXPECT_EQ(writer.AddSection(kSectionRegistry, u"HKEY_CLASSES_ROOT", 1, U8("\x01\x80\x01" "C"), 4), 30u);
  EXPECT_EQ(writer.AddSection(7, u"nowhere", 1, U8("x"), 1), 0u);
  ASSERT_GT(writer.FinishSnapshot(1, DescribeMachine()), 0u);
  const std::string bytes = ReadFileBytes(Path());
  test::SnapshotImage image;
  ASSERT_TRUE(test::ReadSnapshotImage(bytes, &image));
  test::StoredBlock tables;
  ASSERT_TRUE(test::DecodeBlock(bytes, image.info.tables_offset, &tables));
  EXPECT_EQ(image.info.tables_offset, 35u);
  auto wide = [](const std::string& s) {
    std::string out;
    for (char c : s) out += std::string(1, c) + '\0';
    return out;
  };
  // The registry table keeps the order of storing.
  const std::string expected = Hex("01") + Hex("02 00 00 00") + Hex("0A 00") + wide("HKEY_USERS") +
                               Hex("19 00 00 00 01 00 00 00") + Hex("11 00") + wide("HKEY_CLASSES_ROOT") +
                               Hex("1E 00 00 00 01 00 00 00") + Hex("00 00 00 00") + Hex("01 00 00 00") +
                               Hex("07 00") + wide("Startup") + Hex("14 00 00 00 01 00 00 00");
  EXPECT_EQ(ToHex(tables.payload), ToHex(expected));
  EXPECT_EQ(image.table_words[0], 1u);
  EXPECT_EQ(image.table_words[1], 0u);
  EXPECT_EQ(image.table_words[2], expected.size() - 4 - 2 - 14 - 8);
}

TEST_F(SnapshotWriter, SectionTreeReadsBack) {
  test::NodeSpec root;
  root.name = u"c:\\";
  root.files = {test::File(u"pagefile.sys", 0x100000000, 5, 0x26)};
  test::NodeSpec windows;
  windows.name = u"Windows";
  windows.attributes = 0x10;
  windows.files = {test::File(u"b.txt", 0x100, 2), test::File(u"A.exe", 0xFF, 1, 0, 0)};
  test::NodeSpec denied;
  denied.name = u"System Volume Information";
  denied.error = 5;
  test::NodeSpec link;
  link.name = u"Documents and Settings";
  link.link_type = kLinkJunction;
  link.link_target = u"C:\\Users";
  root.children = {windows, denied, link};
  test::SnapshotPlan plan;
  plan.versions.push_back({u"C:\\Windows\\A.exe", SXExeVersion()});
  plan.sections.push_back({kSectionFiles, u"c:\\", root});
  ASSERT_GT(test::WriteSnapshot(Path(), plan), 0u);
  const std::string bytes = ReadFileBytes(Path());
  test::SnapshotImage image;
  ASSERT_TRUE(test::ReadSnapshotImage(bytes, &image));
  test::StoredBlock section;
  ASSERT_TRUE(test::DecodeBlock(bytes, image.tables[1][0].block_offset, &section));
  EXPECT_EQ(section.payload[0], '\x01');
  const test::NodeSpec back = test::ReadSectionTree(section.payload, image.tables[1][0].root_offset, 1);
  EXPECT_EQ(back.name, u"c:");  // a drive root reads without its "\"
  ASSERT_EQ(back.children.size(), 3u);
  EXPECT_EQ(back.children[0].name, u"Documents and Settings");  // sorted
  EXPECT_EQ(back.children[0].link_target, u"C:\\Users");
  EXPECT_EQ(back.children[1].name, u"System Volume Information");
  EXPECT_EQ(back.children[1].error, 5);
  EXPECT_EQ(back.children[2].name, u"Windows");
  EXPECT_EQ(back.children[2].attributes, 0x10);
  ASSERT_EQ(back.children[2].files.size(), 2u);
  EXPECT_EQ(back.children[2].files[0].name, u"A.exe");
  EXPECT_EQ(back.children[2].files[0].version_index, 0);
  EXPECT_EQ(back.children[2].files[1].size, 0x100u);
  ASSERT_EQ(back.files.size(), 1u);
  EXPECT_EQ(back.files[0].size, 0x100000000u);
  EXPECT_EQ(back.files[0].attributes, 0x26);
  // Every offset points backwards, the root table last.
  EXPECT_GT(image.tables[1][0].root_offset, 1);
}

}  // namespace
}  // namespace orvalinth
