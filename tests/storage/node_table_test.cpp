#include "storage/node_table.h"

#include <gtest/gtest.h>

#include "storage/data_dir.h"
#include "storage/mem_reader.h"
#include "storage/mem_writer.h"
#include "test_support.h"

namespace orvalinth {
namespace {

using test::Hex;
using test::ToHex;

std::string Written(const CXMemWriter& w, int32_t from) {
  return std::string(reinterpret_cast<const char*>(w.data()) + from, w.position() - from);
}

TEST(NodeTable, OneNodeTableCarriesTheEndMark) {
  CXNodeTable table;
  SXNodeRecord* n = table.Append(u"Windows", 0x10);
  n->child_offset = 0x20;
  n->content_offset = 0x30;
  CXMemWriter w;
  w.WriteU8(1);
  EXPECT_EQ(table.Flush(w, true), 1);
  EXPECT_EQ(ToHex(Written(w, 1)), ToHex(Hex("A3 10 00 20 00 00 00 30 00 00 00 07") + "Windows"));
}

TEST(NodeTable, FieldOrderWithEveryOptionalField) {
  CXNodeTable table;
  SXNodeRecord* n = table.Append(std::u16string(256, u'\u0101'), 0x1234);
  n->child_offset = 1;
  n->content_offset = 2;
  n->error = 5;
  CXMemWriter w;
  w.WriteU8(1);
  table.Flush(w, false);
  std::string name;
  for (int i = 0; i < 256; ++i) name += Hex("01 01");
  EXPECT_EQ(ToHex(Written(w, 1)),
            ToHex(Hex("BF 34 12 01 00 00 00 02 00 00 00 05 00 00 00 00 01") + name));
}

TEST(NodeTable, LinkNodeHasNoOffsetsAndItsTargetInUtf8) {
  CXNodeTable table;
  SXNodeRecord* n = table.Append(u"lnk", 0);
  n->child_offset = 0x40;  // a link is never followed: SetLink drops these
  n->content_offset = 0x50;
  table.SetLink(n, u"C:\\\u00e9\u4e2d", kLinkJunction);
  CXMemWriter w;
  w.WriteU8(1);
  table.Flush(w, true);
  EXPECT_EQ(ToHex(Written(w, 1)), ToHex(Hex("C0 03") + "lnk" + Hex("03 08 00 43 3A 5C C3 A9 E4 B8 AD")));
}

TEST(NodeTable, SurrogatesOfALinkTargetAreEncodedOneByOne) {
  CXNodeTable table;
  table.SetLink(table.Append(u"s", 0), u"\xD83D\xDE00", kLinkSymbolic);
  CXMemWriter w;
  w.WriteU8(1);
  table.Flush(w, true);
  EXPECT_EQ(ToHex(Written(w, 1)), ToHex(Hex("C0 01") + "s" + Hex("02 06 00 ED A0 BD ED B8 80")));
}

TEST(NodeTable, EmptyTableWritesNothing) {
  CXNodeTable table;
  CXMemWriter w;
  w.WriteU8(1);
  EXPECT_EQ(table.Flush(w, true), 0);
  EXPECT_EQ(w.position(), 1);
}

TEST(NodeTable, SortsByTheNameOrderAndMarksTheLast) {
  CXNodeTable table;
  for (const char16_t* name : {u"beta", u"Alpha", u"alp", u"GAMMA"}) table.Append(std::u16string(name), 0);
  CXMemWriter w;
  w.WriteU8(1);
  const int32_t at = table.Flush(w, true);
  CXMemReader r(w.data(), at);
  SXSnapshotDataDir dir;
  std::vector<std::u16string> names;
  std::vector<uint8_t> marks;
  do {
    dir.Read(r);
    names.push_back(dir.name);
    marks.push_back(dir.flags & 0x80);
  } while (!(dir.flags & 0x80));
  EXPECT_EQ(names, (std::vector<std::u16string>{u"alp", u"Alpha", u"beta", u"GAMMA"}));
  EXPECT_EQ(marks, (std::vector<uint8_t>{0, 0, 0, 0x80}));
  EXPECT_EQ(table.size(), 0);
}

TEST(NodeTable, ReadBackGivesEveryField) {
  CXNodeTable table;
  SXNodeRecord* n = table.Append(u"Key", 0);
  n->error = 5;
  n->content_offset = 9;
  table.SetLink(table.Append(u"Link", 0), u"\\Registry\\Machine\\x", kLinkRegistry);
  CXMemWriter w;
  w.WriteU8(1);
  CXMemReader r(w.data(), table.Flush(w, true));
  SXSnapshotDataDir dir;
  dir.Read(r);
  EXPECT_EQ(dir.name, u"Key");
  EXPECT_EQ(dir.error, 5);
  EXPECT_EQ(dir.content_offset, 9);
  EXPECT_EQ(dir.child_offset, 0);
  EXPECT_EQ(dir.link_type, 0);
  EXPECT_TRUE(dir.link_target.empty());
  dir.Read(r);
  EXPECT_EQ(dir.name, u"Link");
  EXPECT_EQ(dir.link_type, kLinkRegistry);
  EXPECT_EQ(dir.link_target, u"\\Registry\\Machine\\x");
  EXPECT_EQ(dir.error, 0);
  EXPECT_EQ(dir.SectionType(), -2);
}

TEST(NodeTable, DriveRootReadsWithoutItsBackslash) {
  CXNodeTable table;
  table.Append(u"C:\\", 0);
  table.Append(u"ab\\c", 0);  // four units: left alone
  CXMemWriter w;
  w.WriteU8(1);
  CXMemReader r(w.data(), table.Flush(w, false));
  SXSnapshotDataDir dir;
  dir.Read(r);
  EXPECT_EQ(dir.name, u"C:");
  dir.Read(r);
  EXPECT_EQ(dir.name, u"ab\\c");
}

}  // namespace
}  // namespace orvalinth
