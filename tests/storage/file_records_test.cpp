#include "storage/file_records.h"

#include <gtest/gtest.h>

#include "storage/data_file.h"
#include "storage/mem_reader.h"
#include "storage/mem_writer.h"
#include "test_support.h"

namespace orvalinth {
namespace {

using test::Hex;
using test::ToHex;

std::string Written(const CXMemWriter& w) { return std::string(reinterpret_cast<const char*>(w.data()), w.position()); }

// A time whose eight bytes are easy to see: 08 07 06 05 04 03 02 01.
constexpr int64_t kTime = 0x0102030405060708;
const char kTimeHex[] = "08 07 06 05 04 03 02 01";

std::string OneRecord(uint64_t size, uint16_t attributes, int32_t version, const std::u16string& name) {
  CXSnapshotDataFileRecArray files;
  SXFileRecord* r = files.Append(name);
  r->size = size;
  r->attributes = attributes;
  r->version_index = version;
  r->last_write = kTime;
  CXMemWriter w;
  w.WriteU8(0x01);  // a payload never starts a run at offset 0
  EXPECT_EQ(files.Flush(w, true), 1);
  return Written(w).substr(1);
}

TEST(FileRecords, SizeWidthCodes) {
  struct Case {
    uint64_t size;
    const char* flags_and_size;
  } cases[] = {
      {0x0, "80 | 00"},
      {0xFF, "80 | FF"},
      {0x100, "81 | 00 01"},
      {0xFFFF, "81 | FF FF"},
      {0x10000, "82 | 00 00 01 00"},
      {0xFFFFFFFF, "82 | FF FF FF FF"},
      {0x100000000, "83 | 00 00 00 00 01 00 00 00"},
  };
  for (const Case& c : cases) {
    const std::string flags_and_size = Hex(c.flags_and_size);
    const std::string expected =
        flags_and_size.substr(0, 1) + Hex(kTimeHex) + flags_and_size.substr(1) + Hex("01") + "f";
    EXPECT_EQ(ToHex(OneRecord(c.size, 0, -1, u"f")), ToHex(expected)) << std::hex << c.size;
  }
}

TEST(FileRecords, PlainFileWritesOnlyFlagsTimeSizeLengthAndName) {
  EXPECT_EQ(ToHex(OneRecord(0x10, 0, -1, u"a.txt")),
            ToHex(Hex("80") + Hex(kTimeHex) + Hex("10 05") + "a.txt"));
}

TEST(FileRecords, AttributesAndVersionIndexComeBeforeTheTime) {
  EXPECT_EQ(ToHex(OneRecord(1, 0x20, 7, u"x.exe")),
            ToHex(Hex("E0 20 00 07 00 00 00") + Hex(kTimeHex) + Hex("01 05") + "x.exe"));
}

TEST(FileRecords, NameWithU0100IsWide) {
  EXPECT_EQ(ToHex(OneRecord(0, 0, -1, u"\u0100x")), ToHex(Hex("88") + Hex(kTimeHex) + Hex("00 02 00 01 78 00")));
}

TEST(FileRecords, LatinOneNameStaysNarrow) {
  EXPECT_EQ(ToHex(OneRecord(0, 0, -1, u"\u00e9")), ToHex(Hex("80") + Hex(kTimeHex) + Hex("00 01 E9")));
}

TEST(FileRecords, NameOf300CharactersIsNarrowWithATwoByteLength) {
  const std::u16string name(300, u'a');
  EXPECT_EQ(ToHex(OneRecord(0, 0, -1, name)),
            ToHex(Hex("84") + Hex(kTimeHex) + Hex("00 2C 01") + std::string(300, 'a')));
}

TEST(FileRecords, FlushSortsByNameAndMarksOnlyTheLast) {
  CXSnapshotDataFileRecArray files;
  for (const char16_t* name : {u"b", u"A", u"c", u"_"}) files.Append(std::u16string(name))->last_write = 0;
  CXMemWriter w;
  w.WriteU8(0x01);
  EXPECT_EQ(files.Flush(w, true), 1);
  EXPECT_EQ(files.size(), 0);
  // "_" (0x5F) sorts before folded "a" (0x61) but after "A" would have (0x41).
  const std::string time0 = Hex("00 00 00 00 00 00 00 00");
  const std::string expected = Hex("01") + Hex("00") + time0 + Hex("00 01") + "_" + Hex("00") + time0 +
                               Hex("00 01") + "A" + Hex("00") + time0 + Hex("00 01") + "b" + Hex("80") + time0 +
                               Hex("00 01") + "c";
  EXPECT_EQ(ToHex(Written(w)), ToHex(expected));
}

TEST(FileRecords, UnsortedFlushKeepsTheOrderOfAdding) {
  CXSnapshotDataFileRecArray files;
  files.Append(u"b");
  files.Append(u"a");
  CXMemWriter w;
  w.WriteU8(1);
  files.Flush(w, false);
  CXMemReader r(w.data(), 1);
  SXSnapshotDataFile f;
  f.Read(r);
  EXPECT_EQ(f.name, u"b");
  f.Read(r);
  EXPECT_EQ(f.name, u"a");
  EXPECT_EQ(f.flags & 0x80, 0x80);
}

TEST(FileRecords, EmptyArrayWritesNothingAndGivesZero) {
  CXSnapshotDataFileRecArray files;
  CXMemWriter w;
  w.WriteU8(1);
  EXPECT_EQ(files.Flush(w, true), 0);
  EXPECT_EQ(w.position(), 1);
}

TEST(FileRecords, ArrayIsReusableAfterFlushAndSurvivesManyRecords) {
  CXSnapshotDataFileRecArray files;
  CXMemWriter w;
  w.WriteU8(1);
  // Enough records to need several pool blocks, with one name larger than a block.
  for (int i = 0; i < 5000; ++i) files.Append(std::u16string(u"file") + static_cast<char16_t>(u'a' + i % 26));
  files.Append(std::u16string(60000, u'z'));
  const int32_t first = files.Flush(w, true);
  files.Append(u"again");
  const int32_t second = files.Flush(w, true);
  EXPECT_EQ(first, 1);
  EXPECT_GT(second, first);
  CXMemReader r(w.data(), second);
  SXSnapshotDataFile f;
  f.Read(r);
  EXPECT_EQ(f.name, u"again");
  EXPECT_EQ(f.flags, 0x80);
  CXMemReader all(w.data(), first);
  int count = 0;
  do {
    f.Read(all);
    ++count;
  } while (!(f.flags & 0x80));
  EXPECT_EQ(count, 5001);
  EXPECT_EQ(f.name.size(), 60000u);
}

TEST(FileRecords, AddCopiesAReadRecord) {
  SXSnapshotDataFile file;
  file.name = u"k.sys";
  file.size = 0x1234;
  file.last_write = kTime;
  file.attributes = 0x21;
  file.version_index = 3;
  CXSnapshotDataFileRecArray files;
  files.Add(file);
  CXMemWriter w;
  w.WriteU8(1);
  files.Flush(w, true);
  CXMemReader r(w.data(), 1);
  SXSnapshotDataFile back;
  back.Read(r);
  EXPECT_EQ(back.name, file.name);
  EXPECT_EQ(back.size, file.size);
  EXPECT_EQ(back.last_write, file.last_write);
  EXPECT_EQ(back.attributes, file.attributes);
  EXPECT_EQ(back.version_index, 3);
}

}  // namespace
}  // namespace orvalinth
