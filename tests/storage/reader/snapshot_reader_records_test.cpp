// Records inside payloads: nodes, file records, registry values, version
// records, golden bytes of the test encoder and the reader's decoding of them.

#include <gtest/gtest.h>

#include "storage/reader/snapshot_reader_records.h"
#include "test_support.h"
#include "tests/storage/snapshot_bytes.h"
#include "tests/storage/reader/payload_decode.h"
#include "tests/storage/snapshot_samples.h"

namespace orvalinth {
namespace {

using snapshot_read::CXPayloadCursor;
using snapshot_read::ReadContext;
using test::Hex;
using test::ToHex;

// Decodes `bytes` (a payload from offset 0) with `read`; the fault message or "".
template <class Read>
std::string Decode(const std::string& bytes, Read read, ReadContext* context = nullptr) {
  ReadContext local;
  local.version_count = 10;
  return test::DecodePayload(bytes, 100, context != nullptr ? *context : local, read);
}

TEST(SnapshotRecords, NodeEveryFlagCombination) {
  // All combinations of child, content, error, attributes, wide name, long name;
  // links separately (they carry no offsets).
  for (uint32_t bits = 0; bits < 64; ++bits) {
    SXReadNode node;
    node.name = std::u16string((bits & 0x20) ? 300 : 3, (bits & 0x10) ? u'\u0100' : u'n');
    node.error = (bits & 0x04) ? 1450 : 0;
    node.attributes = (bits & 0x08) ? 0x16 : 0;
    const uint32_t child = (bits & 0x01) ? 0x12345 : 0;
    const uint32_t content = (bits & 0x02) ? 0x678 : 0;
    const std::string bytes = test::NodeRecordBytes(node, child, content, true);
    std::vector<snapshot_read::NodeEntry> table;
    ReadContext context;
    EXPECT_EQ(Decode(bytes, [&](CXPayloadCursor& c) { table = snapshot_read::ReadNodeTable(c); }, &context), "");
    ASSERT_EQ(table.size(), 1u);
    EXPECT_EQ(table[0].node, node) << bits;
    EXPECT_EQ(table[0].child, child);
    EXPECT_EQ(table[0].content, content);
    EXPECT_EQ(context.remark_count, 0u) << (context.remarks.empty() ? "" : context.remarks[0]);
    if (child != 0 || content != 0) continue;
    // The same node as a link of each type (links carry no offsets).
    for (uint8_t type = 1; type <= 3; ++type) {
      node.link_type = type;
      node.link_target = u"t\u00E9\u4E2D" + node.name;
      table.clear();
      EXPECT_EQ(Decode(test::NodeRecordBytes(node, 0, 0, true),
                       [&](CXPayloadCursor& c) { table = snapshot_read::ReadNodeTable(c); }),
                "");
      ASSERT_EQ(table.size(), 1u);
      EXPECT_EQ(table[0].node, node) << bits << " link " << int(type);
    }
  }
}

TEST(SnapshotRecords, NodeGoldenBytes) {
  SXReadNode node;
  node.name = u"ab";
  node.attributes = 0x10;
  node.error = 5;
  EXPECT_EQ(ToHex(test::NodeRecordBytes(node, 0x0102, 0x0304, false)),
            "33 10 00 02 01 00 00 04 03 00 00 05 00 00 00 02 61 62");
  // A link: flag 0x40, no offsets, the target in UTF-8 (é is C3 A9, 中 is E4 B8 AD).
  SXReadNode link;
  link.name = u"L";
  link.link_type = 3;
  link.link_target = u"\u00E9\u4E2D";
  EXPECT_EQ(ToHex(test::NodeRecordBytes(link, 0, 0, true)), "C0 01 4C 03 05 00 C3 A9 E4 B8 AD");
  std::vector<snapshot_read::NodeEntry> table;
  EXPECT_EQ(Decode(Hex("C0 01 4C 03 05 00 C3 A9 E4 B8 AD"),
                   [&](CXPayloadCursor& c) { table = snapshot_read::ReadNodeTable(c); }),
            "");
  ASSERT_EQ(table.size(), 1u);
  EXPECT_EQ(table[0].node, link);
}

TEST(SnapshotRecords, NodeTableEndsAtTheEndMark) {
  std::vector<snapshot_read::NodeEntry> table;
  // Three nodes, the end mark on the third.
  const std::string bytes = Hex("00 01 61 00 01 62 80 01 63");
  EXPECT_EQ(Decode(bytes, [&](CXPayloadCursor& c) { table = snapshot_read::ReadNodeTable(c); }), "");
  ASSERT_EQ(table.size(), 3u);
  EXPECT_EQ(table[2].node.name, u"c");
  // Without the end mark the table runs past the payload.
  EXPECT_EQ(Decode(Hex("00 01 61 00 01 62"), [&](CXPayloadCursor& c) { snapshot_read::ReadNodeTable(c); }),
            "corrupt snapshot: node table at payload offset 0 of the section block at file offset 100 runs past "
            "the payload's end (6 bytes)");
}

TEST(SnapshotRecords, DriveRootReadsWithoutItsBackslash) {
  struct Case {
    std::u16string stored, read;
  } cases[] = {{u"C:\\", u"C:"}, {u"c:\\", u"c:"}, {u"C:\\x", u"C:\\x"}, {u"ab\\", u"ab"}, {u"\\", u"\\"}};
  for (const Case& c : cases) {
    SXReadNode node;
    node.name = c.stored;
    std::vector<snapshot_read::NodeEntry> table;
    Decode(test::NodeRecordBytes(node, 0, 0, true),
           [&](CXPayloadCursor& cursor) { table = snapshot_read::ReadNodeTable(cursor); });
    ASSERT_EQ(table.size(), 1u);
    EXPECT_EQ(table[0].node.name, c.read);
  }
}

TEST(SnapshotRecords, NodeFaults) {
  const test::FaultCase cases[] = {
      {"C0 01 4C 04 00 00", "node at payload offset 0 of the section block at file offset 100 has link type 4"},
      {"C0 01 4C 00 00 00", "has link type 0"},
      {"C1 05 00 00 00 01 4C 01 00 00", "is a link with a child table or content"},
      {"C0 01 4C 01 05 00 41", "node table at payload offset 0 of the section block at file offset 100 runs past"},
      {"88 02 41", "runs past the payload's end (3 bytes)"},      // wide name of 2 units needs 4 bytes
      {"84 FF FF", "runs past the payload's end (3 bytes)"},      // 65,535 units announced
  };
  for (const test::FaultCase& c : cases) {
    const std::string message =
        Decode(Hex(c.hex), [&](CXPayloadCursor& cursor) { snapshot_read::ReadNodeTable(cursor); });
    EXPECT_NE(message.find(c.message), std::string::npos) << c.hex << ": " << message;
  }
}

TEST(SnapshotRecords, NodeFormsTheWriterNeverUsesAreRemarked) {
  const char* cases[] = {
      "A0 00 00 01 61",        // attributes flag with attributes 0
      "81 00 00 00 00 01 61",  // child flag with offset 0
      "90 00 00 00 00 01 61",  // error flag with error 0
      "84 01 00 61",           // two-byte length for one unit
      "88 01 61 00",           // wide name that fits narrow
      "C0 01 4C 02 02 00 C3 41",  // a broken UTF-8 sequence in the target
  };
  for (const char* hex : cases) {
    ReadContext context;
    EXPECT_EQ(Decode(Hex(hex), [&](CXPayloadCursor& c) { snapshot_read::ReadNodeTable(c); }, &context), "") << hex;
    EXPECT_EQ(context.remark_count, 1u) << hex;
  }
}

TEST(SnapshotRecords, FileSizeWidthCodes) {
  struct Case {
    uint64_t size;
    uint32_t code;
    size_t size_bytes;
  } cases[] = {{0, 0, 1},     {0xFF, 0, 1},        {0x100, 1, 2},           {0xFFFF, 1, 2},
               {0x10000, 2, 4}, {0xFFFFFFFF, 2, 4}, {0x100000000ULL, 3, 8}, {~0ULL, 3, 8}};
  for (const Case& c : cases) {
    const SXReadFile file = test::SampleFile(u"f", c.size);
    const std::string bytes = test::FileRecordBytes(file, true);
    EXPECT_EQ(static_cast<uint8_t>(bytes[0]), 0x80 | c.code) << c.size;
    EXPECT_EQ(bytes.size(), 1 + 8 + c.size_bytes + 1 + 1) << c.size;  // flags, time, size, length, name
    std::vector<SXReadFile> run;
    EXPECT_EQ(Decode(bytes, [&](CXPayloadCursor& cursor) { run = snapshot_read::ReadFileRun(cursor); }), "");
    ASSERT_EQ(run.size(), 1u);
    EXPECT_EQ(run[0], file);
  }
}

TEST(SnapshotRecords, FileRecordGoldenBytes) {
  // Attributes 0 and no version: flags, time, size, length and name only.
  SXReadFile plain = test::SampleFile(u"a", 0x100);
  plain.last_write = 0x0102030405060708LL;
  EXPECT_EQ(ToHex(test::FileRecordBytes(plain, false)), "01 08 07 06 05 04 03 02 01 00 01 01 61");
  SXReadFile full = plain;
  full.attributes = 0x21;
  full.version_index = 3;
  full.name = u"\u0100";
  EXPECT_EQ(ToHex(test::FileRecordBytes(full, true)),
            "E9 21 00 03 00 00 00 08 07 06 05 04 03 02 01 00 01 01 00 01");
  std::vector<SXReadFile> run;
  EXPECT_EQ(Decode(test::FileRecordBytes(plain, false) + test::FileRecordBytes(full, true),
                   [&](CXPayloadCursor& c) { run = snapshot_read::ReadFileRun(c); }),
            "");
  EXPECT_EQ(run, (std::vector<SXReadFile>{plain, full}));
  // A name of 300 ASCII characters: narrow with a two-byte length.
  const std::string long_name = test::FileRecordBytes(test::SampleFile(std::u16string(300, u'x'), 1), true);
  EXPECT_EQ(static_cast<uint8_t>(long_name[0]), 0x84);
  EXPECT_EQ(long_name.size(), 1 + 8 + 1 + 2 + 300u);
}

TEST(SnapshotRecords, FileRecordFaults) {
  const test::FaultCase cases[] = {
      {"90 00 00 00 00 00 00 00 00 00 00", "file record at payload offset 0 of the section block at file offset 100 "
                                           "has the reserved flag 0x10 set"},
      {"A0 0A 00 00 00 00 00 00 00 00 00 00 00 00 00 00", "refers to version record 10, but the snapshot holds 10"},
      {"A0 FE FF FF FF 00 00 00 00 00 00 00 00 00 00", "refers to version record -2"},
      {"03 00 00 00 00 00 00 00 00 00 00 00", "file run at payload offset 0 of the section block at file offset "
                                              "100 runs past the payload's end"},
      {"00 00 00 00 00 00 00 00 00 00 00", "runs past the payload's end"},  // no end mark
  };
  for (const test::FaultCase& c : cases) {
    const std::string message = Decode(Hex(c.hex), [&](CXPayloadCursor& cursor) { snapshot_read::ReadFileRun(cursor); });
    EXPECT_NE(message.find(c.message), std::string::npos) << c.hex << ": " << message;
  }
}

TEST(SnapshotRecords, ValuesOfEveryType) {
  const SXReadValue values[] = {
      test::SampleText(u"", 1, u"text"),
      test::SampleText(u"e", 2, u"%x%"),
      test::SampleData(u"b", 3, std::string("\x00\xFF", 2)),
      test::SampleData(u"d", 4, std::string("\x01\x00\x00\x00", 4)),
      test::SampleData(u"be", 5, std::string("\x00\x00\x00\x01", 4)),
      test::SampleText(u"l", 6, u"\\Registry\\Machine\\X"),
      test::SampleText(u"m", 7, std::u16string(u"a\0b", 3)),
      test::SampleData(u"r", 8, "res"),
      test::SampleData(u"f", 9, "full"),
      test::SampleData(u"rr", 10, "req"),
      test::SampleData(u"q", 11, std::string(8, '\x07')),
      test::SampleData(u"none", 0, ""),
      test::SampleData(u"big type", 0x10000, "?"),
      test::SampleText(u"\u0100", 1, u"\u0416"),
      test::SampleText(std::u16string(256, u'k'), 1, std::u16string(256, u'v')),
      test::SampleData(u"large", 3, std::string(70000, '\x01')),
  };
  std::string bytes;
  for (size_t i = 0; i < std::size(values); ++i) bytes += test::ValueRecordBytes(values[i], i + 1 == std::size(values));
  std::vector<SXReadValue> run;
  ReadContext context;
  EXPECT_EQ(Decode(bytes, [&](CXPayloadCursor& c) { run = snapshot_read::ReadValueRun(c); }, &context), "");
  ASSERT_EQ(run.size(), std::size(values));
  for (size_t i = 0; i < run.size(); ++i) EXPECT_EQ(run[i], values[i]) << i;
  EXPECT_EQ(context.remark_count, 0u);
}

TEST(SnapshotRecords, ValueGoldenBytes) {
  // REG_DWORD: width code 0, size 4, its four raw bytes.
  EXPECT_EQ(ToHex(test::ValueRecordBytes(test::SampleData(u"d", 4, std::string("\x2A\0\0\0", 4)), true)),
            "80 01 04 04 64 2A 00 00 00");
  // The units a, b of REG_SZ, narrow; a REG_MULTI_SZ a, 0, b.
  EXPECT_EQ(ToHex(test::ValueRecordBytes(test::SampleText(u"", 1, u"ab"), false)), "00 00 02 01 61 62");
  EXPECT_EQ(ToHex(test::ValueRecordBytes(test::SampleText(u"", 7, std::u16string(u"a\0b", 3)), false)),
            "00 00 03 07 61 00 62");
  // A type above 255 takes four bytes (flag 0x10).
  EXPECT_EQ(ToHex(test::ValueRecordBytes(test::SampleText(u"n", 0x101, u""), false)), "10 01 00 01 01 00 00 6E");
}

TEST(SnapshotRecords, ValueFaults) {
  const test::FaultCase cases[] = {
      {"C0 00 00 01", "value at payload offset 0 of the section block at file offset 100 has the reserved flag 0x40"},
      {"83 00 00 01", "has data width code 3"},
      {"82 00 FF FF FF FF 03", "has a negative data size -1"},
      {"82 00 FF FF FF 7F 03", "value run at payload offset 0 of the section block at file offset 100 runs past"},
      {"80 00 02 01 61", "runs past the payload's end"},
  };
  for (const test::FaultCase& c : cases) {
    const std::string message = Decode(Hex(c.hex), [&](CXPayloadCursor& cursor) { snapshot_read::ReadValueRun(cursor); });
    EXPECT_NE(message.find(c.message), std::string::npos) << c.hex << ": " << message;
  }
}

TEST(SnapshotRecords, VersionRecords) {
  SXReadVersion v = test::SampleVersion(10, u"\u0416");
  v.strings[5] = std::u16string(400, u'c');
  const std::string bytes = test::VersionRecordBytes(v);
  EXPECT_EQ(ToHex(bytes.substr(0, 10)), "20 02 02 00 0A 00 04 00 03 00");
  SXReadVersion read;
  EXPECT_EQ(Decode(bytes, [&](CXPayloadCursor& c) { read = snapshot_read::ReadVersionRecord(c); }), "");
  EXPECT_EQ(read, v);
  EXPECT_NE(Decode(Hex("40 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"),
                   [&](CXPayloadCursor& c) { snapshot_read::ReadVersionRecord(c); })
                .find("version record at payload offset 0 of the section block at file offset 100 has string flags"),
            std::string::npos);
  EXPECT_NE(Decode(Hex("00 00 01 00 00 00 02 00 00 00 00 00 00 00"),
                   [&](CXPayloadCursor& c) { snapshot_read::ReadVersionRecord(c); })
                .find("runs past the payload's end (14 bytes)"),
            std::string::npos);
}

}  // namespace
}  // namespace orvalinth
